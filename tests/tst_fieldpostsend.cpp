#include "TestMain.h"
#include "TestSupport.h"

#include "TcpListener.h"

#include <QProcess>

using support::freePort;

namespace {

// Runs the sender to its end, the event loop going meanwhile; gives its exit
// code (-1 if it did not end normally) and what it wrote to stderr.
std::pair<int, QString> runSender(quint16 port, const QStringList &args, const QByteArray &input = {})
{
    QProcess sender;
    QSignalSpy finished(&sender, &QProcess::finished);
    sender.start(QStringLiteral(FIELDPOST_SEND_PATH), QStringList{QStringLiteral("--port"), QString::number(port)} + args);
    sender.write(input);
    sender.closeWriteChannel();
    if (!finished.wait(20000) || sender.exitStatus() != QProcess::NormalExit)
        return {-1, QString()};
    return {sender.exitCode(), QString::fromLocal8Bit(sender.readAllStandardError())};
}

} // namespace

class TestFieldpostSend : public QObject
{
    Q_OBJECT

private slots:
    void sendsEachLineAsAFrame()
    {
        TcpListener listener;
        const quint16 port = freePort();
        QVERIFY(listener.start(port));
        QSignalSpy lines(&listener, &TcpListener::lineReceived);
        QStringList log;
        connect(&listener, &TcpListener::logMessage, &listener, [&log](const QString &msg) { log << msg; });

        QTemporaryDir dir;
        QFile first(dir.filePath(QStringLiteral("a.txt"))), second(dir.filePath(QStringLiteral("b.txt")));
        QVERIFY(first.open(QIODevice::WriteOnly) && second.open(QIODevice::WriteOnly));
        QVERIFY(first.write("  one  \r\n\ntw\xc3\xa9\n") > 0 && first.flush());
        QVERIFY(second.write("three\nfour") > 0 && second.flush()); // no line end on the last line

        QCOMPARE(runSender(port, {"--keepalive-every", "1", "--delay-ms", "5", first.fileName(), second.fileName()}).first, 0);
        QTRY_COMPARE(lines.size(), 4);
        QCOMPARE(support::texts(lines), (QStringList{"  one  ", QStringLiteral("tw\u00e9"), "three", "four"}));
        QVERIFY(log.filter(QStringLiteral("BAD version")).isEmpty());
        // The keep-alive after every frame went out and was removed.
        QVERIFY(log.join(QLatin1Char('\n')).contains(QStringLiteral("dd fe 5a 55 4e 45 58 01 fe de")));
    }

    // A failure ends with a non-zero code and a line saying why, and nothing is sent.
    void failures()
    {
        const quint16 port = freePort();
        auto [code, err] = runSender(port, {}, "hello\n");
        QVERIFY(code > 0);
        QVERIFY2(err.contains(QStringLiteral("cannot connect to 127.0.0.1 port %1").arg(port)), qPrintable(err));

        TcpListener listener;
        QVERIFY(listener.start(port));
        QSignalSpy counts(&listener, &TcpListener::clientCountChanged);
        std::tie(code, err) = runSender(port, {QStringLiteral("/nonexistent/lines.txt")});
        QVERIFY(code > 0);
        QVERIFY2(err.contains(QStringLiteral("cannot read /nonexistent/lines.txt")), qPrintable(err));
        QCOMPARE(counts.size(), 0); // it never connected
    }
};

FIELDPOST_TEST_MAIN(TestFieldpostSend)
#include "tst_fieldpostsend.moc"
