#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include "LineFramer.h"

class QTcpServer;
class QTcpSocket;

// Accepts the companion product's connections and turns its framed byte
// stream into lines. The framing itself lives in LineFramer (no sockets).
class TcpListener : public QObject
{
    Q_OBJECT
public:
    explicit TcpListener(QObject *parent = nullptr);
    ~TcpListener() override;

    bool start(quint16 port);
    void stop();
    bool isListening() const;
    int clientCount() const;

signals:
    void lineReceived(QString line);
    void clientCountChanged(int count);
    void logMessage(QString msg);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    QTcpServer *server = nullptr;
    // One entry per connected client: its undelimited bytes, held by the framer.
    QHash<QTcpSocket *, LineFramer> buffers;
};
