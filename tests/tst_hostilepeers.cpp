// Peers that are not what they should be: a plugin that stops reading is dropped within a memory
// bound, and the intake refuses what is no companion, while good peers go on being served. The
// companion that floods without a delimiter is tst_tcplistener's.
#include "FrameFormat.h"
#include "GatewayRig.h"
#include "TestMain.h"

class TestHostilePeers : public QObject
{
    Q_OBJECT

private slots:
    void pluginThatStopsReading()
    {
        rig::Gateway gateway;
        QVERIFY(gateway.start());
        rig::Companion companion;
        QVERIFY(companion.open(gateway.tcpPort));
        // Alone with the gateway, so that what is measured is what it holds for the sluggard.
        QTcpSocket sluggard;
        // Qt would otherwise keep reading into this process on the test's behalf.
        sluggard.setReadBufferSize(64 * 1024);
        sluggard.connectToHost(QHostAddress::LocalHost, gateway.wsPort);
        // A proven plugin (only such a one is sent anything), by hand: hello, the gateway's proof, its own.
        const QByteArray nc = QByteArray(16, 's').toBase64();
        sluggard.write(support::upgradeRequest() + support::textFrame("{\"type\":\"hello\",\"nonce\":\"" + nc + "\"}"));
        QByteArray greeting;
        // The gateway runs in this process: wait with the event loop running.
        QTRY_VERIFY((greeting += sluggard.readAll()).contains("\"proof\""));
        const QByteArray ng = QRegularExpression(QStringLiteral("\"nonce\":\"([^\"]+)\"")).match(QString::fromLatin1(greeting))
                                  .captured(1).toLatin1();
        sluggard.write(support::textFrame("{\"type\":\"proof\",\"proof\":\""
                                          + ProvenPlugin::proofOf(gateway.key, "plugin", nc, ng, gateway.wsPort) + "\"}"));
        QTRY_COMPARE(gateway.links.size(), 1);

        const QString line = QStringLiteral("WebSocket: closed connection: more than %1 bytes not taken by the plugin")
                                 .arg(WebSocketBridge::MaxUnsentBytes);
        const long before = rig::memoryKiB();
        const QString value(1024 * 1024, QLatin1Char('v'));
        for (int i = 0; i < 200 && gateway.logCount(line) == 0; ++i) {
            gateway.bridge.sendFillTo(gateway.links.value(0), QJsonObject{{"id", "qty"}}, value, false, {}, false, 300, i, false);
            QTest::qWait(1);
        }
        QCOMPARE(gateway.logCount(line), 1);
        QTRY_VERIFY(!gateway.bridge.isConnected());
        const long grown = rig::memoryKiB() - before;
        qInfo("a plugin that stops reading: resident memory grew by %ld KiB before it was dropped", grown);
        QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));

        rig::Plugin plugin;
        QVERIFY(plugin.open(gateway));
        QTRY_COMPARE(gateway.links.size(), 1);
        companion.socket.write(encodeFrame("good"));
        QTRY_VERIFY(plugin.values.contains(QStringLiteral("good")));
    }


    // A web page's request that carries a frame, a huge bad frame, one connection too many.
    void intakeTakesLinesNotWebRequests()
    {
        rig::Gateway gateway;
        QVERIFY(gateway.start());
        QSignalSpy lines(&gateway.listener, &TcpListener::lineReceived);
        QSignalSpy logs(&gateway.listener, &TcpListener::logMessage);

        // What a page's fetch('http://127.0.0.1:<port>/', {method: 'POST', mode: 'no-cors', body}) sends.
        const QByteArray body = frameDelimiter + encodeFrame("12345");
        support::RawClient page;
        QVERIFY(page.connectTo(gateway.tcpPort));
        page.send("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\nContent-Type: text/plain;charset=UTF-8\r\n"
                  "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QVERIFY(page.waitForClose());
        QCOMPARE(support::texts(logs).filter(QStringLiteral("a web request (POST / HTTP/1.1), not Marrowlinker")).size(), 1);

        // A bad frame of 16 MiB costs a few short lines, not the log's whole history.
        rig::Companion companion;
        QVERIFY(companion.open(gateway.tcpPort));
        const QByteArray huge(16 * 1024 * 1024, 'x');
        companion.socket.write(huge + "0000" + frameDelimiter + encodeFrame("after"));
        QTRY_VERIFY_WITH_TIMEOUT(!lines.isEmpty(), 20000);
        QCOMPARE(support::texts(lines), QStringList{"after"});
        const QStringList dump = support::texts(logs).filter(QRegularExpression(QStringLiteral("^ASCII: ")));
        QCOMPARE(dump.size(), 1);
        QCOMPARE(dump.first(), QStringLiteral("ASCII: ") + QStringLiteral("120,").repeated(256)
                                   + QStringLiteral(" \u2026 (%1 bytes)").arg(huge.size() + 4));
        qsizetype longest = 0;
        for (const QString &line : support::texts(logs))
            longest = qMax(longest, line.size());
        QVERIFY2(longest < 2000, qPrintable(QString::number(longest)));

        // Up to 32 companions at once; the 33rd is refused with one line and the others go on.
        std::vector<std::unique_ptr<rig::Companion>> more;
        for (int i = 1; i < TcpListener::MaxClients; ++i) {
            more.push_back(std::make_unique<rig::Companion>());
            QVERIFY(more.back()->open(gateway.tcpPort));
        }
        QTRY_COMPARE(gateway.listener.clientCount(), TcpListener::MaxClients);
        support::RawClient extra;
        QVERIFY(extra.connectTo(gateway.tcpPort));
        QVERIFY(extra.waitForClose());
        QCOMPARE(support::texts(logs).filter(QStringLiteral("connections are open already")).size(), 1);
        more.back()->socket.write(encodeFrame("still served"));
        QTRY_COMPARE(support::texts(lines).last(), QStringLiteral("still served"));
    }
};

FIELDPOST_TEST_MAIN(TestHostilePeers)
#include "tst_hostilepeers.moc"
