// A plugin that stops reading is dropped within a memory bound while a good companion and a good
// plugin go on being served. The companion that floods without a delimiter is tst_tcplistener's.
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
        sluggard.write(support::upgradeRequest());
        // The gateway runs in this process: wait with the event loop running.
        QTRY_VERIFY(sluggard.bytesAvailable() > 0);

        const QString line = QStringLiteral("WebSocket: closed connection: more than %1 bytes not taken by the plugin")
                                 .arg(WebSocketBridge::MaxUnsentBytes);
        const long before = rig::memoryKiB();
        const QString value(1024 * 1024, QLatin1Char('v'));
        for (int i = 0; i < 200 && gateway.logCount(line) == 0; ++i) {
            gateway.bridge.sendFill(QJsonObject{{"id", "qty"}}, value, false);
            QTest::qWait(1);
        }
        QCOMPARE(gateway.logCount(line), 1);
        QTRY_VERIFY(!gateway.bridge.isConnected());
        const long grown = rig::memoryKiB() - before;
        qInfo("a plugin that stops reading: resident memory grew by %ld KiB before it was dropped", grown);
        QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));

        rig::Plugin plugin;
        QVERIFY(plugin.open(gateway.wsPort));
        companion.socket.write(encodeFrame("good"));
        QTRY_VERIFY(plugin.values.contains(QStringLiteral("good")));
    }
};

FIELDPOST_TEST_MAIN(TestHostilePeers)
#include "tst_hostilepeers.moc"
