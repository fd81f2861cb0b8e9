// The tray icon and the window's life: closing hides to the tray while the
// icon is visible, Quit lets the close through, and the servers keep running.
#include "MainWindow.h"
#include "TestMain.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <memory>

class TestTray : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void trayIconAndMenu();
    void images();
    void closeWithVisibleTrayHides();
    void serversRunAfterCloseToTray();
    void closeWithoutVisibleTrayIsAccepted();
    void quitLetsTheCloseThrough();
    void showAction();
    void activation_data();
    void activation();

private:
    QSystemTrayIcon *tray() const { return window->findChild<QSystemTrayIcon *>(); }
    QAction *menuAction(const QString &text) const;
    int closeInEventLoop();
    static void exitAfterPendingQuit();

    static constexpr int stillRunning = 3;

    std::unique_ptr<MainWindow> window;
    quint16 tcpPort = 0;
};

void TestTray::init()
{
    // A free port for the TCP listener, stored before the window reads it.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    tcpPort = probe.serverPort();
    probe.close();
    QSettings().setValue(QStringLiteral("tcpPort"), tcpPort);

    window = std::make_unique<MainWindow>();
    QVERIFY(tray());
}

void TestTray::cleanup()
{
    window.reset();
}

QAction *TestTray::menuAction(const QString &text) const
{
    const QList<QAction *> actions = tray()->contextMenu()->actions();
    for (QAction *action : actions)
        if (action->text() == text)
            return action;
    return nullptr;
}

void TestTray::trayIconAndMenu()
{
    // A fresh start: only the tray icon, no window.
    QVERIFY(tray()->isVisible());
    QVERIFY(!window->isVisible());
    QVERIFY(!window->windowTitle().isEmpty());
    QCOMPARE(tray()->toolTip(), window->windowTitle());

    QMenu *menu = tray()->contextMenu();
    QVERIFY(menu);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions.at(0)->text(), QStringLiteral("Show"));
    QVERIFY(actions.at(1)->isSeparator());
    QCOMPARE(actions.at(2)->text(), QStringLiteral("Quit"));
}

void TestTray::images()
{
    const QImage appIcon = QImage(QStringLiteral(":/appicon.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(window->windowIcon().pixmap(128, 128).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), appIcon);
    QCOMPARE(tray()->icon().pixmap(128, 128).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), appIcon);

    const QImage target = QImage(QStringLiteral(":/target.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int pickButtons = 0;
    const QList<QPushButton *> buttons = window->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (!button->text().startsWith(QLatin1String("Select a ")))
            continue;
        ++pickButtons;
        QCOMPARE(button->icon().pixmap(target.size()).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), target);
    }
    QCOMPARE(pickButtons, 2);
}

// Ends the running loop with stillRunning, queued behind the quit request that
// Qt posts when the last window closes (two hops: the request posts its own).
void TestTray::exitAfterPendingQuit()
{
    QMetaObject::invokeMethod(
        qApp,
        [] {
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::exit(stillRunning); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

// Closes the window inside a running loop, as in the program: an accepted
// close of the last window ends the loop with 0.
int TestTray::closeInEventLoop()
{
    QTimer::singleShot(0, window.get(), [this] {
        window->close();
        exitAfterPendingQuit();
    });
    return QCoreApplication::exec();
}

void TestTray::closeWithVisibleTrayHides()
{
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    // Every close hides to the tray, not only the first.
    for (int i = 0; i < 2; ++i) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(closeInEventLoop(), stillRunning);
        QVERIFY(!window->isVisible());
        QVERIFY(tray()->isVisible());
    }
    QCOMPARE(lastClosed.count(), 0);
}

void TestTray::serversRunAfterCloseToTray()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(closeInEventLoop(), stillRunning);
    QVERIFY(!window->isVisible());

    auto *logView = window->findChild<QPlainTextEdit *>();
    QVERIFY(logView);
    QVERIFY2(!logView->toPlainText().contains(QLatin1String("failed to listen on port 9000")),
             "port 9000 is held by another program; stop it and run again");

    QTcpSocket tcp;
    QSignalSpy tcpConnected(&tcp, &QTcpSocket::connected);
    tcp.connectToHost(QHostAddress::LocalHost, tcpPort);
    QVERIFY2(tcpConnected.wait(), qPrintable(tcp.errorString()));

    // The log tells that this window's bridge, not some other program on the
    // port, took the connection.
    QWebSocket plugin;
    QSignalSpy wsConnected(&plugin, &QWebSocket::connected);
    plugin.open(QUrl(QStringLiteral("ws://127.0.0.1:9000/")));
    QVERIFY2(wsConnected.wait(), qPrintable(plugin.errorString()));
    QTRY_VERIFY2(logView->toPlainText().contains(QLatin1String("] Plugin connected")),
                 qPrintable(logView->toPlainText()));
    plugin.close();
}

void TestTray::closeWithoutVisibleTrayIsAccepted()
{
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    tray()->hide();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(closeInEventLoop(), 0);
    QVERIFY(!window->isVisible());
    QCOMPARE(lastClosed.count(), 1);
}

void TestTray::quitLetsTheCloseThrough()
{
    QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QAction *quit = menuAction(QStringLiteral("Quit"));
    QVERIFY(quit);
    // Quit closes every window on its way out; the tray icon is still
    // visible, yet the close is no longer refused and the loop ends.
    QTimer::singleShot(0, quit, [quit] {
        quit->trigger();
        exitAfterPendingQuit();
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(aboutToQuit.count(), 1);
    QVERIFY(!window->isVisible());
    QVERIFY(tray()->isVisible());

    // From now on every close is accepted.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
}

void TestTray::showAction()
{
    QAction *show = menuAction(QStringLiteral("Show"));
    QVERIFY(show);
    show->trigger();
    QVERIFY(window->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    window->showMinimized();
    QTRY_VERIFY(window->isMinimized());
    show->trigger();
    QVERIFY(!window->isMinimized());
    QVERIFY(window->isVisible());
}

void TestTray::activation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shows");
    QTest::newRow("click") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << false;
}

void TestTray::activation()
{
    QFETCH(int, reason);
    QFETCH(bool, shows);

    // From hidden in the tray.
    emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(window->isVisible(), shows);

    // From minimized: the reasons that show also restore.
    window->showMinimized();
    QTRY_VERIFY(window->isMinimized());
    emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(window->isMinimized(), !shows);
}

FIELDPOST_TEST_MAIN(TestTray)
#include "tst_tray.moc"
