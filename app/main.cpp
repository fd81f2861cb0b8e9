#include "InstallCommand.h"
#include "MainWindow.h"
#include "PairingRecord.h"
#include "Service.h"
#include "SingleInstance.h"
#include "Theme.h"

#include <QApplication>
#include <QLocalSocket>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char usage[] =
    "Usage: fieldpost                      the gateway in the tray, with its window\n"
    "       fieldpost --service            the gateway without a window (log on standard error)\n"
    "       fieldpost --install-plugin B   write the plugin's force-install entry, as Install does\n"
    "       fieldpost --uninstall-plugin B remove it, as Uninstall does\n"
    "       fieldpost --reset-pairing      forget the paired browsers (a new pairing key), as the window does\n"
    "B: chrome, edge, chromium or all (several with commas).\n";

void setNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Thornvaleworks"));
    QCoreApplication::setApplicationName(QStringLiteral("Fieldpost"));
}

// Hands "SHOW" to the gateway this user runs, if one answers; true when one did.
bool handOver(bool show)
{
    auto probe = std::make_unique<QLocalSocket>();
    probe->connectToServer(userChannelName(), QIODevice::ReadWrite);
    if (!probe->waitForConnected(200))
        return false;
    if (show) {
        probe->write(ipcShowMessage, 4);
        probe->flush();
        probe->waitForBytesWritten(300);
    }
    probe->disconnectFromServer();
    std::fputs("Fieldpost is already running for this user.\n", stderr);
    return true;
}

// A new pairing key while no gateway runs; a running one keeps its key in
// memory, so it is asked to do it from its window instead.
int resetPairing()
{
    // The quit channel answers without showing a window, and ignores a silent knock.
    QLocalSocket probe;
    probe.connectToServer(quitChannelName(userChannelName()), QIODevice::ReadWrite);
    if (probe.waitForConnected(200)) {
        probe.disconnectFromServer();
        std::fputs("A Fieldpost gateway runs for this user: use \"Forget paired browsers\" in its window, "
                   "or quit it first.\n", stderr);
        return 1;
    }
    PairingRecord record;
    QString error;
    if (!record.load(&error) || !record.renewKey(&error)) {
        std::fprintf(stderr, "Cannot write %s (%s).\n", qPrintable(record.path()), qPrintable(error));
        return 1;
    }
    std::printf("Paired browsers forgotten: a new pairing key is in %s.\n", qPrintable(record.path()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const bool install = std::strcmp(argv[i], "--install-plugin") == 0;
        if (install || std::strcmp(argv[i], "--uninstall-plugin") == 0) {
            QCoreApplication app(argc, argv);
            setNames();
            if (i + 1 >= argc) {
                std::fputs(usage, stderr);
                return 2;
            }
            return runPluginCommand(install, QString::fromLocal8Bit(argv[i + 1]));
        }
        if (std::strcmp(argv[i], "--service") == 0) {
            QCoreApplication app(argc, argv);
            setNames();
            if (handOver(false))
                return 1;
            return runService();
        }
        if (std::strcmp(argv[i], "--reset-pairing") == 0) {
            QCoreApplication app(argc, argv);
            setNames();
            return resetPairing();
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    setNames();
    // Another instance runs: it shows its window, and this one leaves quietly.
    if (handOver(true))
        return 0;

    applyTheme(app);
    MainWindow window;
    return app.exec();
}
