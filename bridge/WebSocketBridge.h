#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "PluginProtocol.h"
#include "WsFrameCodec.h"
#include "WsHandshake.h"

class QTcpServer;
class QTcpSocket;

// The plugin's WebSocket server on 127.0.0.1. A thin Qt shell: the handshake,
// the frame codec and the JSON dispatch are socket-free classes beside it.
class WebSocketBridge : public QObject
{
    Q_OBJECT
public:
    explicit WebSocketBridge(quint16 port = pluginLinkPort, QObject *parent = nullptr);
    ~WebSocketBridge() override;

    bool listen();
    bool isConnected() const;

    // Bytes written to a plugin and not yet taken by it: a plugin that stops
    // reading is dropped past this rather than held in memory without end.
    static constexpr qint64 MaxUnsentBytes = 32 * 1024 * 1024;

signals:
    void pluginConnectionChanged(bool connected);
    void fieldsReceived(QString url, QString title, QJsonArray fields);
    void fieldPicked(QString kind, QString url, QJsonObject field);
    void fillResult(bool ok, QString error);
    void buttonClicked(bool ok, QString error);
    void logMessage(QString msg);

public slots:
    void sendScan();
    void setPickMode(bool enabled, QString kind = PickKind::field);
    void sendFill(QJsonObject target, QString value, bool pressEnter, QJsonObject button = QJsonObject(),
                  bool clickButton = false, int clickDelayMs = buttonClickDelayMs);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    struct ClientState
    {
        bool handshakeDone = false;
        WsHandshake handshake;
        WsFrameDecoder decoder;
    };

    void handleHandshake(QTcpSocket *socket);
    void processFrames(QTcpSocket *socket);
    void handleTextMessage(const QByteArray &payload);
    void sendJson(const QJsonObject &message);
    void sendFrame(QTcpSocket *socket, const QByteArray &payload, quint8 opcode);
    void updateConnectionState();
    void dropConnection(QTcpSocket *socket, const QString &reason);

    quint16 port;
    QTcpServer *server = nullptr;
    QHash<QTcpSocket *, ClientState> clients;
    bool lastConnected = false;
};
