// The whole road of a line without a browser: frames in on TCP from a
// companion stand-in, "fill" messages out to a plugin stand-in on a WebSocket,
// with the window and its log alive as in real use. The baseline is the same
// road through TcpListener and WebSocketBridge wired together directly.
#include "BenchSupport.h"
#include "BrowserPlatform.h"
#include "FrameFormat.h"
#include "MainWindow.h"
#include "TcpListener.h"
#include "WebSocketBridge.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

constexpr int burstLines = 100000; // sent as fast as the socket takes them
constexpr int pacedLines = 20000;  // sent one by one at the target rate
constexpr double pacedRate = 10000;
constexpr int lightLines = 2000;   // and then at a tenth of it, where no queue can form
constexpr double lightRate = 1000;
constexpr qsizetype writeSize = 64 * 1024;

const QJsonObject field = QJsonDocument::fromJson(R"({"label":"Qty","tag":"input","type":"number","id":"qty"})").object();

struct Run
{
    double linesPerSecond = 0;
    double median = 0; // milliseconds, paced phase
    double p99 = 0;
    double max = 0;
    double lightMedian = 0;
    double lightP99 = 0;
    int received = 0;
    bool inOrder = true;
    long rssBeforeKiB = 0;
    long rssAfterBurstKiB = 0;
};

int sequenceOf(const QByteArray &fill)
{
    const QByteArray key = "\"value\":\"L";
    const qsizetype at = fill.indexOf(key);
    if (at < 0)
        return -1;
    int n = 0;
    for (qsizetype i = at + key.size(); i < fill.size() && fill[i] >= '0' && fill[i] <= '9'; ++i)
        n = n * 10 + (fill[i] - '0');
    return n;
}

