#include "TestMain.h"

#include "FrameFormat.h"
#include "LineFramer.h"
#include "TcpListener.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");
const QString disconnected = QStringLiteral("TCP: product disconnected");

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

std::unique_ptr<QTcpSocket> connectClient(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}

// A listener on a free port with its log and lines collected; the raw-chunk
// lines are only counted unless asked for, as a bulk transfer writes thousands.
struct Rig
{
    explicit Rig(bool keepRaw = true) : port(freePort()), lines(&listener, &TcpListener::lineReceived)
    {
        QObject::connect(&listener, &TcpListener::logMessage, &listener, [this, keepRaw](const QString &msg) {
            const bool raw = msg.startsWith(QLatin1String("TCP raw: "));
            rawLines += raw ? 1 : 0;
            longestRaw = raw ? qMax(longestRaw, msg.size()) : longestRaw;
            if (keepRaw || !raw)
                log << msg;
        });
    }
    int count(const QString &text) const { return int(log.count(text)); }
    QStringList received() const
    {
        QStringList out;
        for (const QList<QVariant> &args : lines)
            out << args.at(0).toString();
        return out;
    }

    TcpListener listener;
    quint16 port;
    QSignalSpy lines;
    QStringList log;
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
        QVERIFY(!rig.listener.isListening());
        QVERIFY(rig.listener.start(rig.port));
        QVERIFY(rig.listener.isListening());
        QCOMPARE(rig.log, QStringList{QStringLiteral("TCP: listening on port %1").arg(rig.port)});
        QCOMPARE(counts.size(), 1); // the stop at the start of start
        QCOMPARE(counts.at(0).at(0).toInt(), 0);

        auto client = connectClient(rig.port);
        QVERIFY(client);
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        QCOMPARE(counts.last().at(0).toInt(), 1);
        QVERIFY(rig.log.last().contains(
            QRegularExpression(QStringLiteral("^TCP: product connected \\((::ffff:)?127\\.0\\.0\\.1\\)$"))));
        // Every local address, IPv6 included, not only 127.0.0.1.
        QTcpSocket v6;
        v6.connectToHost(QHostAddress::LocalHostIPv6, rig.port);
        QVERIFY(v6.waitForConnected(5000));
        QTRY_COMPARE(rig.listener.clientCount(), 2);

        Rig other; // the port is in use now
        QVERIFY(!other.listener.start(rig.port));
        QVERIFY(!other.listener.isListening());
        QCOMPARE(other.log.size(), 1);
        const QString prefix = QStringLiteral("TCP: failed to listen on port %1 (").arg(rig.port);
        QVERIFY2(other.log.first().startsWith(prefix) && other.log.first().endsWith(QLatin1Char(')'))
                     && other.log.first().size() > prefix.size() + 1,
                 qPrintable(other.log.first()));

