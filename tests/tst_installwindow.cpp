// The plugin rows of the main window over a fake platform: labels, their
// colours and the buttons before and after each Install/Uninstall, the log
// lines, and the restart warning with and without a connected plugin; on
// Windows also the real layer against the registry.
#include "ExtensionPolicy.h"
#include "FakeBrowserPlatform.h"
#include "PluginSocket.h"
#include "TestWindow.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QSignalSpy>
#include <QTimer>

#include <optional>

Q_DECLARE_METATYPE(QList<PolicyEntry>)

namespace {

const QString edge = QStringLiteral("Microsoft\\Edge");
const QString chrome = QStringLiteral("Google\\Chrome");
const QString ourValue =
    QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml");
const QString restartBoth = QStringLiteral("\u26A0 Please restart Microsoft Edge / Google Chrome to load the plugin.");
const QString restartChrome = QStringLiteral("\u26A0 Please restart Google Chrome to load the plugin.");
const QString restartEdge = QStringLiteral("\u26A0 Please restart Microsoft Edge to load the plugin.");

QList<PolicyEntry> ours(const QString &name = QStringLiteral("1"))
{
    return {{name, ourValue}};
}

// The window over a fake it owns: fill in the fake, then start().
struct Harness
{
    std::unique_ptr<FakeBrowserPlatform> owned = std::make_unique<FakeBrowserPlatform>();
    FakeBrowserPlatform *fake = owned.get();
    std::optional<MainWindow> window;

    QWidget *start(std::unique_ptr<BrowserPlatform> platform = nullptr)
    {
        QSettings().setValue(QStringLiteral("tcpPort"), probe::freePort()); // off the product's default port
        if (!platform)
            platform = std::move(owned);
        window.emplace(testParts(std::move(platform)));
        return &*window;
    }
    QWidget *cell(int row, int column) { return probe::gridCell(&*window, QStringLiteral("Browser Plugin"), row, column); }
    QLabel *hint() { return qobject_cast<QLabel *>(cell(3, 0)); }
    // Install (0) or Uninstall (1) of a browser's row.
    QPushButton *button(const QString &browser, int which)
    {
        auto *grid = qobject_cast<QGridLayout *>(probe::group(&*window, QStringLiteral("Browser Plugin"))->layout());
        QLayout *buttons = grid->itemAtPosition(browser == edge ? 1 : 2, 2)->layout();
        return qobject_cast<QPushButton *>(buttons->itemAt(which)->widget());
    }
    void verifyRow(const QString &browser, bool installed)
    {
        const auto *status = qobject_cast<QLabel *>(cell(browser == edge ? 1 : 2, 1));
        QVERIFY(status);
        QCOMPARE(status->text(), installed ? QStringLiteral("Installed") : QStringLiteral("Not installed"));
        QCOMPARE(status->styleSheet(), installed ? QStringLiteral("color:#2ecc71; font-weight:bold;")
                                                 : QStringLiteral("color:#e67e22; font-weight:bold;"));
        QCOMPARE(button(browser, 0)->isEnabled(), !installed);
        QCOMPARE(button(browser, 1)->isEnabled(), installed);
    }
    // The window's repeating restart check.
    QTimer *checkTimer()
    {
        for (QTimer *timer : window->findChildren<QTimer *>())
            if (timer->interval() == 3000 && !timer->isSingleShot())
                return timer;
        return nullptr;
    }
};

} // namespace

class TestInstallWindow : public QObject
{
    Q_OBJECT

private slots:
    void installSlots_data()
    {
        QTest::addColumn<QString>("browser");
        QTest::addColumn<bool>("install");
        QTest::addColumn<QList<PolicyEntry>>("atStart");
        // Replaces the entries after the window was built: a change made outside.
        QTest::addColumn<QList<PolicyEntry>>("beforeClick");
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<QString>("call"); // what the store is asked to do, if anything
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("installedAfter");

        const QList<PolicyEntry> none, others = {{"1", "a;b"}, {"5", "e;f"}}, twice = {{"4", ourValue}, {"2", ourValue}};
        const QString edgeIn = "Plugin installed for Microsoft Edge. Restart Edge to apply.";
        const QString chromeOut = "Plugin uninstalled for Google Chrome. Restart Chrome to apply.";
        const QString addEdge = "add Microsoft\\Edge 1 " + ourValue, addChrome = "add Google\\Chrome 1 " + ourValue;
        QTest::newRow("install edge, already there") << edge << true << none << ours() << false << "" << edgeIn << true;
        QTest::newRow("install edge refused")
            << edge << true << none << none << true << addEdge << "Failed to install plugin for Edge." << false;
        QTest::newRow("install chrome beside others")
            << chrome << true << others << others << false << "add Google\\Chrome 6 " + ourValue
            << "Plugin installed for Google Chrome. Restart Chrome to apply." << true;
        QTest::newRow("install chrome refused")
            << chrome << true << none << none << true << addChrome << "Failed to install plugin for Chrome." << false;
        QTest::newRow("uninstall edge") << edge << false << ours("3") << ours("3") << false << "remove Microsoft\\Edge 3"
                                        << "Plugin uninstalled for Microsoft Edge. Restart Edge to apply." << false;
        QTest::newRow("uninstall edge refused") << edge << false << ours() << ours() << true << "remove Microsoft\\Edge 1"
                                                << "Failed to uninstall plugin for Edge." << true;
        // Of two copies the last goes; the other keeps the row "Installed".
        QTest::newRow("uninstall chrome, two copies")
            << chrome << false << twice << twice << false << "remove Google\\Chrome 2" << chromeOut << true;
        QTest::newRow("uninstall chrome, already gone")
            << chrome << false << ours() << none << false << "" << chromeOut << false;
        QTest::newRow("uninstall chrome refused") << chrome << false << ours() << ours() << true << "remove Google\\Chrome 1"
                                                  << "Failed to uninstall plugin for Chrome." << true;
    }

