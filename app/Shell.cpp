// The window's life in the tray and the single-instance channel.
#include "MainWindow.h"

#include "BuildVersion.h"
#include "QuitChannel.h"
#include "SingleInstance.h"
#include "ShowAndActivate.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// How often a window shown for want of a tray looks for one again.
constexpr int trayRetryMs = 2000;

} // namespace

void MainWindow::setupTray()
{
    const QIcon icon(QStringLiteral(":/appicon.png"));
    setWindowIcon(icon);

    trayIcon = new QSystemTrayIcon(icon, this);
    trayIcon->setToolTip(titleText());

    auto *menu = new QMenu(this);
    QAction *showAction = menu->addAction(QStringLiteral("Show"));
    menu->addSeparator();
    QAction *quitAction = menu->addAction(QStringLiteral("Quit"));
    connect(showAction, &QAction::triggered, this, [this] { showAndActivate(this); });
    connect(quitAction, &QAction::triggered, this, [this] {
        quitting = true;
        QCoreApplication::quit();
    });
    trayIcon->setContextMenu(menu);

    connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            showAndActivate(this);
    });
    trayIcon->setVisible(true);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!quitting && trayAvailable && trayIcon && trayIcon->isVisible()) {
        hide();
        event->ignore();
        trayIcon->showMessage(titleText(), QStringLiteral("Still running in the system tray."),
                              QSystemTrayIcon::Information, 5000);
        return;
    }
    // Without a tray, closing ends the gateway: never by a slip of the hand.
    if (!quitting && !confirmQuit(this)) {
        event->ignore();
        return;
    }
    event->accept();
}

// A session that starts its autostart entries before its notification area:
// the window stands in for the tray until the tray comes, for a minute at most.
void MainWindow::waitForTray(std::function<bool()> probe)
{
    auto *retry = new QTimer(this);
    QElapsedTimer waited;
    waited.start();
    connect(retry, &QTimer::timeout, this, [this, retry, waited, probe = std::move(probe)] {
        const bool found = probe();
        if (!found && waited.elapsed() < TrayWaitMs)
            return;
        retry->deleteLater();
        if (!found)
            return;
        trayAvailable = true;
        trayIcon->setVisible(true);
        hide();
    });
    retry->start(trayRetryMs);
}

void MainWindow::setupIpcServer()
{
    QLocalServer::removeServer(ipcChannel);
    ipcServer = new QLocalServer(this);
    // Only this user may knock.
    ipcServer->setSocketOptions(QLocalServer::UserAccessOption);
    ipcServer->listen(ipcChannel);
    // Any connection shows the window; what it sends is never read.
    connect(ipcServer, &QLocalServer::newConnection, this, [this] {
        QLocalSocket *connection = ipcServer->nextPendingConnection();
        if (!connection)
            return;
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        showAndActivate(this);
    });
    auto *quitChannel = new QuitChannel(quitChannelName(ipcChannel), this);
    quitChannel->listen();
    connect(quitChannel, &QuitChannel::quitRequested, this, [this] {
        quitting = true;
        QCoreApplication::quit();
    });
}
