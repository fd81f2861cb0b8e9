// The Windows program as a user gets it, from Linux, under wine (one fresh
// prefix, made by scripts/wine-run): the deployed folder's fieldpost.exe hands
// a second start over to the first through its named pipe, takes a line from
// Linux's fieldpost-send and fills it to a plugin on 127.0.0.1:9000, and keeps
// its settings in the registry; the installer puts it under Program Files
// with a Start-menu entry, a start at log-in and an uninstaller that takes all
// of that away again.
#include "FrameFormat.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString titleStart = QStringLiteral("Thornvaleworks Fieldpost (Plugin) ");
const QString installDir = QStringLiteral("C:\\Program Files\\Fieldpost");
const QString runKey = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString uninstallKey = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Fieldpost");

QString setting(const char *name)
{
    return qEnvironmentVariable(name);
}

QString inPrefix(const QString &windowsPath)
{
    QString path = windowsPath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/')).replace(QLatin1String("C:"), QLatin1String("drive_c"));
    return setting("WINEPREFIX") + QLatin1Char('/') + path;
}

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

// A Windows program (or wine's own tool) run to its end.
Run wine(const QStringList &arguments, int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("wine"), arguments);
    const bool ended = process.waitForFinished(timeoutMs);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

// 0 when the gateway's window is on the desktop within waitMs, 1 when not.
int windowShown(int waitMs)
{
    return wine({setting("FIELDPOST_SHOWN"), titleStart, QString::number(waitMs)}).exitCode;
}

// The gateway, started like from Explorer; its log lines come on stderr.
class Gateway
{
public:
    explicit Gateway(const QString &exe)
    {
        process.start(QStringLiteral("wine"), {exe});
    }
    ~Gateway()
    {
        process.kill();
        process.waitForFinished(10000);
    }
    bool waitForLog(const QByteArray &line, int timeoutMs = 60000)
    {
        return QTest::qWaitFor(
            [&] { return (log += process.readAllStandardError()).contains(line); }, timeoutMs);
    }
    QProcess process;
    QByteArray log;
};

QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestWindowsApp : public QObject
{
    Q_OBJECT

private slots:
    void deployedProgram()
    {
        Gateway first(setting("FIELDPOST_DIST") + QStringLiteral("/fieldpost.exe"));
        QVERIFY2(first.waitForLog("Ready. Connect the browser plugin."), first.log.constData());
        QCOMPARE(windowShown(0), 1); // only the tray icon

        const Run second = wine({setting("FIELDPOST_DIST") + QStringLiteral("/fieldpost.exe")}, 20000);
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(windowShown(10000), 0); // the first one's window

        QWebSocket plugin;
        QSignalSpy connected(&plugin, &QWebSocket::connected);
        QList<QJsonObject> received;
        connect(&plugin, &QWebSocket::textMessageReceived, this,
                [&](const QString &text) { received << QJsonDocument::fromJson(text.toUtf8()).object(); });
        plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        QVERIFY2(connected.wait(10000), qPrintable(plugin.errorString()));
        const QJsonObject field{{"label", "Qty"}, {"tag", "input"}, {"id", "qty"}};
        plugin.sendTextMessage(QString::fromUtf8(QJsonDocument(QJsonObject{
            {"type", "picked"}, {"kind", "field"}, {"url", "https://shop.example/order"}, {"field", field}})
                                                     .toJson(QJsonDocument::Compact)));
        QVERIFY2(first.waitForLog("Field selected: "), first.log.constData());

        QProcess send;
        send.start(setting("FIELDPOST_SEND"), {QStringLiteral("--port"), QString::number(defaultProductPort)});
        send.write("line from Linux\n");
        send.closeWriteChannel();
        QVERIFY(send.waitForFinished(20000));
        QCOMPARE(send.exitCode(), 0);
        const auto fill = [&] {
            for (const QJsonObject &message : received)
                if (message.value(QLatin1String("type")).toString() == QLatin1String("fill"))
                    return message;
            return QJsonObject();
        };
        QVERIFY2(QTest::qWaitFor([&] { return !fill().isEmpty(); }, 10000), first.log.constData());
        QCOMPARE(fill().value(QLatin1String("value")).toString(), QStringLiteral("line from Linux"));
        QCOMPARE(fill().value(QLatin1String("target")).toObject(), field);

        const Run settings = wine({"reg", "query", "HKCU\\Software\\Thornvaleworks\\Fieldpost", "/v", "lastDestUrl"});
        QVERIFY2(settings.output.contains("https://shop.example/order"), settings.output.constData());
    }

    void installer()
    {
        const QString dist = setting("FIELDPOST_DIST");
        QCOMPARE(wine({setting("FIELDPOST_SETUP"), "/S"}).exitCode, 0);
        QStringList expected = filesUnder(dist) << QStringLiteral("uninstall.exe");
        expected.sort();
        QCOMPARE(filesUnder(inPrefix(installDir)), expected);
        const QString shortcut = inPrefix(QStringLiteral("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Fieldpost.lnk"));
        QVERIFY2(QFile::exists(shortcut), qPrintable(shortcut));
        const Run run = wine({"reg", "query", runKey, "/v", "Fieldpost"});
        QVERIFY2(run.output.contains("\"C:\\Program Files\\Fieldpost\\fieldpost.exe\""), run.output.constData());
        const Run entry = wine({"reg", "query", uninstallKey, "/v", "UninstallString"});
        QVERIFY2(entry.output.contains("C:\\Program Files\\Fieldpost\\uninstall.exe"), entry.output.constData());

        {
            Gateway installed(installDir + QStringLiteral("\\fieldpost.exe"));
            QVERIFY2(installed.waitForLog("Ready. Connect the browser plugin."), installed.log.constData());
        }

        QCOMPARE(wine({installDir + QStringLiteral("\\uninstall.exe"), "/S"}).exitCode, 0);
        // The uninstaller runs on from a copy of itself; wait for it.
        QCOMPARE(QProcess::execute(QStringLiteral("wineserver"), {"-w"}), 0);
        QVERIFY2(!QFileInfo::exists(inPrefix(installDir)), qPrintable(filesUnder(inPrefix(installDir)).join(' ')));
        QVERIFY(!QFile::exists(shortcut));
        QVERIFY(wine({"reg", "query", runKey, "/v", "Fieldpost"}).exitCode != 0);
        QVERIFY(wine({"reg", "query", uninstallKey}).exitCode != 0);
    }
};

QTEST_GUILESS_MAIN(TestWindowsApp)
#include "tst_windowsapp.moc"
