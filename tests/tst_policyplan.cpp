// What the installation decides to run, without running anything: the policy
// value, the reg.exe command lines, the value numbering, the last-match rule,
// the Linux policy file rewrites and the browser window title tests.
#include "BrowserWindowTitle.h"
#include "ExtensionPolicy.h"
#include "FakeBrowserPlatform.h"
#include "PolicyFile.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

Q_DECLARE_METATYPE(QList<PolicyEntry>)

namespace {

const QString ourValue =
    QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml");
const QString otherValue = QStringLiteral("aaaabbbbccccddddeeeeffffgggghhhh;https://clients2.example.org/service/update2/crx");

QList<PolicyEntry> others(const QStringList &names)
{
    QList<PolicyEntry> entries;
    for (const QString &name : names)
        entries.append({name, otherValue});
    return entries;
}

QJsonObject objectOf(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestPolicyPlan : public QObject
{
    Q_OBJECT

private slots:
    void policyValueAndPaths()
    {
        QCOMPARE(extensionPolicyValue(), ourValue);
        QCOMPARE(policyRegistryPath(QStringLiteral("Microsoft\\Edge")),
                 QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Policies\\Microsoft\\Edge\\ExtensionInstallForcelist"));
        QCOMPARE(policyRegKeyPath(QStringLiteral("Google\\Chrome")),
                 QStringLiteral("HKLM\\Software\\Policies\\Google\\Chrome\\ExtensionInstallForcelist"));
    }

    void regCommandLines()
    {
        const QString key = policyRegKeyPath(QStringLiteral("Microsoft\\Edge"));
        QCOMPARE(regAddArguments(key, QStringLiteral("3"), ourValue),
                 QStringLiteral("add \"HKLM\\Software\\Policies\\Microsoft\\Edge\\ExtensionInstallForcelist\" /v 3 "
                                "/t REG_SZ /d \"") + ourValue + QStringLiteral("\" /f"));
        QCOMPARE(regDeleteArguments(key, QStringLiteral("12")),
                 QStringLiteral("delete \"HKLM\\Software\\Policies\\Microsoft\\Edge\\ExtensionInstallForcelist\" "
                                "/v 12 /f"));
        // Placeholders inside one argument are never substituted again.
        QCOMPARE(regAddArguments(QStringLiteral("K%2"), QStringLiteral("%3"), QStringLiteral("v%1")),
                 QStringLiteral("add \"K%2\" /v %3 /t REG_SZ /d \"v%1\" /f"));
    }

    void plan_data()
    {
        QTest::addColumn<QList<PolicyEntry>>("entries");
        QTest::addColumn<bool>("install");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("name");

        const int add = PolicyChange::Add, remove = PolicyChange::Remove, nothing = PolicyChange::Nothing;
        QTest::newRow("empty key, install") << QList<PolicyEntry>() << true << add << "1";
        QTest::newRow("empty key, uninstall") << QList<PolicyEntry>() << false << nothing << "";
        QTest::newRow("1 2 5 present") << others({"1", "2", "5"}) << true << add << "6";
        QTest::newRow("unordered names") << others({"9", "10", "2"}) << true << add << "11";
        QTest::newRow("only non-numeric") << others({"abc", "x1", "0x10", "1.5"}) << true << add << "1";
        QTest::newRow("only negative") << others({"-3", "-1"}) << true << add << "1";
        QTest::newRow("negative beside positive") << others({"-3", "2"}) << true << add << "3";
        QTest::newRow("beyond 32 bits ignored") << others({"99999999999", "4"}) << true << add << "5";
        QTest::newRow("largest int") << others({"2147483647"}) << true << add << "2147483648";
        QTest::newRow("subkey value ignored") << others({"sub/7", "1"}) << true << add << "2";

        QList<PolicyEntry> present = others({"7"});
        present.append({QStringLiteral("4"), ourValue});
        QTest::newRow("present, install") << present << true << nothing << "";
        QTest::newRow("present, uninstall") << present << false << remove << "4";

        QList<PolicyEntry> nonNumeric = {{QStringLiteral("ours"), ourValue}};
        QTest::newRow("present under a text name") << nonNumeric << false << remove << "ours";

        QList<PolicyEntry> twice = {{QStringLiteral("3"), ourValue}, {QStringLiteral("8"), otherValue},
                                    {QStringLiteral("1"), ourValue}};
        QTest::newRow("two matches, last in order removed") << twice << false << remove << "1";
        QTest::newRow("two matches, install") << twice << true << nothing << "";

        const QStringList nearMisses = {ourValue.toUpper(),
                                        QLatin1Char(' ') + ourValue,
                                        ourValue + QLatin1Char(' '),
                                        QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf; https://updates.thornvaleworks.com/fieldpost/update.xml"),
                                        QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf;http://updates.thornvaleworks.com/fieldpost/update.xml"),
                                        QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml?x"),
                                        QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf")};
        for (qsizetype i = 0; i < nearMisses.size(); ++i) {
            const QList<PolicyEntry> entries = {{QStringLiteral("2"), nearMisses.at(i)}};
            QTest::addRow("near miss %d, install", int(i)) << entries << true << add << "3";
            QTest::addRow("near miss %d, uninstall", int(i)) << entries << false << nothing << "";
        }
    }

    void plan()
    {
        QFETCH(QList<PolicyEntry>, entries);
        QFETCH(bool, install);
        QFETCH(int, action);
        QFETCH(QString, name);

        const PolicyChange change = planPolicyChange(entries, ourValue, install);
        QCOMPARE(int(change.action), action);
        QCOMPARE(change.name, name);
    }

    // The plan applied through a platform: what is run, what it answers.
    void applyThroughPlatform()
    {
        const QString edge = QStringLiteral("Microsoft\\Edge");
        FakeBrowserPlatform platform;
        platform.entries[edge] = others({"1", "2", "5"});

        QVERIFY(!isExtensionInstalled(platform, edge));
        QVERIFY(setExtensionPolicy(platform, edge, true));
        QCOMPARE(platform.calls, QStringList{QStringLiteral("add Microsoft\\Edge 6 ") + ourValue});
        QVERIFY(isExtensionInstalled(platform, edge));
        QCOMPARE(platform.entries[edge].size(), 4);

        // Already there: success without running anything.
        platform.calls.clear();
        QVERIFY(setExtensionPolicy(platform, edge, true));
        QVERIFY(platform.calls.isEmpty());

        // A second copy: uninstall deletes one, the other keeps it installed.
        platform.entries[edge].append({QStringLiteral("9"), ourValue});
        QVERIFY(setExtensionPolicy(platform, edge, false));
        QCOMPARE(platform.calls, QStringList{QStringLiteral("remove Microsoft\\Edge 9")});
        QVERIFY(isExtensionInstalled(platform, edge));

        QVERIFY(setExtensionPolicy(platform, edge, false));
        QVERIFY(!isExtensionInstalled(platform, edge));
        QCOMPARE(platform.entries[edge], others({"1", "2", "5"}));

        // Nothing to remove: success without running anything.
        platform.calls.clear();
        QVERIFY(setExtensionPolicy(platform, edge, false));
        QVERIFY(platform.calls.isEmpty());

        // A refused elevation is a failure and changes nothing.
        platform.refuseElevation = true;
        QVERIFY(!setExtensionPolicy(platform, edge, true));
        QCOMPARE(platform.calls.size(), 1);
        QVERIFY(!isExtensionInstalled(platform, edge));
    }

    void windowTitles_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("browser");

        QTest::newRow("chrome tab") << "New Tab - Google Chrome" << true;
        QTest::newRow("chrome word only") << "Google Chrome" << true;
        QTest::newRow("chrome lower case") << "new tab - google chrome" << false;
        QTest::newRow("chrome split") << "Google  Chrome" << false;
        QTest::newRow("edge usual") << "Start page \u2014 Profile 1 \u2014 Microsoft\u200B Edge" << true;
        QTest::newRow("edge shouting Microsoft") << "MICROSOFT something Edge" << true;
        QTest::newRow("edge reversed") << "Edge of town - microsoft" << true;
        QTest::newRow("edge glued") << "MicrosoftEdge" << true;
        QTest::newRow("edge lower") << "Microsoft edge" << false;
        QTest::newRow("edge upper") << "Microsoft EDGE" << false;
        QTest::newRow("edge without Microsoft") << "Edge" << false;
        QTest::newRow("Microsoft Word") << "Report.docx - Microsoft Word" << false;
        QTest::newRow("empty") << "" << false;
    }

    void windowTitles()
    {
        QFETCH(QString, title);
        QFETCH(bool, browser);
        QCOMPARE(browserwindow::isBrowserTitle(title.toStdWString()), browser);
    }

    void policyFileRead_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("not json") << QByteArray("{\"ExtensionInstallForcelist\": [\"a\"") << QStringList();
        QTest::newRow("array at top") << QByteArray("[\"a;b\"]") << QStringList();
        QTest::newRow("no list") << QByteArray("{\"HomepageLocation\": \"x\"}") << QStringList();
        QTest::newRow("list not array") << QByteArray("{\"ExtensionInstallForcelist\": \"a;b\"}") << QStringList();
        QTest::newRow("two items") << QByteArray("{\"ExtensionInstallForcelist\": [\"a;b\", \"c;d\"]}")
                                   << QStringList{"a;b", "c;d"};
        QTest::newRow("non-strings keep positions")
            << QByteArray("{\"ExtensionInstallForcelist\": [1, \"a;b\", null, {}, \"c;d\"]}")
            << QStringList{"", "a;b", "", "", "c;d"};
    }

    void policyFileRead()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, entries);
        QCOMPARE(forcelistEntries(json), entries);
    }

