#include "PageEntries.h"

#include "FieldSpread.h"
#include "Gs1.h"
#include "SettingsKeys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <iterator>
#include <tuple>

namespace {

const QString matchKeys[] = {QStringLiteral("page"), QStringLiteral("site"), QStringLiteral("prefix"),
                             QStringLiteral("regex")};

const QString entryKey = QStringLiteral("entry");

QString withoutQueryAndFragment(const QString &url)
{
    // A query comes before the fragment and '#' cannot be in it, so the first
    // of the two ends the path.
    const qsizetype end = std::min<qsizetype>(url.indexOf(u'?') < 0 ? url.size() : url.indexOf(u'?'),
                                              url.indexOf(u'#') < 0 ? url.size() : url.indexOf(u'#'));
    return url.left(end);
}

QString hostOf(const QString &url)
{
    return QUrl(url).host();
}

// Only the characters the expression engine gives a meaning, so that the
// pattern the user sees still reads as the address.
QString escapeForRegex(const QString &text)
{
    static const QString special = QStringLiteral("\\^$.|?*+()[]{}");
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (special.contains(c))
            out.append(u'\\');
        out.append(c);
    }
    return out;
}

QString regexError(const QRegularExpression &expression)
{
    return QStringLiteral("invalid regular expression: %1 at offset %2")
        .arg(expression.errorString())
        .arg(expression.patternErrorOffset());
}

// The first member of `o` whose type is not its own, as an error text.
QString typeError(const QJsonObject &o, std::initializer_list<std::pair<const char *, QJsonValue::Type>> members)
{
    for (const auto &[name, type] : members) {
        const QJsonValue value = o.value(QLatin1String(name));
        if (value.isUndefined() || value.type() == type)
            continue;
        const char *typeName = type == QJsonValue::String ? "a text"
            : type == QJsonValue::Bool                    ? "true or false"
            : type == QJsonValue::Array                   ? "an array"
                                                          : "an object";
        return QStringLiteral("%1 is not %2").arg(QLatin1String(name), QLatin1String(typeName));
    }
    return {};
}

std::optional<PageEntry> entryFromText(const QString &text, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return pageEntryFromJson(document.object(), error);
}

void readArray(QSettings &settings, bool deployed, QList<PageEntry> *entries, QStringList *skipped)
{
    const QString what = deployed ? QStringLiteral("deployed entry") : QStringLiteral("entry");
    const int size = settings.beginReadArray(SettingsKey::pages);
    // The size is a number anyone can edit; it must not set the gateway
    // reading a billion missing entries.
    const int read = std::min(size, maxPageEntries);
    for (int i = 0; i < read; ++i) {
        settings.setArrayIndex(i);
        QString error;
        std::optional<PageEntry> entry = entryFromText(settings.value(entryKey).toString(), &error);
        if (entry) {
            entry->deployed = deployed;
            entries->append(std::move(*entry));
        } else if (skipped) {
            skipped->append(QStringLiteral("Pages: %1 %2 left out: %3").arg(what).arg(i + 1).arg(error));
        }
    }
    settings.endArray();
    if (size > read && skipped)
        skipped->append(QStringLiteral("Pages: %1 of %2 %3s left out, %4 at most")
                            .arg(size - read)
                            .arg(size)
                            .arg(what)
                            .arg(maxPageEntries));
}

} // namespace

QString pageMatchKey(PageMatch match)
{
    return matchKeys[int(match)];
}

std::optional<PageMatch> pageMatchFromKey(const QString &key)
{
    const auto found = std::find(std::begin(matchKeys), std::end(matchKeys), key);
    if (found == std::end(matchKeys))
        return std::nullopt;
    return PageMatch(found - std::begin(matchKeys));
}

QString defaultPattern(const QString &url, PageMatch match)
{
    switch (match) {
    case PageMatch::Page:
    case PageMatch::Prefix:
        return withoutQueryAndFragment(url);
    case PageMatch::Site:
        return hostOf(url);
    case PageMatch::Regex:
        return QLatin1Char('^') + escapeForRegex(withoutQueryAndFragment(url)) + QStringLiteral("(?:[?#]|$)");
    }
    return {};
}

QString patternError(const QString &pattern, PageMatch match)
{
    if (pattern.trimmed().isEmpty())
        return QStringLiteral("empty pattern");
    switch (match) {
    case PageMatch::Page:
    case PageMatch::Prefix:
        return {};
    case PageMatch::Site: {
        const bool hostLike = std::none_of(pattern.begin(), pattern.end(), [](QChar c) {
            return c.isSpace() || c == u'/' || c == u'?' || c == u'#' || c == u'@';
        });
        return hostLike ? QString() : QStringLiteral("\"%1\" is not a host name such as example.com").arg(pattern);
    }
    case PageMatch::Regex: {
        const QRegularExpression expression(pattern);
        return expression.isValid() ? QString() : regexError(expression);
    }
    }
    return {};
}