    void installSlots()
    {
        QFETCH(QString, browser);
        QFETCH(bool, install);
        QFETCH(QList<PolicyEntry>, atStart);
        QFETCH(QList<PolicyEntry>, beforeClick);
        QFETCH(bool, refuse);
        QFETCH(QString, call);
        QFETCH(QString, logLine);
        QFETCH(bool, installedAfter);

        Harness h;
        h.fake->entries[browser] = atStart;
        h.fake->running = {"msedge.exe", "chrome.exe"};
        QWidget *window = h.start();
        // The rows as read at start, each from its own browser's list.
        const QString otherBrowser = browser == edge ? chrome : edge;
        h.verifyRow(browser, !atStart.isEmpty() && atStart.first().value == ourValue);
        h.verifyRow(otherBrowser, false);

        h.fake->entries[otherBrowser] = ours();
        h.fake->entries[browser] = beforeClick;
        h.fake->refuseElevation = refuse;
        const int logLines = probe::logMessages(window).size();
        h.button(browser, install ? 0 : 1)->click();

        QCOMPARE(h.fake->calls, call.isEmpty() ? QStringList() : QStringList{call});
        const QStringList messages = probe::logMessages(window);
        QCOMPARE(messages.size(), logLines + 1);
        QCOMPARE(messages.last(), logLine);
        h.verifyRow(browser, installedAfter);
        // The refresh reads both rows and the restart warning from the store at once, the other browser too.
        h.verifyRow(otherBrowser, true);
        QVERIFY(!h.hint()->isHidden());
        QCOMPARE(h.hint()->text(), installedAfter ? restartBoth : browser == edge ? restartChrome : restartEdge);
    }

    // The repeating check notices changes without any click; it scans only the
    // browsers that have the entry, Edge first, and nothing while the plugin is connected.
    void restartHint()
    {
        Harness h;
        h.fake->running = {"chrome.exe", "msedge.exe"}; // running, not installed: no warning
        h.fake->hasBrowserWindow = false;
        QWidget *window = h.start();
        QVERIFY(h.hint()->isHidden());
        QVERIFY(h.fake->processQueries.isEmpty());

        QSignalSpy tick(h.checkTimer(), &QTimer::timeout);
        h.fake->entries[chrome] = ours();
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.fake->processQueries, QStringList{"chrome.exe"});
        QVERIFY(!h.hint()->isHidden());
        QCOMPARE(h.hint()->text(), restartChrome);
        h.fake->entries[edge] = ours();
        h.fake->processQueries.clear();
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.fake->processQueries, (QStringList{"msedge.exe", "chrome.exe"}));
        QCOMPARE(h.hint()->text(), restartBoth);

        QVERIFY2(probe::logMessages(window).contains(QStringLiteral("WebSocket: listening on ws://127.0.0.1:9000")),
                 "port 9000 is held by another program");
        PluginSocket plugin;
        QSignalSpy connected(&plugin, &PluginSocket::connected);
        plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        QVERIFY2(connected.wait(5000), "the window's WebSocket server did not accept the plugin");
        QTRY_VERIFY(h.hint()->isHidden());
        h.fake->processQueries.clear();
        QVERIFY(tick.wait(5000));
        QVERIFY(h.fake->processQueries.isEmpty());
        QVERIFY(h.hint()->isHidden());

        // Pick mode raises the browser; without a browser window it goes on with one log line.
        const int logLines = probe::logMessages(window).size();
        probe::button(window, QStringLiteral("Select a field in the browser "))->click();
        QCOMPARE(h.fake->calls, QStringList{QStringLiteral("front")});
        QCOMPARE(probe::logMessages(window).size(), logLines + 1);

        h.fake->running = {"msedge.exe"};
        plugin.close();
        QTRY_VERIFY(!h.hint()->isHidden());
        QCOMPARE(h.hint()->text(), restartEdge);
        // The browsers end: the warning goes at the next check; its text stays.
        h.fake->running.clear();
        QVERIFY(tick.wait(5000));
        QVERIFY(h.hint()->isHidden());
        QCOMPARE(h.hint()->text(), restartEdge);
    }

#ifdef Q_OS_WIN
    // The system's own layer: Install writes the machine-wide policy through
    // reg.exe started with "runas", Uninstall deletes it. It changes HKLM, so
    // it runs only where asked to (under wine, in a prefix of its own).
    void systemPolicyThroughRegExe()
    {
        if (qEnvironmentVariable("FIELDPOST_WRITE_HKLM") != QLatin1String("1"))
            QSKIP("writes HKLM; set FIELDPOST_WRITE_HKLM=1 to run it");
        const auto entries = [] { return QSettings(policyRegistryPath(chrome), QSettings::NativeFormat).allKeys(); };
        QVERIFY2(entries().isEmpty(), "Chrome already has force-install entries here");
        Harness h;
        h.start(createSystemPlatform());
        h.verifyRow(chrome, false);
        h.button(chrome, 0)->click();
        h.verifyRow(chrome, true);
        h.verifyRow(edge, false);
        QCOMPARE(entries(), QStringList{QStringLiteral("1")});
        QCOMPARE(QSettings(policyRegistryPath(chrome), QSettings::NativeFormat).value("1").toString(), ourValue);
        h.button(chrome, 1)->click();
        h.verifyRow(chrome, false);
        QVERIFY(entries().isEmpty());
    }
#endif
};

FIELDPOST_TEST_MAIN(TestInstallWindow)
#include "tst_installwindow.moc"