    void policyFileAdd_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("new file") << QByteArray() << true << QStringList{ourValue};
        QTest::newRow("blank file") << QByteArray(" \n") << true << QStringList{ourValue};
        QTest::newRow("other policies only") << QByteArray("{\"HomepageLocation\": \"x\"}") << true
                                             << QStringList{ourValue};
        QTest::newRow("extends list")
            << QByteArray("{\"ExtensionInstallForcelist\": [\"a;b\"]}") << true << QStringList{"a;b", ourValue};
        QTest::newRow("broken json left alone") << QByteArray("{\"Extension") << false << QStringList();
        QTest::newRow("list of wrong type left alone")
            << QByteArray("{\"ExtensionInstallForcelist\": {\"1\": \"a;b\"}}") << false << QStringList();
    }

    void policyFileAdd()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, accepted);
        QFETCH(QStringList, entries);

        const std::optional<QByteArray> changed = policyFileWithEntry(json, ourValue);
        QCOMPARE(changed.has_value(), accepted);
        if (!changed)
            return;
        QCOMPARE(forcelistEntries(*changed), entries);
        // Every other policy of the file stays as it was.
        QJsonObject before = objectOf(json), after = objectOf(*changed);
        before.remove(QStringLiteral("ExtensionInstallForcelist"));
        after.remove(QStringLiteral("ExtensionInstallForcelist"));
        QCOMPARE(after, before);
        // Adding again changes nothing.
        QCOMPARE(policyFileWithEntry(*changed, ourValue), changed);
    }

    void policyFileRemove_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("first") << 0 << true << QStringList{ourValue, "c;d"};
        QTest::newRow("middle") << 1 << true << QStringList{"a;b", "c;d"};
        QTest::newRow("last") << 2 << true << QStringList{"a;b", ourValue};
        QTest::newRow("past the end") << 3 << false << QStringList();
        QTest::newRow("negative") << -1 << false << QStringList();
    }

    void policyFileRemove()
    {
        QFETCH(int, index);
        QFETCH(bool, accepted);
        QFETCH(QStringList, entries);

        const QByteArray json = "{\"HomepageLocation\": \"x\", \"ExtensionInstallForcelist\": [\"a;b\", \""
            + ourValue.toUtf8() + "\", \"c;d\"]}";
        const std::optional<QByteArray> changed = policyFileWithoutEntry(json, index);
        QCOMPARE(changed.has_value(), accepted);
        if (!changed)
            return;
        QCOMPARE(forcelistEntries(*changed), entries);
        QCOMPARE(objectOf(*changed).value(QStringLiteral("HomepageLocation")).toString(), QStringLiteral("x"));
    }
};

FIELDPOST_TEST_MAIN(TestPolicyPlan)
#include "tst_policyplan.moc"
