#include "WebSocketBridge.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QVarLengthArray>

WebSocketBridge::WebSocketBridge(PortRange range, QObject *parent)
    : QObject(parent), ports(range), server(new QTcpServer(this))
{
    clock.start();
    connect(server, &QTcpServer::newConnection, this, &WebSocketBridge::onNewConnection);
}

WebSocketBridge::~WebSocketBridge()
{
    server->close();
    // The sockets die with the server; none of their last signals may reach a half-destroyed bridge.
    for (QTcpSocket *socket : sockets())
        socket->disconnect(this);
    clients.clear();
}

bool WebSocketBridge::listen(bool quiet)
{
    if (server->isListening())
        return true;
    // Another user's gateway (or any program) may hold the first ports.
    QList<quint16> taken;
    for (quint32 port = ports.first; port <= ports.last; ++port) {
        if (server->listen(QHostAddress::LocalHost, quint16(port)))
            break;
        if (server->serverError() != QAbstractSocket::AddressInUseError) {
            listenFailure = QStringLiteral("WebSocket: failed to listen on port %1 (%2)").arg(port).arg(server->errorString());
            if (!quiet)
                emit logMessage(listenFailure);
            return false;
        }
        taken << quint16(port);
    }
    if (!server->isListening()) {
        listenFailure = ports.first == ports.last
                            ? QStringLiteral("WebSocket: port %1 is held by another user or program").arg(ports.first)
                            : QStringLiteral("WebSocket: ports %1\u2013%2 are all held by other users or programs")
                                  .arg(ports.first)
                                  .arg(ports.last);
        if (!quiet)
            emit logMessage(listenFailure);
        return false;
    }
    listenFailure.clear();
    if (!taken.isEmpty())
        emit logMessage(QStringLiteral("WebSocket: port %1 is held by another user or program; this session takes %2")
                            .arg(taken.first())
                            .arg(server->serverPort()));
    emit logMessage(QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(server->serverPort()));
    return true;
}

bool WebSocketBridge::isListening() const
{
    return server->isListening();
}

quint16 WebSocketBridge::listeningPort() const
{
    return server->isListening() ? server->serverPort() : 0;
}

void WebSocketBridge::setPairingKey(const QByteArray &key)
{
    const bool renewed = !pairingKey.isEmpty() && key != pairingKey;
    pairingKey = key;
    if (!renewed)
        return;
    for (QTcpSocket *socket : sockets())
        socket->disconnectFromHost();
}

QList<QTcpSocket *> WebSocketBridge::sockets() const
{
    QList<QTcpSocket *> list;
    list.reserve(qsizetype(clients.size()));
    for (const auto &[socket, client] : clients)
        list << socket;
    return list;
}

bool WebSocketBridge::isConnected() const
{
    for (const auto &[socket, client] : clients) {
        if (client.trust.proven())
            return true;
    }
    return false;
}

WebSocketBridge::LinkId WebSocketBridge::linkOf(const QString &instance) const
{
    LinkId newest = 0;
    if (instance.isEmpty())
        return newest;
    for (const auto &[socket, client] : clients) {
        if (client.trust.proven() && client.connection.isOpen() && client.info.instance == instance)
            newest = qMax(newest, client.id);
    }
    return newest;
}

QList<WebSocketBridge::LinkInfo> WebSocketBridge::provenLinks() const
{
    QList<LinkInfo> links;
    for (const auto &[socket, client] : clients) {
        if (client.trust.proven())
            links << client.info;
    }
    std::sort(links.begin(), links.end(), [](const LinkInfo &a, const LinkInfo &b) { return a.id < b.id; });
    return links;
}

void WebSocketBridge::setAllowedExtensionIds(const QStringList &ids)
{
    allowedExtensionIds = ids;
}

WebSocketBridge::Client *WebSocketBridge::clientOf(LinkId link)
{
    for (auto &[socket, client] : clients) {
        if (client.id == link)
            return client.trust.proven() && client.connection.isOpen() ? &client : nullptr;
    }
    return nullptr;
}

void WebSocketBridge::sendScan()
{
    sendToProven(pluginScanMessage());
}