bool pageMatches(const PageEntry &entry, const QString &url)
{
    switch (entry.match) {
    case PageMatch::Page:
        return withoutQueryAndFragment(url) == withoutQueryAndFragment(entry.pattern);
    case PageMatch::Site:
        return !entry.pattern.isEmpty() && hostOf(url).compare(entry.pattern, Qt::CaseInsensitive) == 0;
    case PageMatch::Prefix:
        return !entry.pattern.isEmpty() && url.startsWith(entry.pattern);
    case PageMatch::Regex: {
        const QRegularExpression expression(entry.pattern);
        return expression.isValid() && expression.match(url).hasMatch();
    }
    }
    return false;
}

int findPageEntry(const QList<PageEntry> &entries, const QString &url)
{
    const auto rank = [&](int i) {
        const PageEntry &e = entries.at(i);
        static constexpr int kindRank[] = {0, 3, 1, 2}; // Page, Site, Prefix, Regex
        const qsizetype prefixLength = e.match == PageMatch::Prefix ? e.pattern.size() : 0;
        return std::make_tuple(kindRank[int(e.match)], -prefixLength, e.deployed, i);
    };
    int best = -1;
    for (int i = 0; i < entries.size(); ++i) {
        if (pageMatches(entries.at(i), url) && (best < 0 || rank(i) < rank(best)))
            best = i;
    }
    return best;
}

QJsonObject destinationToJson(const Destination &d)
{
    QJsonArray fields;
    for (const QJsonObject &field : d.fields)
        fields.append(field);
    return {
        {QStringLiteral("url"), d.url},
        {QStringLiteral("title"), d.title},
        {QStringLiteral("fields"), fields},
        {QStringLiteral("mode"), fieldsModeKey(d.mode)},
        {QStringLiteral("splitSeparator"), QString(d.splitSeparator)},
        {QStringLiteral("ais"), QJsonArray::fromStringList(d.ais)},
        {QStringLiteral("pressEnter"), d.pressEnter},
        {QStringLiteral("button"), d.button},
        {QStringLiteral("clickButton"), d.clickButton},
    };
}

std::optional<Destination> destinationFromJson(const QJsonObject &o, QString *error)
{
    const auto refuse = [&](QString why) {
        *error = std::move(why);
        return std::nullopt;
    };
    const QString wrongType = typeError(o, {{"url", QJsonValue::String},
                                            {"title", QJsonValue::String},
                                            {"fields", QJsonValue::Array},
                                            {"mode", QJsonValue::String},
                                            {"splitSeparator", QJsonValue::String},
                                            {"ais", QJsonValue::Array},
                                            {"pressEnter", QJsonValue::Bool},
                                            {"button", QJsonValue::Object},
                                            {"clickButton", QJsonValue::Bool}});
    if (!wrongType.isEmpty())
        return refuse(wrongType);

    Destination d;
    d.url = o.value(QLatin1String("url")).toString();
    d.title = o.value(QLatin1String("title")).toString();
    const QJsonArray fields = o.value(QLatin1String("fields")).toArray();
    if (fields.isEmpty())
        return refuse(QStringLiteral("no fields"));
    if (fields.size() > Destination::MaxFields)
        return refuse(QStringLiteral("%1 fields, %2 at most").arg(fields.size()).arg(Destination::MaxFields));
    for (int i = 0; i < fields.size(); ++i) {
        if (!fields.at(i).isObject())
            return refuse(QStringLiteral("field %1 is not an object").arg(i + 1));
        d.fields.append(fields.at(i).toObject());
    }

    if (const QJsonValue mode = o.value(QLatin1String("mode")); !mode.isUndefined()) {
        const std::optional<FieldsMode> known = fieldsModeFromKey(mode.toString());
        if (!known)
            return refuse(QStringLiteral("unknown mode \"%1\"").arg(mode.toString()));
        d.mode = *known;
    }
    if (const QJsonValue separator = o.value(QLatin1String("splitSeparator")); !separator.isUndefined()) {
        if (separator.toString().size() != 1)
            return refuse(QStringLiteral("split separator \"%1\" is not one character").arg(separator.toString()));
        d.splitSeparator = separator.toString().at(0);
    }
    for (const QJsonValue ai : o.value(QLatin1String("ais")).toArray()) {
        if (!ai.isString() || !isKnownAi(ai.toString()))
            return refuse(QStringLiteral("(%1) is not a GS1 application identifier")
                              .arg(ai.isString() ? ai.toString() : ai.toVariant().toString()));
        d.ais.append(ai.toString());
    }
    d.pressEnter = o.value(QLatin1String("pressEnter")).toBool(d.pressEnter);
    d.button = o.value(QLatin1String("button")).toObject();
    d.clickButton = o.value(QLatin1String("clickButton")).toBool(d.clickButton);
    return d;
}

