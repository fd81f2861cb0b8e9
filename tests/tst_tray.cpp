// The tray icon and the window's life: closing hides to the tray while the
// icon is visible, Quit lets the close through, and the servers keep running.
#include "TestMain.h"
#include "WindowProbe.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

class TestTray : public QObject
{
    Q_OBJECT

    static constexpr int stillRunning = 3;
    std::unique_ptr<MainWindow> window;
    quint16 tcpPort = 0;

    QSystemTrayIcon *tray() const { return window->findChild<QSystemTrayIcon *>(); }
    QAction *menuAction(const QString &text) const
    {
        for (QAction *action : tray()->contextMenu()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }

    // Shows the window, then closes it inside a running loop as in the program:
    // an accepted close of the last window ends the loop with 0, else it ends
    // with stillRunning, queued behind the quit request Qt posts (two hops).
    int showAndClose(const std::function<void()> &close)
    {
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return -1;
        QTimer::singleShot(0, window.get(), [&] {
            close();
            QMetaObject::invokeMethod(qApp, [] {
                QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(stillRunning); }, Qt::QueuedConnection);
            }, Qt::QueuedConnection);
        });
        return QCoreApplication::exec();
    }

private slots:
    void init()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0); // stored before the window reads it
        window = std::make_unique<MainWindow>(testParts());
        tcpPort = probe::pairing().intakePort;
        QVERIFY(tray());
    }

    void cleanup() { window.reset(); }

    // The tray icon with the window's title and the program's icon.
    void startsInTheTray()
    {
        QVERIFY(tray()->isVisible());
        QCOMPARE(tray()->toolTip(), window->windowTitle());
        const auto argb = [](const QImage &image) { return image.convertToFormat(QImage::Format_ARGB32_Premultiplied); };
        const QImage appIcon = argb(QImage(QStringLiteral(":/appicon.png")));
        QCOMPARE(argb(window->windowIcon().pixmap(128, 128).toImage()), appIcon);
        QCOMPARE(argb(tray()->icon().pixmap(128, 128).toImage()), appIcon);
    }

    void closeHidesWhileTrayIsVisible()
    {
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        for (int i = 0; i < 2; ++i) { // every close, not only the first
            QCOMPARE(showAndClose([this] { window->close(); }), stillRunning);
            QVERIFY(!window->isVisible());
            QVERIFY(tray()->isVisible());
        }
        QCOMPARE(lastClosed.count(), 0);

        // The servers go on behind the hidden window.
        QTcpSocket tcp;
        tcp.connectToHost(QHostAddress::LocalHost, tcpPort);
        QVERIFY2(tcp.waitForConnected(5000), qPrintable(tcp.errorString()));
    }

    void closeWithoutTray_data()
    {
        QTest::addColumn<bool>("trayAtStart");
        QTest::addColumn<bool>("quit");
        QTest::newRow("tray icon hidden, quit") << true << true;
        QTest::newRow("no tray at start: shown at start; quit") << false << true;
        QTest::newRow("no tray, the question answered no") << false << false;
    }

    // Without a tray icon to come back from, a close asks, and if the answer
    // is yes it goes through and ends the program.
    void closeWithoutTray()
    {
        QFETCH(bool, trayAtStart);
        QFETCH(bool, quit);
        int asked = 0;
        window.reset(); // it holds the ports
        WindowParts parts = testParts();
        parts.trayAvailable = trayAtStart;
        parts.confirmQuit = [&asked, quit](QWidget *) { return ++asked, quit; };
        window = std::make_unique<MainWindow>(std::move(parts));
        QCOMPARE(window->isVisible(), !trayAtStart);
        if (trayAtStart)
            tray()->hide();
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QCOMPARE(showAndClose([&] { window->close(); }), quit ? 0 : stillRunning);
        QCOMPARE(asked, 1);
        QCOMPARE(window->isVisible(), !quit);
        QCOMPARE(lastClosed.count(), quit ? 1 : 0);
    }

    // Started before the desktop's tray (a session's autostart): shown, and
    // hidden into the tray once it comes.
    void trayThatComesLate()
    {
        window.reset();
        bool trayUp = false;
        WindowParts parts = testParts();
        parts.trayAvailable = false;
        parts.trayProbe = [&trayUp] { return trayUp; };
        window = std::make_unique<MainWindow>(std::move(parts));
        QVERIFY(window->isVisible());
        QTest::qWait(2500);
        QVERIFY(window->isVisible());
        trayUp = true;
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
        QCOMPARE(showAndClose([this] { window->close(); }), stillRunning); // a close hides it from now on
    }

    void quitLetsTheCloseThrough()
    {
        QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
        QAction *quit = menuAction(QStringLiteral("Quit"));
        QVERIFY(quit);
        // Quit closes every window on its way out; the tray icon is still
        // visible, yet the close is no longer refused and the loop ends.
        QCOMPARE(showAndClose([quit] { quit->trigger(); }), 0);
        QCOMPARE(aboutToQuit.count(), 1);
        QVERIFY(!window->isVisible());
        // From now on every close is accepted.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
    }

    void activation_data()
    {
        QTest::addColumn<int>("reason"); // -1: the menu's "Show"
        QTest::addColumn<bool>("shows");
        QTest::newRow("Show action") << -1 << true;
        QTest::newRow("click") << int(QSystemTrayIcon::Trigger) << true;
        QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << false;
    }

    // From hidden in the tray, then from minimized: the ways that show also restore.
    void activation()
    {
        QFETCH(int, reason);
        QFETCH(bool, shows);
        QAction *show = menuAction(QStringLiteral("Show"));
        QVERIFY(show);
        const auto activate = [&] {
            if (reason < 0)
                show->trigger();
            else
                emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
        };
        activate();
        QCOMPARE(window->isVisible(), shows);
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized());
        activate();
        QCOMPARE(window->isMinimized(), !shows);
        QVERIFY(window->isVisible());
    }
};

FIELDPOST_TEST_MAIN(TestTray)
#include "tst_tray.moc"
