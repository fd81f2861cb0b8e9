// The plugin rows of the main window over an in-memory platform, and on Windows over the registry.
#include "Browsers.h"
#include "ExtensionPolicy.h"
#include "FrameFormat.h"
#include "PluginSocket.h"
#include "PluginSource.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QJsonDocument>
#include <QMutex>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

namespace {

const QString edge = BrowserKey::edge;
const QString chrome = BrowserKey::chrome;
const QString restartBoth = QStringLiteral("\u26A0 Please restart Microsoft Edge / Google Chrome to load the plugin.");
const QString restartChrome = QStringLiteral("\u26A0 Please restart Google Chrome to load the plugin.");
const QString restartEdge = QStringLiteral("\u26A0 Please restart Microsoft Edge to load the plugin.");

QString ourValue(const QString &key) { return pluginSource(*browserByKey(key)).policyValue(); }
QList<PolicyEntry> ours(const QString &key) { return {{QStringLiteral("1"), ourValue(key)}}; }

// The process scan runs on a thread of its own, hence the lock.
struct FakePlatform : BrowserPlatform
{
    QHash<QString, QList<PolicyEntry>> entries;
    QMutex lock;
    QStringList running, processQueries; // the image names asked for, in order
    bool refuse = false;                 // every change fails like a dismissed prompt
    int promptMs = 0;                    // how long the elevation prompt waits for the user
    int raised = 0;

    QList<PolicyEntry> policyEntries(const QString &key) override { return entries.value(key); }
    void change(PolicyChangeDone done, std::function<void()> apply)
    {
        QTimer::singleShot(promptMs, [this, done, apply] {
            if (!refuse)
                apply();
            done(!refuse);
        });
    }
    void addPolicyEntry(const QString &key, const QString &name, const QString &value, PolicyChangeDone done) override
    {
        change(done, [=] { entries[key].append({name, value}); });
    }
    void removePolicyEntry(const QString &key, const QString &name, PolicyChangeDone done) override
    {
        change(done, [=] { entries[key].removeIf([&](const PolicyEntry &e) { return e.name == name; }); });
    }
    QStringList browserImageNames(const QString &key) const override { return {key == edge ? "msedge.exe" : "chrome.exe"}; }
    bool isProcessRunning(const QString &image) override
    {
        QMutexLocker locked(&lock);
        return processQueries << image, running.contains(image);
    }
    void setRunning(const QStringList &images)
    {
        QMutexLocker locked(&lock);
        running = images;
        processQueries.clear();
    }
    QStringList queries()
    {
        QMutexLocker locked(&lock);
        return processQueries;
    }
    bool bringBrowserToFront() override { return ++raised, false; }
    QStringList unmanaged; // browsers that ignore entries for extensions from outside their store here
    bool ignoresOffStoreInstalls(const QString &key) override { return unmanaged.contains(key); }
};

// The window over a fake it owns: fill in the fake, then start().
struct Harness
{
    std::unique_ptr<FakePlatform> owned = std::make_unique<FakePlatform>();
    FakePlatform *fake = owned.get();
    std::optional<MainWindow> window;
    quint16 tcpPort = 0;

