// The plugin rows of the main window over an in-memory platform, and on Windows over the registry.
#include "ExtensionPolicy.h"
#include "PluginSocket.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QSignalSpy>
#include <QTimer>

#include <optional>

namespace {

const QString edge = BrowserKey::edge;
const QString chrome = BrowserKey::chrome;
const QString restartBoth = QStringLiteral("\u26A0 Please restart Microsoft Edge / Google Chrome to load the plugin.");
const QString restartChrome = QStringLiteral("\u26A0 Please restart Google Chrome to load the plugin.");
const QString restartEdge = QStringLiteral("\u26A0 Please restart Microsoft Edge to load the plugin.");

// Made on use: the value is a global of the library, set up after this file's globals.
QList<PolicyEntry> ours() { return {{QStringLiteral("1"), extensionPolicyValue()}}; }

struct FakePlatform : BrowserPlatform
{
    QHash<QString, QList<PolicyEntry>> entries;
    QStringList running, processQueries; // the image names asked for, in order
    bool refuse = false; // every change fails like a dismissed prompt
    int raised = 0;

    QList<PolicyEntry> policyEntries(const QString &key) override { return entries.value(key); }
    bool addPolicyEntry(const QString &key, const QString &name, const QString &value) override
    {
        return !refuse && (entries[key].append({name, value}), true);
    }
    bool removePolicyEntry(const QString &key, const QString &name) override
    {
        return !refuse && entries[key].removeIf([&](const PolicyEntry &e) { return e.name == name; }) > 0;
    }
    QStringList browserImageNames(const QString &key) const override { return {key == edge ? "msedge.exe" : "chrome.exe"}; }
    bool isProcessRunning(const QString &image) override { return processQueries << image, running.contains(image); }
    bool bringBrowserToFront() override { return ++raised, false; }
};

// The window over a fake it owns: fill in the fake, then start().
struct Harness
{
    std::unique_ptr<FakePlatform> owned = std::make_unique<FakePlatform>();
    FakePlatform *fake = owned.get();
    std::optional<MainWindow> window;

    QWidget *start(std::unique_ptr<BrowserPlatform> platform = nullptr)
    {
        QSettings().setValue(QStringLiteral("tcpPort"), probe::freePort()); // off the product's default port
        window.emplace(testParts(platform ? std::move(platform) : std::move(owned)));
        return &*window;
    }
    QWidget *cell(int row, int column) { return probe::gridCell(&*window, QStringLiteral("Browser Plugin"), row, column); }
    // The restart warning as the user sees it: empty while hidden.
    QString hint() { return cell(3, 0)->isHidden() ? QString() : qobject_cast<QLabel *>(cell(3, 0))->text(); }
    // Install (0) or Uninstall (1) of a browser's row.
    QPushButton *button(const QString &browser, int which)
    {
        auto *grid = qobject_cast<QGridLayout *>(probe::group(&*window, QStringLiteral("Browser Plugin"))->layout());
        return qobject_cast<QPushButton *>(grid->itemAtPosition(browser == edge ? 1 : 2, 2)->layout()->itemAt(which)->widget());
    }
    void verifyRow(const QString &browser, bool installed)
    {
        const auto *status = qobject_cast<QLabel *>(cell(browser == edge ? 1 : 2, 1));
        QVERIFY(status);
        QCOMPARE(status->text(), installed ? QStringLiteral("Installed") : QStringLiteral("Not installed"));
        QCOMPARE(status->styleSheet().left(13), installed ? QStringLiteral("color:#2ecc71") : QStringLiteral("color:#e67e22"));
        QCOMPARE(button(browser, 0)->isEnabled(), !installed);
        QCOMPARE(button(browser, 1)->isEnabled(), installed);
    }
    // Clicks and returns the log lines the click added.
    QStringList click(QPushButton *button)
    {
        const qsizetype before = probe::logMessages(&*window).size();
        button->click();
        return probe::logMessages(&*window).mid(before);
    }
    // The window's repeating restart check (every 3 s), sped up for the test.
    QTimer *checkTimer()
    {
        for (QTimer *timer : window->findChildren<QTimer *>())
            if (timer->interval() == 3000 && !timer->isSingleShot())
                return timer->setInterval(50), timer;
        return nullptr;
    }
};

} // namespace

