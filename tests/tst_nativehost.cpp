// The link host: the pairing record, the native messaging codec, the real
// fieldpost-link answering on its standard input and output, and its
// registration for this user's browsers.
#include "NativeHost.h"
#include "NativeMessaging.h"
#include "PairingRecord.h"
#include "PluginSource.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// Every answer comes within a second; under wine starting a process alone can take longer.
#ifdef Q_OS_WIN
constexpr int hostDeadlineMs = 5000;
#else
constexpr int hostDeadlineMs = 1000;
#endif

const QString hostPath = QStringLiteral(FIELDPOST_LINK);

// The record the real host reads: the product's names in the data folder, which is
// the sandbox's on Linux and that of wine's throw-away prefix on Windows.
QString hostRecordPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/Thornvaleworks/Fieldpost/pairing.json");
}

QByteArray lengthBytes(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    std::memcpy(bytes.data(), &length, 4);
    return bytes;
}

QByteArray framed(const QByteArray &body)
{
    return lengthBytes(quint32(body.size())) + body;
}

// A link request of exactly `size` bytes.
QByteArray paddedLink(qsizetype size)
{
    const QByteArray start = "{\"type\":\"link\",\"pad\":\"";
    return framed(start + QByteArray(size - start.size() - 2, 'x') + "\"}");
}

// What the reader makes of the input cut into pieces: "link", the error, or "pending".
QString readInPieces(const QList<QByteArrayView> &pieces, bool endOfInput, qsizetype *taken)
{
    NativeRequestReader reader;
    *taken = 0;
    for (QByteArrayView piece : pieces) {
        while (!piece.isEmpty() && reader.wanted() > 0) {
            const qsizetype n = reader.feed(piece);
            *taken += n;
            piece = piece.sliced(n);
        }
    }
    if (endOfInput)
        reader.finish();
    switch (reader.request().kind) {
    case NativeRequest::Kind::Link: return QStringLiteral("link");
    case NativeRequest::Kind::Error: return reader.request().error;
    case NativeRequest::Kind::Pending: break;
    }
    return QStringLiteral("pending");
}

// Malformed and edge-case requests, small enough to split everywhere. The input
// ends after them only where `endOfInput`; "link" is a request the host serves.
// With the record's columns each row has a running gateway's record.
void addRequestRows(bool recordColumns)
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("endOfInput");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<qsizetype>("consumed");
    if (recordColumns) {
        QTest::addColumn<int>("port");
        QTest::addColumn<qint64>("pid"); // -1: no record
    }
    const auto row = [recordColumns](const char *name, const QByteArray &input, bool endOfInput, const char *outcome,
                                     qsizetype consumed) {
        QTestData &data = QTest::newRow(name) << input << endOfInput << QString::fromUtf8(outcome) << consumed;
        if (recordColumns)
            data << 9123 << QCoreApplication::applicationPid();
    };
    const QByteArray link = framed("{\"type\":\"link\"}");
    row("link", link, false, "link", link.size());
    row("link, more after it", link + link, false, "link", link.size());
    row("nothing", {}, true, "incomplete request", 0);
    row("two bytes only", link.first(2), true, "incomplete request", 2);
    row("length longer than what follows", lengthBytes(20) + link.sliced(4), true, "incomplete request", link.size());
    row("1 MiB + 1 announced, body unread", lengthBytes(1024 * 1024 + 1) + "{\"type\":\"link\"}", false,
        "request too long (1048577 bytes)", 4);
    row("empty body", framed({}), false, "request is not JSON", 4);
    row("not JSON", framed("link"), false, "request is not JSON", 8);
    row("not an object", framed("[\"link\"]"), false, "request is not a JSON object", 12);
    row("other type", framed("{\"type\":\"x\"}"), false, "unknown request", 16);
    // Text-mode standard input would read 0x1A as the end and 0x0D 0x0A as one byte.
    row("length byte 0x1A", paddedLink(0x1A), false, "link", 4 + 0x1A);
    row("length bytes 0x0D 0x0A", paddedLink(0x0A0D), false, "link", 4 + 0x0A0D);
}

struct HostRun
{
    bool finished = false;
    int exitCode = -1;
    QJsonObject reply;
    QByteArray output;
};

