// The plugin rows of the main window over a fake platform: labels, their
// colours and the buttons after each Install/Uninstall, the log lines, and
// the restart warning with and without a connected plugin.
#include "FakeBrowserPlatform.h"
#include "MainWindow.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QSignalSpy>
#include <QTimer>
#include <QWebSocket>

Q_DECLARE_METATYPE(QList<PolicyEntry>)

namespace {

const QString edge = QStringLiteral("Microsoft\\Edge");
const QString chrome = QStringLiteral("Google\\Chrome");
const QString ourValue =
    QStringLiteral("kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml");
const QString installedStyle = QStringLiteral("color:#2ecc71; font-weight:bold;");
const QString notInstalledStyle = QStringLiteral("color:#e67e22; font-weight:bold;");
const QString pluginGroup = QStringLiteral("Browser Plugin");

QList<PolicyEntry> ours(const QString &name = QStringLiteral("1"))
{
    return {{name, ourValue}};
}

// One browser row of the plugin group: status label, Install, Uninstall.
struct Row
{
    QLabel *status = nullptr;
    QPushButton *install = nullptr;
    QPushButton *uninstall = nullptr;
};

Row row(QWidget *window, const QString &browserKey)
{
    const int index = browserKey == edge ? 1 : 2;
    Row r;
    r.status = qobject_cast<QLabel *>(probe::gridCell(window, pluginGroup, index, 1));
    auto *grid = qobject_cast<QGridLayout *>(probe::group(window, pluginGroup)->layout());
    QLayout *buttons = grid->itemAtPosition(index, 2)->layout();
    r.install = qobject_cast<QPushButton *>(buttons->itemAt(0)->widget());
    r.uninstall = qobject_cast<QPushButton *>(buttons->itemAt(1)->widget());
    return r;
}

QLabel *restartHintLabel(QWidget *window)
{
    return qobject_cast<QLabel *>(probe::gridCell(window, pluginGroup, 3, 0));
}

// The window's repeating restart check.
QTimer *checkTimer(QWidget *window)
{
    for (QTimer *timer : window->findChildren<QTimer *>())
        if (timer->interval() == 3000 && !timer->isSingleShot())
            return timer;
    return nullptr;
}

// Keeps the window's listener off the product's default port.
std::unique_ptr<FakeBrowserPlatform> onFreeTcpPort(std::unique_ptr<FakeBrowserPlatform> platform)
{
    QSettings().setValue(QStringLiteral("tcpPort"), probe::freePort());
    return platform;
}

// The window with a fake platform it owns; the test keeps a pointer to the fake.
struct Harness
{
    FakeBrowserPlatform *fake;
    MainWindow window;

    explicit Harness(const std::function<void(FakeBrowserPlatform &)> &setup)
        : Harness(makeFake(setup))
    {
    }

private:
    explicit Harness(std::unique_ptr<FakeBrowserPlatform> platform)
        : fake(platform.get())
        , window(onFreeTcpPort(std::move(platform)))
    {
    }

    static std::unique_ptr<FakeBrowserPlatform> makeFake(const std::function<void(FakeBrowserPlatform &)> &setup)
    {
        auto platform = std::make_unique<FakeBrowserPlatform>();
        setup(*platform);
        return platform;
    }
};

void verifyRow(QWidget *window, const QString &browserKey, bool installed)
{
    const Row r = row(window, browserKey);
    QVERIFY(r.status && r.install && r.uninstall);
    QCOMPARE(r.status->text(), installed ? QStringLiteral("Installed") : QStringLiteral("Not installed"));
    QCOMPARE(r.status->styleSheet(), installed ? installedStyle : notInstalledStyle);
    QCOMPARE(r.install->isEnabled(), !installed);
    QCOMPARE(r.uninstall->isEnabled(), installed);
}

} // namespace

class TestInstallWindow : public QObject
{
    Q_OBJECT

private slots:
    void initialRows_data()
    {
        QTest::addColumn<bool>("edgeInstalled");
        QTest::addColumn<bool>("chromeInstalled");
        QTest::newRow("neither") << false << false;
        QTest::newRow("edge") << true << false;
        QTest::newRow("chrome") << false << true;
        QTest::newRow("both") << true << true;
    }

    void initialRows()
    {
        QFETCH(bool, edgeInstalled);
        QFETCH(bool, chromeInstalled);
        Harness h([&](FakeBrowserPlatform &f) {
            if (edgeInstalled)
                f.entries[edge] = ours();
            if (chromeInstalled)
                f.entries[chrome] = {{QStringLiteral("1"), QStringLiteral("other;https://x.example")},
                                     {QStringLiteral("2"), ourValue}};
        });
        verifyRow(&h.window, edge, edgeInstalled);
        verifyRow(&h.window, chrome, chromeInstalled);
        QVERIFY(h.fake->calls.isEmpty());
    }