void WebSocketBridge::setPickMode(bool enabled, QString kind, bool add)
{
    const qint64 until = clock.elapsed() + pickModeLimitMs;
    for (auto &[socket, client] : clients) {
        if (!client.trust.proven())
            continue;
        client.pickKind = enabled ? kind : QString();
        client.pickUntil = until;
    }
    sendToProven(serializePluginMessage(pluginPickModeMessage(enabled, kind, add)));
}

void WebSocketBridge::sendFill(QJsonObject target, QString value, bool pressEnter, QJsonObject button,
                               bool clickButton, int clickDelayMs)
{
    if (Client *client = clientOf(linkOf(target.value(QLatin1String("instance")).toString())))
        sendTo(*client, pluginFillMessage(target, value, pressEnter, button, clickButton, clickDelayMs));
}

bool WebSocketBridge::sendFillTo(LinkId link, QJsonObject target, QString value, bool pressEnter, QJsonObject button,
                                 bool clickButton, int clickDelayMs, qint64 id, bool flash)
{
    Client *client = clientOf(link);
    if (!client)
        return false;
    sendTo(*client, pluginFillMessage(target, value, pressEnter, button, clickButton, clickDelayMs, id, flash));
    return true;
}

void WebSocketBridge::sendFeedbackTo(LinkId link, QJsonObject target, QString sound, QString bar)
{
    if (Client *client = clientOf(link))
        sendTo(*client, pluginFeedbackMessage(target, sound, bar));
}

bool WebSocketBridge::sendMessageTo(LinkId link, const QJsonObject &message)
{
    Client *client = clientOf(link);
    if (!client)
        return false;
    sendTo(*client, message);
    return true;
}

void WebSocketBridge::onNewConnection()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        socket->setReadBufferSize(MaxReadBytes);
        // What one read produces already leaves in one write; Nagle would only hold
        // a write back until the plugin acknowledges the last, up to its delayed ACK.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Client client{WsConnection(allowedExtensionIds),
                      LinkTrust(pairingKey, server->serverPort(), LinkTrust::newNonce()), nextLinkId++, {}, {}, 0};
        clients.emplace(socket, std::move(client));
        connect(socket, &QTcpSocket::readyRead, this, &WebSocketBridge::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &WebSocketBridge::onDisconnected);
        // Counted from the connection, so a peer that never finishes its handshake goes too.
        QTimer::singleShot(LinkTrust::ProofDeadlineMs, socket, [this, socket] { closeUnproven(socket); });
    }
}

void WebSocketBridge::closeUnproven(QTcpSocket *socket)
{
    const auto it = clients.find(socket);
    if (it == clients.end() || it->second.trust.proven())
        return;
    refuseLink(socket, QStringLiteral("not proven within %1 s").arg(LinkTrust::ProofDeadlineMs / 1000));
}

