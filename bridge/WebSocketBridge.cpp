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
    for (const ClientState &client : clients) {
        if (client.handshakeDone)
            return true;
    }
    return false;
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

void WebSocketBridge::onNewConnection()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        clients.insert(socket, ClientState());
        connect(socket, &QTcpSocket::readyRead, this, &WebSocketBridge::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &WebSocketBridge::onDisconnected);
    }
}

void WebSocketBridge::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    auto it = clients.find(socket);
    if (it == clients.end())
        return;
    const QByteArray bytes = socket->readAll();
    if (!it->handshakeDone) {
        // A refused request is acted on once; anything the peer sends after it is ignored.
        if (it->handshake.state() != WsHandshake::State::Incomplete)
            return;
        it->handshake.feed(bytes);
        handleHandshake(socket);
        // Still waiting for the head, or refused and on its way out: leave the entry alone.
        it = clients.find(socket);
        if (it == clients.end() || !it->handshakeDone)
            return;
    } else {
        it->decoder.feed(bytes);
    }
    processFrames(socket);
}

void WebSocketBridge::handleHandshake(QTcpSocket *socket)
{
    const auto it = clients.find(socket);
    if (it == clients.end())
        return;
    ClientState &client = *it;
    switch (client.handshake.state()) {
    case WsHandshake::State::Incomplete:
        return;
    case WsHandshake::State::Refused:
        socket->disconnectFromHost();
        return;
    case WsHandshake::State::RefusedOrigin:
        emit logMessage(QStringLiteral("WebSocket: refused connection from %1").arg(client.handshake.origin()));
        socket->disconnectFromHost();
        return;
    case WsHandshake::State::Failed:
        dropConnection(socket, client.handshake.error());
        return;
    case WsHandshake::State::Accepted:
        break;
    }

    const QByteArray frames = client.handshake.takeRemainder();
    socket->write(client.handshake.response());
    socket->flush();
    // A failed write aborts the socket and its entry is gone before we get back here.
    const auto upgraded = clients.find(socket);
    if (upgraded == clients.end())
        return;
    upgraded->decoder.feed(frames);
    upgraded->handshakeDone = true;
    emit logMessage(QStringLiteral("Plugin connected"));
    updateConnectionState();
    // A slot run by the signal may have lost this connection on a failed write.
    if (clients.contains(socket))
        sendFrame(socket, pluginHelloMessage(), WsOpcode::Text);
}

void WebSocketBridge::processFrames(QTcpSocket *socket)
{
    // Each event may run the window's slots, which write to every socket; a failed
    // write can drop this very connection, so the entry is looked up afresh each time.
    for (;;) {
        auto it = clients.find(socket);
        if (it == clients.end())
            return;
        const std::optional<WsEvent> event = it->decoder.next();
        if (!event)
            return;
        switch (event->type) {
        case WsEvent::Type::Text:
            handleTextMessage(event->payload);
            break;
        case WsEvent::Type::Ping:
            sendFrame(socket, event->payload, WsOpcode::Pong);
            break;
        case WsEvent::Type::Close:
            sendFrame(socket, QByteArray(), WsOpcode::Close);
            socket->disconnectFromHost();
            return;
        case WsEvent::Type::Error:
            dropConnection(socket, event->error);
            return;
        }
    }
}

void WebSocketBridge::handleTextMessage(const QByteArray &payload)
{
    const PluginMessage message = parsePluginMessage(payload);
    switch (message.type) {
    case PluginMessage::Type::Dropped:
        break;
    case PluginMessage::Type::Hello:
        emit logMessage(QStringLiteral("Plugin prêt (v%1)").arg(message.version));
        break;
    case PluginMessage::Type::Fields:
        emit fieldsReceived(message.url, message.title, message.fields);
        break;
    case PluginMessage::Type::Picked:
        emit fieldPicked(message.kind, message.url, message.field);
        break;
    case PluginMessage::Type::FillResult:
        emit fillResult(message.ok, message.error);
        break;
    case PluginMessage::Type::ButtonClicked:
        emit buttonClicked(message.ok, message.error);
        break;
    case PluginMessage::Type::Error:
        emit logMessage(QStringLiteral("Erreur plugin : %1").arg(message.error));
        break;
    }
}

void WebSocketBridge::sendJson(const QJsonObject &message)
{
    const QByteArray payload = serializePluginMessage(message);
    // A copy of the keys: a failed write can remove a connection from the table mid-loop.
    const QList<QTcpSocket *> sockets = clients.keys();
    for (QTcpSocket *socket : sockets) {
        const auto it = clients.constFind(socket);
        if (it != clients.constEnd() && it->handshakeDone)
            sendFrame(socket, payload, WsOpcode::Text);
    }
}

void WebSocketBridge::sendFrame(QTcpSocket *socket, const QByteArray &payload, quint8 opcode)
{
    socket->write(encodeWsFrame(opcode, payload));
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
    const bool wasUpgraded = it != clients.constEnd() && it->handshakeDone;
    if (it != clients.constEnd())
        clients.erase(it);
    socket->deleteLater();
    if (wasUpgraded) {
        emit logMessage(QStringLiteral("Plugin disconnected"));
        updateConnectionState();
    }
}
