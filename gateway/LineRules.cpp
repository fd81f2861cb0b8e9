#include "LineRules.h"

#include "SettingsKeys.h"

#include <QSettings>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The data field of one AI, or of a run of AIs with the same format: from
// `minLength` to `maxLength` characters, of which the first `digits` must be
// digits. From GS1's table of Application Identifiers.
struct AiFormat
{
    const char *first;
    const char *last;
    int minLength;
    int maxLength;
    int digits;
};

constexpr AiFormat aiFormats[] = {
    {"00", "00", 18, 18, 18},        // SSCC
    {"01", "02", 14, 14, 14},        // GTIN, CONTENT
    {"10", "10", 1, 20, 0},          // BATCH/LOT
    {"11", "13", 6, 6, 6},           // PROD, DUE, PACK DATE
    {"15", "17", 6, 6, 6},           // BEST BEFORE, SELL BY, USE BY
    {"20", "20", 2, 2, 2},           // VARIANT
    {"21", "22", 1, 20, 0},          // SERIAL, CPV
    {"235", "235", 1, 28, 0},        // TPX
    {"240", "241", 1, 30, 0},        // ADDITIONAL ID, CUST. PART No.
    {"242", "242", 1, 6, 6},         // MTO VARIANT
    {"243", "243", 1, 20, 0},        // PCN
    {"250", "251", 1, 30, 0},        // SECONDARY SERIAL, REF. TO SOURCE
    {"253", "253", 13, 30, 13},      // GDTI: N13 [X..17]
    {"254", "254", 1, 20, 0},        // GLN EXTENSION COMPONENT
    {"255", "255", 13, 25, 25},      // GCN: N13 [N..12]
    {"30", "30", 1, 8, 8},           // VAR. COUNT
    {"37", "37", 1, 8, 8},           // COUNT
    {"3900", "3909", 1, 15, 15},     // AMOUNT
    {"3910", "3919", 4, 18, 18},     // AMOUNT: N3 (currency) N..15
    {"3920", "3929", 1, 15, 15},     // PRICE
    {"3930", "3939", 4, 18, 18},     // PRICE: N3 (currency) N..15
    {"3940", "3943", 4, 4, 4},       // PRCNT OFF
    {"3950", "3955", 6, 6, 6},       // PRICE/UoM
    {"400", "401", 1, 30, 0},        // ORDER NUMBER, GINC
    {"402", "402", 17, 17, 17},      // GSIN
    {"403", "403", 1, 30, 0},        // ROUTE
    {"410", "417", 13, 13, 13},      // GLNs
    {"420", "420", 1, 20, 0},        // SHIP TO POST
    {"421", "421", 4, 12, 3},        // SHIP TO POST: N3 X..9
    {"422", "422", 3, 3, 3},         // ORIGIN
    {"423", "423", 1, 15, 15},       // COUNTRY - INITIAL PROCESS
    {"424", "424", 3, 3, 3},         // COUNTRY - PROCESS
    {"425", "425", 1, 15, 15},       // COUNTRY - DISASSEMBLY
    {"426", "426", 3, 3, 3},         // COUNTRY - FULL PROCESS
    {"427", "427", 1, 3, 0},         // ORIGIN SUBDIVISION
    {"4300", "4301", 1, 35, 0},      // SHIP TO COMP, NAME
    {"4302", "4306", 1, 70, 0},      // SHIP TO ADD1 … REG
    {"4307", "4307", 2, 2, 0},       // SHIP TO COUNTRY
    {"4308", "4308", 1, 30, 0},      // SHIP TO PHONE
    {"4309", "4309", 20, 20, 20},    // SHIP TO GEO
    {"4310", "4311", 1, 35, 0},      // RTN TO COMP, NAME
    {"4312", "4316", 1, 70, 0},      // RTN TO ADD1 … REG
    {"4317", "4317", 2, 2, 0},       // RTN TO COUNTRY
    {"4318", "4318", 1, 20, 0},      // RTN TO POST
    {"4319", "4319", 1, 30, 0},      // RTN TO PHONE
    {"4320", "4320", 1, 35, 0},      // SRV DESCRIPTION
    {"4321", "4323", 1, 1, 1},       // DANGEROUS GOODS, AUTH TO LEAVE, SIG REQUIRED
    {"4324", "4325", 10, 10, 10},    // NOT BEF / NOT AFT DEL DT
    {"4326", "4326", 6, 6, 6},       // REL DATE
    {"4330", "4333", 6, 7, 6},       // MAX / MIN TEMP: N6 [X1]
    {"7001", "7001", 13, 13, 13},    // NSN
    {"7002", "7002", 1, 30, 0},      // MEAT CUT
    {"7003", "7003", 10, 10, 10},    // EXPIRY TIME
    {"7004", "7004", 1, 4, 4},       // ACTIVE POTENCY
    {"7005", "7005", 1, 12, 0},      // CATCH AREA
    {"7006", "7006", 6, 6, 6},       // FIRST FREEZE DATE
    {"7007", "7007", 6, 12, 12},     // HARVEST DATE: N6 [N6]
    {"7008", "7008", 1, 3, 0},       // AQUATIC (FAO code)
    {"7009", "7009", 1, 10, 0},      // FISHING GEAR TYPE
    {"7010", "7010", 1, 2, 0},       // PROD METHOD
    {"7011", "7011", 6, 10, 10},     // TEST BY DATE: N6 [N4]
    {"7020", "7022", 1, 20, 0},      // REFURB LOT, FUNC STAT, REV STAT
    {"7023", "7023", 1, 30, 0},      // GIAI - ASSEMBLY
    {"7030", "7039", 4, 30, 3},      // PROCESSOR # s: N3 X..27
    {"7040", "7040", 4, 4, 1},       // UIC+EXT: N1 X3
    {"710", "716", 1, 20, 0},        // NHRN
    {"7230", "7239", 3, 30, 0},      // CERT # s: X2 X..28
    {"7240", "7240", 1, 20, 0},      // PROTOCOL
    {"7241", "7241", 2, 2, 2},       // AIDC MEDIA TYPE
    {"7242", "7242", 1, 25, 0},      // VCN
    {"8001", "8001", 14, 14, 14},    // DIMENSIONS
    {"8002", "8002", 1, 20, 0},      // CMT No.
    {"8003", "8003", 14, 30, 14},    // GRAI: N14 [X..16]
    {"8004", "8004", 1, 30, 0},      // GIAI
    {"8005", "8005", 6, 6, 6},       // PRICE PER UNIT
    {"8006", "8006", 18, 18, 18},    // ITIP
    {"8007", "8007", 1, 34, 0},      // IBAN
    {"8008", "8008", 8, 12, 12},     // PROD TIME: N8 [N..4]
    {"8009", "8009", 1, 50, 0},      // OPTSEN
    {"8010", "8010", 1, 30, 0},      // CPID
    {"8011", "8011", 1, 12, 12},     // CPID SERIAL
    {"8012", "8012", 1, 20, 0},      // VERSION
    {"8013", "8013", 1, 25, 0},      // GMN
    {"8017", "8018", 18, 18, 18},    // GSRN - PROVIDER, RECIPIENT
    {"8019", "8019", 1, 10, 10},     // SRIN
    {"8020", "8020", 1, 25, 0},      // REF No.
    {"8026", "8026", 18, 18, 18},    // ITIP CONTENT
    {"8030", "8030", 1, 90, 0},      // DIGSIG
    {"8110", "8110", 1, 70, 0},      // coupon code
    {"8111", "8111", 4, 4, 4},       // POINTS
    {"8112", "8112", 1, 70, 0},      // paperless coupon code
    {"8200", "8200", 1, 70, 0},      // PRODUCT URL
    {"90", "90", 1, 30, 0},          // INTERNAL
    {"91", "99", 1, 90, 0},          // INTERNAL
};

