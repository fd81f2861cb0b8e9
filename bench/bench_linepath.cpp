// The whole road of a line without a browser: frames in on TCP from a
// companion stand-in, "fill" messages out to a plugin stand-in on a WebSocket,
// with the window, its log view and its log file alive as in real use. The
// baseline is the same road through TcpListener and WebSocketBridge wired
// together directly; the log file's cost is the same window without it.
#include "BenchSupport.h"
#include "BrowserPlatform.h"
#include "FrameFormat.h"
#include "MainWindow.h"
#include "PairingRecord.h"
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
constexpr int pacedLines = 20000;  // then one by one at the target rate
constexpr double pacedRate = 10000;
constexpr int lightLines = 2000;   // and then at a tenth of it, where no queue can form
constexpr double lightRate = 1000;
constexpr int memoryLines = 1000000; // forwarded before resident memory is compared with idle
constexpr qsizetype writeSize = 64 * 1024;
constexpr int fileRounds = 4; // bursts with the log file on, and as many with it off

// Picked in the browser whose plugin's hello says "bench".
const QJsonObject field = QJsonDocument::fromJson(R"({"label":"Qty","tag":"input","type":"number","id":"qty","instance":"bench"})").object();

// How many lines each phase sends.
struct Plan
{
    int burst = burstLines;
    int paced = pacedLines;
    int light = lightLines;
    int total() const { return burst + paced + light; }
};

