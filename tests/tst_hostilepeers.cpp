// Peers that misbehave on purpose. Each one is dropped or put up with, the
// gateway's memory stays within a bound, and a good companion and a good
// plugin connected all along go on being served. The companion that floods
// without a delimiter is tst_tcplistener's.
#include "FrameFormat.h"
#include "GatewayRig.h"
#include "TestMain.h"

#include <memory>

class TestHostilePeers : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<rig::Gateway> gateway;
    std::unique_ptr<rig::Plugin> plugin;
    std::unique_ptr<rig::Companion> companion;
    int sentLines = 0;

    // A line from the good companion reaches the good plugin.
    bool goodPeersServed()
    {
        const QString line = QStringLiteral("good-%1").arg(++sentLines);
        companion->socket.write(encodeFrame(line.toUtf8()));
        return QTest::qWaitFor([&] { return plugin->values.contains(line); }, 10000);
    }

private slots:
    void init()
    {
        gateway = std::make_unique<rig::Gateway>();
        QVERIFY(gateway->start());
        plugin = std::make_unique<rig::Plugin>();
        QVERIFY(plugin->open(gateway->wsPort));
        companion = std::make_unique<rig::Companion>();
        QVERIFY(companion->open(gateway->tcpPort));
        QVERIFY(goodPeersServed());
    }

    void cleanup()
    {
        companion.reset();
        plugin.reset();
        gateway.reset();
    }

    void pluginThatStopsReading()
    {
        // Alone with the gateway, so that what is measured is what it holds for the sluggard.
        plugin.reset();
        QTcpSocket sluggard;
        // Qt would otherwise keep reading into this process on the test's behalf.
        sluggard.setReadBufferSize(64 * 1024);
        sluggard.connectToHost(QHostAddress::LocalHost, gateway->wsPort);
        sluggard.write(support::upgradeRequest());
        // The gateway runs in this process: wait with the event loop running.
        QTRY_VERIFY(sluggard.bytesAvailable() > 0);

        const QString line = QStringLiteral("WebSocket: closed connection: more than %1 bytes not taken by the plugin")
                                 .arg(WebSocketBridge::MaxUnsentBytes);
        const long before = rig::memoryKiB();
        const QString value(1024 * 1024, QLatin1Char('v'));
        for (int i = 0; i < 200 && gateway->logCount(line) == 0; ++i) {
            gateway->bridge.sendFill(QJsonObject{{"id", "qty"}}, value, false);
            QTest::qWait(1);
        }
        QCOMPARE(gateway->logCount(line), 1);
        QTRY_VERIFY(!gateway->bridge.isConnected());
        const long grown = rig::memoryKiB() - before;
        qInfo("a plugin that stops reading: resident memory grew by %ld KiB before it was dropped", grown);
        QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));

        plugin = std::make_unique<rig::Plugin>();
        QVERIFY(plugin->open(gateway->wsPort));
        QVERIFY(goodPeersServed());
    }

    void connectAndDisconnectChurn()
    {
        const long before = rig::memoryKiB();
        const QRegularExpression connected(QStringLiteral("^TCP: product connected \\((::ffff:)?127\\.0\\.0\\.1\\)$"));
        const int companionsBefore = int(gateway->log.filter(connected).size());
        for (int i = 0; i < 1000; ++i) {
            QTcpSocket churn;
            // Every other one completes the handshake, or sends a frame before leaving.
            const bool plugSide = i % 2 == 0;
            churn.connectToHost(QHostAddress::LocalHost, plugSide ? gateway->wsPort : gateway->tcpPort);
            QVERIFY(churn.waitForConnected(5000));
            if (i % 4 == 0)
                churn.write(support::upgradeRequest());
            else if (i % 4 == 1)
                churn.write(encodeFrame("churn-" + QByteArray::number(i)).chopped(5));
            churn.flush();
            churn.disconnectFromHost();
            // Let the servers accept as we go, as they would between real peers.
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(gateway->log.filter(connected).size() - companionsBefore, 500, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(gateway->listener.clientCount(), 1, 10000);
        QVERIFY(goodPeersServed());
        // Half-sent frames died with their connections.
        QVERIFY(plugin->values.filter(QStringLiteral("churn-")).isEmpty());
        const long grown = rig::memoryKiB() - before;
        qInfo("1000 connects and disconnects: resident memory grew by %ld KiB", grown);
        QVERIFY2(grown < 16 * 1024, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
    }
};

FIELDPOST_TEST_MAIN(TestHostilePeers)
#include "tst_hostilepeers.moc"
