#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "PluginProtocol.h"
#include "WsConnection.h"

class QTcpServer;
class QTcpSocket;

// The plugin's WebSocket server on 127.0.0.1. A thin Qt shell: each socket's
// protocol is a socket-free WsConnection, the JSON a socket-free parser.
// Frames produced while one read is handled leave in one write per socket;
// a message sent from outside the bridge's own handlers leaves at once.
class WebSocketBridge : public QObject
{
    Q_OBJECT
public:
    explicit WebSocketBridge(quint16 port = pluginLinkPort, QObject *parent = nullptr);
    ~WebSocketBridge() override;

    bool listen();
    bool isConnected() const;
    // Whether a linked plugin said in its hello that it is this browser.
    bool isInstanceLinked(const QString &instance) const;
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
    void pluginConnectionChanged(bool connected);
    void fieldsReceived(QString url, QString title, QJsonArray fields);
    void fieldPicked(QString kind, QString url, QJsonObject field);
    // id: the fill's, or -1 from a plugin that sends none.
    void fillResult(bool ok, QString error, qint64 id);
    void buttonClicked(bool ok, QString error, qint64 id);
    void logMessage(QString msg);

public slots:
    void sendScan();
    void setPickMode(bool enabled, QString kind = PickKind::field);
    void sendFill(QJsonObject target, QString value, bool pressEnter, QJsonObject button = QJsonObject(),
                  bool clickButton = false, int clickDelayMs = buttonClickDelayMs);
    void sendFillWithId(QJsonObject target, QString value, bool pressEnter, QJsonObject button, bool clickButton,
                        int clickDelayMs, qint64 id, bool flash);
    void sendFeedback(QJsonObject target, QString sound, QString bar);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    void handleEvents(QTcpSocket *socket);
    void handleTextMessage(QTcpSocket *socket, const QByteArray &payload);
    void sendJson(const QJsonObject &message);
    void flushOutgoing();
    void writeOutgoing(QTcpSocket *socket);
    void updateConnectionState();
    void dropConnection(QTcpSocket *socket, const QString &reason);

    quint16 port;
    QTcpServer *server = nullptr;
    QHash<QTcpSocket *, WsConnection> clients;
    // What each plugin's hello said it is.
    QHash<QTcpSocket *, QString> instances;
    QStringList allowedExtensionIds;
    bool lastConnected = false;
    // Inside onReadyRead: what is sent waits for the one write at its end.
    bool handlingRead = false;
};
