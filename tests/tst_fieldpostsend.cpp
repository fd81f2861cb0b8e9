#include "TestMain.h"
#include "TestSupport.h"

#include "TcpListener.h"

#include <QProcess>

class TestFieldpostSend : public QObject
{
    Q_OBJECT

private slots:
    void sendsEachLineAsAFrame()
    {
        TcpListener listener;
        QVERIFY(listener.start(0));
        const quint16 port = listener.serverPort();
        QSignalSpy lines(&listener, &TcpListener::lineReceived);
        QStringList log;
        connect(&listener, &TcpListener::logMessage, &listener, [&log](const QString &msg) { log << msg; });

        QTemporaryDir dir;
        QFile first(dir.filePath(QStringLiteral("a.txt"))), second(dir.filePath(QStringLiteral("b.txt")));
        QVERIFY(first.open(QIODevice::WriteOnly) && second.open(QIODevice::WriteOnly));
        QVERIFY(first.write("  one  \r\n\ntw\xc3\xa9\n") > 0 && first.flush());
        QVERIFY(second.write("three\nfour") > 0 && second.flush()); // no line end on the last line

        QProcess sender;
        QSignalSpy finished(&sender, &QProcess::finished); // waits with the event loop going, so the listener reads
        sender.start(QStringLiteral(FIELDPOST_SEND_PATH), {"--port", QString::number(port), "--keepalive-every", "1",
                                                           "--delay-ms", "5", first.fileName(), second.fileName()});
        sender.closeWriteChannel();
        QVERIFY(finished.wait(20000) && sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0);
        QTRY_COMPARE(support::texts(lines), (QStringList{"  one  ", QStringLiteral("tw\u00e9"), "three", "four"}));
        QVERIFY(log.filter(QStringLiteral("BAD version")).isEmpty());
        // The keep-alive after every frame went out and was removed.
        QVERIFY(log.join(QLatin1Char('\n')).contains(QStringLiteral("dd fe 5a 55 4e 45 58 01 fe de")));
    }
};

FIELDPOST_TEST_MAIN(TestFieldpostSend)
#include "tst_fieldpostsend.moc"
