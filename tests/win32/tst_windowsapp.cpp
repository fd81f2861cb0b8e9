// The Windows program as a user gets it, driven from Linux under wine (in the
// one fresh prefix of scripts/wine-run): the deployed fieldpost.exe, then the
// installer and its uninstaller.
#include "FrameFormat.h"
#include "NativeHost.h"
#include "PluginSocket.h"
#include "PluginSource.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString installDir = QStringLiteral("C:\\Program Files\\Fieldpost");
const QString runKey = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString uninstallKey = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Fieldpost");
// The link host's keys for every user; their default value names the installed manifest.
QStringList nativeHostKeys()
{
    return {QStringLiteral("HKLM\\Software\\Google\\Chrome\\NativeMessagingHosts\\") + nativeHostName,
            QStringLiteral("HKLM\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\") + nativeHostName};
}
const QStringList policyKeys = {QStringLiteral("HKLM\\Software\\Policies\\Google\\Chrome\\ExtensionInstallForcelist"),
                                QStringLiteral("HKLM\\Software\\Policies\\Microsoft\\Edge\\ExtensionInstallForcelist")};

QString env(const char *name) { return qEnvironmentVariable(name); }
QString inPrefix(QString windowsPath)
{
    return env("WINEPREFIX") + QLatin1Char('/')
        + windowsPath.replace(QLatin1Char('\\'), QLatin1Char('/')).replace(QLatin1String("C:"), QLatin1String("drive_c"));
}

// A Windows program (or one of wine's tools) run to its end: exit code, output.
std::pair<int, QByteArray> wine(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("wine"), arguments);
    const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAll()};
}

// 0 when the gateway's window is on the desktop within waitMs, 1 when not.
int windowShown(int waitMs)
{
    return wine({env("FIELDPOST_WINAPI"), "shown", "Thornvaleworks Fieldpost (Plugin) ", QString::number(waitMs)}).first;
}