// The real host as the browser starts it; standard input stays open unless `endOfInput`.
HostRun runHost(const QByteArray &input, bool endOfInput)
{
    HostRun run;
    QProcess host;
    host.start(hostPath, {QStringLiteral("chrome-extension://%1/").arg(pluginExtensionId())});
    host.write(input);
    if (endOfInput)
        host.closeWriteChannel();
    run.finished = host.waitForFinished(hostDeadlineMs);
    if (!run.finished) {
        host.kill();
        host.waitForFinished();
        return run;
    }
    run.exitCode = host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -1;
    run.output = host.readAllStandardOutput();
    quint32 length = 0;
    if (run.output.size() >= 4)
        std::memcpy(&length, run.output.constData(), 4);
    if (run.output.size() == 4 + qsizetype(length))
        run.reply = QJsonDocument::fromJson(run.output.sliced(4)).object();
    return run;
}

qint64 pidOfEndedProcess()
{
    QProcess child;
    child.start(hostPath, {QStringLiteral("--manifest"), QStringLiteral("x")});
    const qint64 pid = child.waitForStarted() ? child.processId() : 0;
    child.waitForFinished();
    return pid;
}

void setFileTime(const QString &path, const QDateTime &time)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QDateTime longAgo = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);

} // namespace

class TestNativeHost : public QObject
{
    Q_OBJECT

private:
    QString sandboxFile(const QString &name) const { return testSandboxPath() + QLatin1Char('/') + name; }

private slots:
    void recordIsOwnerOnly()
    {
#ifndef Q_OS_UNIX
        QSKIP("%LOCALAPPDATA% is its user's alone already");
#else
        // Whatever the umask, nobody else may read the key.
        const mode_t umaskBefore = umask(0);
        PairingRecord record(sandboxFile(QStringLiteral("own/Fieldpost/pairing.json")));
        QString error;
        const bool loaded = record.load(&error);
        umask(umaskBefore);
        QVERIFY2(loaded, qPrintable(error));
        struct stat folder, file;
        QCOMPARE(stat(QFile::encodeName(sandboxFile(QStringLiteral("own/Fieldpost"))).constData(), &folder), 0);
        QCOMPARE(stat(QFile::encodeName(record.path()).constData(), &file), 0);
        QCOMPARE(folder.st_mode & 0777, mode_t(0700));
        QCOMPARE(file.st_mode & 0777, mode_t(0600));
#endif
    }

    void recordKeyKeptRenewedAndRunning()
    {
        const QString path = sandboxFile(QStringLiteral("kept/pairing.json"));
        PairingRecord first(path);
        QVERIFY(first.load());
        const QByteArray key = first.key();
        QCOMPARE(key.size(), 32);
        const QByteArray stored = fileContent(path);

        PairingRecord second(path);
        QVERIFY(second.load());
        QCOMPARE(second.key(), key);
        QCOMPARE(fileContent(path), stored);

        QVERIFY(second.setRunning(9000, 20296, 1234));
        QCOMPARE(fileContent(path), "{\"key\":\"" + key.toBase64() + "\",\"port\":9000,\"intakePort\":20296,\"pid\":1234}");

        QVERIFY(second.renewKey());
        QVERIFY(second.key() != key);
        std::optional<PairingRecord::Contents> read = PairingRecord::read(path);
        QVERIFY(read);
        QCOMPARE(read->key, second.key());
        QCOMPARE(read->port, quint16(9000));

        QVERIFY(second.setStopped());
        read = PairingRecord::read(path);
        QVERIFY(read);
        QCOMPARE(read->key, second.key());
        QCOMPARE(QList<qint64>({read->port, read->intakePort, read->pid}), QList<qint64>({0, 0, 0}));
    }

