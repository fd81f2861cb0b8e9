#include "TestMain.h"

#include "WebSocketBridge.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <memory>

namespace {

const QByteArray hello = "{\"type\":\"hello\",\"from\":\"app\"}";
const QString scan = QStringLiteral("{\"type\":\"scan\"}");
// The RFC 6455 example key and its published accept value.
const QByteArray rfcKeyLine = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
const QByteArray rfcResponse = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
const QByteArray helloFrame = QByteArray::fromHex("811d") + hello;

QByteArray request(const QByteArray &extraHeaders = rfcKeyLine)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + extraHeaders
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// A short client frame, masked unless told otherwise, built here and not by the codec.
QByteArray clientFrame(quint8 firstByte, const QByteArray &payload, bool masked = true)
{
    const QByteArray mask = QByteArray::fromHex("a1b2c3d4");
    QByteArray frame = QByteArray(1, char(firstByte)) + char((masked ? 0x80 : 0) | payload.size());
    if (!masked)
        return frame + payload;
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
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
        probe.close();
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

    // A second bridge cannot take the port; then a plugin connects, is greeted
    // (after what the window sent from its connection slot) and leaves.
    void connectHelloAndClose()
    {
        WebSocketBridge second(port);
        QSignalSpy secondLogs(&second, &WebSocketBridge::logMessage);
        QVERIFY(!second.listen());
        QCOMPARE(secondLogs.size(), 1);
        QVERIFY2(texts(secondLogs).first().contains(QRegularExpression(
                     QStringLiteral("^WebSocket: failed to listen on port %1 \\(.+\\)$").arg(port))),
                 qPrintable(texts(secondLogs).first()));

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
        QCOMPARE(texts(messages), (QStringList{scan, QString::fromUtf8(hello)}));
        QCOMPARE(logLines(), QStringList{QStringLiteral("Plugin connected")});
        QCOMPARE(texts(*state), QStringList{"true"});

        client.close();
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(texts(*state), (QStringList{"true", "false"}));
        QVERIFY(!bridge->isConnected());
        QCOMPARE(logLines(), (QStringList{QStringLiteral("Plugin connected"), QStringLiteral("Plugin disconnected")}));
    }

    void twoClients()
    {
        QWebSocket first, second;
        QSignalSpy firstMessages(&first, &QWebSocket::textMessageReceived);
        QSignalSpy secondMessages(&second, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(first, firstMessages));
        QVERIFY(openClient(second, secondMessages));
        QCOMPARE(state->size(), 1);

        bridge->sendFill(QJsonObject{{"label", "Code"}, {"id", 7}}, QStringLiteral("A 1"), true);
        bridge->setPickMode(true);
        QTRY_COMPARE(firstMessages.size(), 3);
        QTRY_COMPARE(secondMessages.size(), 3);
        QCOMPARE(texts(firstMessages), texts(secondMessages)); // the second hello went to the second client only
        QCOMPARE(QJsonDocument::fromJson(texts(firstMessages).at(1).toUtf8()).object(),
                 (QJsonObject{{"type", "fill"}, {"target", QJsonObject{{"label", "Code"}, {"id", 7}}}, {"value", "A 1"},
                              {"pressEnter", true}, {"button", QJsonObject()}, {"clickButton", false},
                              {"clickDelayMs", 300}}));
        QCOMPARE(texts(firstMessages).at(2), QStringLiteral("{\"enabled\":true,\"kind\":\"field\",\"type\":\"pickMode\"}"));

        // Answers from each plugin are signalled separately.
        QSignalSpy results(bridge.get(), &WebSocketBridge::fillResult);
        first.sendTextMessage(QStringLiteral("{\"type\":\"fillResult\",\"ok\":true}"));
        QVERIFY(results.wait());
        second.sendTextMessage(QStringLiteral("{\"type\":\"fillResult\",\"ok\":false,\"error\":\"gone\"}"));
        QTRY_COMPARE(results.size(), 2);
        QCOMPARE(results.at(0) + results.at(1), (QVariantList{true, QString(), false, QStringLiteral("gone")}));

        first.close();
        QTRY_COMPARE(logLines().size(), 3);
        QCOMPARE(logLines(), (QStringList{"Plugin connected", "Plugin connected", "Plugin disconnected"}));
        QCOMPARE(state->size(), 1);
        QVERIFY(bridge->isConnected());
        bridge->sendScan();
        QTRY_COMPARE(secondMessages.size(), 4);
        QCOMPARE(firstMessages.size(), 3);

        second.abort();
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(texts(*state), (QStringList{"true", "false"}));
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

        // A dropped one first: each later message proves the earlier ones were read and ignored.
        for (const char *message :
             {"not json", "{\"type\":\"hello\",\"version\":\"2.1\"}", "{\"type\":\"hello\"}",
              "{\"type\":\"error\",\"error\":\"Onglet fermé\"}", "{\"type\":\"error\"}",
              "{\"type\":\"fields\",\"url\":\"u\",\"title\":\"t\",\"fields\":[{\"tag\":\"input\"}]}",
              "{\"type\":\"picked\",\"url\":\"u\",\"field\":{\"tag\":\"input\",\"k\":1}}",
              "{\"type\":\"buttonClicked\",\"ok\":true}"})
            client.sendTextMessage(QString::fromUtf8(message));
        QVERIFY(clicked.wait());

        QCOMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v2.1)"),
                                          QStringLiteral("Plugin prêt (v)"), QStringLiteral("Erreur plugin : Onglet fermé"),
                                          QStringLiteral("Erreur plugin : ")}));
        QCOMPARE(fields.size(), 1);
        QCOMPARE(fields.at(0), (QVariantList{"u", "t", QJsonArray{QJsonObject{{"tag", "input"}}}}));
        QCOMPARE(picked.size(), 1);
        QCOMPARE(picked.at(0), (QVariantList{"field", "u", QJsonObject{{"tag", "input"}, {"k", 1}}}));
        QCOMPARE(clicked.at(0), (QVariantList{true, QString()}));
        QCOMPARE(messages.size(), 1); // nothing is ever answered

        // Destroying the bridge with a plugin attached says nothing and closes it.
        QSignalSpy gone(&client, &QWebSocket::disconnected);
        const qsizetype signalled = logs->size() + state->size();
        bridge.reset();
        QVERIFY(gone.wait());
        QCOMPARE(logs->size() + state->size(), signalled);
    }

    // A request head in pieces, with frames right behind it in the same write.
    // Nothing goes to a connection before its upgrade, whatever is sent meanwhile;
    // what one read makes the server send arrives in order.
    void splitReadThenClose()
    {
        RawClient raw;
        QVERIFY(raw.connectTo(port));
        const QByteArray head = request();
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

        // Close: exactly 0x88 0x00 back, then the server hangs up.
        raw.received.clear();
        raw.send(clientFrame(0x88, QByteArray::fromHex("03e8")));
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received.toHex(), QByteArray("8800"));
        QTRY_COMPARE(state->size(), 2);
        QCOMPARE(logLines().mid(2), QStringList{"Plugin disconnected"});
    }

    // A refused request, or a connection that breaks a bound, gets no byte past
    // its upgrade and at most one line of its own; the plugin already there goes on.
    void refusedAndOverBound_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("log");
        const auto row = [](const char *name, const QByteArray &bytes, const QStringList &log) {
            QTest::newRow(name) << bytes << log;
        };
        const QString closed = QStringLiteral("WebSocket: closed connection: ");
        row("no key", request(""), {});
        row("peer leaves mid-head", "GET / HTTP/1.1\r\n", {});
        row("web origin", request("Origin: https://evil.example\r\n" + rfcKeyLine),
            {"WebSocket: refused connection from https://evil.example"});
        row("top bit of length", request() + QByteArray::fromHex("81ff8000000000000000"),
            {"Plugin connected", closed + "frame length with the top bit set", "Plugin disconnected"});
    }

    void refusedAndOverBound()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, log);
        QWebSocket good(QStringLiteral("chrome-extension://kbfnbcaeplbcioakkpcpgfkobkghlhen"));
        QSignalSpy goodMessages(&good, &QWebSocket::textMessageReceived);
        QVERIFY(openClient(good, goodMessages));
        QCOMPARE(texts(goodMessages), QStringList{QString::fromUtf8(hello)});

        RawClient raw;
        QVERIFY(raw.connectTo(port));
        raw.send(bytes + clientFrame(0x81, "{\"type\":\"error\"}"));
        if (!bytes.contains("\r\n\r\n"))
            raw.socket.disconnectFromHost(); // the server would wait for the rest
        QVERIFY(raw.waitForClose());
        QCOMPARE(raw.received, bytes.startsWith(request()) ? rfcResponse + helloFrame : QByteArray());
        QTRY_COMPARE(logLines(), QStringList{"Plugin connected"} + log);
        QCOMPARE(state->size(), 1);

        bridge->sendScan();
        QTRY_COMPARE(goodMessages.size(), 2);
        QCOMPARE(goodMessages.at(1).at(0).toString(), scan);
    }
};

FIELDPOST_TEST_MAIN(TestWebSocketBridge)
#include "tst_websocketbridge.moc"
