// The product-line listener over loopback: logs, clients, and the one flood of
// the suites. The framing rules themselves are tst_lineframer's.
#include "TestMain.h"
#include "TestSupport.h"

#include "LineFramer.h"
#include "TcpListener.h"

#include <memory>

using support::texts;

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");
const QString disconnected = QStringLiteral("TCP: product disconnected");
const QString peer = QStringLiteral("\\((::ffff:)?127\\.0\\.0\\.1\\)");

std::unique_ptr<QTcpSocket> connectClient(quint16 port, const QHostAddress &address = QHostAddress::LocalHost)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(address, port);
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}

// A listener on a free port, its lines and log collected; of the raw lines, thousands in a flood, only the last.
struct Rig
{
    Rig() : port(support::freePort()), lines(&listener, &TcpListener::lineReceived)
    {
        QObject::connect(&listener, &TcpListener::logMessage, &listener, [this](const QString &msg) {
            if (!msg.startsWith(QLatin1String("TCP raw: ")))
                return log.append(msg);
            ++rawLines;
            longestRaw = qMax(longestRaw, msg.size());
            lastRaw = msg;
        });
    }
    int count(const QString &text) const { return int(log.count(text)); }

    TcpListener listener;
    quint16 port;
    QSignalSpy lines;
    QStringList log;
    QString lastRaw;
    int rawLines = 0;
    qsizetype longestRaw = 0;
};

} // namespace

class TestTcpListener : public QObject
{
    Q_OBJECT

private slots:
    void startAndStop()
    {
        Rig rig;
        QSignalSpy counts(&rig.listener, &TcpListener::clientCountChanged);
        QVERIFY(rig.listener.start(rig.port));
        QVERIFY(rig.listener.isListening());
        QCOMPARE(rig.log, QStringList{QStringLiteral("TCP: listening on port %1").arg(rig.port)});
        QCOMPARE(texts(counts), QStringList{"0"}); // the stop at the start of start

        auto client = connectClient(rig.port);
        QVERIFY(client);
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        QCOMPARE(texts(counts).last(), "1");
        QVERIFY(rig.log.last().contains(QRegularExpression("^TCP: product connected " + peer + "$")));
        // Every local address, IPv6 included, not only 127.0.0.1.
        auto v6 = connectClient(rig.port, QHostAddress::LocalHostIPv6);
        QVERIFY(v6);
        QTRY_COMPARE(rig.listener.clientCount(), 2);

        rig.listener.stop();
        QVERIFY(!rig.listener.isListening());
        QCOMPARE(rig.listener.clientCount(), 0);
        QCOMPARE(texts(counts).last(), "0");
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }

    // The raw line shows the chunk trimmed while the line keeps its blanks; each
    // bad frame gets its four lines and the connection goes on.
    void rawAndBadFrameLines()
    {
        Rig rig;
        QVERIFY(rig.listener.start(rig.port));
        auto client = connectClient(rig.port);
        QVERIFY(client);
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        rig.log.clear();

        client->write("  AB00C3{PAQ_Marrowlinker}\xc3\xa9 \n");
        QVERIFY(rig.lines.wait(5000));
        QCOMPARE(texts(rig.lines), QStringList{"  AB"});
        QCOMPARE(rig.lastRaw, QStringLiteral(
                              "TCP raw: \"AB00C3{PAQ_Marrowlinker}\u00e9\"  [hex 20 20 41 42 30 30 43 33 7b 50 41 51 5f "
                              "4d 61 72 72 6f 77 6c 69 6e 6b 65 72 7d c3 a9 20 0a]"));

        // The marker is removed across the cut, so the bytes left from the first chunk are a frame of their own.
        client->write(keepAliveMarker.left(3));
        QTRY_COMPARE(rig.rawLines, 2);
        client->write(keepAliveMarker.mid(3) + D + "AB0084" + D + "\xff\t" + QByteArray(1, '\0') + D + "AB0083" + D);
        QTRY_COMPARE(texts(rig.lines), (QStringList{"  AB", "AB"}));
        QStringList bad;
        for (const char *ascii : {"195,169,32,10,", "65,66,48,48,56,52,", "255,9,0,"}) {
            bad << QStringLiteral("Error: Use Marrowlinker version 6.0A or more")
                << QStringLiteral("Send a Screen Shot of this windows to: support@thornvaleworks.com :")
                << QStringLiteral("ASCII: ") + QLatin1String(ascii) << QStringLiteral("Marrowlinker BAD version !");
        }
        QCOMPARE(rig.log, bad);
        QCOMPARE(rig.listener.clientCount(), 1);
    }

