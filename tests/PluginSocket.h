#pragma once

// The plugin's end of the WebSocket link in the window suites: QtWebSockets'
// client, written apart from the gateway. The Windows Qt built here has no
// WebSockets module (the archive does not carry its source), so that build
// gets this small client with the same members instead.
#ifndef FIELDPOST_OWN_WEBSOCKET_CLIENT
#include <QWebSocket>
using PluginSocket = QWebSocket;
#else
#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>

class PluginSocket : public QObject
{
    Q_OBJECT
public:
    PluginSocket()
    {
        connect(&tcp, &QTcpSocket::connected, this, [this] {
            tcp.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n");
        });
        connect(&tcp, &QTcpSocket::readyRead, this, &PluginSocket::read);
        connect(&tcp, &QTcpSocket::disconnected, this, &PluginSocket::disconnected);
    }

    void open(const QUrl &url)
    {
        buffer.clear();
        upgraded = false;
        path = url.path().isEmpty() ? QByteArray("/") : url.path().toUtf8();
        tcp.connectToHost(url.host(), quint16(url.port(80)));
    }
    void sendTextMessage(const QString &text) { send(0x1, text.toUtf8()); }
    void close()
    {
        if (upgraded)
            send(0x8, QByteArray("\x03\xe8", 2));
        tcp.disconnectFromHost();
    }
    QString errorString() const { return tcp.errorString(); }

signals:
    void connected();
    void disconnected();
    void textMessageReceived(const QString &message);

private:
    void read()
    {
        buffer += tcp.readAll();
        if (!upgraded) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            // The accept value of RFC 6455's example key.
            if (!buffer.startsWith("HTTP/1.1 101") || !buffer.left(end).contains("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")) {
                tcp.abort();
                return;
            }
            buffer.remove(0, end + 4);
            upgraded = true;
            emit connected();
        }
        // The server's frames are unmasked and whole (FIN set).
        while (buffer.size() >= 2) {
            const quint8 opcode = quint8(buffer[0]) & 0x0f;
            quint64 length = quint8(buffer[1]) & 0x7f;
            qsizetype header = 2;
            if (length == 126 && buffer.size() >= 4) {
                length = qFromBigEndian<quint16>(buffer.constData() + 2);
                header = 4;
            } else if (length == 127 && buffer.size() >= 10) {
                length = qFromBigEndian<quint64>(buffer.constData() + 2);
                header = 10;
            }
            if (length >= 126 && header == 2)
                return;
            if (quint64(buffer.size() - header) < length)
                return;
            const QByteArray payload = buffer.mid(header, qsizetype(length));
            buffer.remove(0, header + qsizetype(length));
            if (opcode == 0x1)
                emit textMessageReceived(QString::fromUtf8(payload));
            else if (opcode == 0x9)
                send(0xA, payload);
            else if (opcode == 0x8)
                tcp.disconnectFromHost();
        }
    }

    void send(quint8 opcode, const QByteArray &payload)
    {
        QByteArray frame(1, char(0x80 | opcode));
        const qsizetype size = payload.size();
        if (size < 126) {
            frame += char(0x80 | size);
        } else if (size < 65536) {
            frame += char(0x80 | 126);
            frame += char(size >> 8);
            frame += char(size & 0xff);
        } else {
            frame += char(0x80 | 127);
            for (int shift = 56; shift >= 0; shift -= 8)
                frame += char((quint64(size) >> shift) & 0xff);
        }
        const char mask[4] = {0x1f, 0x2e, 0x3d, 0x4c};
        frame.append(mask, 4);
        for (qsizetype i = 0; i < size; ++i)
            frame += char(payload[i] ^ mask[i % 4]);
        tcp.write(frame);
    }

    QTcpSocket tcp;
    QByteArray path;
    QByteArray buffer;
    bool upgraded = false;
};
#endif
