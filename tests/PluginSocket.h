#pragma once

// The plugin's end of the WebSocket link in the window suites: QtWebSockets'
// client, written apart from the gateway; on Windows, whose Qt here has no
// WebSockets module, this small client with the same members.
#ifndef FIELDPOST_OWN_WEBSOCKET_CLIENT
#include <QWebSocket>
using PluginSocket = QWebSocket;
#else
#include "TestSupport.h"

#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>

class PluginSocket : public QObject
{
    Q_OBJECT
public:
    PluginSocket()
    {
        connect(&tcp, &QTcpSocket::connected, this, [this] { tcp.write(support::upgradeRequest()); });
        connect(&tcp, &QTcpSocket::readyRead, this, &PluginSocket::read);
    }
    void open(const QUrl &url)
    {
        buffer.clear();
        upgraded = false;
        tcp.connectToHost(url.host(), quint16(url.port(80)));
    }
    void sendTextMessage(const QString &text) { tcp.write(support::textFrame(text.toUtf8())); }
    void close()
    {
        if (upgraded)
            tcp.write(support::clientFrame(0x88, {}));
        tcp.disconnectFromHost();
    }

signals:
    void connected();
    void textMessageReceived(const QString &message);

private:
    void read()
    {
        buffer += tcp.readAll();
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (!upgraded && headEnd >= 0) {
            if (!buffer.left(headEnd).contains(support::rfcAccept)) {
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
