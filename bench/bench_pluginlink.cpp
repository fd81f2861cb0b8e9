// The plugin link against QtWebSockets' server. Both servers do the same work
// per message (parse the plugin's JSON, answer with a "scan") and are driven
// in turn by the same plain client on its own thread, at 64 B and 64 KiB.
// Besides messages per second, the serving thread's own CPU time per message:
// on a shared machine the clock on the wall also counts the other programs.
#include "BenchSupport.h"
#include "PluginProtocol.h"
#include "WebSocketBridge.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QWebSocket>
#include <QWebSocketServer>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>

#include <pthread.h>

namespace {

struct Figures
{
    double perSecond = 0;
    double cpuPerMessage = 0; // microseconds of the serving thread, pipelined
    double median = 0; // round trip, microseconds
    double p99 = 0;
    bool ok = true;
};

// A "fillResult" of exactly `size` bytes, padded in its error text.
QByteArray message(int size)
{
    const QByteArray head = "{\"type\":\"fillResult\",\"ok\":true,\"error\":\"";
    const QByteArray tail = "\"}";
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

// CPU time a thread has used so far, in microseconds; readable from any thread.
double cpuMicroseconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// Runs `client` on its own thread while this thread serves the event loop.
bool drive(const std::function<bool()> &client)
{
    QEventLoop loop;
    std::atomic<bool> ok{false};
    std::thread worker([&] {
        ok = client();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return ok;
}

// key: the pairing key to prove the link with; empty for a server that asks no proof.
Figures measure(quint16 port, int size, int pipelined, int roundTrips, const QByteArray &key = {})
{
    Figures figures;
    const QByteArray frame = bench::WsClient::textFrame(message(size));
    // The writer hands its socket whole frames, up to 16 KiB at a time. With a
    // send() per 70-byte frame the client spent more CPU per message than either
    // server (about 6 us against 3 us), so the servers were never behind: each
    // took a frame or two per turn and paid the turn's reads, writes and event
    // loop for them, and both showed the client's pace rather than their own.
    const int framesPerSend = qMax(1, int(16 * 1024 / frame.size()));
    const QByteArray burst = frame.repeated(framesPerSend);
    clockid_t server;
    pthread_getcpuclockid(pthread_self(), &server);
    figures.ok = drive([&] {
        bench::WsClient client;
        QByteArray reply;
        if (!client.open(port) || !client.receive(reply) || !reply.contains("hello"))
            return false;
        if (!key.isEmpty() && !client.prove(key, port))
            return false;

        // Throughput: the writer runs ahead while a second thread takes the answers.
        std::atomic<bool> readerOk{true};
        const double start = bench::nowSeconds();
        const double cpuStart = cpuMicroseconds(server);
        std::thread reader([&] {
            QByteArray answer;
            for (int i = 0; i < pipelined; ++i) {
                if (!client.receive(answer) || !answer.contains("scan")) {
                    readerOk = false;
                    return;
                }
            }
        });
        bool sent = true;
        for (int i = 0; i < pipelined && sent; i += framesPerSend)
            sent = i + framesPerSend <= pipelined ? client.send(burst) : client.send(frame.repeated(pipelined - i));
        reader.join();
        figures.perSecond = pipelined / (bench::nowSeconds() - start);
        figures.cpuPerMessage = (cpuMicroseconds(server) - cpuStart) / pipelined;
        if (!sent || !readerOk)
            return false;

        // Latency: one message in flight at a time.
        std::vector<double> samples;
        samples.reserve(size_t(roundTrips));
        for (int i = 0; i < roundTrips; ++i) {
            const double t0 = bench::nowSeconds();
            if (!client.send(frame) || !client.receive(reply))
                return false;
            samples.push_back((bench::nowSeconds() - t0) * 1e6);
        }
        figures.median = bench::percentile(samples, 0.5);
        figures.p99 = bench::percentile(samples, 0.99);
        return true;
    });
    return figures;
}

Figures better(const Figures &a, const Figures &b)
{
    Figures best;
    best.ok = a.ok && b.ok;
    best.perSecond = std::max(a.perSecond, b.perSecond);
    best.cpuPerMessage = std::min(a.cpuPerMessage, b.cpuPerMessage);
    best.median = a.median < b.median ? a.median : b.median;
    best.p99 = a.median < b.median ? a.p99 : b.p99;
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    WebSocketBridge bridge(PortRange{0, 0});
    const QByteArray key(32, 'p');
    bridge.setPairingKey(key);
    if (!bridge.listen()) {
        std::fprintf(stderr, "bench_pluginlink: WebSocketBridge cannot listen\n");
        return 2;
    }
    const quint16 bridgePort = bridge.listeningPort();
    QObject::connect(&bridge, &WebSocketBridge::fillResult, &bridge, [&bridge] { bridge.sendScan(); });

    QWebSocketServer qtServer(QStringLiteral("bench"), QWebSocketServer::NonSecureMode);
    if (!qtServer.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_pluginlink: QWebSocketServer cannot listen\n");
        return 2;
    }
    const QString hello = QString::fromUtf8(pluginHelloMessage());
    const QString scan = QString::fromUtf8(pluginScanMessage());
    QObject::connect(&qtServer, &QWebSocketServer::newConnection, &qtServer, [&] {
        while (QWebSocket *socket = qtServer.nextPendingConnection()) {
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [socket, &scan](const QString &text) {
                if (parsePluginMessage(text.toUtf8()).type == PluginMessage::Type::FillResult)
                    socket->sendTextMessage(scan);
            });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->sendTextMessage(hello);
        }
    });

    struct Case
    {
        const char *name;
        int size;
        int pipelined;
        int roundTrips;
    };
    // FIELDPOST_PLUGINLINK_MESSAGES: the 64 B messages of one round, the rest in
    // proportion; a short run under callgrind, where the figures are instructions.
    const int messages = qEnvironmentVariableIsSet("FIELDPOST_PLUGINLINK_MESSAGES")
                             ? qMax(100, qEnvironmentVariableIntValue("FIELDPOST_PLUGINLINK_MESSAGES"))
                             : 100000;
    const Case cases[] = {{"64 B", 64, messages, messages / 20},
                          {"64 KiB", 64 * 1024, qMax(1, messages * 3 / 100), qMax(1, messages / 200)}};
    // Best of five, alternating: on a shared machine a slow spell hits one round, not one server.
    const int rounds = qEnvironmentVariableIsSet("FIELDPOST_PLUGINLINK_ROUNDS")
                           ? qMax(1, qEnvironmentVariableIntValue("FIELDPOST_PLUGINLINK_ROUNDS"))
                           : 5;
    bool allOk = true;
    for (const Case &c : cases) {
        Figures ours, theirs;
        for (int round = 0; round < rounds; ++round) {
            const Figures a = measure(bridgePort, c.size, c.pipelined, c.roundTrips, key);
            const Figures b = measure(qtServer.serverPort(), c.size, c.pipelined, c.roundTrips);
            ours = round == 0 ? a : better(ours, a);
            theirs = round == 0 ? b : better(theirs, b);
        }
        allOk &= ours.ok && theirs.ok;
        const double ratio = ours.perSecond / theirs.perSecond;
        const double cpuRatio = theirs.cpuPerMessage / ours.cpuPerMessage;
        std::printf("%-7s WebSocketBridge %9.0f msg/s %7.2f us cpu  rtt median %7.1f us p99 %7.1f us | QWebSocketServer"
                    " %9.0f msg/s %7.2f us cpu  rtt median %7.1f us p99 %7.1f us | ratio %.2fx (cpu %.2fx, latency %.2fx)\n",
                    c.name, ours.perSecond, ours.cpuPerMessage, ours.median, ours.p99, theirs.perSecond,
                    theirs.cpuPerMessage, theirs.median, theirs.p99, ratio, cpuRatio, theirs.median / ours.median);
        bench::tableRow(QStringLiteral("plugin link, %1: messages/s").arg(QLatin1String(c.name)),
                        QString::asprintf("%.0f/s (%.2f\u00d7)", ours.perSecond, ratio),
                        QString::asprintf("QWebSocketServer %.0f/s", theirs.perSecond), QStringLiteral("\u2265 1.5\u00d7"),
                        ratio >= 1.5);
        bench::tableRow(QStringLiteral("plugin link, %1: serving thread's CPU per message").arg(QLatin1String(c.name)),
                        QString::asprintf("%.2f \u00b5s (%.2f\u00d7 less)", ours.cpuPerMessage, cpuRatio),
                        QString::asprintf("QWebSocketServer %.2f \u00b5s", theirs.cpuPerMessage),
                        QStringLiteral("\u2265 1.5\u00d7 less"), cpuRatio >= 1.5);
        bench::tableRow(QStringLiteral("plugin link, %1: round trip median").arg(QLatin1String(c.name)),
                        QString::asprintf("%.1f \u00b5s", ours.median),
                        QString::asprintf("QWebSocketServer %.1f \u00b5s", theirs.median), QStringLiteral("no worse"),
                        ours.median <= theirs.median);
        if (!ours.ok || !theirs.ok)
            std::printf("  FAILED: %s lost the link or an answer\n", !ours.ok ? "WebSocketBridge" : "QWebSocketServer");
    }
    return allOk ? 0 : 1;
}