// The trade and logistic measures, AI 3abn: six digits with n (0 to 5) decimal
// places, for the three-digit bases 3ab in these runs.
constexpr std::pair<int, int> measureBases[] = {{310, 316}, {320, 337}, {340, 357}, {360, 369}};
constexpr AiFormat measureFormat = {"3100", "3695", 6, 6, 6};

// Element strings of predefined length, which need no separator: the first two
// digits of the AI, and the length of AI and data field together.
constexpr std::pair<const char *, int> predefinedLengths[] = {
    {"00", 20}, {"01", 16}, {"02", 16}, {"03", 16}, {"04", 18}, {"11", 8},  {"12", 8},  {"13", 8},
    {"14", 8},  {"15", 8},  {"16", 8},  {"17", 8},  {"18", 8},  {"19", 8},  {"20", 4},  {"31", 10},
    {"32", 10}, {"33", 10}, {"34", 10}, {"35", 10}, {"36", 10}, {"41", 16},
};

// Symbology identifiers that announce GS1 data: GS1-128, GS1 DataBar and
// Composite, GS1 DataMatrix, GS1 QR Code, GS1 DotCode.
constexpr const char *gs1Symbologies[] = {"]C1", "]e0", "]d2", "]Q3", "]J1"};

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool allDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(), isAsciiDigit);
}