        rig.listener.stop();
        QVERIFY(!rig.listener.isListening());
        QCOMPARE(rig.listener.clientCount(), 0);
        QCOMPARE(counts.last().at(0).toInt(), 0);
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);

        // Port 0 takes any port but logs the port asked for.
        QVERIFY(rig.listener.start(0));
        QCOMPARE(rig.log.last(), QStringLiteral("TCP: listening on port 0"));
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
        QCOMPARE(rig.received(), QStringList{"  AB"});
        QCOMPARE(rig.log, QStringList{QStringLiteral(
                              "TCP raw: \"AB00C3{PAQ_Marrowlinker}\u00e9\"  [hex 20 20 41 42 30 30 43 33 7b 50 41 51 5f "
                              "4d 61 72 72 6f 77 6c 69 6e 6b 65 72 7d c3 a9 20 0a]")});

        client->write(keepAliveMarker.left(3));
        QTRY_COMPARE(rig.rawLines, 2);
        QVERIFY2(rig.log.last().endsWith(QLatin1String("  [hex dd fe 5a]")), qPrintable(rig.log.last()));
        // The marker is removed across the cut, so the bytes left from the first chunk are a frame of their own.
        client->write(keepAliveMarker.mid(3) + D + "AB0084" + D + "\xff\t" + QByteArray(1, '\0') + D + "AB0083" + D);
        QTRY_COMPARE(rig.received(), (QStringList{"  AB", "AB"}));
        QStringList bad;
        for (const char *ascii : {"195,169,32,10,", "65,66,48,48,56,52,", "255,9,0,"}) {
            bad << QStringLiteral("Error: Use Marrowlinker version 6.0A or more")
                << QStringLiteral("Send a Screen Shot of this windows to: support@thornvaleworks.com :")
                << QStringLiteral("ASCII: ") + QLatin1String(ascii) << QStringLiteral("Marrowlinker BAD version !");
        }
        QCOMPARE(rig.log.filter(QRegularExpression(QStringLiteral("^(?!TCP raw: )"))), bad);
        QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
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

        QSignalSpy counts(&rig.listener, &TcpListener::clientCountChanged);
        rig.log.clear();
        QVERIFY(rig.listener.start(rig.port));
        QVERIFY(rig.listener.isListening());
        QCOMPARE(rig.listener.clientCount(), 0);
        QTRY_COMPARE(rig.log.size(), 2);
        QCOMPARE(rig.count(disconnected), 1);
        QCOMPARE(rig.count(QStringLiteral("TCP: listening on port %1").arg(rig.port)), 1);
        QTRY_COMPARE(counts.size(), 2); // the disconnection, then the 0 of the restart
        QCOMPARE(counts.last().at(0).toInt(), 0);
        QTRY_COMPARE(b->state(), QAbstractSocket::UnconnectedState);

        auto c = connectClient(rig.port); // and it serves again
        QVERIFY(c);
        c->write("83" + D + "CD0087" + D);
        QTRY_COMPARE(rig.received(), QStringList{"CD"});
        QCOMPARE(rig.count(QStringLiteral("ASCII: 56,51,")), 1);
    }

    void handlerThatStopsEndsTheBuffer()
    {
        Rig rig;
        QVERIFY(rig.listener.start(rig.port));
        connect(&rig.listener, &TcpListener::lineReceived, &rig.listener, [&rig] { rig.listener.stop(); });
        auto client = connectClient(rig.port);
        QVERIFY(client);
        client->write("AB0083" + D + "CD0087" + D);
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.received(), QStringList{"AB"});
        QVERIFY(!rig.listener.isListening());
    }

    // Two clients send their frames in pieces, interleaved, while a third floods
    // without a delimiter: only the flood is dropped, the others go on in order.
    void severalClientsAndOverflow()
    {
        Rig rig(false);
        QVERIFY(rig.listener.start(rig.port));
        std::unique_ptr<QTcpSocket> clients[] = {connectClient(rig.port), connectClient(rig.port), connectClient(rig.port)};
        QVERIFY(clients[0] && clients[1] && clients[2]);
        QTRY_COMPARE(rig.listener.clientCount(), 3);
        QTcpSocket &flood = *clients[2];
        flood.write(QByteArray(maxPendingBytes + 1, 'a'));
        QTRY_VERIFY(rig.rawLines > 3); // the flood is under way

        QList<QByteArray> streams(2);
        QList<QStringList> expected(2);
        for (int n = 0; n < 5; ++n) {
            for (int c = 0; c < 2; ++c) {
                expected[c] << QStringLiteral("client %1 line %2").arg(c).arg(n);
                streams[c] += encodeFrame(expected[c].last().toUtf8());
            }
        }
        for (qsizetype at = 0; at < streams[0].size(); at += 7) {
            for (int c = 0; c < 2; ++c) {
                clients[c]->write(streams[c].mid(at, 7));
                QVERIFY(clients[c]->waitForBytesWritten(5000));
            }
            QCoreApplication::processEvents();
        }

        const QString dropped = QStringLiteral("no frame delimiter within %1 bytes").arg(maxPendingBytes);
        QTRY_COMPARE_WITH_TIMEOUT(rig.log.filter(dropped).size(), 1, 120000);
        QVERIFY2(rig.log.filter(dropped).first().contains(QRegularExpression(
                     QStringLiteral("^TCP: dropped connection \\((::ffff:)?127\\.0\\.0\\.1\\): "))),
                 qPrintable(rig.log.filter(dropped).first()));
        QTRY_COMPARE(rig.listener.clientCount(), 2);
        QTRY_COMPARE(flood.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.count(disconnected), 1);
        // A read is at most MaxReadBytes: its raw line shows each byte once as text and once in hex.
        QVERIFY2(rig.longestRaw <= 4 * TcpListener::MaxReadBytes + 32, qPrintable(QString::number(rig.longestRaw)));

        clients[0]->write(encodeFrame("after"));
        QTRY_COMPARE(rig.lines.size(), 11);
        QCOMPARE(rig.received().last(), QStringLiteral("after"));
        QCOMPARE(rig.received().filter(QStringLiteral("client 0 ")), expected[0]);
        QCOMPARE(rig.received().filter(QStringLiteral("client 1 ")), expected[1]);
    }
};

FIELDPOST_TEST_MAIN(TestTcpListener)
#include "tst_tcplistener.moc"