    // An unfinished frame goes with its connection, whether the client leaves or a
    // restart drops it: the rest of it alone, from a new client, is a bad frame.
    void unfinishedFramesGoWithTheirConnection()
    {
        Rig rig;
        QVERIFY(rig.listener.start(rig.port));
        auto a = connectClient(rig.port), b = connectClient(rig.port);
        QVERIFY(a && b);
        a->write("AB00");
        QTRY_COMPARE(rig.rawLines, 1);
        a->disconnectFromHost();
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        QCOMPARE(rig.count(disconnected), 1);
        b->write("AB00");
        QTRY_COMPARE(rig.rawLines, 2);

        rig.log.clear();
        QVERIFY(rig.listener.start(rig.port));
        QCOMPARE(rig.listener.clientCount(), 0);
        QTRY_COMPARE(rig.log, (QStringList{disconnected, QStringLiteral("TCP: listening on port %1").arg(rig.port)}));
        QTRY_COMPARE(b->state(), QAbstractSocket::UnconnectedState);

        auto c = connectClient(rig.port); // and it serves again
        QVERIFY(c);
        c->write("83" + D + "CD0087" + D);
        QTRY_COMPARE(texts(rig.lines), QStringList{"CD"});
        QCOMPARE(rig.count(QStringLiteral("ASCII: 56,51,")), 1);

        // A handler that stops the listener ends the rest of the buffer too.
        connect(&rig.listener, &TcpListener::lineReceived, &rig.listener, [&rig] { rig.listener.stop(); });
        c->write("EF008B" + D + "GH008F" + D);
        QTRY_COMPARE(c->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(texts(rig.lines), (QStringList{"CD", "EF"}));
    }

    // A client sends frames while another floods without a delimiter: only the flood is dropped.
    void floodIsDroppedAlone()
    {
        Rig rig;
        QVERIFY(rig.listener.start(rig.port));
        auto good = connectClient(rig.port), flood = connectClient(rig.port);
        QVERIFY(good && flood);
        QTRY_COMPARE(rig.listener.clientCount(), 2);
        flood->write(QByteArray(maxPendingBytes + 1, 'a'));
        QTRY_VERIFY(rig.rawLines > 3); // the flood is under way

        QStringList expected;
        for (int n = 0; n < 5; ++n) {
            expected << QStringLiteral("line %1").arg(n);
            good->write(encodeFrame(expected.last().toUtf8()));
            QVERIFY(good->waitForBytesWritten(5000));
            QCoreApplication::processEvents();
        }

        const QRegularExpression dropped("^TCP: dropped connection " + peer
                                         + QStringLiteral(": no frame delimiter within %1 bytes$").arg(maxPendingBytes));
        QTRY_COMPARE_WITH_TIMEOUT(rig.log.filter(dropped).size(), 1, 120000);
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        QTRY_COMPARE(flood->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.count(disconnected), 1);
        // A read is at most MaxReadBytes: its raw line shows each byte once as text and once in hex.
        QVERIFY2(rig.longestRaw <= 4 * TcpListener::MaxReadBytes + 32, qPrintable(QString::number(rig.longestRaw)));

        good->write(encodeFrame("after"));
        expected << QStringLiteral("after");
        QTRY_COMPARE(texts(rig.lines), expected);
    }
};

FIELDPOST_TEST_MAIN(TestTcpListener)
#include "tst_tcplistener.moc"