QJsonObject pageEntryToJson(const PageEntry &e)
{
    return {
        {QStringLiteral("pattern"), e.pattern},
        {QStringLiteral("match"), pageMatchKey(e.match)},
        {QStringLiteral("destination"), destinationToJson(e.destination)},
    };
}

std::optional<PageEntry> pageEntryFromJson(const QJsonObject &o, QString *error)
{
    const auto refuse = [&](QString why) {
        *error = std::move(why);
        return std::nullopt;
    };
    const QString wrongType = typeError(
        o, {{"pattern", QJsonValue::String}, {"match", QJsonValue::String}, {"destination", QJsonValue::Object}});
    if (!wrongType.isEmpty())
        return refuse(wrongType);

    PageEntry entry;
    entry.pattern = o.value(QLatin1String("pattern")).toString();
    const QString matchText = o.value(QLatin1String("match")).toString();
    const std::optional<PageMatch> match = pageMatchFromKey(matchText);
    if (!match)
        return refuse(QStringLiteral("unknown match \"%1\"").arg(matchText));
    entry.match = *match;
    if (const QString why = patternError(entry.pattern, entry.match); !why.isEmpty())
        return refuse(why);
    if (!o.contains(QLatin1String("destination")))
        return refuse(QStringLiteral("no destination"));
    QString why;
    std::optional<Destination> destination =
        destinationFromJson(o.value(QLatin1String("destination")).toObject(), &why);
    if (!destination)
        return refuse(QStringLiteral("destination: %1").arg(why));
    entry.destination = std::move(*destination);
    return entry;
}

QList<PageEntry> readPageEntries(QSettings &user, QSettings *system, QStringList *skipped)
{
    // A user store falls back to the system one by default, which would read
    // the deployed entries a second time as the user's own, and write them back.
    const bool fallbacks = user.fallbacksEnabled();
    user.setFallbacksEnabled(false);
    QList<PageEntry> entries;
    readArray(user, false, &entries, skipped);
    user.setFallbacksEnabled(fallbacks);
    if (system)
        readArray(*system, true, &entries, skipped);
    return entries;
}

void writePageEntries(QSettings &user, const QList<PageEntry> &entries)
{
    // A shorter list must not leave the old tail behind.
    user.remove(SettingsKey::pages);
    user.beginWriteArray(SettingsKey::pages);
    int index = 0;
    for (const PageEntry &entry : entries) {
        if (entry.deployed)
            continue;
        user.setArrayIndex(index++);
        const QByteArray json = QJsonDocument(pageEntryToJson(entry)).toJson(QJsonDocument::Compact);
        user.setValue(entryKey, QString::fromUtf8(json));
    }
    user.endArray();
}

QByteArray exportPageEntries(const QList<PageEntry> &entries)
{
    QJsonArray pages;
    for (const PageEntry &entry : entries) {
        if (!entry.deployed)
            pages.append(pageEntryToJson(entry));
    }
    const QJsonObject file{{QStringLiteral("fieldpostPages"), pagesFileVersion}, {QStringLiteral("pages"), pages}};
    return QJsonDocument(file).toJson(QJsonDocument::Indented);
}

std::optional<QList<PageEntry>> importPageEntries(const QByteArray &file, QString *error)
{
    const auto refuse = [&](QString why) {
        *error = std::move(why);
        return std::nullopt;
    };
    if (file.size() > maxPagesFileBytes)
        return refuse(QStringLiteral("larger than %1 MiB").arg(maxPagesFileBytes / (1024 * 1024)));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    const QJsonObject root = document.object();
    const QJsonValue version = root.value(QLatin1String("fieldpostPages"));
    if (!document.isObject() || version.isUndefined() || !root.value(QLatin1String("pages")).isArray())
        return refuse(QStringLiteral("not a Fieldpost pages file"));
    if (version.toInt(-1) != pagesFileVersion) {
        return refuse(QStringLiteral("a pages file of version %1, this gateway reads version %2")
                          .arg(version.toVariant().toString())
                          .arg(pagesFileVersion));
    }
    const QJsonArray pages = root.value(QLatin1String("pages")).toArray();
    if (pages.size() > maxPageEntries)
        return refuse(QStringLiteral("%1 entries, %2 at most").arg(pages.size()).arg(maxPageEntries));

    QList<PageEntry> entries;
    for (int i = 0; i < pages.size(); ++i) {
        QString why = QStringLiteral("not a JSON object");
        std::optional<PageEntry> entry;
        if (pages.at(i).isObject())
            entry = pageEntryFromJson(pages.at(i).toObject(), &why);
        if (!entry)
            return refuse(QStringLiteral("entry %1: %2").arg(i + 1).arg(why));
        entries.append(std::move(*entry));
    }
    return entries;
}
