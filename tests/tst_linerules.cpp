// The line rules through LineRules::apply, their checks, and their settings.
#include "TestMain.h"

#include "LineRules.h"

using Kind = LineRule::Kind;
using Rules = QList<LineRule>;

namespace {

const QChar gs = QChar(0x1D);

// Sample lines written with "<GS>" for the group separator.
QString line(QString text)
{
    return text.replace(QLatin1String("<GS>"), QString(gs));
}

LineRule gs1(const char *ai)
{
    return {Kind::Gs1, QString::fromLatin1(ai), {}};
}

} // namespace

class TestLineRules : public QObject
{
    Q_OBJECT

private slots:
    // What the rules make of a line: the line sent, or "rejected: " and the reason.
    void apply_data()
    {
        QTest::addColumn<Rules>("rules");
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const Rules &rules, const QString &input, const QString &expected,
                            QChar separator = gs) { QTest::newRow(name) << rules << separator << input << expected; };

        // Every kind on its own, and the order they run in.
        row("no rules", {}, line(" ]C1 x<GS>"), line(" ]C1 x<GS>"));
        row("trim", {{Kind::Trim}}, QStringLiteral(" \t 12 34\u00a0\r\n"), QStringLiteral("12 34"));
        row("remove characters", {{Kind::Remove, QStringLiteral("-/ ")}}, QStringLiteral("12-34/56 7"),
            QStringLiteral("1234567"));
        row("remove a character outside the BMP, not its neighbour", {{Kind::Remove, QStringLiteral("\U0001F600")}},
            QStringLiteral("a\U0001F600b\U0001F601"), QStringLiteral("ab\U0001F601"));
        row("remove control characters: C0, DEL, C1", {{Kind::Remove, removeControl}},
            QStringLiteral("\x02" "A\tB\x7f" "C\u0085D\u009f\u00a0E\r\n"), QStringLiteral("ABCD\u00a0E"));
        row("replace with a capture", {{Kind::Replace, QStringLiteral("^(\\d{3})-(\\d+)$"), QStringLiteral("\\2/\\1")}},
            QStringLiteral("123-4567"), QStringLiteral("4567/123"));
        row("replace every match", {{Kind::Replace, QStringLiteral("^0+|x"), QString()}}, QStringLiteral("007x1x"),
            QStringLiteral("71"));
        row("prefix then suffix", {{Kind::Prefix, QStringLiteral("SKU ")}, {Kind::Suffix, QStringLiteral(";")}},
            QStringLiteral("42"), QStringLiteral("SKU 42;"));
        row("upper case", {{Kind::Upper}}, QStringLiteral("abc-\u00e9\u00df"), QStringLiteral("ABC-\u00c9SS"));
        row("accept: matches anywhere", {{Kind::Accept, QStringLiteral("\\d{4}")}}, QStringLiteral("ab12345"),
            QStringLiteral("ab12345"));
        row("accept: anchored by the user", {{Kind::Accept, QStringLiteral("^\\d{4}$")}}, QStringLiteral("12345"),
            QStringLiteral("rejected: line does not match ^\\d{4}$"));
        row("a rejection stops the later rules",
            {{Kind::Accept, QStringLiteral("^A")}, {Kind::Prefix, QStringLiteral("never")}}, QStringLiteral("B1"),
            QStringLiteral("rejected: line does not match ^A"));
        row("rules run in their order",
            {{Kind::Trim}, {Kind::Replace, QStringLiteral("^0+"), QString()}, {Kind::Accept, QStringLiteral("^\\d+$")}},
            QStringLiteral(" 000123 "), QStringLiteral("123"));
        row("invalid rules are left out", {{Kind::Prefix}, {Kind::Replace, QStringLiteral("(")}, {Kind::Upper}},
            QStringLiteral("ab"), QStringLiteral("AB"));

