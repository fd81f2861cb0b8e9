#include "TcpListener.h"
#include "PeerOwner.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

const QString supportAddress = QStringLiteral("support@thornvaleworks.com");

// " … (N bytes)" after what a log line shows of a longer run of bytes.
QString cutNote(qsizetype size)
{
    return size > TcpListener::MaxLoggedBytes ? QStringLiteral(" \u2026 (%1 bytes)").arg(size) : QString();
}

// The first bytes a log line shows, not cut inside a UTF-8 sequence.
QByteArrayView shownPart(const QByteArray &bytes)
{
    qsizetype size = qMin(bytes.size(), TcpListener::MaxLoggedBytes);
    if (size < bytes.size()) {
        qsizetype start = size;
        while (start > 0 && (quint8(bytes[start]) & 0xC0) == 0x80)
            --start;
        size = start;
    }
    return QByteArrayView(bytes).first(size);
}

// "ASCII: " and every byte of the frame as a decimal number followed by a comma.
QString frameDump(const QByteArray &frame)
{
    QByteArray dump("ASCII: ");
    const QByteArrayView shown = QByteArrayView(frame).first(qMin(frame.size(), TcpListener::MaxLoggedBytes));
    dump.reserve(dump.size() + 4 * shown.size());
    for (char c : shown) {
        const uint v = quint8(c);
        if (v >= 100)
            dump.append(char('0' + v / 100));
        if (v >= 10)
            dump.append(char('0' + v / 10 % 10));
        dump.append(char('0' + v % 10));
        dump.append(',');
    }
    return QString::fromLatin1(dump) + cutNote(frame.size());
}

// Loopback, or one of this machine's own addresses, which a local program can
// connect from as well once all addresses are served.
bool onThisMachine(const QHostAddress &peer)
{
    // A peer with no address cannot be shown to be elsewhere.
    if (peer.isNull() || peer.isLoopback())
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.begin(), own.end(), [&peer](const QHostAddress &address) {
        return address.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4);
    });
}

// "127.0.0.1:41234", "[::1]:41234"; an IPv4 peer of the all-addresses socket in its IPv4 form.
QString endpointText(const QHostAddress &address, quint16 port)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    const QString text = v4 ? QHostAddress(ip4).toString() : QLatin1Char('[') + address.toString() + QLatin1Char(']');
    return text + QLatin1Char(':') + QString::number(port);
}

} // namespace

TcpListener::TcpListener(QObject *parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &TcpListener::onNewConnection);
}

TcpListener::~TcpListener() = default;

bool TcpListener::start(quint16 port, bool logFailure)
{
    stop();
    const bool ok = server->listen(acceptRemote ? QHostAddress::Any : QHostAddress::LocalHost, port);
    listenError = ok ? QAbstractSocket::UnknownSocketError : server->serverError();
    if (ok)
        emit logMessage(QStringLiteral("TCP: listening on port %1").arg(port));
    else if (logFailure)
        emit logMessage(QStringLiteral("TCP: failed to listen on port %1 (%2)")
                            .arg(QString::number(port), server->errorString()));
    return ok;
}

void TcpListener::stop()
{
    // A socket with nothing to write disconnects at once and its slot removes
    // its entry while we iterate, hence the snapshot.
    const QList<QTcpSocket *> sockets = buffers.keys();
    for (QTcpSocket *socket : sockets)
        socket->disconnectFromHost();
    buffers.clear();
    if (server->isListening())
        server->close();
    emit clientCountChanged(0);
}

bool TcpListener::isListening() const
{
    return server->isListening();
}

int TcpListener::clientCount() const
{
    return int(buffers.size());
}

void TcpListener::setAcceptRemote(bool on)
{
    acceptRemote = on;
}

void TcpListener::setAdmitOtherLocalUsers(bool on)
{
    admitOtherLocalUsers = on;
}

quint16 TcpListener::serverPort() const
{
    return server->isListening() ? server->serverPort() : quint16(0);
}

QString TcpListener::boundAddressText() const
{
    if (!server->isListening())
        return QString();
    return server->serverAddress() == QHostAddress::Any ? QStringLiteral("all addresses")
                                                         : server->serverAddress().toString();
}

