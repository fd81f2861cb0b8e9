#include "Service.h"

#include "Gateway.h"
#include "Logger.h"
#include "NativeHost.h"
#include "PluginSource.h"
#include "QuitChannel.h"
#include "ShellPlatform.h"
#include "SingleInstance.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

int runService()
{
    QLocalServer channel;
    channel.setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(userChannelName());
    channel.listen(userChannelName());
    // There is no window to show; a knock is only closed again.
    QObject::connect(&channel, &QLocalServer::newConnection, &channel, [&channel] {
        while (QLocalSocket *connection = channel.nextPendingConnection())
            QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
    });

    QuitChannel quitChannel(quitChannelName(userChannelName()));
    quitChannel.listen();
    QObject::connect(&quitChannel, &QuitChannel::quitRequested, &quitChannel, &QCoreApplication::quit);

    Logger logger;
    logger.setMirrorToStderr(true);
    logger.openFile(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    Gateway gateway;
    QObject::connect(&gateway, &Gateway::logMessage, &logger, &Logger::log);
    gateway.setAllowedExtensionIds(configuredExtensionIds());
    gateway.setLocalFailureSound([] { playFailureBeep(false); });
    QStringList hostLog;
    registerNativeHost(nativeHostExecutable(), configuredExtensionIds(), &hostLog);
    for (const QString &line : std::as_const(hostLog))
        logger.log(line);
    gateway.start();
    return QCoreApplication::exec();
}
