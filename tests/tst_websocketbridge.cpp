// The plugin server over loopback: only what needs a socket. The bytes of the
// link are tst_wsconnection's, the JSON tst_pluginprotocol's.
#include "TestMain.h"
#include "TestSupport.h"

#include "WebSocketBridge.h"

#include <QWebSocket>

#include <memory>

using namespace support;

namespace {

const QByteArray hello = "{\"type\":\"hello\",\"from\":\"app\"}";
const QString scan = QStringLiteral("{\"type\":\"scan\"}");
const QByteArray helloFrame = QByteArray::fromHex("811d") + hello;

} // namespace

class TestWebSocketBridge : public QObject
{
    Q_OBJECT

    std::unique_ptr<WebSocketBridge> bridge;
    std::unique_ptr<QSignalSpy> logs, state;
    quint16 port = 0;

    // Logs after the listening line, which every test starts with.
    QStringList logLines() const { return texts(*logs).mid(1); }

    bool openClient(QWebSocket &client, QSignalSpy &messages)
    {
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        return messages.wait() || !messages.isEmpty();
    }

private slots:
    void init()
    {
        port = freePort();
        bridge = std::make_unique<WebSocketBridge>(port);
        logs = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::logMessage);
        state = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::pluginConnectionChanged);
        QVERIFY(bridge->listen());
        QCOMPARE(texts(*logs), QStringList{QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(port)});
    }

    // The spies go before the bridge they watch.
    void cleanup() { state.reset(); logs.reset(); bridge.reset(); }

    // A second bridge cannot take the port. Plugins connect and are greeted, the
    // first after what the window sent from its connection slot; the connection
    // signal comes for the first only, and again when the last has left.
    void clients()
    {
        WebSocketBridge second(port);
        QSignalSpy secondLogs(&second, &WebSocketBridge::logMessage);
        QVERIFY(!second.listen());
        const QRegularExpression failed(QStringLiteral("^WebSocket: failed to listen on port %1 \\(.+\\)$").arg(port));
        QVERIFY2(secondLogs.size() == 1 && texts(secondLogs).first().contains(failed), qPrintable(texts(secondLogs).join('|')));

        connect(bridge.get(), &WebSocketBridge::pluginConnectionChanged, this, [this](bool connected) {
            QVERIFY(bridge->isConnected() == connected);
            if (connected)
                bridge->sendScan();
        });
        QWebSocket first, other;
        QSignalSpy firstMessages(&first, &QWebSocket::textMessageReceived);
        QSignalSpy otherMessages(&other, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(first, firstMessages));
        QTRY_COMPARE(texts(firstMessages), (QStringList{scan, QString::fromUtf8(hello)}));
        QVERIFY(openClient(other, otherMessages));
        QCOMPARE(texts(otherMessages), QStringList{QString::fromUtf8(hello)});
        QCOMPARE(texts(*state), QStringList{"true"});

        bridge->sendFill(QJsonObject{{"id", 7}}, QStringLiteral("A 1"), true);
        QTRY_COMPARE(firstMessages.size(), 3);
        QTRY_COMPARE(otherMessages.size(), 2);
        QCOMPARE(firstMessages.at(2), otherMessages.at(1));
        QCOMPARE(json(texts(otherMessages).at(1).toUtf8()).value("value"), "A 1");

        first.close();
        QTRY_COMPARE(logLines(), (QStringList{"Plugin connected", "Plugin connected", "Plugin disconnected"}));
        QVERIFY(bridge->isConnected());
        bridge->setPickMode(true);
        QTRY_COMPARE(otherMessages.size(), 3);
        QCOMPARE(firstMessages.size(), 3);

        other.abort();
        QTRY_COMPARE(texts(*state), (QStringList{"true", "false"}));
        QVERIFY(!bridge->isConnected());
        QCOMPARE(logLines().mid(3), QStringList{"Plugin disconnected"});
    }

    // Each message type reaches its signal or log line; nothing is answered.
    void incomingMessages()
    {
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(client, messages));
        QSignalSpy fields(bridge.get(), &WebSocketBridge::fieldsReceived);
        QSignalSpy picked(bridge.get(), &WebSocketBridge::fieldPicked);
        QSignalSpy clicked(bridge.get(), &WebSocketBridge::buttonClicked);

        // A dropped one first: each later message proves the earlier ones were read and ignored.
        for (const char *message :
             {"not json", "{\"type\":\"hello\",\"version\":\"2.1\",\"instance\":\"b-1\"}",
              "{\"type\":\"error\",\"error\":\"Onglet fermé\"}",
              "{\"type\":\"fields\",\"url\":\"u\",\"title\":\"t\",\"fields\":[{\"tag\":\"input\"}]}",
              "{\"type\":\"picked\",\"url\":\"u\",\"field\":{\"tag\":\"input\",\"k\":1}}",
              "{\"type\":\"buttonClicked\",\"ok\":true}", "{\"type\":\"buttonClicked\",\"ok\":true,\"id\":4}"})
            client.sendTextMessage(QString::fromUtf8(message));
        QTRY_COMPARE(clicked.size(), 2);

        QCOMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v2.1)"),
                                          QStringLiteral("Erreur plugin : Onglet fermé")}));
        using Calls = QList<QVariantList>;
        QCOMPARE(Calls(fields), (Calls{{"u", "t", QJsonArray{QJsonObject{{"tag", "input"}}}}}));
        QCOMPARE(Calls(picked), (Calls{{"field", "u", QJsonObject{{"tag", "input"}, {"k", 1}}}}));
        QCOMPARE(Calls(clicked), (Calls{{true, QString(), qint64(-1)}, {true, QString(), qint64(4)}}));
        QCOMPARE(messages.size(), 1);
        // The browser its hello named is linked, while it is.
        QVERIFY(bridge->isInstanceLinked(QStringLiteral("b-1")) && !bridge->isInstanceLinked(QStringLiteral("b-2")));

        // Destroying the bridge with a plugin attached says nothing and closes it.
        QSignalSpy gone(&client, &QWebSocket::disconnected);
        const qsizetype signalled = logs->size() + state->size();
        bridge.reset();
        QVERIFY(gone.wait());
        QCOMPARE(logs->size() + state->size(), signalled);
    }

    // A request head in pieces, frames right behind it in the same write. Nothing goes to a connection
    // before its upgrade, whatever is sent meanwhile; what one read makes the server send arrives in order.
    void splitRead()
    {
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        const QByteArray head = upgradeRequest();
        raw.send(head.left(20));
        raw.send(head.mid(20, head.size() - 22));
        bridge->sendScan();
        bridge->sendFill(QJsonObject{{"tag", "input"}}, QStringLiteral("x"), false);
        raw.send(head.right(2) + clientFrame(0x81, "{\"type\":\"hello\",\"version\":\"9\"}", false)
                 + clientFrame(0x89, "pp"));
        const QByteArray expected = rfcResponse + helloFrame + QByteArray::fromHex("8a02") + "pp";
        QVERIFY(raw.waitFor(expected.size()));
        QCOMPARE(raw.received, expected);
        QTRY_COMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v9)")}));
    }

    // A refused request and one over a bound get no byte past their upgrade and a log line; the plugin goes on.
    void refusalAndBound()
    {
        bridge->setAllowedExtensionIds({QStringLiteral("kbfnbcaeplbcioakkpcpgfkobkghlhen")});
        QWebSocket good(QStringLiteral("chrome-extension://kbfnbcaeplbcioakkpcpgfkobkghlhen"));
        QSignalSpy goodMessages(&good, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(good, goodMessages));
        RawClient refused, overBound;
        QVERIFY(refused.connectTo(port) && overBound.connectTo(port));
        refused.send(upgradeRequest("Origin: https://evil.example\r\n" + rfcKeyLine) + textFrame("{\"type\":\"error\"}"));
        QVERIFY(refused.waitForClose());
        QCOMPARE(refused.received, QByteArray());
        overBound.send(upgradeRequest() + QByteArray::fromHex("81ff0000000001000001"));
        QVERIFY(overBound.waitForClose());
        QCOMPARE(overBound.received, rfcResponse + helloFrame);
        QTRY_COMPARE(logLines(), (QStringList{"Plugin connected", "WebSocket: refused connection from https://evil.example",
                                              "Plugin connected", "WebSocket: closed connection: frame payload over 16777216 bytes",
                                              "Plugin disconnected"}));
        QCOMPARE(state->size(), 1);

        bridge->sendScan();
        QTRY_COMPARE(texts(goodMessages).value(1), scan);
    }
};

FIELDPOST_TEST_MAIN(TestWebSocketBridge)
#include "tst_websocketbridge.moc"
