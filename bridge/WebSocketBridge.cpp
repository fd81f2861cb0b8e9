#include "WebSocketBridge.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

WebSocketBridge::WebSocketBridge(quint16 p, QObject *parent) : QObject(parent), port(p), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &WebSocketBridge::onNewConnection);
}

WebSocketBridge::~WebSocketBridge()
{
    server->close();
    // The sockets die with the server; none of their last signals may reach a half-destroyed bridge.
    for (QTcpSocket *socket : clients.keys())
        socket->disconnect(this);
    clients.clear();
    instances.clear();
}

bool WebSocketBridge::listen()
{
    const bool ok = server->listen(QHostAddress::LocalHost, port);
    if (ok)
        emit logMessage(QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(port));
    else
        emit logMessage(QStringLiteral("WebSocket: failed to listen on port %1 (%2)").arg(port).arg(server->errorString()));
    return ok;
}

bool WebSocketBridge::isConnected() const
{
    for (const WsConnection &connection : clients) {
        if (connection.upgraded())
            return true;
    }
    return false;
}

bool WebSocketBridge::isInstanceLinked(const QString &instance) const
{
    for (auto it = instances.cbegin(); it != instances.cend(); ++it) {
        const auto client = clients.constFind(it.key());
        if (it.value() == instance && client != clients.cend() && client->isOpen())
            return true;
    }
    return false;
}

void WebSocketBridge::setAllowedExtensionIds(const QStringList &ids)
{
    allowedExtensionIds = ids;
}

void WebSocketBridge::sendScan()
{
    sendJson(pluginScanMessage());
}

void WebSocketBridge::setPickMode(bool enabled, QString kind)
{
    sendJson(pluginPickModeMessage(enabled, kind));
}

void WebSocketBridge::sendFill(QJsonObject target, QString value, bool pressEnter, QJsonObject button,
                               bool clickButton, int clickDelayMs)
{
    sendJson(pluginFillMessage(target, value, pressEnter, button, clickButton, clickDelayMs));
}

void WebSocketBridge::sendFillWithId(QJsonObject target, QString value, bool pressEnter, QJsonObject button,
                                     bool clickButton, int clickDelayMs, qint64 id, bool flash)
{
    sendJson(pluginFillMessage(target, value, pressEnter, button, clickButton, clickDelayMs, id, flash));
}

void WebSocketBridge::sendFeedback(QJsonObject target, QString sound, QString bar)
{
    sendJson(pluginFeedbackMessage(target, sound, bar));
}

void WebSocketBridge::onNewConnection()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        socket->setReadBufferSize(MaxReadBytes);
        clients.insert(socket, WsConnection(allowedExtensionIds));
        connect(socket, &QTcpSocket::readyRead, this, &WebSocketBridge::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &WebSocketBridge::onDisconnected);
    }
}

void WebSocketBridge::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const auto it = clients.find(socket);
    if (it == clients.end())
        return;
    it->receive(socket->readAll());
    const bool outer = handlingRead;
    handlingRead = true;
    handleEvents(socket);
    handlingRead = outer;
    if (!outer)
        flushOutgoing();
}

void WebSocketBridge::handleEvents(QTcpSocket *socket)
{
    // Each event may run the window's slots, and a write can drop a connection;
    // so the entry is looked up afresh each time and never used after a disconnect.
    for (;;) {
        auto it = clients.find(socket);
        if (it == clients.end())
            return;
        const std::optional<WsConnection::Event> event = it->next();
        if (!event)
            return;
        switch (event->type) {
        case WsConnection::Event::Type::Upgraded:
            emit logMessage(QStringLiteral("Plugin connected"));
            updateConnectionState();
            // What the window sent from its slot goes out before the hello.
            it = clients.find(socket);
            if (it != clients.end())
                it->sendText(pluginHelloMessage());
            break;
        case WsConnection::Event::Type::Text:
            handleTextMessage(socket, event->payload);
            break;
        case WsConnection::Event::Type::Ping:
            break; // the pong is queued
        case WsConnection::Event::Type::Close:
            writeOutgoing(socket);
            socket->disconnectFromHost();
            return;
        case WsConnection::Event::Type::Refused:
            socket->disconnectFromHost();
            return;
        case WsConnection::Event::Type::RefusedOrigin:
            emit logMessage(QStringLiteral("WebSocket: refused connection from %1").arg(event->detail));
            socket->disconnectFromHost();
            return;
        case WsConnection::Event::Type::Failed:
            writeOutgoing(socket);
            dropConnection(socket, event->detail);
            return;
        }
    }
}

void WebSocketBridge::handleTextMessage(QTcpSocket *socket, const QByteArray &payload)
{
    const PluginMessage message = parsePluginMessage(payload);
    switch (message.type) {
    case PluginMessage::Type::Dropped:
        break;
    case PluginMessage::Type::Hello:
        if (!message.instance.isEmpty())
            instances.insert(socket, message.instance);
        emit logMessage(QStringLiteral("Plugin prêt (v%1)").arg(message.version));
        break;
    case PluginMessage::Type::Fields:
        emit fieldsReceived(message.url, message.title, message.fields);
        break;
    case PluginMessage::Type::Picked:
        emit fieldPicked(message.kind, message.url, message.field);
        break;
    case PluginMessage::Type::FillResult:
        emit fillResult(message.ok, message.error, message.id);
        break;
    case PluginMessage::Type::ButtonClicked:
        emit buttonClicked(message.ok, message.error, message.id);
        break;
    case PluginMessage::Type::Error:
        emit logMessage(QStringLiteral("Erreur plugin : %1").arg(message.error));
        break;
    }
}

void WebSocketBridge::sendJson(const QJsonObject &message)
{
    const QByteArray payload = serializePluginMessage(message);
    // Connections that are not open (not yet upgraded, or closing) take nothing.
    for (WsConnection &connection : clients)
        connection.sendText(payload);
    if (!handlingRead)
        flushOutgoing();
}

void WebSocketBridge::flushOutgoing()
{
    // A copy of the keys: a failed write can remove a connection from the table mid-loop.
    const QList<QTcpSocket *> sockets = clients.keys();
    for (QTcpSocket *socket : sockets)
        writeOutgoing(socket);
}

void WebSocketBridge::writeOutgoing(QTcpSocket *socket)
{
    const auto it = clients.find(socket);
    if (it == clients.end() || it->outgoingSize() == 0)
        return;
    socket->write(it->takeOutgoing());
    socket->flush();
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        emit logMessage(QStringLiteral("WebSocket: closed connection: more than %1 bytes not taken by the plugin")
                            .arg(MaxUnsentBytes));
        // Dropped at once: a graceful close would wait for what it never reads.
        socket->abort();
    }
}

void WebSocketBridge::updateConnectionState()
{
    const bool connected = isConnected();
    if (connected == lastConnected)
        return;
    lastConnected = connected;
    emit pluginConnectionChanged(connected);
}

void WebSocketBridge::dropConnection(QTcpSocket *socket, const QString &reason)
{
    emit logMessage(QStringLiteral("WebSocket: closed connection: %1").arg(reason));
    socket->disconnectFromHost();
}

void WebSocketBridge::onDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const auto it = clients.constFind(socket);
    const bool wasUpgraded = it != clients.constEnd() && it->upgraded();
    if (it != clients.constEnd())
        clients.erase(it);
    instances.remove(socket);
    socket->deleteLater();
    if (wasUpgraded) {
        emit logMessage(QStringLiteral("Plugin disconnected"));
        updateConnectionState();
    }
}
