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
            tcp.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        });
        connect(&tcp, &QTcpSocket::readyRead, this, &PluginSocket::read);
        connect(&tcp, &QTcpSocket::disconnected, this, &PluginSocket::disconnected);
    }
    void open(const QUrl &url)
    {
        buffer.clear();
        upgraded = false;
        tcp.connectToHost(url.host(), quint16(url.port(80)));
    }
    // The suites' messages are short: below 64 KiB either way.
    void sendTextMessage(const QString &text)
    {
        const QByteArray payload = text.toUtf8();
        const char mask[4] = {0x1f, 0x2e, 0x3d, 0x4c};
        QByteArray frame("\x81\xfe", 2);
        frame += char(payload.size() >> 8);
        frame += char(payload.size() & 0xff);
        frame.append(mask, 4);
        for (qsizetype i = 0; i < payload.size(); ++i)
            frame += char(payload[i] ^ mask[i % 4]);
        tcp.write(frame);
    }
    void close()
    {
        if (upgraded)
            tcp.write(QByteArray("\x88\x80\x1f\x2e\x3d\x4c", 6)); // masked, empty close frame
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
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (!upgraded && headEnd >= 0) {
            // The accept value of RFC 6455's example key.
            if (!buffer.left(headEnd).contains("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")) {
                tcp.abort();
                return;
            }
            buffer.remove(0, headEnd + 4);
            upgraded = true;
            emit connected();
        }
        // The gateway's frames are unmasked and whole.
        while (upgraded && buffer.size() >= 2) {
            const bool extended = (buffer[1] & 0x7f) == 126;
            const qsizetype header = extended ? 4 : 2;
            if (buffer.size() < header)
                return;
            const qsizetype length = extended ? qFromBigEndian<quint16>(buffer.constData() + 2) : buffer[1] & 0x7f;
            if (buffer.size() < header + length)
                return;
            if ((buffer[0] & 0x0f) == 0x1)
                emit textMessageReceived(QString::fromUtf8(buffer.mid(header, length)));
            buffer.remove(0, header + length);
        }
    }

    QTcpSocket tcp;
    QByteArray buffer;
    bool upgraded = false;
};
#endif
