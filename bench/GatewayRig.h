#pragma once

// The gateway's two servers wired as the window wires them, but every line
// becomes a "fill" for every proven plugin, on ports the system chooses, with
// peers that play the companion product and the plugin over real loopback sockets.
#include "PluginSocket.h"
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
    WebSocketBridge bridge{PortRange{0, 0}};
    quint16 tcpPort = 0;
    quint16 wsPort = 0;
    const QByteArray key = QByteArray(32, 'r');
    QList<WebSocketBridge::LinkId> links;
    qint64 nextId = 1;
    // Every log line except the raw-chunk dumps, which only repeat the traffic.
    QStringList log;

    Gateway()
    {
        bridge.setPairingKey(key);
        connect(&listener, &TcpListener::lineReceived, this, [this](const QString &line) {
            const qint64 id = nextId++;
            for (WebSocketBridge::LinkId link : std::as_const(links))
                bridge.sendFillTo(link, field(), line, false, QJsonObject(), false, 300, id, false);
        });
        connect(&bridge, &WebSocketBridge::linksChanged, this, [this] {
            links.clear();
            for (const WebSocketBridge::LinkInfo &info : bridge.provenLinks())
                links << info.id;
        });
        connect(&listener, &TcpListener::logMessage, this, &Gateway::keep);
        connect(&bridge, &WebSocketBridge::logMessage, this, &Gateway::keep);
    }

    bool start()
    {
        if (!bridge.listen() || !listener.start(0))
            return false;
        wsPort = bridge.listeningPort();
        tcpPort = listener.serverPort();
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

// A proven plugin: counts the "fill" values it is sent, in arrival order.
class Plugin : public ProvenPlugin
{
public:
    QStringList values;

    Plugin()
    {
        handler = [this](const QJsonObject &message) {
            if (message.value(QLatin1String("type")).toString() == QLatin1String("fill"))
                values << message.value(QLatin1String("value")).toString();
        };
    }

    bool open(const Gateway &gateway) { return link(gateway.wsPort, gateway.key); }
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
