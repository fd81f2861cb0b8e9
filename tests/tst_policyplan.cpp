// What the installation decides without running anything: value names, policy file rewrites, browser titles.
#include "BrowserWindowTitle.h"
#include "ExtensionPolicy.h"
#include "PolicyFile.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>

Q_DECLARE_METATYPE(QList<PolicyEntry>)

namespace {

const QString value = QStringLiteral("kmeaciapdagnafccgodjfjbdohcldifm;https://updates.thornvaleworks.com/fieldpost/update.xml");

QJsonObject withoutList(const QByteArray &json)
{
    QJsonObject object = QJsonDocument::fromJson(json).object();
    object.remove(QStringLiteral("ExtensionInstallForcelist"));
    return object;
}

} // namespace

class TestPolicyPlan : public QObject
{
    Q_OBJECT

private slots:
    void regCommandLineSubstitutesOnce()
    {
        QCOMPARE(regAddArguments(QStringLiteral("K%2"), QStringLiteral("%3"), QStringLiteral("v%1")),
                 QStringLiteral("add \"K%2\" /v \"%3\" /t REG_SZ /d \"v%1\" /f"));
        QCOMPARE(regDeleteArguments(QStringLiteral("K"), QStringLiteral("1 /f")), QStringLiteral("delete \"K\" /v \"1 /f\" /f"));
    }

    void plan_data()
    {
        const QString ourValue = value;
        const auto others = [](const QStringList &names) {
            QList<PolicyEntry> entries;
            for (const QString &name : names)
                entries.append({name, QStringLiteral("a;b")});
            return entries;
        };
        QTest::addColumn<QList<PolicyEntry>>("entries");
        QTest::addColumn<bool>("install");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("name");

        const int add = PolicyChange::Add, remove = PolicyChange::Remove, nothing = PolicyChange::Nothing;
        QTest::newRow("empty, uninstall") << QList<PolicyEntry>() << false << nothing << "";
        QTest::newRow("highest number plus one") << others({"9", "10", "2"}) << true << add << "11";
        QTest::newRow("only non-numeric or negative")
            << others({"abc", "x1", "0x10", "1.5", "-3"}) << true << add << "1";
        QTest::newRow("beyond 32 bits ignored") << others({"99999999999", "4"}) << true << add << "5";
        QTest::newRow("largest int") << others({"2147483647"}) << true << add << "2147483648";

        const QList<PolicyEntry> twice = {{"3", ourValue}, {"8", "a;b"}, {"1", ourValue}, {"5", "c;d"}};
        QTest::newRow("present, install") << twice << true << nothing << "";
        QTest::newRow("the last match goes") << twice << false << remove << "1";
        QTest::newRow("under a text name") << QList<PolicyEntry>{{"ours", ourValue}} << false << remove << "ours";

        // Only the exact value matches.
        const QStringList nearMisses = {ourValue.toUpper(), ourValue + QLatin1Char(' '), ourValue + "?x", ourValue.section(';', 0, 0)};
        for (const QString &nearMiss : nearMisses)
            QTest::addRow("near miss %s", qPrintable(nearMiss)) << QList<PolicyEntry>{{"2", nearMiss}} << true << add << "3";
    }

    void plan()
    {
        QFETCH(QList<PolicyEntry>, entries);
        QFETCH(bool, install);
        QFETCH(int, action);
        QFETCH(QString, name);
        const PolicyChange change = planPolicyChange(entries, value, install);
        QCOMPARE(int(change.action), action);
        QCOMPARE(change.name, name);
    }

    void windowTitles_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("browser");
        QTest::newRow("chrome tab") << "New Tab - Google Chrome" << true;
        QTest::newRow("chrome lower case") << "new tab - google chrome" << false;
        QTest::newRow("edge usual") << "Start page \u2014 Profile 1 \u2014 Microsoft\u200B Edge" << true;
        QTest::newRow("edge reversed, glued") << "EdgeMICROSOFT" << true;
        QTest::newRow("edge lower") << "Microsoft edge" << false;
        QTest::newRow("Microsoft Word") << "Report.docx - Microsoft Word" << false;
    }

    void windowTitles()
    {
        QFETCH(QString, title);
        QFETCH(bool, browser);
        QCOMPARE(browserwindow::isBrowserTitle(title.toStdWString()), browser);
    }

    // A Linux policy file: our value appended, then items removed again by
    // position; every other policy and item stays.
    void policyFile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<bool>("accepted");
        const QByteArray list = "{\"ExtensionInstallForcelist\": ";
        QTest::newRow("new file") << QByteArray() << QStringList() << true;
        QTest::newRow("extends list") << "{\"Home\": 1, " + list.mid(1) + "[\"a;b\"]}" << QStringList{"a;b"} << true;
        QTest::newRow("non-strings keep positions")
            << list + "[1, \"a;b\", null, {}, \"c;d\"]}" << QStringList{"", "a;b", "", "", "c;d"} << true;
        QTest::newRow("broken json left alone") << list + "[\"a\"" << QStringList() << false;
        QTest::newRow("array at top left alone") << QByteArray("[\"a;b\"]") << QStringList() << false;
        QTest::newRow("list of wrong type left alone") << list + "\"a;b\"}" << QStringList() << false;
    }

    void policyFile()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, before);
        QFETCH(bool, accepted);
        const QString ourValue = value;
        QCOMPARE(forcelistEntries(json), before);
        const std::optional<QByteArray> changed = policyFileWithEntry(json, ourValue);
        QCOMPARE(changed.has_value(), accepted);
        if (!changed)
            return;
        QCOMPARE(forcelistEntries(*changed), before + QStringList{ourValue});
        QCOMPARE(withoutList(*changed), withoutList(json));
        QCOMPARE(policyFileWithEntry(*changed, ourValue), changed); // adding again changes nothing

        const auto without = [&](qsizetype index) {
            const std::optional<QByteArray> file = policyFileWithoutEntry(*changed, int(index));
            return !file ? QStringList{"(left alone)"}
                : withoutList(*file) == withoutList(json) ? forcelistEntries(*file)
                                                          : QStringList{"(other policies changed)"};
        };
        const qsizetype last = before.size();
        QCOMPARE(without(0), before.mid(1) + (last ? QStringList{ourValue} : QStringList()));
        QCOMPARE(without(last), before);
        for (const qsizetype outside : {last + 1, qsizetype(-1)})
            QCOMPARE(without(outside), QStringList{"(left alone)"});
    }
};

FIELDPOST_TEST_MAIN(TestPolicyPlan)
#include "tst_policyplan.moc"