// Drives one gateway: `ready` is polled on this thread after the plugin has
// connected (and picked, when `pick` is set) until the gateway can forward.
Run drive(WebSocketBridge *bridge, quint16 wsPort, quint16 tcpPort, bool pick, const std::function<bool()> &ready)
{
    // The plugin's answers are part of the load; a phase ends when they are all handled.
    std::atomic<int> answered{0};
    const QMetaObject::Connection counting =
        QObject::connect(bridge, &WebSocketBridge::fillResult, bridge, [&answered] { ++answered; });
    const int total = burstLines + pacedLines + lightLines;
    std::vector<double> sent(size_t(total), 0), arrived(size_t(total), 0);
    std::atomic<int> received{0};
    std::atomic<bool> pluginUp{false}, pluginFailed{false}, go{false};
    Run run;

    std::thread plugin([&] {
        bench::WsClient client;
        QByteArray payload;
        if (!client.open(wsPort) || !client.socket.setReceiveTimeout(10) || !client.receive(payload)) {
            pluginFailed = true;
            return;
        }
        if (pick) {
            const QJsonObject picked{{"type", "picked"}, {"kind", "field"}, {"url", "https://shop.example/"}, {"field", field}};
            client.send(bench::WsClient::textFrame(QJsonDocument(picked).toJson(QJsonDocument::Compact)));
        }
        pluginUp = true;
        // Every fill is answered as the real plugin answers it.
        const QByteArray answer = bench::WsClient::textFrame(R"({"type":"fillResult","ok":true})");
        int last = -1;
        while (received < total && client.receive(payload)) {
            const int seq = sequenceOf(payload);
            if (seq < 0 || seq >= total)
                continue;
            arrived[size_t(seq)] = bench::nowSeconds();
            if (seq <= last)
                run.inOrder = false;
            last = seq;
            ++received;
            client.send(answer);
        }
    });

    QEventLoop loop;
    std::thread product([&] {
        auto done = [&] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); };
        while (!go)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bench::RawSocket socket;
        if (pluginFailed || !socket.connectTo(tcpPort))
            return done();
        // Slow is not lost: wait as long as lines keep coming.
        auto waitUntil = [&](std::atomic<int> &counter, int count) {
            int seen = counter;
            double lastProgress = bench::nowSeconds();
            while (counter < count && bench::nowSeconds() - lastProgress < 10) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (counter != seen) {
                    seen = counter;
                    lastProgress = bench::nowSeconds();
                }
            }
        };
        auto waitFor = [&](int count) { waitUntil(received, count); };
        auto drained = [&](int count) { waitUntil(answered, count); };

        run.rssBeforeKiB = bench::statusKiB("VmRSS");
        QByteArray stream;
        std::vector<qsizetype> ends;
        for (int i = 0; i < burstLines; ++i) {
            stream.append(encodeFrame("L" + QByteArray::number(i)));
            ends.push_back(stream.size());
        }
        const double start = bench::nowSeconds();
        int next = 0;
        for (qsizetype at = 0; at < stream.size(); at += writeSize) {
            const qsizetype until = std::min(stream.size(), at + writeSize);
            const double now = bench::nowSeconds();
            // A line counts as sent with the write that completes its frame.
            while (next < burstLines && ends[size_t(next)] <= until)
                sent[size_t(next++)] = now;
            socket.writeAll(stream.constData() + at, size_t(until - at));
        }
        waitFor(burstLines);
        run.linesPerSecond = received / (bench::nowSeconds() - start);
        drained(burstLines);
        run.rssAfterBurstKiB = bench::statusKiB("VmRSS");

        // Sleeping, not spinning: the machine has two cores and the gateway needs one.
        const auto pacedStart = std::chrono::steady_clock::now();
        for (int i = 0; i < pacedLines; ++i) {
            std::this_thread::sleep_until(pacedStart + std::chrono::microseconds(qint64(i * 1e6 / pacedRate)));
            const QByteArray frame = encodeFrame("L" + QByteArray::number(burstLines + i));
            sent[size_t(burstLines + i)] = bench::nowSeconds();
            socket.writeAll(frame);
        }
        waitFor(burstLines + pacedLines);
        drained(burstLines + pacedLines);
        const auto lightStart = std::chrono::steady_clock::now();
        for (int i = 0; i < lightLines; ++i) {
            std::this_thread::sleep_until(lightStart + std::chrono::microseconds(qint64(i * 1e6 / lightRate)));
            const QByteArray frame = encodeFrame("L" + QByteArray::number(burstLines + pacedLines + i));
            sent[size_t(burstLines + pacedLines + i)] = bench::nowSeconds();
            socket.writeAll(frame);
        }
        waitFor(total);
        done();
    });

    // The event loop serves the gateway; a timer only watches for it to be ready.
    QElapsedTimer setup;
    setup.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((pluginUp && ready()) || pluginFailed || setup.elapsed() > 10000) {
            poll.stop();
            go = true;
        }
    });
    poll.start(5);
    loop.exec();
    // The plugin stops on its last line, or on its read timeout when lines were lost.
    product.join();
    plugin.join();
    QObject::disconnect(counting);

    run.received = received;
    auto latencies = [&](int from, int to) {
        std::vector<double> ms;
        for (int i = from; i < to; ++i) {
            if (arrived[size_t(i)] > 0)
                ms.push_back((arrived[size_t(i)] - sent[size_t(i)]) * 1e3);
        }
        return ms;
    };
    const std::vector<double> paced = latencies(burstLines, burstLines + pacedLines);
    run.median = bench::percentile(paced, 0.5);
    run.p99 = bench::percentile(paced, 0.99);
    run.max = bench::percentile(paced, 1.0);
    const std::vector<double> light = latencies(burstLines + pacedLines, total);
    run.lightMedian = bench::percentile(light, 0.5);
    run.lightP99 = bench::percentile(light, 0.99);
    return run;
}

// One run through a MainWindow; `pick` chooses the destination from the plugin
// (which brings the window up) rather than from the settings.
Run runWindow(bool pick, int savedStderr, int &logLines)
{
    const quint16 tcpPort = bench::freePort();
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("tcpPort"), tcpPort);
    if (!pick) {
        settings.setValue(QStringLiteral("lastDestField"), QString::fromUtf8(QJsonDocument(field).toJson(QJsonDocument::Compact)));
        settings.setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://shop.example/"));
    }
    settings.sync();
    // The window's port is fixed; on a shared machine a test may hold it for a while.
    for (int tries = 0; tries < 600; ++tries) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, 9000))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    MainWindow window(createSystemPlatform(), QStringLiteral("FieldpostBench"));
    auto *logView = window.findChild<QPlainTextEdit *>();
    // The window appends its log once per event-loop turn.
    QCoreApplication::sendPostedEvents(&window, QEvent::MetaCall);
    auto fail = [&](const char *what) {
        std::fflush(stderr);
        dup2(savedStderr, 2);
        std::fprintf(stderr, "bench_linepath: %s; the window's log begins:\n%s\n", what,
                     qPrintable(logView->toPlainText().left(2000)));
        return Run();
    };
    if (!logView->toPlainText().contains(QStringLiteral("WebSocket: listening on ws://127.0.0.1:9000")))
        return fail("the window could not listen on port 9000 (is a gateway running?)");
    auto *bridge = window.findChild<WebSocketBridge *>();
    const Run run = drive(bridge, 9000, tcpPort, pick, [&] {
        return bridge->isConnected()
               && logView->toPlainText().contains(pick ? QStringLiteral("Field selected:") : QStringLiteral("Last destination restored:"));
    });
    if (run.received == 0)
        return fail("no line came through the window");
    QCoreApplication::sendPostedEvents(&window, QEvent::MetaCall);
    logLines = logView->document()->blockCount();
    return run;
}