    void installSlots_data()
    {
        QTest::addColumn<QString>("browser");
        QTest::addColumn<bool>("install");
        QTest::addColumn<QList<PolicyEntry>>("atStart");
        // Replaces the entries after the window was built: a change made outside.
        QTest::addColumn<QList<PolicyEntry>>("beforeClick");
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("installedAfter");

        const QList<PolicyEntry> none;
        const QList<PolicyEntry> others = {{"1", "a;b"}, {"2", "c;d"}, {"5", "e;f"}};
        const QList<PolicyEntry> twice = {{"4", ourValue}, {"2", ourValue}};

        QTest::newRow("install edge") << edge << true << none << none << false
                                      << QStringList{"add Microsoft\\Edge 1 " + ourValue}
                                      << "Plugin installed for Microsoft Edge. Restart Edge to apply." << true;
        QTest::newRow("install chrome beside others") << chrome << true << others << others << false
                                                      << QStringList{"add Google\\Chrome 6 " + ourValue}
                                                      << "Plugin installed for Google Chrome. Restart Chrome to apply."
                                                      << true;
        QTest::newRow("install edge refused") << edge << true << none << none << true
                                              << QStringList{"add Microsoft\\Edge 1 " + ourValue}
                                              << "Failed to install plugin for Edge." << false;
        QTest::newRow("install chrome refused") << chrome << true << none << none << true
                                                << QStringList{"add Google\\Chrome 1 " + ourValue}
                                                << "Failed to install plugin for Chrome." << false;
        QTest::newRow("install edge, already there") << edge << true << none << ours() << false << QStringList()
                                                     << "Plugin installed for Microsoft Edge. Restart Edge to apply."
                                                     << true;
        QTest::newRow("uninstall edge") << edge << false << ours("3") << ours("3") << false
                                        << QStringList{"remove Microsoft\\Edge 3"}
                                        << "Plugin uninstalled for Microsoft Edge. Restart Edge to apply." << false;
        QTest::newRow("uninstall chrome") << chrome << false << ours("7") << ours("7") << false
                                          << QStringList{"remove Google\\Chrome 7"}
                                          << "Plugin uninstalled for Google Chrome. Restart Chrome to apply."
                                          << false;
        QTest::newRow("uninstall edge refused") << edge << false << ours() << ours() << true
                                                << QStringList{"remove Microsoft\\Edge 1"}
                                                << "Failed to uninstall plugin for Edge." << true;
        QTest::newRow("uninstall chrome refused") << chrome << false << ours() << ours() << true
                                                  << QStringList{"remove Google\\Chrome 1"}
                                                  << "Failed to uninstall plugin for Chrome." << true;
        QTest::newRow("uninstall chrome, two copies") << chrome << false << twice << twice << false
                                                      << QStringList{"remove Google\\Chrome 2"}
                                                      << "Plugin uninstalled for Google Chrome. Restart Chrome to apply."
                                                      << true;
        QTest::newRow("uninstall chrome, already gone") << chrome << false << ours() << none << false << QStringList()
                                                        << "Plugin uninstalled for Google Chrome. Restart Chrome to "
                                                           "apply."
                                                        << false;
    }

    void installSlots()
    {
        QFETCH(QString, browser);
        QFETCH(bool, install);
        QFETCH(QList<PolicyEntry>, atStart);
        QFETCH(QList<PolicyEntry>, beforeClick);
        QFETCH(bool, refuse);
        QFETCH(QStringList, calls);
        QFETCH(QString, logLine);
        QFETCH(bool, installedAfter);

        Harness h([&](FakeBrowserPlatform &f) { f.entries[browser] = atStart; });
        const QString otherBrowser = browser == edge ? chrome : edge;
        h.fake->entries[otherBrowser] = ours();
        h.fake->entries[browser] = beforeClick;
        h.fake->refuseElevation = refuse;
        const int logLines = probe::logMessages(&h.window).size();

        const Row r = row(&h.window, browser);
        (install ? r.install : r.uninstall)->click();

        QCOMPARE(h.fake->calls, calls);
        const QStringList messages = probe::logMessages(&h.window);
        QCOMPARE(messages.size(), logLines + 1);
        QCOMPARE(messages.last(), logLine);
        verifyRow(&h.window, browser, installedAfter);
        // The refresh reads both rows from the store, the other one too.
        verifyRow(&h.window, otherBrowser, true);
    }

