#pragma once

// What several suites need and write the same way: JSON, the bytes
// a WebSocket client sends (built here, not by the codec under test), and a raw
// TCP client that keeps everything the server writes.
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace support {

inline QJsonObject json(QByteArrayView text)
{
    return QJsonDocument::fromJson(text.toByteArray()).object();
}

// The first argument of every emission, as text.
inline QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

// Published values, not recomputed here: RFC 6455 section 1.3's key and accept
// value, section 5.7's masking key.
inline const QByteArray rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";
inline const QByteArray rfcAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
inline const QByteArray rfcKeyLine = "Sec-WebSocket-Key: " + rfcKey + "\r\n";
inline const QByteArray rfcMask = QByteArray::fromHex("37fa213d");
inline const QByteArray rfcResponse = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                      "Sec-WebSocket-Accept: " + rfcAccept + "\r\n\r\n";

// An upgrade request with `headers` (the key line by default) among the usual ones.
inline QByteArray upgradeRequest(const QByteArray &headers = rfcKeyLine)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:9000\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + headers
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// A client frame; `lengthCode` forces a length form (126 or 127) even for a
// short payload.
inline QByteArray clientFrame(quint8 firstByte, const QByteArray &payload, bool masked = true, int lengthCode = -1)
{
    QByteArray frame(1, char(firstByte));
    const quint64 n = quint64(payload.size());
    const int code = lengthCode >= 0 ? lengthCode : (n <= 125 ? int(n) : n <= 0xFFFF ? 126 : 127);
    frame.append(char((masked ? 0x80 : 0) | (code == 126 || code == 127 ? code : int(n))));
    if (code == 126) {
        frame.append(char(n >> 8)).append(char(n));
    } else if (code == 127) {
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char(n >> shift));
    }
    if (!masked)
        return frame + payload;
    frame.append(rfcMask);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(char(payload[i] ^ rfcMask[i % 4]));
    return frame;
}

inline QByteArray textFrame(const QByteArray &payload)
{
    return clientFrame(0x81, payload);
}

// A plain TCP client that keeps everything the server writes.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    bool connectTo(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitFor(qsizetype bytes)
    {
        QSignalSpy readyRead(&socket, &QTcpSocket::readyRead);
        while (received.size() < bytes && readyRead.wait()) { }
        return received.size() >= bytes;
    }
    bool waitForClose()
    {
        QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
        const bool closed = socket.state() == QAbstractSocket::UnconnectedState || disconnected.wait();
        received += socket.readAll();
        return closed;
    }
};

} // namespace support