        // GS1 element strings. Values from GS1's examples: GTIN 09501101530003
        // and 95012345678903; GS1 QR Code's '%' separator, and the element
        // strings of predefined length that need no separator.
        const QString gtinBatchExpiry = line("]C1010950110153000310ABC123<GS>17271231");
        row("GS1 example GTIN, (01) ahead of a batch", {gs1("01")}, gtinBatchExpiry, QStringLiteral("09501101530003"));
        row("GS1 example GTIN, the batch its separator ends", {gs1("10")}, gtinBatchExpiry, QStringLiteral("ABC123"));
        row("GS1 example GTIN, a fixed element after a separator", {gs1("17")}, gtinBatchExpiry,
            QStringLiteral("271231"));
        row("GS1 example GTIN and net weight (3103), no separator between predefined lengths", {gs1("3103")},
            QStringLiteral("]e00195012345678903310300012310A1"), QStringLiteral("000123"));
        row("GS1 QR Code with its '%' separator", {gs1("21")},
            QStringLiteral("]Q30109501101530003" "10AB-12%21SER1%"), QStringLiteral("SER1"), u'%');
        row("GS1 DataMatrix, a separator after a fixed element tolerated", {gs1("10")},
            line("]d20109501101530003<GS>10ABC123<GS>"), QStringLiteral("ABC123"));
        row("no symbology identifier", {gs1("00")}, QStringLiteral("00395011010013000008"),
            QStringLiteral("395011010013000008"));
        row("symbology of a plain Code 128", {gs1("01")}, QStringLiteral("]C00109501101530003"),
            QStringLiteral("rejected: not a GS1 element string (symbology ]C0)"));
        row("three- and four-digit AIs", {gs1("7003")}, line("4101234567890128" "422150<GS>7003" "2712311430"),
            QStringLiteral("2712311430"));
        row("a fixed format outside the predefined lengths needs its separator", {gs1("7003")},
            line("4101234567890128" "4221507003" "2712311430"),
            QStringLiteral("rejected: not a valid GS1 element string: (422) longer than 3 characters"));
        row("a user-named separator, the GS then plain data", {gs1("21")}, line("10A<GS>21B|21C"),
            QStringLiteral("C"), u'|');
        row("missing separator: the batch swallows the serial", {gs1("10")},
            QStringLiteral("]C1010950110153000310ABC12321XYZ"), QStringLiteral("ABC12321XYZ"));
        row("missing separator: the serial's AI is gone", {gs1("21")},
            QStringLiteral("]C1010950110153000310ABC12321XYZ"),
            QStringLiteral("rejected: GS1 element (21) not in the line"));
        row("missing separator: the batch grows past its 20", {gs1("01")},
            QStringLiteral("]C1010950110153000310BATCH4567890121SERIAL"),
            QStringLiteral("rejected: not a valid GS1 element string: (10) longer than 20 characters"));
        row("fixed element cut short by the end", {gs1("01")}, QStringLiteral("]C1010950110153"),
            QStringLiteral("rejected: not a valid GS1 element string: (01) cut short, 10 of 14 characters"));
        row("fixed element cut short by a separator", {gs1("10")}, line("]C101095011015300<GS>10A"),
            QStringLiteral("rejected: not a valid GS1 element string: (01) cut short, 12 of 14 characters"));
        row("numeric AI with a letter", {gs1("10")}, QStringLiteral("]C1010950110153000A10X"),
            QStringLiteral("rejected: not a valid GS1 element string: (01) not all digits"));
        row("letters after the digits of a mixed AI", {gs1("8003")}, QStringLiteral("8003012345678901233AB-7"),
            QStringLiteral("012345678901233AB-7"));
        row("letters among the digits of a mixed AI", {gs1("8003")}, QStringLiteral("800301234567890A233AB-7"),
            QStringLiteral("rejected: not a valid GS1 element string: (8003) not digits in its first 14 characters"));
        row("variable element below its minimum", {gs1("7003")}, QStringLiteral("7003271231"),
            QStringLiteral("rejected: not a valid GS1 element string: (7003) shorter than 10 characters"));
        row("variable element with no value", {gs1("21")}, line("10<GS>21A"),
            QStringLiteral("rejected: not a valid GS1 element string: (10) has no value"));
        row("unknown AI", {gs1("01")}, line("0109501101530003" "2399<GS>"),
            QStringLiteral("rejected: not a valid GS1 element string: unknown AI at \"2399\""));
        row("measure with six decimals is no AI", {gs1("01")}, QStringLiteral("3106000123"),
            QStringLiteral("rejected: not a valid GS1 element string: unknown AI at \"3106\""));
        row("nothing after the symbology identifier", {gs1("01")}, line("]C1<GS>"),
            QStringLiteral("rejected: not a valid GS1 element string: no element"));
        row("AI absent from the line", {gs1("10")}, QStringLiteral("]C10109501101530003"),
            QStringLiteral("rejected: GS1 element (10) not in the line"));
        row("GS1 value then the other rules", {{Kind::Trim}, gs1("10"), {Kind::Prefix, QStringLiteral("L:")}},
            line("  ]C10109501101530003" "10abc  "), QStringLiteral("L:abc"));
    }

    void apply()
    {
        QFETCH(Rules, rules);
        QFETCH(QChar, separator);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        LineRules shaper;
        shaper.setRules(rules, separator);
        QList<RuleStep> steps;
        const ShapedLine shaped = shaper.apply(input, &steps);
        QCOMPARE(shaped.rejected ? QStringLiteral("rejected: ") + shaped.reason : shaped.line, expected);
        // The steps end where the line ended: on the rejection, or on the line sent.
        if (!steps.isEmpty()) {
            QCOMPARE(steps.last().rejection, shaped.reason);
            QCOMPARE(steps.last().line, shaped.line);
        }
    }

    void ruleError_data()
    {
        QTest::addColumn<LineRule>("rule");
        QTest::addColumn<QString>("error");
        QTest::newRow("bad regular expression")
            << LineRule{Kind::Replace, QStringLiteral("a(b"), {}}
            << QStringLiteral("invalid regular expression: missing closing parenthesis at offset 3");
        QTest::newRow("bad quantifier") << LineRule{Kind::Accept, QStringLiteral("x{3,1}"), {}}
                                        << QStringLiteral("invalid regular expression: numbers out of order in {} "
                                                          "quantifier at offset 5");
        QTest::newRow("capture the expression lacks")
            << LineRule{Kind::Replace, QStringLiteral("(a)(b)"), QStringLiteral("\\2\\3")}
            << QStringLiteral("replacement uses \\3, the expression has 2 groups");
        QTest::newRow("two-digit capture read as one") << LineRule{Kind::Replace, QStringLiteral("(a)"), QStringLiteral("\\10")}
                                                       << QString();
        QTest::newRow("empty expression") << LineRule{Kind::Accept, {}, {}} << QStringLiteral("empty regular expression");
        QTest::newRow("empty prefix") << LineRule{Kind::Prefix, {}, {}} << QStringLiteral("empty prefix");
        QTest::newRow("empty suffix") << LineRule{Kind::Suffix, {}, {}} << QStringLiteral("empty suffix");
        QTest::newRow("nothing to remove") << LineRule{Kind::Remove, {}, {}} << QStringLiteral("no characters to remove");
        QTest::newRow("no AI") << LineRule{Kind::Gs1, {}, {}} << QStringLiteral("no AI given");
        QTest::newRow("unknown AI") << LineRule{Kind::Gs1, QStringLiteral("23"), {}} << QStringLiteral("unknown AI \"23\"");
        QTest::newRow("AI in parentheses") << LineRule{Kind::Gs1, QStringLiteral("(01)"), {}}
                                           << QStringLiteral("unknown AI \"(01)\"");
        QTest::newRow("known AIs of 2, 3 and 4 digits") << LineRule{Kind::Gs1, QStringLiteral("3929"), {}} << QString();
    }

    void ruleError()
    {
        QFETCH(LineRule, rule);
        QFETCH(QString, error);
        QCOMPARE(::ruleError(rule), error);
    }

    // Written rules read back the same; what cannot run is skipped with a log line.
    void settingsRoundTrip()
    {
        const Rules rules = {{Kind::Trim},
                             {Kind::Remove, removeControl, {}},
                             {Kind::Replace, QStringLiteral("^0+(\\d)"), QStringLiteral("\\1")},
                             {Kind::Gs1, QStringLiteral("01"), {}},
                             {Kind::Accept, QStringLiteral("^\\d{14}$"), {}}};
        QSettings settings;
        writeRules(settings, rules);
        writeGs1Separator(settings, u'%');
        QStringList skipped;
        QSettings reread;
        const Rules read = readRules(reread, &skipped);
        QCOMPARE(read.size(), rules.size());
        for (int i = 0; i < rules.size(); ++i) {
            QCOMPARE(read.at(i).kind, rules.at(i).kind);
            QCOMPARE(read.at(i).pattern, rules.at(i).pattern);
            QCOMPARE(read.at(i).replacement, rules.at(i).replacement);
        }
        QCOMPARE(skipped, QStringList());
        QCOMPARE(readGs1Separator(reread), u'%');

        reread.setValue(QStringLiteral("rules/2/kind"), QStringLiteral("lower"));
        reread.setValue(QStringLiteral("rules/3/pattern"), QStringLiteral("^0+("));
        reread.remove(QStringLiteral("gs1Separator"));
        QCOMPARE(readRules(reread, &skipped).size(), rules.size() - 2);
        QCOMPARE(skipped, (QStringList{QStringLiteral("Rules: rule 2 skipped: unknown kind \"lower\""),
                                       QStringLiteral("Rules: rule 3 skipped: invalid regular expression: missing "
                                                      "closing parenthesis at offset 4")}));
        QCOMPARE(readGs1Separator(reread), gs);
    }
};

FIELDPOST_TEST_MAIN(TestLineRules)
#include "tst_linerules.moc"
