#include "FieldSpread.h"

#include "Gs1.h"

#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <iterator>

namespace {

const QString modeKeys[] = {QStringLiteral("split"), QStringLiteral("gs1"), QStringLiteral("perLine")};

bool isDateInput(const QJsonObject &field)
{
    return field.value(QLatin1String("tag")).toString().compare(QLatin1String("input"), Qt::CaseInsensitive) == 0
        && field.value(QLatin1String("type")).toString().compare(QLatin1String("date"), Qt::CaseInsensitive) == 0;
}

Spread rejected(QString why)
{
    return {{}, std::move(why)};
}

Spread split(const QString &line, const Destination &d)
{
    QStringList parts = line.split(d.splitSeparator);
    if (parts.size() != d.fields.size()) {
        const QString part = parts.size() == 1 ? QStringLiteral("part") : QStringLiteral("parts");
        return rejected(QStringLiteral("%1 %2 for %3 fields").arg(parts.size()).arg(part).arg(d.fields.size()));
    }
    return {std::move(parts), {}};
}

Spread gs1Fields(const QString &line, const Destination &d, QChar separator, QDate today)
{
    // A field without its AI fails every line, so say that before reading this one.
    for (int i = 0; i < d.fields.size(); ++i) {
        if (i >= d.ais.size() || d.ais.at(i).isEmpty())
            return rejected(QStringLiteral("%1 has no application identifier").arg(fieldName(d, i)));
    }
    const Gs1Reading reading = readGs1(line, separator);
    if (!reading.rejection.isEmpty())
        return rejected(reading.rejection);

    Spread spread;
    for (int i = 0; i < d.fields.size(); ++i) {
        const QString &ai = d.ais.at(i);
        const auto element = std::find_if(reading.elements.begin(), reading.elements.end(),
                                          [&](const Gs1Element &e) { return e.ai == ai; });
        if (element == reading.elements.end())
            return rejected(QStringLiteral("GS1 element (%1) not in the line").arg(ai));
        QString value = element->value;
        if (isGs1DateAi(ai) && isDateInput(d.fields.at(i))) {
            const std::optional<QString> date = gs1IsoDate(value, today);
            if (!date)
                return rejected(QStringLiteral("GS1 element (%1) is not a date: %2").arg(ai, value));
            value = *date;
        }
        spread.values.append(value);
    }
    return spread;
}

} // namespace

QString fieldsModeKey(FieldsMode mode)
{
    return modeKeys[int(mode)];
}

std::optional<FieldsMode> fieldsModeFromKey(const QString &key)
{
    const auto found = std::find(std::begin(modeKeys), std::end(modeKeys), key);
    if (found == std::end(modeKeys))
        return std::nullopt;
    return FieldsMode(found - std::begin(modeKeys));
}

QStringList parseAis(const QString &text, QString *error)
{
    error->clear();
    if (text.trimmed().isEmpty())
        return {};
    QStringList ais;
    const QStringList items = text.split(u',');
    for (int i = 0; i < items.size(); ++i) {
        const QString ai = items.at(i).trimmed();
        if (ai.isEmpty()) {
            *error = QStringLiteral("application identifier %1 of %2 is empty").arg(i + 1).arg(items.size());
            return {};
        }
        if (!isKnownAi(ai)) {
            *error = QStringLiteral("(%1) is not a GS1 application identifier").arg(ai);
            return {};
        }
        ais.append(ai);
    }
    if (ais.size() > Destination::MaxFields) {
        *error = QStringLiteral("%1 application identifiers for at most %2 fields")
                     .arg(ais.size())
                     .arg(Destination::MaxFields);
        return {};
    }
    return ais;
}

Spread spreadLine(const QString &line, const Destination &d, QChar gs1Separator, QDate today)
{
    if (d.fields.size() <= 1 || d.mode == FieldsMode::PerLine)
        return {{line}, {}};
    if (d.mode == FieldsMode::Gs1)
        return gs1Fields(line, d, gs1Separator, today);
    return split(line, d);
}

QString fieldName(const Destination &d, int i)
{
    const QString label = i >= 0 && i < d.fields.size() ? d.fields.at(i).value(QLatin1String("label")).toString()
                                                        : QString();
    return QStringLiteral("field %1 of %2 %3")
        .arg(i + 1)
        .arg(d.fields.size())
        .arg(label.isEmpty() ? QStringLiteral("(no name)") : QLatin1Char('(') + label + QLatin1Char(')'));
}
