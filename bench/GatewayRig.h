#pragma once

// The gateway's two servers wired as the window wires them (every line becomes
// a "fill" for every plugin), on free ports, with peers that play the
// companion product and the plugin over real loopback sockets.
#include "TcpListener.h"
#include "WebSocketBridge.h"
#include "TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <memory>

namespace rig {

// Resident memory of this process in KiB, or its peak with "VmHWM".
inline long memoryKiB(const char *field = "VmRSS")
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

inline const QJsonObject &field()
{
    static const QJsonObject f = QJsonDocument::fromJson(R"({"label":"Qty","tag":"input","id":"qty"})").object();
    return f;
}

class Gateway : public QObject
{
public:
    TcpListener listener;
    WebSocketBridge bridge;
    quint16 tcpPort;
    quint16 wsPort = 0;
    // Every log line except the raw-chunk dumps, which only repeat the traffic.
    QStringList log;

    Gateway() : bridge(support::freePort(), nullptr), tcpPort(support::freePort())
    {
        // The bridge was given its port; read it back from its log line.
        connect(&listener, &TcpListener::lineReceived, this,
                [this](const QString &line) { bridge.sendFill(field(), line, false, QJsonObject(), false, 300); });
        connect(&listener, &TcpListener::logMessage, this, &Gateway::keep);
        connect(&bridge, &WebSocketBridge::logMessage, this, &Gateway::keep);
    }

    bool start()
    {
        if (!bridge.listen() || !listener.start(tcpPort))
            return false;
        const QString listening = log.filter(QStringLiteral("WebSocket: listening on ws://127.0.0.1:")).value(0);
        wsPort = quint16(listening.section(QLatin1Char(':'), -1).toUInt());
        return wsPort != 0;
    }

    int logCount(const QString &line) const { return int(log.count(line)); }

private:
    void keep(const QString &line)
    {
        if (!line.startsWith(QLatin1String("TCP raw: ")))
            log << line;
    }
};

// A plugin: counts the "fill" values it is sent, in arrival order.
class Plugin : public QObject
{
public:
    QWebSocket socket;
    QStringList values;

    Plugin()
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message.value(QLatin1String("type")).toString() == QLatin1String("fill"))
                values << message.value(QLatin1String("value")).toString();
        });
    }

    bool open(quint16 port)
    {
        bool hello = false;
        auto c = connect(&socket, &QWebSocket::textMessageReceived, this,
                         [&hello](const QString &text) { hello |= text.contains(QLatin1String("hello")); });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        const bool ok = QTest::qWaitFor([&hello] { return hello; }, 5000);
        disconnect(c);
        return ok;
    }
};

// A well-behaved companion connection.
class Companion
{
public:
    QTcpSocket socket;

    bool open(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
};

} // namespace rig
