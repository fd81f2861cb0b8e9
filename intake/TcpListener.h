#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "LineFramer.h"

class QTcpServer;
class QTcpSocket;

// Accepts the companion product's connections and turns its framed byte
// stream into lines. The framing itself lives in LineFramer (no sockets).
// It listens on 127.0.0.1 unless told to accept other computers, and refuses
// a companion on this machine that runs as another user: on a shared machine
// another user's program could otherwise type into our browser.
class TcpListener : public QObject
{
    Q_OBJECT
public:
    explicit TcpListener(QObject *parent = nullptr);
    ~TcpListener() override;

    // A peer's user the system cannot tell yet is asked again after 10, 20, 40 and 80 ms.
    static constexpr int OwnerRetries = 4;
    static constexpr int OwnerRetryMs = 10;

    // A caller that retries passes logFailure false to keep repeated failures out of the log.
    bool start(quint16 port, bool logFailure = true);
    void stop();
    bool isListening() const;
    int clientCount() const;

    // All addresses, IPv4 and IPv6, instead of 127.0.0.1; applies at the next start.
    void setAcceptRemote(bool on);
    // Serves companions of other users of this machine too (one run as a service).
    void setAdmitOtherLocalUsers(bool on);
    // The port bound (the one chosen by the system after start(0)); 0 when not listening.
    quint16 serverPort() const;
    // "127.0.0.1" or "all addresses"; empty when not listening.
    QString boundAddressText() const;
    // Why the last start failed; UnknownSocketError after one that succeeded.
    QAbstractSocket::SocketError lastListenError() const { return listenError; }

    // One read, and so one raw-chunk log line, takes at most this much: a
    // companion far ahead of the gateway would otherwise make lines of
    // megabytes that the log view and the log file then have to carry.
    static constexpr qint64 MaxReadBytes = 64 * 1024;
    // Companion connections served at once; one more is refused with a log line.
    static constexpr int MaxClients = 32;
    // How much of a chunk or a bad frame a log line shows.
    static constexpr qsizetype MaxLoggedBytes = 256;

signals:
    void lineReceived(QString line);
    void clientCountChanged(int count);
    void logMessage(QString msg);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    struct Endpoints
    {
        QHostAddress peer;
        quint16 peerPort = 0;
        QHostAddress local;
        quint16 localPort = 0;
    };
    void checkOwner(QTcpSocket *socket, const Endpoints &ends, int attempt);
    void admit(QTcpSocket *socket);

    QTcpServer *server = nullptr;
    bool acceptRemote = false;
    bool admitOtherLocalUsers = false;
    QAbstractSocket::SocketError listenError = QAbstractSocket::UnknownSocketError;
    // One entry per connected client: its undelimited bytes, held by the framer.
    QHash<QTcpSocket *, LineFramer> buffers;
};