struct Run
{
    int total = 0;
    double linesPerSecond = 0; // burst phase
    double median = 0;         // milliseconds, paced phase
    double p99 = 0;
    double max = 0;
    double lightMedian = 0;
    double lightP99 = 0;
    int received = 0;
    bool inOrder = true;
    long rssIdleKiB = 0;  // plugin connected, destination chosen, no line yet
    long rssAfterKiB = 0; // every line forwarded and answered
    bool complete() const { return total > 0 && received == total && inOrder; }
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
Run drive(WebSocketBridge *bridge, quint16 wsPort, const QByteArray &key, quint16 tcpPort, bool pick,
          const std::function<bool()> &ready, const Plan &plan)
{
    // The plugin's answers are part of the load; a phase ends when they are all handled.
    std::atomic<int> answered{0};
    const QMetaObject::Connection counting =
        QObject::connect(bridge, &WebSocketBridge::fillResult, bridge, [&answered] { ++answered; });
    const int total = plan.total();
    std::vector<double> sent(size_t(total), 0), arrived(size_t(total), 0);
    std::atomic<int> received{0};
    std::atomic<bool> pluginUp{false}, pluginFailed{false}, go{false};
    Run run;
    run.total = total;

    std::thread plugin([&] {
        bench::WsClient client;
        QByteArray payload;
        if (!client.open(wsPort) || !client.socket.setReceiveTimeout(10) || !client.receive(payload)
            || !client.prove(key, wsPort)) {
            pluginFailed = true;
            return;
        }
        if (pick) {
            // As from the plugin's popup: pick mode, then the pick.
            client.send(bench::WsClient::textFrame(R"({"type":"pickMode","enabled":true,"kind":"field"})"));
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

        run.rssIdleKiB = bench::statusKiB("VmRSS");
        // Frames are made a write at a time: a prepared stream of a million would weigh on the memory figure.
        const double start = bench::nowSeconds();
        QByteArray chunk;
        for (int next = 0; next < plan.burst;) {
            chunk.clear();
            const int first = next;
            while (next < plan.burst && chunk.size() < writeSize)
                chunk.append(encodeFrame("L" + QByteArray::number(next++)));
            const double now = bench::nowSeconds();
            for (int i = first; i < next; ++i)
                sent[size_t(i)] = now;
            socket.writeAll(chunk);
        }
        waitFor(plan.burst);
        run.linesPerSecond = received / (bench::nowSeconds() - start);
        drained(plan.burst);

        // Sleeping, not spinning: the machine has two cores and the gateway needs one.
        auto paced = [&](int from, int count, double rate) {
            const auto phaseStart = std::chrono::steady_clock::now();
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_until(phaseStart + std::chrono::microseconds(qint64(i * 1e6 / rate)));
                const QByteArray frame = encodeFrame("L" + QByteArray::number(from + i));
                sent[size_t(from + i)] = bench::nowSeconds();
                socket.writeAll(frame);
            }
            waitFor(from + count);
            drained(from + count);
        };
        paced(plan.burst, plan.paced, pacedRate);
        paced(plan.burst + plan.paced, plan.light, lightRate);
        run.rssAfterKiB = bench::statusKiB("VmRSS");
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
    const std::vector<double> pacedMs = latencies(plan.burst, plan.burst + plan.paced);
    run.median = bench::percentile(pacedMs, 0.5);
    run.p99 = bench::percentile(pacedMs, 0.99);
    run.max = bench::percentile(pacedMs, 1.0);
    const std::vector<double> light = latencies(plan.burst + plan.paced, total);
    run.lightMedian = bench::percentile(light, 0.5);
    run.lightP99 = bench::percentile(light, 0.99);
    return run;
}

struct Window
{
    bool pick = false;    // the destination picked in the plugin (which brings the window up), else restored
    bool logFile = true;  // a log file in the sandbox, else none
};

// One run through a MainWindow that believes in a tray, so that it starts hidden.
Run runWindow(const Window &how, const Plan &plan, const QString &sandbox, int savedStderr)
{
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("tcpPort"), 0);
    if (!how.pick) {
        settings.setValue(QStringLiteral("lastDestField"), QString::fromUtf8(QJsonDocument(field).toJson(QJsonDocument::Compact)));
        settings.setValue(QStringLiteral("lastDestUrl"), QStringLiteral("https://shop.example/"));
    }
    settings.sync();
    const QString logFolder = how.logFile ? QDir(sandbox).filePath(QStringLiteral("log")) : QString();
    WindowParts parts;
    parts.platform = createSystemPlatform();
    parts.channelName = QCoreApplication::applicationName();
    parts.trayAvailable = true;
    parts.logFolder = logFolder;
    MainWindow window(std::move(parts));
    auto *logView = window.findChild<QPlainTextEdit *>();
    // The window puts its log into the view once per event-loop turn, and only while it is shown.
    auto logText = [&] {
        QMetaObject::invokeMethod(&window, "showLog");
        return logView->toPlainText();
    };
    auto fail = [&](const char *what) {
        std::fflush(stderr);
        dup2(savedStderr, 2);
        std::fprintf(stderr, "bench_linepath: %s; the window's log begins:\n%s\n", what,
                     qPrintable(logText().left(2000)));
        return Run();
    };
    // The ports and the key, as the plugin learns them.
    const std::optional<PairingRecord::Contents> record = PairingRecord::read(PairingRecord::defaultPath());
    if (!record || !record->port || !record->intakePort)
        return fail("the window wrote no pairing record with its ports");
    if (how.logFile != logText().contains(QStringLiteral("Log file: ") + QDir::toNativeSeparators(logFolder)))
        return fail("the log file is not as asked");
    auto *bridge = window.findChild<WebSocketBridge *>();
    const Run run = drive(bridge, record->port, record->key, record->intakePort, how.pick, [&] {
        return bridge->isConnected()
               && logText().contains(how.pick ? QStringLiteral("Field selected:") : QStringLiteral("Last destination restored:"));
    }, plan);
    if (run.received == 0)
        return fail("no line came through the window");
    return run;
}

void print(const char *name, const Run &run)
{
    std::printf("%-34s %8.0f lines/s | at %.0f/s: median %8.3f ms p99 %8.3f ms max %8.3f ms | at %.0f/s: median %6.3f ms"
                " p99 %6.3f ms | %d of %d arrived%s\n",
                name, run.linesPerSecond, pacedRate, run.median, run.p99, run.max, lightRate, run.lightMedian,
                run.lightP99, run.received, run.total, run.inOrder ? "" : ", OUT OF ORDER");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    // Settings, data, the log file and runtime files in a throw-away folder, under
    // names of this process's own: the benchmark never touches the user's state.
    QTemporaryDir sandbox;
    if (!sandbox.isValid())
        return 2;
    for (const char *folder : {"config", "data", "tmp"})
        QDir(sandbox.path()).mkpath(QLatin1String(folder));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("data"))));
    qputenv("TMPDIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ThornvaleworksBench"));
    QCoreApplication::setApplicationName(QStringLiteral("Fieldpost%1").arg(QCoreApplication::applicationPid()));

    // Whatever reaches standard error goes to a file, as under a service manager.
    const QString stderrFile = sandbox.filePath(QStringLiteral("stderr.log"));
    std::fflush(stdout);
    const int savedStderr = dup(2);
    if (!std::freopen(QFile::encodeName(stderrFile).constData(), "w", stderr))
        return 2;

    // Memory first, while the process is fresh: idle, then after a million lines
    // from the tray (three log lines each, in the view and the file).
    const Run memory = runWindow({false, true}, {memoryLines, 0, 0}, sandbox.path(), savedStderr);
    print("a million lines, window in the tray", memory);
    // As after a pick (the window comes to the front), and as after a restart
    // with the destination restored (the window stays in the tray).
    const Run shown = runWindow({true, true}, Plan(), sandbox.path(), savedStderr);
    print("window shown, log view and file", shown);
    const Run tray = runWindow({false, true}, Plan(), sandbox.path(), savedStderr);
    print("window in the tray, view and file", tray);
    // The log file's cost: bursts with and without it, as many of each, alternated
    // with the order swapped every round so that neither side always runs second; best of each.
    const Plan burstOnly{burstLines, 0, 0};
    double withFile = 0, withoutFile = 0;
    bool complete = memory.complete() && shown.complete() && tray.complete();
    for (int round = 0; round < fileRounds; ++round) {
        for (const bool logFile : {round % 2 == 1, round % 2 == 0}) {
            const Run run = runWindow({false, logFile}, burstOnly, sandbox.path(), savedStderr);
            print(logFile ? "window in the tray, view and file" : "window in the tray, no log file", run);
            double &best = logFile ? withFile : withoutFile;
            best = std::max(best, run.linesPerSecond);
            complete &= run.complete();
        }
    }

    Run bare;
    {
        TcpListener listener;
        WebSocketBridge bridge(PortRange{0, 0});
        const QByteArray key(32, 'b');
        bridge.setPairingKey(key);
        QObject::connect(&listener, &TcpListener::lineReceived, &bridge,
                         [&bridge](const QString &line) { bridge.sendFill(field, line, false, QJsonObject(), false, 300); });
        if (!listener.start(0) || !bridge.listen())
            return 2;
        bare = drive(&bridge, bridge.listeningPort(), key, listener.serverPort(), false, [&] { return bridge.isConnected(); },
                     Plan());
        print("baseline: listener -> bridge", bare);
    }
    std::fflush(stderr);
    dup2(savedStderr, 2);
    complete &= bare.complete();

    const QString barePaced = QString::asprintf("listener \u2192 bridge: p99 %.2f ms", bare.p99);
    for (const auto &[name, run] : {std::pair{"window shown", shown}, std::pair{"window in the tray", tray}}) {
        bench::tableRow(QStringLiteral("line path, %1: p99 at %2 lines/s after a %3-line burst")
                            .arg(QLatin1String(name)).arg(pacedRate).arg(burstLines),
                        QString::asprintf("%.2f ms (median %.2f, max %.1f)", run.p99, run.median, run.max), barePaced,
                        QStringLiteral("\u2264 5 ms"), run.p99 <= 5);
    }
    bench::tableRow(QStringLiteral("line path, window shown: lines/s in the burst"),
                    QString::asprintf("%.0f lines/s", shown.linesPerSecond),
                    QString::asprintf("listener \u2192 bridge %.0f lines/s", bare.linesPerSecond),
                    QStringLiteral("\u2265 10,000 lines/s"), shown.linesPerSecond >= 10000);
    const double grownMB = double(memory.rssAfterKiB - memory.rssIdleKiB) * 1024 / 1e6;
    bench::tableRow(QStringLiteral("resident memory after %1 forwarded lines").arg(memoryLines),
                    QString::asprintf("%.1f MB (%+.1f MB)", double(memory.rssAfterKiB) * 1024 / 1e6, grownMB),
                    QString::asprintf("idle %.1f MB", double(memory.rssIdleKiB) * 1024 / 1e6),
                    QStringLiteral("within 40 MB of idle"), grownMB <= 40);
    const double fileRatio = withoutFile > 0 ? withFile / withoutFile : 0;
    bench::tableRow(QStringLiteral("line path lines/s with the log file on"),
                    QString::asprintf("%.0f lines/s (%.2f\u00d7)", withFile, fileRatio),
                    QString::asprintf("log file off %.0f lines/s", withoutFile), QStringLiteral("\u2265 0.95\u00d7"),
                    fileRatio >= 0.95);
    bench::tableRow(QStringLiteral("line path: lines lost or out of order"), complete ? QStringLiteral("none") : QStringLiteral("SOME"),
                    QString(), QStringLiteral("none"), complete);
    return complete ? 0 : 1;
}