class TestInstallWindow : public QObject
{
    Q_OBJECT

private slots:
    // Each button refused, then done; each refresh reads both rows and the warning from the store.
    void installButtons_data()
    {
        QTest::addColumn<QString>("browser");
        QTest::addColumn<bool>("install");
        QTest::addColumn<QString>("done");
        QTest::addColumn<QString>("failed");
        QTest::newRow("install edge") << edge << true << "Plugin installed for Microsoft Edge. Restart Edge to apply."
                                      << "Failed to install plugin for Edge.";
        QTest::newRow("uninstall chrome")
            << chrome << false << "Plugin uninstalled for Google Chrome. Restart Chrome to apply."
            << "Failed to uninstall plugin for Chrome.";
    }

    void installButtons()
    {
        QFETCH(QString, browser);
        QFETCH(bool, install);
        QFETCH(QString, done);
        QFETCH(QString, failed);
        const QString other = browser == edge ? chrome : edge;

        Harness h;
        h.fake->entries[browser] = install ? QList<PolicyEntry>() : ours();
        h.fake->running = {"msedge.exe", "chrome.exe"};
        h.start();
        h.verifyRow(browser, !install);

        h.fake->entries[other] = ours(); // a change made outside
        h.fake->refuse = true;
        QCOMPARE(h.click(h.button(browser, install ? 0 : 1)), QStringList{failed});
        h.verifyRow(browser, !install);
        h.verifyRow(other, true);
        h.fake->refuse = false;
        QCOMPARE(h.click(h.button(browser, install ? 0 : 1)), QStringList{done});
        h.verifyRow(browser, install);
        QCOMPARE(h.hint(), install ? restartBoth : browser == edge ? restartChrome : restartEdge);
    }

    // The repeating check notices changes without any click; it scans only the
    // browsers that have the entry, Edge first, and nothing while the plugin is connected.
    void restartHint()
    {
        Harness h;
        h.fake->running = {"chrome.exe", "msedge.exe"}; // running, not installed: no warning
        QWidget *window = h.start();
        QCOMPARE(h.hint(), QString());

        QSignalSpy tick(h.checkTimer(), &QTimer::timeout);
        h.fake->entries[chrome] = ours();
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.fake->processQueries, QStringList{"chrome.exe"});
        QCOMPARE(h.hint(), restartChrome);
        h.fake->entries[edge] = ours();
        h.fake->processQueries.clear();
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.fake->processQueries, (QStringList{"msedge.exe", "chrome.exe"}));
        QCOMPARE(h.hint(), restartBoth);

        PluginSocket plugin;
        plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000")));
        QTRY_COMPARE(h.hint(), QString()); // only a connected plugin hides it
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.hint(), QString());

        // Pick mode raises the browser; without a browser window it goes on with one log line.
        QCOMPARE(h.click(probe::button(window, QStringLiteral("Select a field in the browser "))).size(), 1);
        QCOMPARE(h.fake->raised, 1);

        h.fake->running = {"msedge.exe"};
        plugin.close();
        QTRY_COMPARE(h.hint(), restartEdge);
        // The browsers end: the warning goes at the next check.
        h.fake->running.clear();
        QVERIFY(tick.wait(5000));
        QCOMPARE(h.hint(), QString());
    }

#ifdef Q_OS_WIN
    // Install writes the machine-wide policy through reg.exe started with "runas", Uninstall deletes it.
    // It changes HKLM, so it runs only where asked to (under wine, in a prefix of its own).
    void systemPolicyThroughRegExe()
    {
        if (qEnvironmentVariable("FIELDPOST_WRITE_HKLM") != QLatin1String("1"))
            QSKIP("writes HKLM; set FIELDPOST_WRITE_HKLM=1 to run it");
        const auto store = [] { return std::make_unique<QSettings>(policyRegistryPath(chrome), QSettings::NativeFormat); };
        QVERIFY2(store()->allKeys().isEmpty(), "Chrome already has force-install entries here");
        Harness h;
        h.start(createSystemPlatform());
        h.button(chrome, 0)->click();
        h.verifyRow(chrome, true);
        QCOMPARE(store()->allKeys(), QStringList{QStringLiteral("1")});
        QCOMPARE(store()->value(QStringLiteral("1")).toString(), extensionPolicyValue());
        h.button(chrome, 1)->click();
        h.verifyRow(chrome, false);
        QVERIFY(store()->allKeys().isEmpty());
    }
#endif
};

FIELDPOST_TEST_MAIN(TestInstallWindow)
#include "tst_installwindow.moc"