    void malformedRecordReplaced_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray key = QByteArray(32, 'k').toBase64();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{\"key\":");
        QTest::newRow("an array") << QByteArray("[\"" + key + "\"]");
        QTest::newRow("no key") << QByteArray("{\"port\":9000}");
        QTest::newRow("key of 16 bytes") << "{\"key\":\"" + QByteArray(16, 'k').toBase64() + "\"}";
        QTest::newRow("key not base64") << "{\"key\":\"*" + key.sliced(1) + "\"}";
        QTest::newRow("port over 65535") << "{\"key\":\"" + key + "\",\"port\":65536}";
        QTest::newRow("negative pid") << "{\"key\":\"" + key + "\",\"pid\":-1}";
        QTest::newRow("over 4 KiB") << "{\"key\":\"" + key + "\"," + QByteArray(4096, ' ') + "\"pid\":1}";
    }

    void malformedRecordReplaced()
    {
        QFETCH(QByteArray, text);
        const QString path = sandboxFile(QStringLiteral("malformed.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        QString error;
        QVERIFY(!PairingRecord::read(path, &error));
        QVERIFY2(error.contains(path), qPrintable(error));

        PairingRecord record(path);
        QVERIFY(record.load());
        const std::optional<PairingRecord::Contents> read = PairingRecord::read(path);
        QVERIFY(read);
        QCOMPARE(read->key.size(), 32);
        QCOMPARE(read->key, record.key());
    }

    // The same input whole, byte by byte and split at every point gives the
    // same outcome, and the reader takes no byte beyond the request.
    void readerSplits_data() { addRequestRows(false); }

    void readerSplits()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, endOfInput);
        QFETCH(QString, outcome);
        QFETCH(qsizetype, consumed);
        qsizetype taken = 0;
        QCOMPARE(readInPieces({input}, endOfInput, &taken), outcome);
        QCOMPARE(taken, consumed);
        QList<QByteArrayView> bytes;
        for (qsizetype i = 0; i < input.size(); ++i)
            bytes << QByteArrayView(input).sliced(i, 1);
        QCOMPARE(readInPieces(bytes, endOfInput, &taken), outcome);
        for (qsizetype cut = 0; cut <= std::min<qsizetype>(input.size(), 64); ++cut) {
            QCOMPARE(readInPieces({QByteArrayView(input).first(cut), QByteArrayView(input).sliced(cut)}, endOfInput,
                                  &taken),
                     outcome);
            QCOMPARE(taken, consumed);
        }
        if (endOfInput)
            QCOMPARE(readInPieces({input}, false, &taken), QStringLiteral("pending"));
    }

    void replyFraming()
    {
        // The length in the machine's byte order: little-endian on x86.
        QCOMPARE(frameNativeMessage(nativeErrorReply(QStringLiteral("x"))),
                 QByteArray("\x1c\x00\x00\x00{\"error\":\"x\",\"type\":\"error\"}", 32));
    }

    void host_data()
    {
        addRequestRows(true);
        const qint64 self = QCoreApplication::applicationPid();
        const QByteArray link = framed("{\"type\":\"link\"}");
        const QString noGateway = noGatewayError;
        QTest::newRow("no record") << link << false << noGateway << qsizetype(0) << 9123 << qint64(-1);
        QTest::newRow("record without a port") << link << false << noGateway << qsizetype(0) << 0 << self;
        QTest::newRow("record of an ended process")
            << link << false << noGateway << qsizetype(0) << 9123 << pidOfEndedProcess();
        QTest::newRow("1 MiB request") << paddedLink(1024 * 1024) << false << "link" << qsizetype(0) << 9123 << self;
    }

    void host()
    {
#ifdef Q_OS_WIN
        if (qEnvironmentVariable("FIELDPOST_THROWAWAY_PROFILE") != QLatin1String("1"))
            QSKIP("writes the user's own pairing record; set FIELDPOST_THROWAWAY_PROFILE=1 to run it");
#endif
        QFETCH(QByteArray, input);
        QFETCH(bool, endOfInput);
        QFETCH(QString, outcome);
        QFETCH(int, port);
        QFETCH(qint64, pid);
        PairingRecord record(hostRecordPath());
        QFile::remove(record.path());
        if (pid >= 0)
            QVERIFY(record.setRunning(quint16(port), 20296, pid));

        const HostRun run = runHost(input, endOfInput);
        QVERIFY2(run.finished, "the host did not answer in time");
        QCOMPARE(run.exitCode, 0);
        const QJsonObject expected = outcome == QLatin1String("link") ? nativeLinkReply(quint16(port), record.key())
                                                                      : nativeErrorReply(outcome);
        QVERIFY2(!run.reply.isEmpty(), run.output.toHex().constData());
        QCOMPARE(run.reply, expected);
    }

    void manifestFromTheHost_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QJsonArray>("origins");
        QTest::newRow("the plugin's own id")
            << QStringList() << QJsonArray{QStringLiteral("chrome-extension://%1/").arg(pluginExtensionId())};
        QTest::newRow("two ids") << QStringList{"aaaa", "bbbb"}
                                 << QJsonArray{"chrome-extension://aaaa/", "chrome-extension://bbbb/"};
    }

    void manifestFromTheHost()
    {
        QFETCH(QStringList, ids);
        QFETCH(QJsonArray, origins);
        QProcess host;
        host.start(hostPath, QStringList{"--manifest", "/opt/fieldpost/fieldpost-link"} + ids);
        QVERIFY(host.waitForFinished(hostDeadlineMs));
        QCOMPARE(host.exitCode(), 0);
        const QJsonObject expected{{"name", "com.thornvaleworks.fieldpost"},
                                   {"description", "Fieldpost: finds this user's gateway"},
                                   {"path", "/opt/fieldpost/fieldpost-link"},
                                   {"type", "stdio"},
                                   {"allowed_origins", origins}};
        QCOMPARE(QJsonDocument::fromJson(host.readAllStandardOutput()).object(), expected);
    }

