#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "LinkTrust.h"
#include "LogThrottle.h"
#include "PluginProtocol.h"
#include "WsConnection.h"

#include <unordered_map>

class QTcpServer;
class QTcpSocket;

// The plugin's WebSocket server on 127.0.0.1. A thin Qt shell: each socket's
// protocol is a socket-free WsConnection, its pairing proof a LinkTrust, the
// JSON a socket-free parser. Only a proven link counts as a plugin: nothing is
// sent to any other but the proof, and nothing it sends is acted on.
// Frames produced while one read is handled leave in one write per socket;
// a message sent from outside the bridge's own handlers leaves at once.
class WebSocketBridge : public QObject
{
    Q_OBJECT
public:
    // One plugin link, numbered from 1 in the order of acceptance; 0 is none.
    // Signals and slots spell it quint64, which needs no registration.
    using LinkId = quint64;

    struct LinkInfo
    {
        LinkId id = 0;
        QString instance; // the browser's own id, as its picks carry it
        QString browser;  // "Edge", "Chrome" or "Chromium"
        QString version;  // the plugin's
    };

    // The first free port of `ports` is taken; {0, 0} lets the system choose.
    explicit WebSocketBridge(PortRange ports = pluginLinkPorts, QObject *parent = nullptr);
    ~WebSocketBridge() override;

    // Quiet: a caller that tries again says once that it waits (see lastListenFailure).
    bool listen(bool quiet = false);
    bool isListening() const;
    // The port listened on; 0 while not listening.
    quint16 listeningPort() const;
    // Why the last listen failed, fit for a log line.
    QString lastListenFailure() const { return listenFailure; }

    // The user's pairing key. A new one closes every link, proven or not: each
    // browser of this user links again with it through the native host.
    void setPairingKey(const QByteArray &key);

    // At least one proven link.
    bool isConnected() const;
    // Whether a proven link's hello said it is this browser.
    bool isInstanceLinked(const QString &instance) const { return linkOf(instance) != 0; }
    // The newest proven link of that browser; 0 when none.
    LinkId linkOf(const QString &instance) const;
    QList<LinkInfo> provenLinks() const;
    // The extensions whose Origin the handshake admits, for connections from now on.
    void setAllowedExtensionIds(const QStringList &ids);

    // Bytes written to a plugin and not yet taken by it: a plugin that stops
    // reading is dropped past this rather than held in memory without end.
    static constexpr qint64 MaxUnsentBytes = 32 * 1024 * 1024;
    // One read from a plugin takes at most this much: a plugin far ahead is
    // served in pieces that reuse memory, and the event loop turns between them.
    // A smaller cap is hit by every few large messages, and each time the socket
    // stops and restarts its reads (64 KiB messages: 15-20% fewer per second at 256 KiB).
    static constexpr qint64 MaxReadBytes = 1024 * 1024;

signals:
    // Whether any proven link is there.
    void pluginConnectionChanged(bool connected);
    // A link was proven or closed.
    void linksChanged();
    // A proven link closed: what was sent on it will not be answered.
    void linkClosed(quint64 link);
    void fieldsReceived(QString url, QString title, QJsonArray fields);
    // Only from a link in pick mode, which ends with the pick.
    void fieldPicked(QString kind, QString url, QJsonObject field, bool add);
    // The page in front of the user in that link's browser changed.
    void activePageChanged(QString url, QString title, quint64 link);
    void sequenceResetRequested(quint64 link);
    // id: the fill's, or -1 from a plugin that sends none; link: where the answer came from.
    // failedField: of a fill of several fields, the one that failed; -1 otherwise.
    void fillResult(bool ok, QString error, qint64 id, quint64 link, int failedField);
    void buttonClicked(bool ok, QString error, qint64 id, quint64 link);
    void logMessage(QString msg);

public slots:
    void sendScan();
    // To every proven link; each takes one pick within the plugin's time limit.
    void setPickMode(bool enabled, QString kind = PickKind::field, bool add = false);
    // To the browser that picked `target`; nothing when it is not linked.
    void sendFill(QJsonObject target, QString value, bool pressEnter, QJsonObject button = QJsonObject(),
                  bool clickButton = false, int clickDelayMs = buttonClickDelayMs);
    // To that link alone; false when it is not a proven link any more.
    bool sendFillTo(quint64 link, QJsonObject target, QString value, bool pressEnter,
                    QJsonObject button, bool clickButton, int clickDelayMs, qint64 id, bool flash);
    void sendFeedbackTo(quint64 link, QJsonObject target, QString sound, QString bar);
    // Any message for one proven link (a fill of several fields, the destination for the popup).
    bool sendMessageTo(quint64 link, const QJsonObject &message);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    struct Client
    {
        WsConnection connection;
        LinkTrust trust;
        LinkId id = 0;
        LinkInfo info;
        // Pick mode, started by the gateway or by the plugin's popup.
        QString pickKind;
        qint64 pickUntil = 0;
    };

    void handleEvents(QTcpSocket *socket);
    void handleTextMessage(QTcpSocket *socket, QByteArrayView payload);
    void handleProvenMessage(Client &client, const PluginMessage &message);
    void sendTo(Client &client, const QJsonObject &message);
    void sendToProven(const QByteArray &payload);
    void flushOutgoing();
    void writeOutgoing(QTcpSocket *socket);
    void updateConnectionState();
    void dropConnection(QTcpSocket *socket, const QString &reason);
    void refuseLink(QTcpSocket *socket, const QString &reason);
    void closeUnproven(QTcpSocket *socket);
    Client *clientOf(LinkId link);
    // A copy, for loops whose steps may drop a connection from the table.
    QList<QTcpSocket *> sockets() const;

    PortRange ports;
    QTcpServer *server = nullptr;
    // Walked for each message sent to all links and for each write: a QHash walk
    // visits all of its buckets, 128 even for one link.
    std::unordered_map<QTcpSocket *, Client> clients;
    QStringList allowedExtensionIds;
    QByteArray pairingKey;
    QString listenFailure;
    LinkId nextLinkId = 1;
    bool lastConnected = false;
    // Inside onReadyRead: what is sent waits for the one write at its end.
    bool handlingRead = false;
    QElapsedTimer clock;
    LogThrottle refusals;
    LogThrottle strayPicks;
};