    void restartHint_data()
    {
        QTest::addColumn<bool>("edgeInstalled");
        QTest::addColumn<bool>("chromeInstalled");
        QTest::addColumn<QStringList>("running");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QStringList>("scanned");

        const QString both =
            QStringLiteral("\u26A0 Please restart Microsoft Edge / Google Chrome to load the plugin.");
        QTest::newRow("both installed and running") << true << true << QStringList{"chrome.exe", "msedge.exe"}
                                                    << both << QStringList{"msedge.exe", "chrome.exe"};
        QTest::newRow("only chrome has the entry")
            << false << true << QStringList{"chrome.exe", "msedge.exe"}
            << QStringLiteral("\u26A0 Please restart Google Chrome to load the plugin.") << QStringList{"chrome.exe"};
        QTest::newRow("only edge runs") << true << true << QStringList{"msedge.exe"}
                                        << QStringLiteral("\u26A0 Please restart Microsoft Edge to load the plugin.")
                                        << QStringList{"msedge.exe", "chrome.exe"};
        QTest::newRow("installed, not running") << true << true << QStringList() << QString()
                                                << QStringList{"msedge.exe", "chrome.exe"};
        QTest::newRow("running, not installed") << false << false << QStringList{"chrome.exe", "msedge.exe"}
                                                << QString() << QStringList();
    }

    void restartHint()
    {
        QFETCH(bool, edgeInstalled);
        QFETCH(bool, chromeInstalled);
        QFETCH(QStringList, running);
        QFETCH(QString, hint);
        QFETCH(QStringList, scanned);

        Harness h([](FakeBrowserPlatform &) {});
        QLabel *label = restartHintLabel(&h.window);
        QVERIFY(label->isHidden());

        if (edgeInstalled)
            h.fake->entries[edge] = ours();
        if (chromeInstalled)
            h.fake->entries[chrome] = ours();
        h.fake->running = running;
        h.fake->processQueries.clear();

        // The repeating check notices without any click; one run scans only
        // the browsers that have the entry, Edge first.
        QSignalSpy tick(checkTimer(&h.window), &QTimer::timeout);
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.fake->processQueries, scanned);
        QCOMPARE(label->isHidden(), hint.isEmpty());
        if (!hint.isEmpty())
            QCOMPARE(label->text(), hint);

        // The browsers end: the warning goes at the next check; its text stays.
        h.fake->running.clear();
        QVERIFY(tick.wait(5000));
        QVERIFY(label->isHidden());
        if (!hint.isEmpty())
            QCOMPARE(label->text(), hint);
    }

    void installRefreshesHintAtOnce()
    {
        Harness h([](FakeBrowserPlatform &f) { f.running = {"chrome.exe"}; });
        QLabel *label = restartHintLabel(&h.window);
        QVERIFY(label->isHidden());
        row(&h.window, chrome).install->click();
        QVERIFY(!label->isHidden());
        QCOMPARE(label->text(), QStringLiteral("\u26A0 Please restart Google Chrome to load the plugin."));
        row(&h.window, chrome).uninstall->click();
        QVERIFY(label->isHidden());
    }

    void connectedPluginHidesHint()
    {
        Harness h([](FakeBrowserPlatform &f) {
            f.entries[edge] = ours();
            f.entries[chrome] = ours();
            f.running = {"msedge.exe", "chrome.exe"};
            f.hasBrowserWindow = false;
        });
        QLabel *label = restartHintLabel(&h.window);
        QVERIFY(!label->isHidden());

        QVERIFY2(probe::logMessages(&h.window).contains(QStringLiteral("WebSocket: listening on ws://127.0.0.1:9000")),
                 "port 9000 is held by another program");
        QWebSocket plugin;
        QSignalSpy connected(&plugin, &QWebSocket::connected);
        plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        QVERIFY2(connected.wait(5000), "the window's WebSocket server did not accept the plugin");
        QTRY_VERIFY(label->isHidden());

        // While connected a check reads nothing at all.
        h.fake->processQueries.clear();
        QSignalSpy tick(checkTimer(&h.window), &QTimer::timeout);
        QVERIFY(tick.wait(5000));
        QVERIFY(h.fake->processQueries.isEmpty());
        QVERIFY(label->isHidden());

        // Pick mode raises the browser; without a browser window it goes on silently.
        const int logLines = probe::logMessages(&h.window).size();
        probe::button(&h.window, QStringLiteral("Select a field in the browser "))->click();
        QCOMPARE(h.fake->calls, QStringList{QStringLiteral("front")});
        QCOMPARE(probe::logMessages(&h.window).size(), logLines + 1);

        plugin.close();
        QTRY_VERIFY(!label->isHidden());
        QCOMPARE(label->text(), QStringLiteral("\u26A0 Please restart Microsoft Edge / Google Chrome to load the plugin."));
    }
};

FIELDPOST_TEST_MAIN(TestInstallWindow)
#include "tst_installwindow.moc"
