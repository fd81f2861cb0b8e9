#include "TestMain.h"

#include "TcpListener.h"

#include <QProcess>
#include <QTcpServer>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

class TestFieldpostSend : public QObject
{
    Q_OBJECT

private slots:
    void sendsEachLineAsAFrame();
    void cannotConnect();
    void unreadableFile();
};

void TestFieldpostSend::sendsEachLineAsAFrame()
{
    TcpListener listener;
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    QStringList log;
    connect(&listener, &TcpListener::logMessage, &listener, [&log](const QString &msg) { log << msg; });

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile first(dir.filePath(QStringLiteral("a.txt")));
    QVERIFY(first.open(QIODevice::WriteOnly));
    first.write("  one  \r\n\ntw\xc3\xa9\n");
    first.close();
    QFile second(dir.filePath(QStringLiteral("b.txt")));
    QVERIFY(second.open(QIODevice::WriteOnly));
    second.write("three\nfour"); // no line end on the last line
    second.close();

    QProcess sender;
    sender.start(QStringLiteral(FIELDPOST_SEND_PATH),
                 {QStringLiteral("--port"), QString::number(port), QStringLiteral("--keepalive-every"),
                  QStringLiteral("1"), QStringLiteral("--delay-ms"), QStringLiteral("5"), first.fileName(),
                  second.fileName()});
    QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 4, 20000);
    QStringList received;
    for (const QList<QVariant> &args : std::as_const(lines))
        received << args.at(0).toString();
    QCOMPARE(received, (QStringList{QStringLiteral("  one  "), QStringLiteral("tw\u00e9"), QStringLiteral("three"),
                                    QStringLiteral("four")}));
    QTRY_COMPARE(sender.state(), QProcess::NotRunning);
    QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sender.exitCode(), 0);
    QVERIFY(log.filter(QStringLiteral("BAD version")).isEmpty());
    // The keep-alive after every frame went out and was removed.
    QVERIFY(log.join(QLatin1Char('\n')).contains(QStringLiteral("dd fe 5a 55 4e 45 58 01 fe de")));
}

void TestFieldpostSend::cannotConnect()
{
    const quint16 port = freePort();
    QProcess sender;
    sender.start(QStringLiteral(FIELDPOST_SEND_PATH), {QStringLiteral("--port"), QString::number(port)});
    QVERIFY(sender.waitForStarted());
    sender.write("hello\n");
    sender.closeWriteChannel();
    QTRY_COMPARE_WITH_TIMEOUT(sender.state(), QProcess::NotRunning, 20000);
    QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
    QVERIFY(sender.exitCode() != 0);
    const QString err = QString::fromLocal8Bit(sender.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("cannot connect to 127.0.0.1 port %1").arg(port)), qPrintable(err));
}

void TestFieldpostSend::unreadableFile()
{
    TcpListener listener;
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy counts(&listener, &TcpListener::clientCountChanged);
    QProcess sender;
    sender.start(QStringLiteral(FIELDPOST_SEND_PATH),
                 {QStringLiteral("--port"), QString::number(port), QStringLiteral("/nonexistent/lines.txt")});
    QTRY_COMPARE_WITH_TIMEOUT(sender.state(), QProcess::NotRunning, 20000);
    QVERIFY(sender.exitCode() != 0);
    const QString err = QString::fromLocal8Bit(sender.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("cannot read /nonexistent/lines.txt")), qPrintable(err));
    QCOMPARE(counts.size(), 0); // it never connected
}

FIELDPOST_TEST_MAIN(TestFieldpostSend)
#include "tst_fieldpostsend.moc"