void print(const char *name, const Run &run)
{
    std::printf("%-34s %8.0f lines/s | at %.0f/s: median %8.3f ms p99 %8.3f ms max %8.3f ms | at %.0f/s: median %6.3f ms"
                " p99 %6.3f ms | %d of %d arrived%s\n",
                name, run.linesPerSecond, pacedRate, run.median, run.p99, run.max, lightRate, run.lightMedian,
                run.lightP99, run.received, burstLines + pacedLines + lightLines, run.inOrder ? "" : ", OUT OF ORDER");
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir sandbox;
    if (!sandbox.isValid())
        return 2;
    QDir(sandbox.path()).mkpath(QStringLiteral("config"));
    QDir(sandbox.path()).mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("config"))));
    qputenv("TMPDIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Names of its own: the benchmark never touches the user's settings.
    QCoreApplication::setOrganizationName(QStringLiteral("ThornvaleworksBench"));
    QCoreApplication::setApplicationName(QStringLiteral("Fieldpost"));

    // The window mirrors its log to standard error; a service manager would keep it in a file.
    const QString stderrFile = sandbox.filePath(QStringLiteral("stderr.log"));
    std::fflush(stdout);
    const int savedStderr = dup(2);
    if (!std::freopen(QFile::encodeName(stderrFile).constData(), "w", stderr))
        return 2;

    // As after a pick (the window comes to the front), and as after a restart
    // with the destination restored (the window stays in the tray).
    int logLines = 0;
    const Run windowRun = runWindow(true, savedStderr, logLines);
    int trayLogLines = 0;
    const Run trayRun = runWindow(false, savedStderr, trayLogLines);
    if (windowRun.received == 0 || trayRun.received == 0)
        return 2;

    Run bareRun;
    {
        const quint16 tcpPort = bench::freePort();
        const quint16 wsPort = bench::freePort();
        TcpListener listener;
        WebSocketBridge bridge(wsPort);
        QObject::connect(&listener, &TcpListener::lineReceived, &bridge,
                         [&bridge](const QString &line) { bridge.sendFill(field, line, false, QJsonObject(), false, 300); });
        if (!listener.start(tcpPort) || !bridge.listen())
            return 2;
        bareRun = drive(&bridge, wsPort, tcpPort, false, [&] { return bridge.isConnected(); });
    }

    std::fflush(stderr);
    dup2(savedStderr, 2);
    print("window shown, log, stderr mirror", windowRun);
    print("window in the tray, log, mirror", trayRun);
    print("baseline: listener -> bridge", bareRun);
    const double perLine = double(windowRun.rssAfterBurstKiB - windowRun.rssBeforeKiB) * 1024 / burstLines;
    std::printf("ratio to baseline: shown %.3fx lines/s, p99 %.2fx; tray %.3fx lines/s, p99 %.2fx\n",
                windowRun.linesPerSecond / bareRun.linesPerSecond, windowRun.p99 / bareRun.p99,
                trayRun.linesPerSecond / bareRun.linesPerSecond, trayRun.p99 / bareRun.p99);
    std::printf("log memory: %+.0f KiB resident after %d lines = %.0f bytes per line (%.1f log lines per line,"
                " %d log lines in all); peak resident %ld KiB\n",
                double(windowRun.rssAfterBurstKiB - windowRun.rssBeforeKiB), burstLines, perLine,
                double(logLines) / (burstLines + pacedLines + lightLines), logLines, bench::statusKiB("VmHWM"));
    const bool none = windowRun.received == burstLines + pacedLines + lightLines && windowRun.inOrder;
    std::printf("  targets: >= 10000 lines/s -> %s; p99 <= 5 ms -> %s; none lost -> %s\n",
                windowRun.linesPerSecond >= 10000 ? "met" : "MISSED", windowRun.p99 <= 5 ? "met" : "MISSED",
                none ? "met" : "MISSED");
    return none && bareRun.received == burstLines + pacedLines + lightLines ? 0 : 1;
}
