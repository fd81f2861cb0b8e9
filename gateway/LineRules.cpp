#include "LineRules.h"

#include "Gs1.h"
#include "SettingsKeys.h"

#include <QSettings>

#include <algorithm>
#include <utility>

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The line's code points one by one, a surrogate pair as one.
template<typename Keep>
QString filterCodePoints(const QString &line, Keep keep)
{
    QString out;
    out.reserve(line.size());
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c.isHighSurrogate() && i + 1 < line.size() && line.at(i + 1).isLowSurrogate()) {
            const QChar low = line.at(i + 1);
            if (keep(QChar::surrogateToUcs4(c, low)))
                out.append(c).append(low);
            ++i;
        } else if (keep(c.unicode())) {
            out.append(c);
        }
    }
    return out;
}

// The highest \n of a replacement text, read as QString::replace reads it:
// two digits when that group exists, otherwise one.
int highestCapture(const QString &replacement, int groups)
{
    int highest = 0;
    for (qsizetype i = 0; i + 1 < replacement.size(); ++i) {
        if (replacement.at(i) != u'\\' || !isAsciiDigit(replacement.at(i + 1)))
            continue;
        int number = replacement.at(i + 1).unicode() - u'0';
        if (i + 2 < replacement.size() && isAsciiDigit(replacement.at(i + 2))) {
            const int two = number * 10 + (replacement.at(i + 2).unicode() - u'0');
            if (two <= groups)
                number = two;
        }
        highest = std::max(highest, number);
    }
    return highest;
}

const QString kindKeys[] = {
    QStringLiteral("trim"),   QStringLiteral("remove"), QStringLiteral("replace"), QStringLiteral("prefix"),
    QStringLiteral("suffix"), QStringLiteral("upper"),  QStringLiteral("gs1"),     QStringLiteral("accept"),
};

const QString kindKey = QStringLiteral("kind");
const QString patternKey = QStringLiteral("pattern");
const QString replacementKey = QStringLiteral("replacement");

bool usesPattern(LineRule::Kind kind)
{
    return kind != LineRule::Kind::Trim && kind != LineRule::Kind::Upper;
}

} // namespace

QString ruleKindKey(LineRule::Kind kind)
{
    return kindKeys[int(kind)];
}

std::optional<LineRule::Kind> ruleKindFromKey(const QString &key)
{
    const auto found = std::find(std::begin(kindKeys), std::end(kindKeys), key);
    if (found == std::end(kindKeys))
        return std::nullopt;
    return LineRule::Kind(found - std::begin(kindKeys));
}

QString ruleError(const LineRule &rule)
{
    using Kind = LineRule::Kind;
    switch (rule.kind) {
    case Kind::Trim:
    case Kind::Upper:
        return {};
    case Kind::Remove:
        return rule.pattern.isEmpty() ? QStringLiteral("no characters to remove") : QString();
    case Kind::Prefix:
        return rule.pattern.isEmpty() ? QStringLiteral("empty prefix") : QString();
    case Kind::Suffix:
        return rule.pattern.isEmpty() ? QStringLiteral("empty suffix") : QString();
    case Kind::Gs1:
        if (rule.pattern.isEmpty())
            return QStringLiteral("no AI given");
        return isKnownAi(rule.pattern) ? QString() : QStringLiteral("unknown AI \"%1\"").arg(rule.pattern);
    case Kind::Replace:
    case Kind::Accept: {
        if (rule.pattern.isEmpty())
            return QStringLiteral("empty regular expression");
        const QRegularExpression expression(rule.pattern);
        if (!expression.isValid()) {
            return QStringLiteral("invalid regular expression: %1 at offset %2")
                .arg(expression.errorString())
                .arg(expression.patternErrorOffset());
        }
        if (rule.kind == Kind::Replace) {
            // QString::replace leaves a \n without its group as it stands.
            const int groups = expression.captureCount();
            const int used = highestCapture(rule.replacement, groups);
            if (used > groups)
                return QStringLiteral("replacement uses \\%1, the expression has %2 groups").arg(used).arg(groups);
        }
        return {};
    }
    }
    return {};
}