    QWidget *start(std::unique_ptr<BrowserPlatform> platform = nullptr)
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0); // off the product's default port
        window.emplace(testParts(platform ? std::move(platform) : std::move(owned)));
        tcpPort = probe::pairing().intakePort;
        return &*window;
    }
    // A plugin of this user, linked and proven as the real one does it.
    bool link(ProvenPlugin &plugin)
    {
        return plugin.link(probe::pairing().port, probe::pairing().key)
               && QTest::qWaitFor([&] { return probe::label(&*window, "pluginStatusLabel")->text() == QLatin1String("Connected"); });
    }
    static const char *row(const QString &key) { return key == edge ? "edge" : key == chrome ? "chrome" : "chromium"; }
    QPushButton *button(const QString &key, bool install)
    {
        return probe::button(&*window, QByteArray(row(key)).append(install ? "InstallButton" : "UninstallButton"));
    }
    QLabel *status(const QString &key) { return probe::label(&*window, QByteArray(row(key)).append("StatusLabel")); }
    // The restart warning as the user sees it: empty while hidden.
    QString hint()
    {
        QLabel *label = probe::label(&*window, "restartHintLabel");
        return label->isHidden() ? QString() : label->text();
    }
    void verifyRow(const QString &key, bool installed)
    {
        QCOMPARE(status(key)->text(), installed ? QStringLiteral("Policy written, waiting for the browser") : QStringLiteral("Not installed"));
        QCOMPARE(status(key)->styleSheet().left(13), installed ? QStringLiteral("color:#2ecc71") : QStringLiteral("color:#e67e22"));
        QCOMPARE(button(key, true)->isEnabled(), !installed);
        QCOMPARE(button(key, false)->isEnabled(), installed);
    }
    // Clicks, waits for the change to end, and returns the log lines it added.
    QStringList click(QPushButton *button)
    {
        const qsizetype before = probe::logMessages(&*window).size();
        button->click();
        if (!QTest::qWaitFor([&] { return probe::logMessages(&*window).size() > before; }, 10000))
            return {QStringLiteral("(nothing logged)")};
        return probe::logMessages(&*window).mid(before);
    }
    // The restart check, every 3 s while the window is shown, sped up for the test.
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
    void init() { QSettings().clear(); }

    // Each button refused, then done; each refresh reads the rows and the warning from the store.
    void installButtons_data()
    {
        QTest::addColumn<QString>("browser");
        QTest::addColumn<bool>("install");
        QTest::addColumn<QString>("done");
        QTest::addColumn<QString>("failed");
        QTest::addColumn<QString>("hint");
        QTest::newRow("install edge") << edge << true << "Plugin installed for Microsoft Edge. Restart Edge to apply."
                                      << "Failed to install plugin for Edge." << restartBoth;
        QTest::newRow("uninstall chrome")
            << chrome << false << "Plugin uninstalled for Google Chrome. Restart Chrome to apply."
            << "Failed to uninstall plugin for Chrome." << restartEdge;
        QTest::newRow("install chromium") << BrowserKey::chromium << true
                                          << "Plugin installed for Chromium. Restart Chromium to apply."
                                          << "Failed to install plugin for Chromium."
                                          << "\u26A0 Please restart Microsoft Edge / Chromium to load the plugin.";
    }

    void installButtons()
    {
        QFETCH(QString, browser);
        QFETCH(bool, install);
        QFETCH(QString, done);
        QFETCH(QString, failed);
        QFETCH(QString, hint);
        const QString other = browser == edge ? chrome : edge;

        Harness h;
        h.fake->entries[browser] = install ? QList<PolicyEntry>() : ours(browser);
        h.fake->running = {"msedge.exe", "chrome.exe"};
        QWidget *window = h.start();
        window->show();
        h.verifyRow(browser, !install);

        h.fake->entries[other] = ours(other); // a change made outside
        h.fake->refuse = true;
        QCOMPARE(h.click(h.button(browser, install)), QStringList{failed});
        h.verifyRow(browser, !install);
        h.verifyRow(other, true);
        h.fake->refuse = false;
        QCOMPARE(h.click(h.button(browser, install)), QStringList{done});
        h.verifyRow(browser, install);
        QTRY_COMPARE(h.hint(), hint);
    }

    // While the elevation prompt waits, lines go on being filled, and no
    // button takes a second change.
    void linesFlowWhileThePromptWaits()
    {
        QSettings().setValue(QStringLiteral("lastDestField"), QStringLiteral("{\"label\":\"Qty\",\"tag\":\"input\",\"instance\":\"b-1\"}"));
        QSettings().setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://shop.example/"));
        Harness h;
        h.fake->promptMs = 3000;
        h.start();
        ProvenPlugin plugin;
        QVERIFY(h.link(plugin));
        const auto values = [&plugin] {
            QStringList got;
            for (const QJsonObject &fill : plugin.ofType("fill"))
                got << fill.value(QLatin1String("value")).toString();
            return got;
        };

        QElapsedTimer prompt;
        prompt.start();
        h.button(chrome, true)->click();
        QVERIFY(!h.button(edge, true)->isEnabled());
        QTcpSocket product;
        product.connectToHost(QHostAddress::LocalHost, h.tcpPort);
        QVERIFY(product.waitForConnected(3000));
        for (int i = 0; i < 10; ++i) {
            product.write(encodeFrame("line " + QByteArray::number(i)));
            QTest::qWait(100);
        }
        QTRY_VERIFY(values().contains(QStringLiteral("line 9")));
        QVERIFY2(prompt.elapsed() < 3000, "the lines waited for the prompt");
        QTRY_VERIFY(probe::logMessages(&*h.window).contains(QStringLiteral("Plugin installed for Google Chrome. Restart Chrome to apply.")));
        QVERIFY(h.button(edge, true)->isEnabled());
    }

    // A row tells what the browser makes of the entry: ignored on a PC that is
    // not managed (with the store route), and Linked once its plugin proves a link.
    void rowsTellTheTruth()
    {
        Harness h;
        h.fake->entries[chrome] = ours(chrome);
        h.fake->entries[BrowserKey::chromium] = ours(BrowserKey::chromium);
        h.fake->unmanaged = {chrome};
        h.start();
        QCOMPARE(h.status(chrome)->text(), QStringLiteral("Policy written, ignored on this PC: install from the store"));
        QVERIFY(h.status(chrome)->toolTip().contains(QStringLiteral("docs/plugin-release.md")));
        QCOMPARE(h.status(chrome)->styleSheet().left(13), QStringLiteral("color:#e67e22"));
        h.verifyRow(BrowserKey::chromium, true);
        ProvenPlugin plugin;
        QVERIFY(h.link(plugin));
        QTRY_COMPARE(h.status(BrowserKey::chromium)->text(), QStringLiteral("Linked (v1.3.0)"));
        QCOMPARE(h.status(BrowserKey::chromium)->styleSheet().left(13), QStringLiteral("color:#2ecc71"));
        plugin.socket.close();
        QTRY_COMPARE(h.status(BrowserKey::chromium)->text(), QStringLiteral("Policy written, waiting for the browser"));
    }

    // The check notices changes without any click, only while the window is shown;
    // it scans only the browsers that have the entry, Edge first, and nothing while
    // the plugin is connected.
    void restartHint()
    {
        Harness h;
        h.fake->running = {"chrome.exe", "msedge.exe"}; // running, not installed: no warning
        QWidget *window = h.start();
        QTimer *timer = h.checkTimer();
        QVERIFY(timer && !timer->isActive());
        window->show();
        QVERIFY(timer->isActive());
        QCOMPARE(h.hint(), QString());

        h.fake->entries[chrome] = ours(chrome);
        QTRY_COMPARE(h.hint(), restartChrome);
        QCOMPARE(h.fake->queries().value(0), QStringLiteral("chrome.exe"));
        h.fake->entries[edge] = ours(edge);
        h.fake->setRunning({"chrome.exe", "msedge.exe"});
        QTRY_COMPARE(h.hint(), restartBoth);
        QCOMPARE(h.fake->queries().mid(0, 2), (QStringList{"msedge.exe", "chrome.exe"}));

        ProvenPlugin plugin;
        QVERIFY(h.link(plugin));
        QTRY_COMPARE(h.hint(), QString()); // only a connected plugin hides it
        for (int settle = 0; settle < 2; ++settle) { // a scan that left before the link may still be out
            h.fake->setRunning(h.fake->running);
            QTest::qWait(200);
        }
        QCOMPARE(h.fake->queries(), QStringList());

        // Pick mode raises the browser; without a browser window it goes on with one log line.
        const qsizetype before = probe::logMessages(window).size();
        probe::button(window, "pickFieldButton")->click();
        QCOMPARE(probe::logMessages(window).size(), before + 1);
        QCOMPARE(h.fake->raised, 1);

        h.fake->setRunning({"msedge.exe"});
        plugin.socket.close();
        QTRY_COMPARE(h.hint(), restartEdge);
        window->hide();
        QVERIFY(!timer->isActive());
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
        h.click(h.button(chrome, true));
        // wine's Windows is joined to no domain: Chrome would ignore the entry, and the row says so.
        QCOMPARE(h.status(chrome)->text(), QStringLiteral("Policy written, ignored on this PC: install from the store"));
        QVERIFY(!h.button(chrome, true)->isEnabled() && h.button(chrome, false)->isEnabled());
        QCOMPARE(store()->allKeys(), QStringList{QStringLiteral("1")});
        QCOMPARE(store()->value(QStringLiteral("1")).toString(), ourValue(chrome));
        h.click(h.button(chrome, false));
        h.verifyRow(chrome, false);
        QVERIFY(store()->allKeys().isEmpty());
    }
#endif
};

FIELDPOST_TEST_MAIN(TestInstallWindow)
#include "tst_installwindow.moc"