#ifndef Q_OS_WIN
    // Each browser's folder under XDG_CONFIG_HOME; nothing rewritten that is in place, one line per failure.
    void registrationOnLinux()
    {
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QStringList files;
        for (const char *browser : {"google-chrome", "microsoft-edge", "chromium"})
            files << QStringLiteral("%1/%2/NativeMessagingHosts/com.thornvaleworks.fieldpost.json")
                         .arg(config, QLatin1String(browser));
        const QStringList ids{pluginExtensionId(), QStringLiteral("abcdefghijklmnopabcdefghijklmnop")};
        QStringList log;
        QVERIFY(registerNativeHost(hostPath, ids, &log));
        QCOMPARE(log, QStringList());
        for (const QString &file : files) {
            QCOMPARE(fileContent(file), nativeHostManifest(hostPath, ids));
            setFileTime(file, longAgo);
        }

        QVERIFY(registerNativeHost(hostPath, ids, &log));
        for (const QString &file : files)
            QCOMPARE(QFileInfo(file).lastModified(), longAgo);

        // Chromium's folder made unwritable: its file fails, the others change.
        QVERIFY(QDir(config + QStringLiteral("/chromium")).removeRecursively());
        QVERIFY(QFile(config + QStringLiteral("/chromium")).open(QIODevice::WriteOnly));
        QVERIFY(!registerNativeHost(hostPath, {pluginExtensionId()}, &log));
        QCOMPARE(log.size(), 1);
        QVERIFY2(log.first().startsWith(QStringLiteral("Native messaging host: cannot write ") + files[2]),
                 qPrintable(log.first()));
        for (const QString &file : files.first(2))
            QCOMPARE(fileContent(file), nativeHostManifest(hostPath, {pluginExtensionId()}));
    }
#else
    // The manifest file and, under a registry root of the test's own, each browser's key naming it.
    void registrationOnWindows()
    {
        const QString root = QStringLiteral("HKEY_CURRENT_USER\\Software\\%1\\%2")
                                 .arg(testOrganization, QCoreApplication::applicationName());
        const QString folder = sandboxFile(QStringLiteral("manifest"));
        const QList<NativeHostEntry> plan =
            windowsNativeHostPlan(folder, root, hostPath, {pluginExtensionId()});
        const QString file = QDir::toNativeSeparators(folder + QStringLiteral("/native-host.json"));
        QStringList log;
        QVERIFY(applyNativeHostPlan(plan, &log));
        QCOMPARE(log, QStringList());
        const QJsonObject manifest = QJsonDocument::fromJson(fileContent(file)).object();
        QCOMPARE(manifest.value("path").toString(), QDir::toNativeSeparators(hostPath));
        QCOMPARE(manifest.value("allowed_origins").toArray(),
                 QJsonArray{QStringLiteral("chrome-extension://%1/").arg(pluginExtensionId())});
        for (const char *browser : {"Google\\Chrome", "Microsoft\\Edge", "Chromium"}) {
            QProcess reg;
            const QString key = QStringLiteral("%1\\%2\\NativeMessagingHosts\\com.thornvaleworks.fieldpost")
                                    .arg(root, QLatin1String(browser))
                                    .replace(QLatin1String("HKEY_CURRENT_USER"), QLatin1String("HKCU"));
            reg.start(QStringLiteral("reg"), {QStringLiteral("query"), key, QStringLiteral("/ve")});
            QVERIFY(reg.waitForFinished(30000));
            const QString output = QString::fromLocal8Bit(reg.readAllStandardOutput());
            QVERIFY2(output.contains(QStringLiteral("REG_SZ")) && output.contains(file), qPrintable(output));
        }
        setFileTime(file, longAgo);
        QVERIFY(applyNativeHostPlan(plan, &log));
        QCOMPARE(QFileInfo(file).lastModified(), longAgo);
    }
#endif

    void cleanupTestCase() { QFile::remove(hostRecordPath()); }
};

FIELDPOST_TEST_MAIN(TestNativeHost)
#include "tst_nativehost.moc"
