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
        connect(&tcp, &QTcpSocket::disconnected, this, &PluginSocket::disconnected);
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
    void disconnected();
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

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QtTest>

#include <functional>

// The plugin's end of the pairing, written apart from the gateway's: hello
// with a nonce, the gateway's proof checked, its own sent. Messages that
// follow the proof land in `received`; everything before it in `beforeProof`.
class ProvenPlugin : public QObject
{
public:
    PluginSocket socket;
    QList<QJsonObject> received;
    QList<QJsonObject> beforeProof;
    QString instance;
    // When set, takes the messages after the proof instead of `received` (a soak keeps none).
    std::function<void(const QJsonObject &)> handler;
    bool proven = false;
    bool gatewayProofGood = false;

    explicit ProvenPlugin(QString browserInstance = QStringLiteral("b-1")) : instance(std::move(browserInstance))
    {
        connect(&socket, &PluginSocket::textMessageReceived, this, &ProvenPlugin::take);
    }

    static QByteArray proofOf(const QByteArray &key, const char *role, const QByteArray &nc, const QByteArray &ng,
                              quint16 port)
    {
        return QMessageAuthenticationCode::hash(QByteArray(role) + '|' + nc + '|' + ng + '|' + QByteArray::number(port),
                                                key, QCryptographicHash::Sha256)
            .toBase64();
    }

    // Opens the link and proves it; true once the proof is sent. Whatever the
    // plugin sends next reaches the gateway after it; what the gateway sends
    // on its own may come sooner, so a test waits for the gateway to count the link.
    // With `answer` false the plugin stops after the gateway's proof.
    bool link(quint16 port, const QByteArray &pairingKey, const QString &version = QStringLiteral("1.3.0"),
              const QString &browser = QStringLiteral("Chromium"), bool answer = true)
    {
        key = pairingKey;
        linkPort = port;
        answerProof = answer;
        nonce = QByteArray(16, 'n').toBase64();
        connect(&socket, &PluginSocket::connected, this, [this, version, browser] {
            send({{"type", "hello"}, {"version", version}, {"instance", instance}, {"browser", browser},
                  {"nonce", QString::fromLatin1(nonce)}});
        }, Qt::SingleShotConnection);
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        return QTest::qWaitFor([this] { return proven || (!answerProof && gatewayProofGood); }, 5000);
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    // As the plugin's popup does it: pick mode told to the gateway, then the pick.
    void pick(const QString &kind, const QString &url, const QJsonObject &field, bool add = false)
    {
        send({{"type", "pickMode"}, {"enabled", true}, {"kind", kind}, {"add", add}});
        send({{"type", "picked"}, {"kind", kind}, {"url", url}, {"field", field}, {"add", add}});
    }

    void answer(const char *type, qint64 id, bool ok, const QString &error = QString())
    {
        QJsonObject message{{"type", type}, {"ok", ok}, {"error", error}};
        if (id >= 0)
            message.insert(QStringLiteral("id"), id);
        send(message);
    }

    QList<QJsonObject> ofType(const char *type) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &message : received)
            if (message.value(QLatin1String("type")).toString() == QLatin1String(type))
                found << message;
        return found;
    }

    bool waitFor(const char *type, int count = 1)
    {
        return QTest::qWaitFor([&] { return ofType(type).size() >= count; }, 5000);
    }

private:
    void take(const QString &text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (proven) {
            if (handler)
                handler(message);
            else
                received << message;
            return;
        }
        beforeProof << message;
        if (message.value(QLatin1String("type")).toString() != QLatin1String("proof"))
            return;
        const QByteArray ng = message.value(QLatin1String("nonce")).toString().toLatin1();
        gatewayProofGood = message.value(QLatin1String("proof")).toString().toLatin1()
                           == proofOf(key, "gateway", nonce, ng, linkPort);
        if (!gatewayProofGood || !answerProof)
            return;
        send({{"type", "proof"}, {"proof", QString::fromLatin1(proofOf(key, "plugin", nonce, ng, linkPort))}});
        proven = true;
    }

    QByteArray key;
    QByteArray nonce;
    quint16 linkPort = 0;
    bool answerProof = true;
};
