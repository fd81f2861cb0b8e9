#include "MainWindow.h"
#include "SingleInstance.h"
#include "Theme.h"

#include <QApplication>
#include <QLocalSocket>

#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Thornvaleworks"));
    QCoreApplication::setApplicationName(QStringLiteral("Fieldpost"));

    auto probe = std::make_unique<QLocalSocket>();
    probe->connectToServer(QLatin1String(ipcServerName), QIODevice::ReadWrite);
    if (probe->waitForConnected(200)) {
        // Another instance runs: ask it to show its window and leave quietly.
        probe->write(ipcShowMessage, 4);
        probe->flush();
        probe->waitForBytesWritten(300);
        probe->disconnectFromServer();
        return 0;
    }
    probe.reset();

    applyTheme(app);
    MainWindow window;
    return app.exec();
}