// A file the gateway keeps for its user, %LOCALAPPDATA%\Thornvaleworks\Fieldpost\<name>, in the prefix.
QByteArray userFile(const QString &name)
{
    QDirIterator it(inPrefix(QStringLiteral("C:\\users")), {name}, QDir::Files, QDirIterator::Subdirectories);
    if (!it.hasNext())
        return {};
    QFile file(it.next());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray logFile() { return userFile(QStringLiteral("fieldpost.log")); }

// The pairing record: where a plugin of the gateway's user finds the port and the key.
QJsonObject pairingRecord() { return QJsonDocument::fromJson(userFile(QStringLiteral("pairing.json"))).object(); }

// The gateway started as from Explorer; a window program's log goes to its file, not to a pipe.
struct Gateway
{
    explicit Gateway(const QString &exe) : before(logFile().size()) { process.start(QStringLiteral("wine"), {exe}); }
    ~Gateway()
    {
        process.kill();
        process.waitForFinished(10000);
    }
    bool waitForLog(const QByteArray &line)
    {
        return QTest::qWaitFor([&] { return (log = logFile().mid(before)).contains(line); }, 60000);
    }
    qsizetype before;
    QProcess process;
    QByteArray log;
};

// How often Chrome's and Edge's force-install lists hold the plugin's entry of the default settings.
QList<int> pluginEntries()
{
    const QByteArray entry = PluginSource{pluginExtensionId(), makerUpdateUrl}.policyValue().toUtf8();
    QList<int> counts;
    for (const QString &key : policyKeys)
        counts << int(wine({"reg", "query", key}).second.count(entry));
    return counts;
}

QStringList filesUnder(const QString &root)
{
    QStringList files;
    for (QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestWindowsApp : public QObject
{
    Q_OBJECT

private slots:
    // Hidden at start, shown by a second start through the named pipe; a line
    // from fieldpost-send reaches the plugin that proved its link with the
    // key of the user's pairing record; the choice is kept in the user's registry.
    void deployedProgram()
    {
        const QString exe = env("FIELDPOST_DIST") + QStringLiteral("/fieldpost.exe");
        Gateway first(exe);
        QVERIFY2(first.waitForLog("Ready. Connect the browser plugin."), first.log.constData());
        QCOMPARE(windowShown(0), 1);
        QCOMPARE(wine({exe}).first, 0);
        QCOMPARE(windowShown(10000), 0);

        const QJsonObject record = pairingRecord();
        const quint16 port = quint16(record.value(QLatin1String("port")).toInt());
        QVERIFY2(port >= 9000 && port <= 9099, QJsonDocument(record).toJson().constData());
        ProvenPlugin plugin;
        QVERIFY2(plugin.link(port, QByteArray::fromBase64(record.value(QLatin1String("key")).toString().toLatin1())),
                 first.log.constData());
        const QJsonObject field{{"label", "Qty"}, {"tag", "input"}, {"id", "qty"}, {"instance", "b-1"}};
        plugin.pick(QStringLiteral("field"), QStringLiteral("https://shop.example/order"), field);
        QVERIFY2(first.waitForLog("Field selected: "), first.log.constData());

        // The Windows fieldpost-send: one run outside wine has no Windows user
        // to compare, and the gateway refuses it. The line goes twice so that
        // the sender is still connected when the gateway looks up its user.
        QProcess send;
        QProcessEnvironment sendEnv = QProcessEnvironment::systemEnvironment();
        sendEnv.insert(QStringLiteral("WINEPATH"), QStringLiteral("Z:") + env("FIELDPOST_DIST"));
        send.setProcessEnvironment(sendEnv);
        send.start(QStringLiteral("wine"), {env("FIELDPOST_SEND"), QStringLiteral("--port"),
                                            QString::number(defaultProductPort), QStringLiteral("--delay-ms"),
                                            QStringLiteral("2000")});
        send.write("line from fieldpost-send\nline from fieldpost-send\n");
        send.closeWriteChannel();
        QVERIFY(send.waitForFinished(20000) && send.exitCode() == 0);
        QTRY_VERIFY2_WITH_TIMEOUT(!plugin.ofType("fill").isEmpty(), first.log.constData(), 10000);
        const QJsonObject fill = plugin.ofType("fill").first();
        QCOMPARE(fill.value(QLatin1String("value")).toString(), QStringLiteral("line from fieldpost-send"));
        QCOMPARE(fill.value(QLatin1String("target")).toObject(), field);
        const auto stored = wine({"reg", "query", "HKCU\\Software\\Thornvaleworks\\Fieldpost", "/v", "lastDestUrl"});
        QVERIFY2(stored.second.contains("https://shop.example/order"), stored.second.constData());
    }

    // The plugin's entries come with the installer's plugin option, and its uninstaller removes only those:
    // an entry the installer did not make (here Chrome's, made beforehand) stays.
    void installer_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("entryBefore");
        QTest::addColumn<QList<int>>("installed");
        QTest::addColumn<QList<int>>("uninstalled");
        QTest::newRow("plugin (default)") << QStringList{"/S"} << false << QList<int>{1, 1} << QList<int>{0, 0};
        QTest::newRow("/PLUGIN=0") << QStringList{"/S", "/PLUGIN=0"} << true << QList<int>{1, 0} << QList<int>{1, 0};
    }

    void installer()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, entryBefore);
        QFETCH(QList<int>, installed);
        QFETCH(QList<int>, uninstalled);
        const QString entry = PluginSource{pluginExtensionId(), makerUpdateUrl}.policyValue();
        if (entryBefore)
            QCOMPARE(wine({"reg", "add", policyKeys[0], "/v", "7", "/t", "REG_SZ", "/d", entry, "/f"}).first, 0);
        QCOMPARE(wine(QStringList{env("FIELDPOST_SETUP")} + options).first, 0);
        QCOMPARE(pluginEntries(), installed);
        QStringList expected = filesUnder(env("FIELDPOST_DIST")) << QStringLiteral("uninstall.exe")
                                                                 << QStringLiteral("native-host.json");
        expected.sort();
        QCOMPARE(filesUnder(inPrefix(installDir)), expected);
        QFile manifestFile(inPrefix(installDir + QStringLiteral("\\native-host.json")));
        QVERIFY(manifestFile.open(QIODevice::ReadOnly));
        const QJsonObject manifest = QJsonDocument::fromJson(manifestFile.readAll()).object();
        QCOMPARE(manifest.value("name").toString(), nativeHostName);
        QCOMPARE(manifest.value("path").toString(), QStringLiteral("fieldpost-link.exe"));
        QCOMPARE(manifest.value("allowed_origins").toArray(),
                 QJsonArray{QStringLiteral("chrome-extension://%1/").arg(pluginExtensionId())});
        for (const QString &key : nativeHostKeys()) {
            const QByteArray value = wine({"reg", "query", key, "/ve"}).second;
            QVERIFY2(value.contains(installDir.toUtf8() + "\\native-host.json"), value.constData());
        }
        const QString shortcut = inPrefix("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Fieldpost.lnk");
        QVERIFY(QFile::exists(shortcut));
        const QByteArray started = "\"" + installDir.toUtf8() + "\\fieldpost.exe\"";
        QVERIFY(wine({"reg", "query", runKey, "/v", "Fieldpost"}).second.contains(started));
        QVERIFY(wine({"reg", "query", uninstallKey, "/v", "UninstallString"}).second.contains("\\uninstall.exe"));
        // The uninstaller asks the running gateway to quit through its own channel; nothing kills it.
        {
            Gateway installed(installDir + QStringLiteral("\\fieldpost.exe"));
            QVERIFY2(installed.waitForLog("Ready. Connect the browser plugin."), installed.log.constData());
            QCOMPARE(wine({installDir + QStringLiteral("\\uninstall.exe"), "/S"}).first, 0);
            QVERIFY2(installed.process.waitForFinished(20000), "the gateway did not quit when asked");
        }
        // The uninstaller goes on from a copy of itself; wait for it.
        QCOMPARE(QProcess::execute(QStringLiteral("wineserver"), {"-w"}), 0);
        QVERIFY2(!QFileInfo::exists(inPrefix(installDir)), qPrintable(filesUnder(inPrefix(installDir)).join(' ')));
        QVERIFY(!QFile::exists(shortcut));
        QVERIFY(wine({"reg", "query", runKey, "/v", "Fieldpost"}).first != 0);
        QVERIFY(wine({"reg", "query", uninstallKey}).first != 0);
        for (const QString &key : nativeHostKeys())
            QVERIFY(wine({"reg", "query", key}).first != 0);
        QCOMPARE(pluginEntries(), uninstalled);
        if (entryBefore)
            QCOMPARE(wine({"reg", "delete", policyKeys[0], "/v", "7", "/f"}).first, 0);
    }
};

QTEST_GUILESS_MAIN(TestWindowsApp)
#include "tst_windowsapp.moc"
