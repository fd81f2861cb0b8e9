#include "TestMain.h"

#include "WebSocketBridge.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <memory>

namespace {

const QByteArray hello = "{\"type\":\"hello\",\"from\":\"app\"}";
// The RFC 6455 example key and its published accept value.
const QByteArray rfcResponse = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
const QByteArray helloFrame = QByteArray::fromHex("811d") + hello;

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QByteArray request(const QByteArray &extraHeaders = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + extraHeaders
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// A masked client frame with FIN set unless told otherwise, built here and not by the codec.
QByteArray clientFrame(quint8 firstByte, const QByteArray &payload, bool masked = true)
{
    Q_ASSERT(payload.size() <= 125);
    QByteArray frame(1, char(firstByte));
    frame.append(char((masked ? 0x80 : 0) | payload.size()));
    if (!masked)
        return frame + payload;
    const QByteArray mask = QByteArray::fromHex("a1b2c3d4");
    frame.append(mask);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(char(payload[i] ^ mask[i % 4]));
    return frame;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

// A plain TCP client that collects everything the server writes.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    bool connectTo(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        QSignalSpy connected(&socket, &QTcpSocket::connected);
        return socket.state() == QAbstractSocket::ConnectedState || connected.wait();
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitFor(qsizetype bytes)
    {
        QSignalSpy readyRead(&socket, &QTcpSocket::readyRead);
        while (received.size() < bytes) {
            if (!readyRead.wait())
                return false;
        }
        return true;
    }
    bool waitForClose()
    {
        QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
        const bool closed = socket.state() == QAbstractSocket::UnconnectedState || disconnected.wait();
        received += socket.readAll();
        return closed;
    }
};

} // namespace

class TestWebSocketBridge : public QObject
{
    Q_OBJECT

    std::unique_ptr<WebSocketBridge> bridge;
    std::unique_ptr<QSignalSpy> logs;
    std::unique_ptr<QSignalSpy> state;
    quint16 port = 0;
    QUrl url;

    // Logs after the listening line, which every test starts with.
    QStringList logLines() const { return texts(*logs).mid(1); }

