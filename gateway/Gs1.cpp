#include "Gs1.h"

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

} // namespace

Gs1Reading readGs1(QStringView line, QChar separator)
{
    const auto rejected = [](QString why) { return Gs1Reading{{}, std::move(why)}; };
    QStringView data = line;
    if (data.startsWith(u']')) {
        const QStringView symbology = data.left(3);
        const bool gs1 = std::any_of(std::begin(gs1Symbologies), std::end(gs1Symbologies),
                                     [&](const char *id) { return symbology == QLatin1String(id); });
        if (!gs1)
            return rejected(QStringLiteral("not a GS1 element string (symbology %1)").arg(symbology));
        data = data.mid(3);
    }

    Gs1Reading reading;
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
            return rejected(invalidGs1(QStringLiteral("unknown AI at \"%1\"").arg(shown)));
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
                return rejected(invalidGs1(QStringLiteral("(%1) cut short, %2 of %3 characters")
                                               .arg(ai).arg(end - start).arg(length)));
            }
            value = data.mid(start, length);
            pos = start + length;
        } else {
            value = data.mid(start, end - start);
            pos = end;
        }
        const QString why = fieldError(ai, *format, value);
        if (!why.isEmpty())
            return rejected(invalidGs1(why));
        reading.elements.append({ai.toString(), value.toString()});
    }
    if (reading.elements.isEmpty())
        return rejected(invalidGs1(QStringLiteral("no element")));
    return reading;
}

QString gs1Value(QStringView line, QStringView wanted, QChar separator, QString *rejection)
{
    const Gs1Reading reading = readGs1(line, separator);
    if (!reading.rejection.isEmpty()) {
        *rejection = reading.rejection;
        return {};
    }
    for (const Gs1Element &element : reading.elements) {
        if (element.ai == wanted)
            return element.value;
    }
    *rejection = QStringLiteral("GS1 element (%1) not in the line").arg(wanted);
    return {};
}

bool isKnownAi(QStringView ai)
{
    return aiFormat(ai) != nullptr;
}

bool isGs1DateAi(QStringView ai)
{
    static const QLatin1String dateAis[] = {QLatin1String("11"), QLatin1String("13"), QLatin1String("15"),
                                            QLatin1String("16"), QLatin1String("17")};
    return std::any_of(std::begin(dateAis), std::end(dateAis), [&](QLatin1String d) { return ai == d; });
}

std::optional<QString> gs1IsoDate(QStringView yymmdd, QDate today)
{
    if (yymmdd.size() != 6 || !allDigits(yymmdd))
        return std::nullopt;
    const int yy = yymmdd.left(2).toInt();
    const int month = yymmdd.mid(2, 2).toInt();
    int day = yymmdd.mid(4, 2).toInt();
    if (month < 1 || month > 12)
        return std::nullopt;

    const int thisYear = today.year();
    const int century = thisYear - thisYear % 100;
    int year = century + yy;
    const int difference = yy - thisYear % 100;
    if (difference >= 51)
        year -= 100;
    else if (difference <= -50)
        year += 100;

    const int lastDay = QDate(year, month, 1).daysInMonth();
    if (day == 0)
        day = lastDay;
    else if (day > lastDay)
        return std::nullopt;
    return QDate(year, month, day).toString(Qt::ISODate);
}
