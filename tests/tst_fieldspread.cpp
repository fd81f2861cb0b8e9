// One line over the fields of a destination, and the GS1 dates it may carry.
#include "TestMain.h"

#include "FieldSpread.h"
#include "Gs1.h"

namespace {

const QChar gs = QChar(0x1D);

QString line(QString text)
{
    return text.replace(QLatin1String("<GS>"), QString(gs));
}

// Fields written "label" for a text input or "label/date" for a date input.
Destination dest(FieldsMode mode, const QStringList &fields, const QStringList &ais = {}, QChar separator = u'\t')
{
    Destination d;
    d.mode = mode;
    d.splitSeparator = separator;
    d.ais = ais;
    for (const QString &field : fields) {
        const QStringList parts = field.split(u'/');
        d.fields.append({{QStringLiteral("label"), parts.at(0)},
                         {QStringLiteral("tag"), QStringLiteral("input")},
                         {QStringLiteral("type"), parts.value(1, QStringLiteral("text"))}});
    }
    return d;
}

} // namespace

class TestFieldSpread : public QObject
{
    Q_OBJECT

private slots:
    void spread_data()
    {
        QTest::addColumn<Destination>("destination");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("rejection");
        const QStringList three = {QStringLiteral("GTIN"), QStringLiteral("Batch"), QStringLiteral("Expiry/date")};
        const QStringList gtinBatchExpiry = {QStringLiteral("01"), QStringLiteral("10"), QStringLiteral("17")};
        const QString example = line("]C10109501101530003<GS>10ABC123<GS>17261231");
        const auto row = [](const char *name, const Destination &d, const QString &input, const QStringList &values,
                            const QString &rejection = {}) {
            QTest::newRow(name) << d << input << values << rejection;
        };

        row("split at Tab", dest(FieldsMode::Split, {"a", "b", "c"}), "1\t2\t3", {"1", "2", "3"});
        row("split at GS", dest(FieldsMode::Split, {"a", "b"}, {}, gs), line("x<GS>y"), {"x", "y"});
        row("split at ';', an empty part kept", dest(FieldsMode::Split, {"a", "b", "c"}, {}, u';'), "1;;3",
            {"1", "", "3"});
        row("more parts than fields", dest(FieldsMode::Split, {"a", "b"}), "1\t2\t3", {}, "3 parts for 2 fields");
        row("one part for two fields", dest(FieldsMode::Split, {"a", "b"}), "12", {}, "1 part for 2 fields");
        row("per line: the line whole", dest(FieldsMode::PerLine, {"a", "b"}), "1\t2", {"1\t2"});
        row("one field: the line whole", dest(FieldsMode::Split, {"a"}), "1\t2", {"1\t2"});

        row("GS1 into fields, the date into a date input", dest(FieldsMode::Gs1, three, gtinBatchExpiry), example,
            {"09501101530003", "ABC123", "2026-12-31"});
        row("GS1 date into a text input keeps its digits",
            dest(FieldsMode::Gs1, {"GTIN", "Batch", "Expiry"}, gtinBatchExpiry), example,
            {"09501101530003", "ABC123", "261231"});
        row("GS1 fields in another order than the line", dest(FieldsMode::Gs1, {"a", "b"}, {"10", "01"}), example,
            {"ABC123", "09501101530003"});
        row("GS1 date that is none", dest(FieldsMode::Gs1, three, gtinBatchExpiry),
            line("]C10109501101530003<GS>10ABC123<GS>17261340"), {}, "GS1 element (17) is not a date: 261340");
        row("GS1 element absent", dest(FieldsMode::Gs1, three, {"01", "10", "21"}), example, {},
            "GS1 element (21) not in the line");
        row("GS1 field without its AI", dest(FieldsMode::Gs1, three, {"01"}), example, {},
            "field 2 of 3 (Batch) has no application identifier");
        row("GS1 field without a label or AI", dest(FieldsMode::Gs1, {"a", ""}, {"01"}), example, {},
            "field 2 of 2 (no name) has no application identifier");
        row("GS1 line refused whole", dest(FieldsMode::Gs1, three, gtinBatchExpiry), "]C00109501101530003", {},
            "not a GS1 element string (symbology ]C0)");
    }

    void spread()
    {
        QFETCH(Destination, destination);
        QFETCH(QString, input);
        QFETCH(QStringList, values);
        QFETCH(QString, rejection);
        const Spread spread = spreadLine(input, destination, gs, QDate(2026, 6, 15));
        QCOMPARE(spread.rejection, rejection);
        QCOMPARE(spread.values, values);
    }

    void isoDate_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("yymmdd");
        QTest::addColumn<QString>("iso"); // empty: not a date
        const QDate y2026(2026, 6, 15);
        const QDate y2080(2080, 1, 1);
        const auto row = [](const char *name, QDate today, const char *yymmdd, const char *iso) {
            QTest::newRow(name) << today << QString::fromLatin1(yymmdd) << QString::fromLatin1(iso);
        };
        row("plain", y2026, "261231", "2026-12-31");
        row("day 00 of February, leap year", y2026, "240200", "2024-02-29");
        row("day 00 of February, common year", y2026, "250200", "2025-02-28");
        row("day 00 of February 2000", y2026, "000200", "2000-02-29");
        row("day 00 of February 2100, no leap year", y2080, "000200", "2100-02-28");
        row("50 years ahead: this century", y2026, "760101", "2076-01-01");
        row("51 years ahead: the previous one", y2026, "770101", "1977-01-01");
        row("49 years back: this century", y2080, "310101", "2031-01-01");
        row("50 years back: the next one", y2080, "300101", "2130-01-01");
        row("month 13", y2026, "261340", "");
        row("29 February of a common year", y2026, "250229", "");
        row("31 April", y2026, "260431", "");
        row("five digits", y2026, "26123", "");
        row("a letter", y2026, "26123a", "");
    }

    void isoDate()
    {
        QFETCH(QDate, today);
        QFETCH(QString, yymmdd);
        QFETCH(QString, iso);
        QCOMPARE(gs1IsoDate(yymmdd, today).value_or(QString()), iso);
    }

    void parseAis_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("ais");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const QString &text, const QStringList &ais, const QString &error) {
            QTest::newRow(name) << text << ais << error;
        };
        row("plain", "01,10,17", QStringList{"01", "10", "17"}, "");
        row("blanks around commas", " 01 ,10 , 3103", QStringList{"01", "10", "3103"}, "");
        row("none", "  ", QStringList{}, "");
        row("unknown", "01,23", QStringList{}, "(23) is not a GS1 application identifier");
        row("empty between commas", "01,,10", QStringList{}, "application identifier 2 of 3 is empty");
        row("more than the fields", QStringLiteral("10,").repeated(17).chopped(1), QStringList{},
            "17 application identifiers for at most 16 fields");
    }

    void parseAis()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, ais);
        QFETCH(QString, error);
        QString got = QStringLiteral("not cleared");
        QCOMPARE(::parseAis(text, &got), ais);
        QCOMPARE(got, error);
    }
};

FIELDPOST_TEST_MAIN(TestFieldSpread)
#include "tst_fieldspread.moc"