// The format of exactly this AI, or none.
const AiFormat *aiFormat(QStringView ai)
{
    if (ai.size() < 2 || ai.size() > 4 || !allDigits(ai))
        return nullptr;
    for (const AiFormat &format : aiFormats) {
        if (qsizetype(std::strlen(format.first)) == ai.size() && QLatin1String(format.first) <= ai
            && ai <= QLatin1String(format.last))
            return &format;
    }
    if (ai.size() == 4 && ai.at(3) <= u'5') {
        const int base = ai.left(3).toInt();
        for (const auto &[first, last] : measureBases) {
            if (base >= first && base <= last)
                return &measureFormat;
        }
    }
    return nullptr;
}

int predefinedLength(QStringView ai)
{
    for (const auto &[prefix, length] : predefinedLengths) {
        if (ai.startsWith(QLatin1String(prefix)))
            return length;
    }
    return 0;
}

QString invalidGs1(const QString &why)
{
    return QStringLiteral("not a valid GS1 element string: %1").arg(why);
}

// Why a data field does not fit its AI, or an empty text.
QString fieldError(QStringView ai, const AiFormat &format, QStringView value)
{
    const QString name = QStringLiteral("(%1)").arg(ai);
    if (value.isEmpty())
        return QStringLiteral("%1 has no value").arg(name);
    if (value.size() < format.minLength)
        return QStringLiteral("%1 shorter than %2 characters").arg(name).arg(format.minLength);
    if (value.size() > format.maxLength)
        return QStringLiteral("%1 longer than %2 characters").arg(name).arg(format.maxLength);
    if (!allDigits(value.left(format.digits))) {
        return format.digits == format.maxLength
            ? QStringLiteral("%1 not all digits").arg(name)
            : QStringLiteral("%1 not digits in its first %2 characters").arg(name).arg(format.digits);
    }
    return {};
}

// The value of `wanted` in a GS1 element string, after the whole line has been
// checked; a rejection text otherwise.
QString gs1Value(QStringView line, QStringView wanted, QChar separator, QString *rejection)
{
    QStringView data = line;
    if (data.startsWith(u']')) {
        const QStringView symbology = data.left(3);
        const bool gs1 = std::any_of(std::begin(gs1Symbologies), std::end(gs1Symbologies),
                                     [&](const char *id) { return symbology == QLatin1String(id); });
        if (!gs1) {
            *rejection = QStringLiteral("not a GS1 element string (symbology %1)").arg(symbology);
            return {};
        }
        data = data.mid(3);
    }

    std::optional<QStringView> found;
    bool anyElement = false;
    qsizetype pos = 0;
    while (pos < data.size()) {
        // A separator where an element begins says nothing: scanners send one
        // after predefined-length elements, at the start or at the end.
        if (data.at(pos) == separator) {
            ++pos;
            continue;
        }
        const AiFormat *format = nullptr;
        qsizetype aiLength = 0;
        for (qsizetype n = 2; n <= 4 && pos + n <= data.size() && !format; ++n) {
            if ((format = aiFormat(data.mid(pos, n))))
                aiLength = n;
        }
        if (!format) {
            QStringView shown = data.mid(pos, 4);
            if (const qsizetype cut = shown.indexOf(separator); cut >= 0)
                shown = shown.left(cut);
            *rejection = invalidGs1(QStringLiteral("unknown AI at \"%1\"").arg(shown));
            return {};
        }
        const QStringView ai = data.mid(pos, aiLength);
        const qsizetype start = pos + aiLength;
        qsizetype end = data.indexOf(separator, start);
        if (end < 0)
            end = data.size();
        QStringView value;
        if (const int predefined = predefinedLength(ai)) {
            const qsizetype length = predefined - aiLength;
            if (end - start < length) {
                *rejection = invalidGs1(QStringLiteral("(%1) cut short, %2 of %3 characters")
                                            .arg(ai).arg(end - start).arg(length));
                return {};
            }
            value = data.mid(start, length);
            pos = start + length;
        } else {
            value = data.mid(start, end - start);
            pos = end;
        }
        const QString why = fieldError(ai, *format, value);
        if (!why.isEmpty()) {
            *rejection = invalidGs1(why);
            return {};
        }
        anyElement = true;
        if (!found && ai == wanted)
            found = value;
    }
    if (!anyElement) {
        *rejection = invalidGs1(QStringLiteral("no element"));
        return {};
    }
    if (!found) {
        *rejection = QStringLiteral("GS1 element (%1) not in the line").arg(wanted);
        return {};
    }
    return found->toString();
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
        return aiFormat(rule.pattern) ? QString() : QStringLiteral("unknown AI \"%1\"").arg(rule.pattern);
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