    bool openClient(QWebSocket &client, QSignalSpy &messages)
    {
        client.open(url);
        return messages.wait() || !messages.isEmpty();
    }

private slots:
    void init()
    {
        port = freePort();
        QVERIFY(port != 0);
        url = QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port));
        bridge = std::make_unique<WebSocketBridge>(port);
        logs = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::logMessage);
        state = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::pluginConnectionChanged);
        QVERIFY(!bridge->isConnected());
        QVERIFY(bridge->listen());
        QCOMPARE(texts(*logs), QStringList{QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(port)});
    }

    void cleanup()
    {
        state.reset();
        logs.reset();
        bridge.reset();
    }

    void listenFailureIsLogged()
    {
        WebSocketBridge second(port);
        QSignalSpy secondLogs(&second, &WebSocketBridge::logMessage);
        QVERIFY(!second.listen());
        QCOMPARE(secondLogs.size(), 1);
        const QString line = secondLogs.at(0).at(0).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^WebSocket: failed to listen on port %1 \\(.+\\)$").arg(port))
                     .match(line)
                     .hasMatch(),
                 qPrintable(line));
    }

    void connectHelloAndClose()
    {
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        // The window may send from its connection slot; that message goes out before the hello.
        connect(bridge.get(), &WebSocketBridge::pluginConnectionChanged, this, [this](bool connected) {
            QVERIFY(bridge->isConnected() == connected);
            if (connected)
                bridge->sendScan();
        });
        QVERIFY(openClient(client, messages));
        QTRY_COMPARE(messages.size(), 2);
        QCOMPARE(texts(messages), (QStringList{QStringLiteral("{\"type\":\"scan\"}"), QString::fromUtf8(hello)}));
        QCOMPARE(logLines(), QStringList{QStringLiteral("Plugin connected")});
        QCOMPARE(state->size(), 1);
        QCOMPARE(state->at(0).at(0).toBool(), true);
        QVERIFY(bridge->isConnected());

        client.close();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(state->at(1).at(0).toBool(), false);
        QVERIFY(!bridge->isConnected());
        QCOMPARE(logLines(), (QStringList{QStringLiteral("Plugin connected"), QStringLiteral("Plugin disconnected")}));
    }

    void twoClients()
    {
        QWebSocket first;
        QWebSocket second;
        QSignalSpy firstMessages(&first, &QWebSocket::textMessageReceived);
        QSignalSpy secondMessages(&second, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(first, firstMessages));
        QVERIFY(openClient(second, secondMessages));
        QCOMPARE(state->size(), 1);

        bridge->sendFill(QJsonObject{{"label", "Code"}, {"tag", "input"}, {"id", 7}}, QStringLiteral("A 1"), true);
        bridge->setPickMode(true);
        QTRY_COMPARE(firstMessages.size(), 3);
        QTRY_COMPARE(secondMessages.size(), 3);
        // The second hello went to the second client only.
        QCOMPARE(texts(firstMessages), texts(secondMessages));
        const QJsonObject fill = QJsonDocument::fromJson(texts(firstMessages).at(1).toUtf8()).object();
        QCOMPARE(fill, (QJsonObject{{"type", "fill"},
                                    {"target", QJsonObject{{"label", "Code"}, {"tag", "input"}, {"id", 7}}},
                                    {"value", "A 1"},
                                    {"pressEnter", true},
                                    {"button", QJsonObject()},
                                    {"clickButton", false},
                                    {"clickDelayMs", 300}}));
        QCOMPARE(texts(firstMessages).at(2), QStringLiteral("{\"enabled\":true,\"kind\":\"field\",\"type\":\"pickMode\"}"));

        // Answers from each plugin are signalled separately.
        QSignalSpy results(bridge.get(), &WebSocketBridge::fillResult);
        first.sendTextMessage(QStringLiteral("{\"type\":\"fillResult\",\"ok\":true}"));
        second.sendTextMessage(QStringLiteral("{\"type\":\"fillResult\",\"ok\":false,\"error\":\"gone\"}"));
        QTRY_COMPARE(results.size(), 2);
        QSet<QString> outcomes;
        for (const QList<QVariant> &args : results)
            outcomes << QStringLiteral("%1/%2").arg(args.at(0).toBool()).arg(args.at(1).toString());
        QCOMPARE(outcomes, (QSet<QString>{QStringLiteral("1/"), QStringLiteral("0/gone")}));

        first.close();
        QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(logLines().size(), 3);
        QCOMPARE(logLines(), (QStringList{"Plugin connected", "Plugin connected", "Plugin disconnected"}));
        QCOMPARE(state->size(), 1);
        QVERIFY(bridge->isConnected());

        bridge->sendScan();
        QTRY_COMPARE(secondMessages.size(), 4);
        QCOMPARE(firstMessages.size(), 3);

        second.abort();
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(state->at(1).at(0).toBool(), false);
        QCOMPARE(logLines().size(), 4);
    }

    void incomingMessages()
    {
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(client, messages));
        QSignalSpy fields(bridge.get(), &WebSocketBridge::fieldsReceived);
        QSignalSpy picked(bridge.get(), &WebSocketBridge::fieldPicked);
        QSignalSpy clicked(bridge.get(), &WebSocketBridge::buttonClicked);

        // Dropped ones first: each later message proves the earlier ones were read and ignored.
        for (const char *ignored : {"{\"type\":\"Hello\",\"version\":\"x\"}", "[1]", "not json", "",
                                    "{\"type\":\"fill\"}"}) {
            client.sendTextMessage(QString::fromUtf8(ignored));
        }
        client.sendTextMessage(QStringLiteral("{\"type\":\"hello\",\"version\":\"2.1\"}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"hello\"}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"error\",\"error\":\"Onglet fermé\"}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"error\"}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"fields\",\"url\":\"u\",\"title\":\"t\",\"fields\":[{\"tag\":\"input\"}]}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"picked\",\"url\":\"u\",\"field\":{\"tag\":\"input\",\"k\":1}}"));
        client.sendTextMessage(QStringLiteral("{\"type\":\"buttonClicked\",\"ok\":true}"));
        QVERIFY(clicked.wait());

        QCOMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v2.1)"),
                                          QStringLiteral("Plugin prêt (v)"), QStringLiteral("Erreur plugin : Onglet fermé"),
                                          QStringLiteral("Erreur plugin : ")}));
        QCOMPARE(fields.size(), 1);
        QCOMPARE(fields.at(0).at(0).toString(), QStringLiteral("u"));
        QCOMPARE(fields.at(0).at(1).toString(), QStringLiteral("t"));
        QCOMPARE(fields.at(0).at(2).toJsonArray(), (QJsonArray{QJsonObject{{"tag", "input"}}}));
        QCOMPARE(picked.size(), 1);
        QCOMPARE(picked.at(0).at(0).toString(), QStringLiteral("field"));
        QCOMPARE(picked.at(0).at(1).toString(), QStringLiteral("u"));
        QCOMPARE(picked.at(0).at(2).toJsonObject(), (QJsonObject{{"tag", "input"}, {"k", 1}}));
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(clicked.at(0).at(0).toBool(), true);
        QCOMPARE(clicked.at(0).at(1).toString(), QString());
        QCOMPARE(messages.size(), 1); // nothing is ever answered
    }

    // A request head in pieces, with frames right behind it in the same write.
    void rawHandshakeAndFrames()
    {
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        const QByteArray head = request(" sec-WEBSOCKET-key :  dGhlIHNhbXBsZSBub25jZQ==  \r\n");
        raw.send(head.left(20));
        raw.send(head.mid(20, head.size() - 22));
        // Unmasked text, then a text in three frames with a ping between them.
        raw.send(head.right(2) + clientFrame(0x81, "{\"type\":\"hello\",\"version\":\"9\"}", false)
                 + clientFrame(0x01, "{\"type\":\"hel") + clientFrame(0x89, "pp") + clientFrame(0x00, "lo\",")
                 + clientFrame(0x80, "\"version\":\"10\"}"));
        const QByteArray expected = rfcResponse + helloFrame + QByteArray::fromHex("8a02") + "pp";
        QVERIFY(raw.waitFor(expected.size()));
        QCOMPARE(raw.received, expected);
        QTRY_COMPARE(logLines().size(), 3);
        QCOMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v9)"),
                                          QStringLiteral("Plugin prêt (v10)")}));

        // A binary message, single and fragmented, and a stray continuation are dropped quietly.
        raw.send(clientFrame(0x82, "{\"type\":\"hello\"}") + clientFrame(0x02, "{\"type\"")
                 + clientFrame(0x80, ":\"hello\"}") + clientFrame(0x80, "{\"type\":\"hello\"}")
                 + clientFrame(0x81, "{\"type\":\"error\",\"error\":\"last\"}"));
        QTRY_COMPARE(logLines().size(), 4);
        QCOMPARE(logLines().last(), QStringLiteral("Erreur plugin : last"));

        // Close: exactly 0x88 0x00 back, then the server hangs up; what followed the close is never read.
        raw.received.clear();
        raw.send(clientFrame(0x88, QByteArray::fromHex("03e8")) + clientFrame(0x81, "{\"type\":\"hello\"}"));
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received.toHex(), QByteArray("8800"));
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(logLines().mid(4), QStringList{"Plugin disconnected"});
    }

    void requestWithoutKeyIsDroppedSilently_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("no key") << request("");
        QTest::newRow("empty key") << request("Sec-WebSocket-Key:  \r\n");
        QTest::newRow("not a request at all") << QByteArray("\r\n\r\n");
    }

    void requestWithoutKeyIsDroppedSilently()
    {
        QFETCH(QByteArray, head);
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        raw.send(head + clientFrame(0x81, "{\"type\":\"hello\"}"));
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received, QByteArray());
        QCOMPARE(logLines(), QStringList());
        QCOMPARE(state->size(), 0);
    }

    void peerLeavingBeforeHandshakeLeavesNoTrace()
    {
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        raw.send("GET / HTTP/1.1\r\n");
        raw.socket.disconnectFromHost();
        // Nothing observable follows, so let a real connection prove the server went on.
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(client, messages));
        QCOMPARE(logLines(), QStringList{"Plugin connected"});
    }

    void webOriginsAreRefused_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::newRow("web page") << QStringLiteral("https://evil.example");
        QTest::newRow("local page") << QStringLiteral("http://localhost:8080");
        QTest::newRow("opaque") << QStringLiteral("null");
    }

    void webOriginsAreRefused()
    {
        QFETCH(QString, origin);
        QWebSocket client(origin);
        QSignalSpy gone(&client, &QWebSocket::disconnected);
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        client.open(url);
        QVERIFY(gone.wait());
        QCOMPARE(messages.size(), 0);
        QCOMPARE(logLines(), QStringList{QStringLiteral("WebSocket: refused connection from %1").arg(origin)});
        QCOMPARE(state->size(), 0);

        // The same origin over a raw socket gets no byte back either.
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        raw.send(request("Origin: " + origin.toUtf8() + "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"));
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received, QByteArray());
        QCOMPARE(logLines().size(), 2);
    }

    void extensionOriginIsServed()
    {
        QWebSocket client(QStringLiteral("chrome-extension://kbfnbcaeplbcioakkpcpgfkobkghlhen"));
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(client, messages));
        QCOMPARE(texts(messages), QStringList{QString::fromUtf8(hello)});
        QCOMPARE(state->size(), 1);
    }

    // A connection that breaks a bound is closed with one line; the others carry on.
    void boundsCloseOnlyTheirConnection_data()
    {
        QTest::addColumn<bool>("upgradeFirst");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("request head") << false << QByteArray(16 * 1024 + 4, 'a')
                                      << QStringLiteral("request head over 16384 bytes");
        QTest::newRow("frame payload") << true << QByteArray::fromHex("817f0000000001000001")
                                       << QStringLiteral("frame payload over 16777216 bytes");
        QTest::newRow("top bit of length") << true << QByteArray::fromHex("81ff8000000000000000")
                                           << QStringLiteral("frame length with the top bit set");
    }

    void boundsCloseOnlyTheirConnection()
    {
        QFETCH(bool, upgradeFirst);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);

        QWebSocket good;
        QSignalSpy goodMessages(&good, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(good, goodMessages));

        RawClient raw;
        QVERIFY(raw.connectTo(port));
        if (upgradeFirst) {
            raw.send(request());
            QVERIFY(raw.waitFor(rfcResponse.size() + helloFrame.size()));
            raw.received.clear();
        }
        raw.send(bytes);
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received, QByteArray());

        QStringList expected{"Plugin connected"};
        if (upgradeFirst)
            expected << "Plugin connected" << "WebSocket: closed connection: " + reason << "Plugin disconnected";
        else
            expected << "WebSocket: closed connection: " + reason;
        QTRY_COMPARE(logLines(), expected);
        QCOMPARE(state->size(), 1);

        bridge->sendScan();
        QTRY_COMPARE(goodMessages.size(), 2);
        QCOMPARE(goodMessages.at(1).at(0).toString(), QStringLiteral("{\"type\":\"scan\"}"));
    }

    // Without an upgraded connection nothing is written, not even to a half-open one.
    void nothingSentWithoutPlugin()
    {
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        raw.send("GET / HTTP/1.1\r\n");
        bridge->sendScan();
        bridge->setPickMode(true, QStringLiteral("button"));
        bridge->sendFill(QJsonObject{{"tag", "input"}}, QStringLiteral("x"), false, QJsonObject(), false, 300);
        QCOMPARE(logLines(), QStringList());

        // The first bytes it ever gets are the handshake response.
        raw.send("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        QVERIFY(raw.waitFor(rfcResponse.size() + helloFrame.size()));
        QCOMPARE(raw.received, rfcResponse + helloFrame);
    }

    // Destroying the bridge with plugins attached says nothing and closes them.
    void destructionIsQuiet()
    {
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(client, messages));
        QSignalSpy gone(&client, &QWebSocket::disconnected);
        state.reset();
        logs.reset();
        QSignalSpy finalLogs(bridge.get(), &WebSocketBridge::logMessage);
        QSignalSpy finalState(bridge.get(), &WebSocketBridge::pluginConnectionChanged);
        bridge.reset();
        QVERIFY(gone.wait());
        QCOMPARE(finalLogs.size(), 0);
        QCOMPARE(finalState.size(), 0);
    }
};

FIELDPOST_TEST_MAIN(TestWebSocketBridge)
#include "tst_websocketbridge.moc"