void LineRules::setRules(QList<LineRule> rules, QChar gs1Separator)
{
    compiled.clear();
    separator = gs1Separator;
    for (LineRule &rule : rules) {
        if (!ruleError(rule).isEmpty())
            continue;
        Compiled c{std::move(rule), {}, {}};
        if (c.rule.kind == LineRule::Kind::Replace || c.rule.kind == LineRule::Kind::Accept) {
            c.expression.setPattern(c.rule.pattern);
            c.expression.optimize();
        } else if (c.rule.kind == LineRule::Kind::Remove && c.rule.pattern != removeControl) {
            c.characters = c.rule.pattern.toUcs4();
            std::sort(c.characters.begin(), c.characters.end());
        }
        compiled.append(std::move(c));
    }
}

ShapedLine LineRules::apply(const QString &line, QList<RuleStep> *steps) const
{
    ShapedLine shaped;
    shaped.line = line;
    for (const Compiled &rule : compiled) {
        RuleStep step = run(rule, shaped.line);
        const bool rejected = !step.rejection.isEmpty();
        if (rejected) {
            shaped.rejected = true;
            shaped.reason = step.rejection;
        } else {
            shaped.line = step.line;
        }
        if (steps)
            steps->append(std::move(step));
        if (rejected)
            break;
    }
    return shaped;
}

RuleStep LineRules::run(const Compiled &c, const QString &line) const
{
    using Kind = LineRule::Kind;
    const LineRule &rule = c.rule;
    switch (rule.kind) {
    case Kind::Trim:
        return {line.trimmed(), {}};
    case Kind::Remove:
        if (rule.pattern == removeControl)
            return {filterCodePoints(line, [](char32_t u) { return !isControl(u); }), {}};
        return {filterCodePoints(line,
                                 [&](char32_t u) {
                                     return !std::binary_search(c.characters.begin(), c.characters.end(), uint(u));
                                 }),
                {}};
    case Kind::Replace:
        return {QString(line).replace(c.expression, rule.replacement), {}};
    case Kind::Prefix:
        return {rule.pattern + line, {}};
    case Kind::Suffix:
        return {line + rule.pattern, {}};
    case Kind::Upper:
        return {line.toUpper(), {}};
    case Kind::Gs1: {
        QString rejection;
        QString value = gs1Value(line, rule.pattern, separator, &rejection);
        if (!rejection.isEmpty())
            return {line, rejection};
        return {value, {}};
    }
    case Kind::Accept:
        if (c.expression.match(line).hasMatch())
            return {line, {}};
        return {line, QStringLiteral("line does not match %1").arg(rule.pattern)};
    }
    return {line, {}};
}

QList<LineRule> readRules(QSettings &settings, QStringList *skipped)
{
    QList<LineRule> rules;
    const int size = settings.beginReadArray(SettingsKey::rules);
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        const QString key = settings.value(kindKey).toString();
        const std::optional<LineRule::Kind> kind = ruleKindFromKey(key);
        QString why;
        LineRule rule;
        if (kind) {
            rule = {*kind, settings.value(patternKey).toString(), settings.value(replacementKey).toString()};
            why = ruleError(rule);
        } else {
            why = QStringLiteral("unknown kind \"%1\"").arg(key);
        }
        if (why.isEmpty())
            rules.append(rule);
        else if (skipped)
            skipped->append(QStringLiteral("Rules: rule %1 skipped: %2").arg(i + 1).arg(why));
    }
    settings.endArray();
    return rules;
}

void writeRules(QSettings &settings, const QList<LineRule> &rules)
{
    // A shorter list must not leave the old tail behind.
    settings.remove(SettingsKey::rules);
    settings.beginWriteArray(SettingsKey::rules, int(rules.size()));
    for (int i = 0; i < rules.size(); ++i) {
        const LineRule &rule = rules.at(i);
        settings.setArrayIndex(i);
        settings.setValue(kindKey, ruleKindKey(rule.kind));
        if (usesPattern(rule.kind))
            settings.setValue(patternKey, rule.pattern);
        if (rule.kind == LineRule::Kind::Replace)
            settings.setValue(replacementKey, rule.replacement);
    }
    settings.endArray();
}

QChar readGs1Separator(QSettings &settings)
{
    const QString text = settings.value(SettingsKey::gs1Separator).toString();
    return text.size() == 1 ? text.at(0) : LineRules::defaultGs1Separator;
}

void writeGs1Separator(QSettings &settings, QChar separator)
{
    settings.setValue(SettingsKey::gs1Separator, QString(separator));
}
