// The plugin server over loopback: only what needs a socket. The bytes of the
// link are tst_wsconnection's, the JSON and the proof's steps tst_pluginprotocol's.
#include "PluginSocket.h"
#include "TestMain.h"
#include "TestSupport.h"

#include "WebSocketBridge.h"

#include <QWebSocket>

#include <memory>

using namespace support;

namespace {

const QByteArray hello = "{\"type\":\"hello\",\"from\":\"app\"}";
const QByteArray helloFrame = QByteArray::fromHex("811d") + hello;
const QByteArray key = QByteArray(32, 'k');

} // namespace

class TestWebSocketBridge : public QObject
{
    Q_OBJECT

    std::unique_ptr<WebSocketBridge> bridge;
    std::unique_ptr<QSignalSpy> logs, state;
    quint16 port = 0;

    // Logs after the listening line, which every test starts with.
    QStringList logLines() const { return texts(*logs).mid(1); }

private slots:
    void init()
    {
        bridge = std::make_unique<WebSocketBridge>(PortRange{0, 0});
        bridge->setPairingKey(key);
        logs = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::logMessage);
        state = std::make_unique<QSignalSpy>(bridge.get(), &WebSocketBridge::pluginConnectionChanged);
        QVERIFY(bridge->listen());
        port = bridge->listeningPort();
        QCOMPARE(texts(*logs), QStringList{QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(port)});
    }

    // The spies go before the bridge they watch.
    void cleanup() { state.reset(); logs.reset(); bridge.reset(); }

    // A taken port is passed over for the next of the range, said once; a range with none free fails.
    void portRange()
    {
        WebSocketBridge next(PortRange{port, quint16(port + 8)});
        QSignalSpy nextLogs(&next, &WebSocketBridge::logMessage);
        QVERIFY(next.listen());
        QVERIFY(next.listeningPort() > port && next.listeningPort() <= port + 8);
        QCOMPARE(texts(nextLogs), (QStringList{
            QStringLiteral("WebSocket: port %1 is held by another user or program; this session takes %2").arg(port).arg(next.listeningPort()),
            QStringLiteral("WebSocket: listening on ws://127.0.0.1:%1").arg(next.listeningPort())}));

        WebSocketBridge none(PortRange{port, port});
        QSignalSpy noneLogs(&none, &WebSocketBridge::logMessage);
        QVERIFY(!none.listen(true) && noneLogs.isEmpty());
        QCOMPARE(none.lastListenFailure(), QStringLiteral("WebSocket: port %1 is held by another user or program").arg(port));
        QCOMPARE(none.listeningPort(), quint16(0));
    }

    // A proven plugin is greeted, then proven, and only then counted and served;
    // each browser's fills go to it alone, and its answers name its link.
    void provenLinksAndRouting()
    {
        QSignalSpy links(bridge.get(), &WebSocketBridge::linksChanged);
        QSignalSpy closed(bridge.get(), &WebSocketBridge::linkClosed);
        QSignalSpy results(bridge.get(), &WebSocketBridge::fillResult);
        ProvenPlugin first(QStringLiteral("b-1")), second(QStringLiteral("b-2"));
        QVERIFY(first.link(port, key, QStringLiteral("1.3.0"), QStringLiteral("Edge")));
        QCOMPARE(first.beforeProof.first(), json(hello));
        QCOMPARE(first.beforeProof.size(), 2);
        QTRY_COMPARE(texts(*state), QStringList{"true"});
        QVERIFY(second.link(port, key));
        QTRY_COMPARE(links.size(), 2);
        const QList<WebSocketBridge::LinkInfo> proven = bridge->provenLinks();
        QCOMPARE(proven.size(), 2);
        QCOMPARE(proven.first().instance + proven.first().browser + proven.first().version, QStringLiteral("b-1Edge1.3.0"));
        QCOMPARE(bridge->linkOf(QStringLiteral("b-2")), proven.last().id);
        QCOMPARE(bridge->linkOf(QStringLiteral("b-3")), WebSocketBridge::LinkId(0));
        QCOMPARE(logLines(), (QStringList{"Plugin connected", QStringLiteral("Plugin prêt (v1.3.0)"), "Plugin connected",
                                          QStringLiteral("Plugin prêt (v1.3.0)")}));

        QVERIFY(bridge->sendFillTo(proven.last().id, QJsonObject{{"instance", "b-2"}}, QStringLiteral("A 1"), true, {},
                                   false, 300, 7, false));
        QVERIFY(second.waitFor("fill"));
        QCOMPARE(second.ofType("fill").first().value("value"), "A 1");
        second.answer("fillResult", 7, true);
        QTRY_COMPARE(results.size(), 1);
        QCOMPARE(results.first(), (QVariantList{true, QString(), qint64(7), proven.last().id, -1}));
        bridge->setPickMode(true);
        QVERIFY(first.waitFor("pickMode"));
        QCOMPARE(first.ofType("fill").size(), 0);

        first.socket.close();
        QTRY_COMPARE(closed.size(), 1);
        QCOMPARE(closed.first().first().toULongLong(), proven.first().id);
        QVERIFY(bridge->isConnected());
        QVERIFY(!bridge->sendFillTo(proven.first().id, {}, QString(), false, {}, false, 300, 8, false));
        // A new key ends every link: each browser links again with it.
        bridge->setPairingKey(QByteArray(32, 'n'));
        QTRY_COMPARE(texts(*state), (QStringList{"true", "false"}));
        QTRY_COMPARE(closed.size(), 2);
    }

    // Before its proof, nothing a link sends counts and nothing is sent to it
    // but the greeting and the gateway's own proof; a bad proof, or none in
    // time, closes it with a log line.
    void unprovenLinks_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("no nonce") << "no nonce" << "its hello carries no valid nonce";
        QTest::newRow("wrong key") << "wrong key" << "wrong proof";
        QTest::newRow("proof for another port") << "relayed" << "wrong proof";
        QTest::newRow("the gateway's proof reflected") << "reflected" << "wrong proof";
        QTest::newRow("no proof") << "silent" << "not proven within 5 s";
    }

    void unprovenLinks()
    {
        QFETCH(QString, how);
        QFETCH(QString, refusal);
        QSignalSpy fields(bridge.get(), &WebSocketBridge::fieldsReceived);
        QSignalSpy picked(bridge.get(), &WebSocketBridge::fieldPicked);
        QSignalSpy results(bridge.get(), &WebSocketBridge::fillResult);
        QWebSocket client;
        QSignalSpy messages(&client, &QWebSocket::textMessageReceived);
        QSignalSpy gone(&client, &QWebSocket::disconnected);
        const auto send = [&client](const QJsonObject &m) {
            client.sendTextMessage(QString::fromUtf8(QJsonDocument(m).toJson(QJsonDocument::Compact)));
        };
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        QVERIFY(messages.wait());
        const QByteArray nc = QByteArray(16, 'c').toBase64();
        // What a program without the key would try: pick, list, answer, ask for pick mode.
        const auto meddle = [&] {
            send({{"type", "pickMode"}, {"enabled", true}, {"kind", "field"}});
            send({{"type", "picked"}, {"field", QJsonObject{{"tag", "input"}}}});
            send({{"type", "fields"}, {"fields", QJsonArray{QJsonObject{{"tag", "input"}}}}});
            send({{"type", "fillResult"}, {"ok", true}, {"id", 1}});
            bridge->sendScan();
            bridge->setPickMode(true);
            bridge->sendFill(QJsonObject{{"instance", "b-1"}}, QStringLiteral("secret"), false);
        };
        meddle();
        if (how != QLatin1String("silent")) {
            QJsonObject h{{"type", "hello"}, {"version", "1"}, {"instance", "b-1"}};
            if (how != QLatin1String("no nonce"))
                h.insert("nonce", QString::fromLatin1(nc));
            send(h);
        }
        if (how != QLatin1String("no nonce") && how != QLatin1String("silent")) {
            QTRY_COMPARE(messages.size(), 2);
            const QJsonObject gatewayProof = json(messages.at(1).first().toString().toUtf8());
            const QByteArray ng = gatewayProof.value("nonce").toString().toLatin1();
            QCOMPARE(gatewayProof.value("proof").toString().toLatin1(), ProvenPlugin::proofOf(key, "gateway", nc, ng, port));
            meddle();
            QByteArray proof = how == QLatin1String("wrong key") ? ProvenPlugin::proofOf(QByteArray(32, 'x'), "plugin", nc, ng, port)
                               : how == QLatin1String("relayed") ? ProvenPlugin::proofOf(key, "plugin", nc, ng, quint16(port + 1))
                                                                 : gatewayProof.value("proof").toString().toLatin1();
            send({{"type", "proof"}, {"proof", QString::fromLatin1(proof)}});
        }
        QVERIFY(gone.wait(LinkTrust::ProofDeadlineMs + 2000));
        QVERIFY(messages.size() <= 2);
        QCOMPARE(messages.first().first().toString().toUtf8(), hello);
        QCOMPARE(fields.size() + picked.size() + results.size() + state->size(), 0);
        QCOMPARE(logLines().filter(QStringLiteral("refused")),
                 QStringList{QStringLiteral("WebSocket: refused a plugin link: ") + refusal});
    }

    // A pick counts only from a link in pick mode, once; the plugin's popup may start it.
    void picksOnlyInPickMode()
    {
        QSignalSpy picked(bridge.get(), &WebSocketBridge::fieldPicked);
        ProvenPlugin plugin;
        QVERIFY(plugin.link(port, key));
        const QJsonObject field{{"tag", "input"}};
        plugin.send({{"type", "picked"}, {"url", "u"}, {"field", field}});
        QTRY_VERIFY(logLines().contains("Plugin: a pick outside pick mode was ignored"));
        bridge->setPickMode(true, PickKind::button);
        QVERIFY(plugin.waitFor("pickMode"));
        plugin.send({{"type", "picked"}, {"kind", "button"}, {"url", "u"}, {"field", field}});
        plugin.send({{"type", "picked"}, {"kind", "button"}, {"url", "u"}, {"field", field}});
        plugin.pick(QStringLiteral("field"), QStringLiteral("v"), field);
        QTRY_COMPARE(picked.size(), 2);
        QTest::qWait(50);
        using Calls = QList<QVariantList>;
        QCOMPARE(Calls(picked), (Calls{{"button", "u", field, false}, {"field", "v", field, false}}));
        QCOMPARE(logLines().filter("outside pick mode").size(), 1);
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
        raw.send(head.right(2) + clientFrame(0x89, "pp"));
        const QByteArray expected = rfcResponse + helloFrame + QByteArray::fromHex("8a02") + "pp";
        QVERIFY(raw.waitFor(expected.size()));
        QCOMPARE(raw.received, expected);
        QCOMPARE(logLines(), QStringList{"Plugin connected"});
    }

    // A refused request and one over a bound get no byte past their upgrade and a log line; the plugin goes on.
    void refusalAndBound()
    {
        bridge->setAllowedExtensionIds({QStringLiteral("kbfnbcaeplbcioakkpcpgfkobkghlhen")});
        RawClient refused, overBound;
        QVERIFY(refused.connectTo(port) && overBound.connectTo(port));
        refused.send(upgradeRequest("Origin: https://evil.example\r\n" + rfcKeyLine) + textFrame("{\"type\":\"error\"}"));
        QVERIFY(refused.waitForClose());
        QCOMPARE(refused.received, QByteArray());
        overBound.send(upgradeRequest() + QByteArray::fromHex("81ff0000000001000001"));
        QVERIFY(overBound.waitForClose());
        QCOMPARE(overBound.received, rfcResponse + helloFrame);
        QTRY_COMPARE(logLines(), (QStringList{"WebSocket: refused connection from https://evil.example", "Plugin connected",
                                              "WebSocket: closed connection: frame payload over 16777216 bytes",
                                              "Plugin disconnected"}));
        QCOMPARE(state->size(), 0);
    }

    // Destroying the bridge with a plugin attached says nothing and closes it.
    void destroyedQuietly()
    {
        ProvenPlugin plugin;
        QVERIFY(plugin.link(port, key));
        QTRY_VERIFY(bridge->isConnected());
        QSignalSpy gone(&plugin.socket, &QWebSocket::disconnected);
        const qsizetype signalled = logs->size() + state->size();
        bridge.reset();
        QVERIFY(gone.wait());
        QCOMPARE(logs->size() + state->size(), signalled);
    }
};

FIELDPOST_TEST_MAIN(TestWebSocketBridge)
#include "tst_websocketbridge.moc"
