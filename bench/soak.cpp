// Many lines at once: four companion connections send interleaved frames and
// two plugins must each receive every line, in each connection's order, while
// the gateway's memory stays flat. FIELDPOST_SOAK_LINES sets the total
// (scripts/soak runs a million).
#include "FrameFormat.h"
#include "GatewayRig.h"
#include "TestMain.h"

#include <QEventLoop>
#include <QTimer>

#include <array>
#include <memory>

#include <malloc.h>

namespace {

constexpr int companions = 4;
constexpr int framesPerWrite = 500;

// A plugin that checks order as the fills come in instead of keeping them,
// and answers each one as the real plugin does.
class CountingPlugin : public ProvenPlugin
{
public:
    std::array<int, companions> next{};
    int received = 0;
    QStringList faults;

    CountingPlugin()
    {
        handler = [this](const QJsonObject &message) {
            const QString value = message.value(QLatin1String("value")).toString();
            if (value.isEmpty())
                return;
            const int k = value.section(QLatin1Char('-'), 0, 0).mid(1).toInt();
            const int seq = value.section(QLatin1Char('-'), 1, 1).toInt();
            if (k < 0 || k >= companions || seq != next[size_t(k)]) {
                if (faults.size() < 10)
                    faults << QStringLiteral("got %1, expected c%2-%3").arg(value).arg(k).arg(next[size_t(qBound(0, k, companions - 1))]);
            } else {
                ++next[size_t(k)];
            }
            ++received;
            socket.sendTextMessage(QStringLiteral(R"({"type":"fillResult","ok":true,"id":%1})")
                                       .arg(message.value(QLatin1String("id")).toInteger()));
        };
    }
};

// Heap bytes in use, in KiB. Resident memory also counts what the allocator
// keeps after transient socket buffers are freed; this counts only what is held.
long heapInUseKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return long((info.uordblks + info.hblkhd) / 1024);
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void linesFromFourCompanionsReachTwoPlugins()
    {
        const int total = qEnvironmentVariableIsSet("FIELDPOST_SOAK_LINES")
                              ? qEnvironmentVariableIntValue("FIELDPOST_SOAK_LINES")
                              : 100000;
        const int perCompanion = total / companions;
        QVERIFY(perCompanion > 0);

        rig::Gateway gateway;
        QVERIFY(gateway.start());
        CountingPlugin plugins[2];
        for (CountingPlugin &plugin : plugins)
            QVERIFY(plugin.link(gateway.wsPort, gateway.key));
        QTRY_COMPARE(gateway.links.size(), 2);

        std::array<std::unique_ptr<rig::Companion>, companions> senders;
        std::array<int, companions> sent{};
        const long before = heapInUseKiB();
        QEventLoop loop;
        // Each companion tops up its socket as it drains, so all four stream at once
        // and this process never holds more than a few batches of its own output.
        auto topUp = [&](int k) {
            QTcpSocket &socket = senders[size_t(k)]->socket;
            while (sent[size_t(k)] < perCompanion && socket.bytesToWrite() < 64 * 1024) {
                QByteArray batch;
                for (int i = 0; i < framesPerWrite && sent[size_t(k)] < perCompanion; ++i)
                    batch += encodeFrame(QStringLiteral("c%1-%2").arg(k).arg(sent[size_t(k)]++).toUtf8());
                socket.write(batch);
            }
        };
        for (int k = 0; k < companions; ++k) {
            senders[size_t(k)] = std::make_unique<rig::Companion>();
            QVERIFY(senders[size_t(k)]->open(gateway.tcpPort));
            connect(&senders[size_t(k)]->socket, &QTcpSocket::bytesWritten, &loop, [&, k] { topUp(k); });
        }
        const int expected = perCompanion * companions;
        // The run ends when every answer of both plugins has been handled too: then
        // nothing is in flight, and whatever the heap still holds was kept.
        int answers = 0;
        connect(&gateway.bridge, &WebSocketBridge::fillResult, &loop, [&answers] { ++answers; });
        long halfway = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &loop, [&] {
            if (!halfway && plugins[0].received >= expected / 2)
                halfway = heapInUseKiB();
            if (plugins[0].received >= expected && plugins[1].received >= expected && answers >= 2 * expected)
                loop.quit();
        });
        watch.start(20);
        // A guard against a hang, not a speed limit: it only ends a stuck run.
        QTimer::singleShot(280000, &loop, &QEventLoop::quit);
        for (int k = 0; k < companions; ++k)
            topUp(k);
        loop.exec();

        const long after = heapInUseKiB();
        qInfo("soak: %d lines from %d companions, %d and %d fills received by the two plugins; heap in use"
              " %ld KiB before, %ld KiB halfway (with buffers in flight), %ld KiB at the end; resident %ld KiB, peak resident %ld KiB",
              expected, companions, plugins[0].received, plugins[1].received, before, halfway, after,
              rig::memoryKiB(), rig::memoryKiB("VmHWM"));
        for (const CountingPlugin &plugin : plugins) {
            QVERIFY2(plugin.faults.isEmpty(), qPrintable(plugin.faults.join(QLatin1String("; "))));
            QCOMPARE(plugin.received, expected);
            for (int k = 0; k < companions; ++k)
                QCOMPARE(plugin.next[size_t(k)], perCompanion);
        }
        QCOMPARE(gateway.log.filter(QStringLiteral("Marrowlinker BAD version")).size(), 0);
        // Nothing is kept per line: the footprint must not follow the line count.
        QCOMPARE(answers, 2 * expected);
        QVERIFY2(after - before < 4 * 1024,
                 qPrintable(QStringLiteral("heap in use grew by %1 KiB over the run").arg(after - before)));
    }
};

FIELDPOST_TEST_MAIN(TestSoak)
#include "soak.moc"
