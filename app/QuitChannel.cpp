#include "QuitChannel.h"

#include "ShellPlatform.h"
#include "SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cstring>

QuitChannel::QuitChannel(QString n, QObject *parent) : QObject(parent), name(std::move(n)), server(new QLocalServer(this))
{
    server->setSocketOptions(quitChannelAccess());
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *connection = server->nextPendingConnection()) {
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
                const qsizetype wanted = qsizetype(std::strlen(quitMessage));
                if (connection->bytesAvailable() < wanted)
                    return;
                if (connection->read(wanted) == quitMessage)
                    emit quitRequested();
                connection->disconnectFromServer();
            });
        }
    });
}

bool QuitChannel::listen()
{
    QLocalServer::removeServer(name);
    return server->listen(name);
}
