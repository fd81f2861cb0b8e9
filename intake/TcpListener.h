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
    QTcpServer *server = nullptr;
    // One entry per connected client: its undelimited bytes, held by the framer.
    QHash<QTcpSocket *, LineFramer> buffers;
};