void WebSocketBridge::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const auto it = clients.find(socket);
    if (it == clients.end())
        return;
    // All that is buffered, asked for by its size: QIODevice then hands over the
    // buffer's block itself where readAll() would copy it.
    it->second.connection.receive(socket->read(socket->bytesAvailable()));
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
        WsConnection &connection = it->second.connection;
        const std::optional<WsConnection::EventInPlace> event = connection.nextInPlace();
        if (!event)
            return;
        switch (event->type) {
        case WsConnection::Event::Type::Upgraded:
            emit logMessage(QStringLiteral("Plugin connected"));
            connection.sendText(pluginHelloMessage());
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

void WebSocketBridge::handleTextMessage(QTcpSocket *socket, QByteArrayView payload)
{
    const PluginMessage message = parsePluginMessage(payload);
    const auto found = clients.find(socket);
    if (found == clients.end())
        return;
    Client &client = found->second;
    if (client.trust.proven()) {
        handleProvenMessage(client, message);
        return;
    }
    const LinkTrust::Step step = client.trust.take(message);
    switch (step.kind) {
    case LinkTrust::Step::Kind::Ignore:
        break;
    case LinkTrust::Step::Kind::Reply:
        client.info = {client.id, message.instance, message.browser, message.version};
        client.connection.sendText(step.reply);
        break;
    case LinkTrust::Step::Kind::Proven:
        emit logMessage(QStringLiteral("Plugin prêt (v%1)").arg(client.info.version));
        updateConnectionState();
        emit linksChanged();
        break;
    case LinkTrust::Step::Kind::Refuse:
        writeOutgoing(socket);
        refuseLink(socket, step.reason);
        break;
    }
}

void WebSocketBridge::handleProvenMessage(Client &client, const PluginMessage &message)
{
    switch (message.type) {
    case PluginMessage::Type::Dropped:
    case PluginMessage::Type::Hello:
    case PluginMessage::Type::Proof:
    case PluginMessage::Type::Keepalive:
        break;
    case PluginMessage::Type::PickMode:
        // The user started (or left) picking from the plugin's own popup.
        client.pickKind = message.enabled ? message.kind : QString();
        client.pickUntil = clock.elapsed() + pickModeLimitMs;
        break;
    case PluginMessage::Type::Fields:
        emit fieldsReceived(message.url, message.title, message.fields);
        break;
    case PluginMessage::Type::Picked:
        if (client.pickKind.isEmpty() || clock.elapsed() > client.pickUntil) {
            if (const auto line = strayPicks.take(clock.elapsed(), QStringLiteral("Plugin: a pick outside pick mode was ignored")))
                emit logMessage(*line);
            break;
        }
        client.pickKind.clear();
        emit fieldPicked(message.kind, message.url, message.field, message.add);
        break;
    case PluginMessage::Type::FillResult:
        emit fillResult(message.ok, message.error, message.id, client.id, message.failedField);
        break;
    case PluginMessage::Type::ButtonClicked:
        emit buttonClicked(message.ok, message.error, message.id, client.id);
        break;
    case PluginMessage::Type::Error:
        emit logMessage(QStringLiteral("Erreur plugin : %1").arg(message.error));
        break;
    case PluginMessage::Type::ActivePage:
        emit activePageChanged(message.url, message.title, client.id);
        break;
    case PluginMessage::Type::SequenceReset:
        emit sequenceResetRequested(client.id);
        break;
    }
}

void WebSocketBridge::refuseLink(QTcpSocket *socket, const QString &reason)
{
    if (const auto line = refusals.take(clock.elapsed(), QStringLiteral("WebSocket: refused a plugin link: %1").arg(reason)))
        emit logMessage(*line);
    socket->disconnectFromHost();
}

void WebSocketBridge::sendTo(Client &client, const QJsonObject &message)
{
    client.connection.sendText(serializePluginMessage(message));
    if (!handlingRead)
        flushOutgoing();
}

void WebSocketBridge::sendToProven(const QByteArray &payload)
{
    // Connections that are not open (not yet upgraded, or closing) take nothing.
    for (auto &[socket, client] : clients) {
        if (client.trust.proven())
            client.connection.sendText(payload);
    }
    if (!handlingRead)
        flushOutgoing();
}

void WebSocketBridge::flushOutgoing()
{
    // Gathered first: a failed write can remove a connection from the table mid-loop.
    QVarLengthArray<QTcpSocket *, 8> pending;
    for (const auto &[socket, client] : clients) {
        if (client.connection.outgoingSize() > 0)
            pending << socket;
    }
    for (QTcpSocket *socket : pending)
        writeOutgoing(socket);
}

void WebSocketBridge::writeOutgoing(QTcpSocket *socket)
{
    const auto it = clients.find(socket);
    if (it == clients.end() || it->second.connection.outgoingSize() == 0)
        return;
    socket->write(it->second.connection.takeOutgoing());
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
    const auto it = clients.find(socket);
    const bool wasUpgraded = it != clients.end() && it->second.connection.upgraded();
    const bool wasProven = it != clients.end() && it->second.trust.proven();
    const LinkId link = it != clients.end() ? it->second.id : 0;
    if (it != clients.end())
        clients.erase(it);
    socket->deleteLater();
    if (wasUpgraded)
        emit logMessage(QStringLiteral("Plugin disconnected"));
    if (wasProven) {
        emit linkClosed(link);
        updateConnectionState();
        emit linksChanged();
    }
}