// Decided on the accepted socket before anything of it is read. A companion on
// another computer is not checked: its user is none of this machine's. A peer
// whose socket the system does not show yet (a connection still being set up
// on its side) is looked at again a few times before it is refused.
void TcpListener::checkOwner(QTcpSocket *socket, const Endpoints &ends, int attempt)
{
    const PeerOwner owner = admitOtherLocalUsers || !onThisMachine(ends.peer)
                                ? PeerOwner::Same
                                : loopbackPeerOwner(ends.peer, ends.peerPort, ends.local, ends.localPort);
    if (owner == PeerOwner::Same) {
        admit(socket);
        return;
    }
    if (owner == PeerOwner::Unknown && attempt < OwnerRetries && socket->state() == QAbstractSocket::ConnectedState) {
        QTimer::singleShot(OwnerRetryMs << attempt, socket, [this, socket, ends, attempt] { checkOwner(socket, ends, attempt + 1); });
        return;
    }
    emit logMessage((owner == PeerOwner::Other ? QStringLiteral("TCP: refused a companion run by another user (%1)")
                                               : QStringLiteral("TCP: refused a companion whose user cannot be told (%1)"))
                        .arg(endpointText(ends.peer, ends.peerPort)));
    socket->abort();
    socket->deleteLater();
}

void TcpListener::admit(QTcpSocket *socket)
{
    socket->setReadBufferSize(MaxReadBytes);
    buffers.insert(socket, LineFramer());
    connect(socket, &QIODevice::readyRead, this, &TcpListener::onReadyRead);
    connect(socket, &QAbstractSocket::disconnected, this, &TcpListener::onDisconnected);
    emit logMessage(QStringLiteral("TCP: product connected (%1)").arg(socket->peerAddress().toString()));
    emit clientCountChanged(int(buffers.size()));
    // What came while its user was being looked up.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(socket, &QIODevice::readyRead, Qt::QueuedConnection);
}

void TcpListener::onNewConnection()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        const bool full = buffers.size() >= MaxClients;
        if (full)
            emit logMessage(QStringLiteral("TCP: refused a connection from %1: %2 connections are open already")
                                .arg(socket->peerAddress().toString())
                                .arg(MaxClients));
        if (full) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Nothing is read while its user is unknown, however long that takes.
        socket->setReadBufferSize(MaxReadBytes);
        // Taken now: a socket that the peer closes meanwhile forgets them.
        checkOwner(socket, {socket->peerAddress(), socket->peerPort(), socket->localAddress(), socket->localPort()}, 0);
    }
}

void TcpListener::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const QByteArray chunk = socket->readAll();
    const QByteArrayView shown = shownPart(chunk);
    emit logMessage(QStringLiteral("TCP raw: \"%1\"  [hex %2]%3")
                        .arg(QString::fromUtf8(shown).trimmed(), QString::fromLatin1(shown.toByteArray().toHex(' ')),
                             cutNote(chunk.size())));
    buffers[socket].feed(chunk);

    for (;;) {
        // Looked up again each time: a handler of our signals may have stopped the listener.
        auto it = buffers.find(socket);
        if (it == buffers.end())
            return;
        std::optional<FramerEvent> event = it->next();
        if (!event)
            return;
        switch (event->kind) {
        case FramerEvent::Line:
            emit lineReceived(event->line);
            break;
        case FramerEvent::BadFrame:
            emit logMessage(QStringLiteral("Error: Use Marrowlinker version 6.0A or more"));
            emit logMessage(QStringLiteral("Send a Screen Shot of this windows to: ") + supportAddress
                            + QStringLiteral(" :"));
            emit logMessage(frameDump(event->frame));
            emit logMessage(QStringLiteral("Marrowlinker BAD version !"));
            break;
        case FramerEvent::WebRequest:
            emit logMessage(QStringLiteral("TCP: closed a connection from %1: a web request (%2), not Marrowlinker")
                                .arg(socket->peerAddress().toString(),
                                     QString::fromLatin1(QByteArrayView(event->frame).first(
                                         qMin(event->frame.size(), qsizetype(120))))));
            socket->abort();
            return;
        case FramerEvent::Overflow:
            emit logMessage(QStringLiteral("TCP: dropped connection (%1): no frame delimiter within %2 bytes")
                                .arg(socket->peerAddress().toString())
                                .arg(maxPendingBytes));
            // The disconnection then runs the usual path (entry removed, count emitted).
            socket->abort();
            return;
        }
    }
}

void TcpListener::onDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    buffers.remove(socket);
    socket->deleteLater();
    emit logMessage(QStringLiteral("TCP: product disconnected"));
    emit clientCountChanged(int(buffers.size()));
}
