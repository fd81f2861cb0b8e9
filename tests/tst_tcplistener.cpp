#include "TestMain.h"

#include "FrameEncoder.h"
#include "LineFramer.h"
#include "TcpListener.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

// Collects the listener's log, leaving out the raw-chunk lines unless asked:
// a bulk transfer writes thousands of them.
struct LogCollector
{
    explicit LogCollector(TcpListener *listener, bool keepRaw = true)
    {
        QObject::connect(listener, &TcpListener::logMessage, listener, [this, keepRaw](const QString &msg) {
            if (msg.startsWith(QLatin1String("TCP raw: "))) {
                ++rawLines;
                if (!keepRaw)
                    return;
            }
            lines << msg;
        });
    }
    int count(const QString &text) const { return int(lines.count(text)); }
    QStringList lines;
    int rawLines = 0;
};

std::unique_ptr<QTcpSocket> connectClient(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

const QRegularExpression connectedLine(QStringLiteral("^TCP: product connected \\((::ffff:)?127\\.0\\.0\\.1\\)$"));

} // namespace

class TestTcpListener : public QObject
{
    Q_OBJECT

private slots:
    void startAndStop();
    void portZeroLogsRequestedPort();
    void portInUse();
    void linesFromSeveralClients();
    void rawChunkLine();
    void badFrameLines();
    void keepAliveChunk();
    void disconnectMidFrame();
    void startWhileClientsConnected();
    void handlerThatStopsEndsTheBuffer();
    void overflowDropsOnlyThatClient();
};

void TestTcpListener::startAndStop()
{
    TcpListener listener;
    LogCollector log(&listener);
    QSignalSpy counts(&listener, &TcpListener::clientCountChanged);
    const quint16 port = freePort();
    QVERIFY(port != 0);

    QVERIFY(!listener.isListening());
    QVERIFY(listener.start(port));
    QVERIFY(listener.isListening());
    QCOMPARE(log.lines, QStringList{QStringLiteral("TCP: listening on port %1").arg(port)});
    QCOMPARE(counts.size(), 1); // the stop at the start of start
    QCOMPARE(counts.at(0).at(0).toInt(), 0);

    auto client = connectClient(port);
    QVERIFY(client);
    QTRY_COMPARE(listener.clientCount(), 1);
    QCOMPARE(counts.last().at(0).toInt(), 1);
    QVERIFY(log.lines.last().contains(connectedLine));

    listener.stop();
    QVERIFY(!listener.isListening());
    QCOMPARE(listener.clientCount(), 0);
    QCOMPARE(counts.last().at(0).toInt(), 0);
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);

    // A new connection is refused once stopped.
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!late.waitForConnected(2000));
}

void TestTcpListener::portZeroLogsRequestedPort()
{
    TcpListener listener;
    LogCollector log(&listener);
    QVERIFY(listener.start(0));
    QCOMPARE(log.lines, QStringList{QStringLiteral("TCP: listening on port 0")});
}

void TestTcpListener::portInUse()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any, 0));
    const quint16 port = occupant.serverPort();

    TcpListener listener;
    LogCollector log(&listener);
    QSignalSpy counts(&listener, &TcpListener::clientCountChanged);
    QVERIFY(!listener.start(port));
    QVERIFY(!listener.isListening());
    QCOMPARE(listener.clientCount(), 0);
    QCOMPARE(log.lines.size(), 1);
    const QString prefix = QStringLiteral("TCP: failed to listen on port %1 (").arg(port);
    QVERIFY2(log.lines.first().startsWith(prefix) && log.lines.first().endsWith(QLatin1Char(')'))
                 && log.lines.first().size() > prefix.size() + 1,
             qPrintable(log.lines.first()));
    QCOMPARE(counts.size(), 1);
}

void TestTcpListener::linesFromSeveralClients()
{
    TcpListener listener;
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectClient(port));
        QVERIFY(clients.back());
    }
    QTRY_COMPARE(listener.clientCount(), 3);

    // Each client's frames go out in pieces, interleaved with the others'.
    QList<QByteArray> streams;
    for (int c = 0; c < 3; ++c) {
        QByteArray stream;
        for (int n = 0; n < 5; ++n)
            stream += encodeFrame(QStringLiteral("client %1 line %2").arg(c).arg(n).toUtf8());
        streams << stream;
    }
    for (qsizetype at = 0; at < streams.first().size(); at += 7) {
        for (int c = 0; c < 3; ++c) {
            clients[size_t(c)]->write(streams[c].mid(at, 7));
            QVERIFY(clients[size_t(c)]->waitForBytesWritten(5000));
        }
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(lines.size(), 15);

    // Stream order within each client.
    for (int c = 0; c < 3; ++c) {
        QStringList mine;
        for (const QList<QVariant> &args : std::as_const(lines)) {
            if (args.at(0).toString().startsWith(QStringLiteral("client %1 ").arg(c)))
                mine << args.at(0).toString();
        }
        QStringList expected;
        for (int n = 0; n < 5; ++n)
            expected << QStringLiteral("client %1 line %2").arg(c).arg(n);
        QCOMPARE(mine, expected);
    }
}

void TestTcpListener::rawChunkLine()
{
    TcpListener listener;
    LogCollector log(&listener);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    auto client = connectClient(port);
    QVERIFY(client);
    QTRY_COMPARE(listener.clientCount(), 1);
    log.lines.clear();

    // The raw line shows the chunk trimmed; the line keeps its blanks.
    client->write("  AB00C3{PAQ_Marrowlinker}\xc3\xa9 \n");
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("  AB"));
    QCOMPARE(log.lines.first(),
             QStringLiteral("TCP raw: \"AB00C3{PAQ_Marrowlinker}\u00e9\"  [hex 20 20 41 42 30 30 43 33 7b 50 41 51 5f 4d "
                            "61 72 72 6f 77 6c 69 6e 6b 65 72 7d c3 a9 20 0a]"));
}

void TestTcpListener::badFrameLines()
{
    TcpListener listener;
    LogCollector log(&listener);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    auto client = connectClient(port);
    QVERIFY(client);
    QTRY_COMPARE(listener.clientCount(), 1);
    log.lines.clear();

    client->write("AB0084" + D + "\xff\t" + QByteArray(1, '\0') + D + "AB0083" + D);
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("AB"));
    QStringList withoutRaw = log.lines.filter(QRegularExpression(QStringLiteral("^(?!TCP raw: )")));
    const QString head = QStringLiteral("Error: Use Marrowlinker version 6.0A or more");
    const QString mail = QStringLiteral("Send a Screen Shot of this windows to: support@thornvaleworks.com :");
    const QString tail = QStringLiteral("Marrowlinker BAD version !");
    QCOMPARE(withoutRaw, (QStringList{head, mail, QStringLiteral("ASCII: 65,66,48,48,56,52,"), tail, head, mail,
                                      QStringLiteral("ASCII: 255,9,0,"), tail}));
    QVERIFY(client->state() == QAbstractSocket::ConnectedState);
    QCOMPARE(listener.clientCount(), 1);
}

void TestTcpListener::keepAliveChunk()
{
    TcpListener listener;
    LogCollector log(&listener);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    auto client = connectClient(port);
    QVERIFY(client);
    QTRY_COMPARE(listener.clientCount(), 1);
    log.lines.clear();

    client->write(keepAliveMarker);
    QTRY_COMPARE(log.rawLines, 1);
    QCOMPARE(log.lines.size(), 1);
    QVERIFY2(log.lines.first().endsWith(QLatin1String("  [hex dd fe 5a 55 4e 45 58 01 fe de]")),
             qPrintable(log.lines.first()));

    // Half a marker now, half with the next frame: still removed.
    client->write(keepAliveMarker.left(3));
    QTRY_COMPARE(log.rawLines, 2);
    client->write(keepAliveMarker.mid(3) + "AB0083" + D);
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("AB"));
    QCOMPARE(log.lines.size(), log.rawLines);
}

void TestTcpListener::disconnectMidFrame()
{
    TcpListener listener;
    LogCollector log(&listener);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);

    auto first = connectClient(port);
    QVERIFY(first);
    QTRY_COMPARE(listener.clientCount(), 1);
    first->write("AB00");
    QTRY_COMPARE(log.rawLines, 1);
    first->disconnectFromHost();
    QTRY_COMPARE(listener.clientCount(), 0);
    QCOMPARE(log.count(QStringLiteral("TCP: product disconnected")), 1);

    // The unfinished frame went with its connection: the rest alone is a bad frame.
    auto second = connectClient(port);
    QVERIFY(second);
    second->write("83" + D + "CD0087" + D);
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("CD"));
    QCOMPARE(log.count(QStringLiteral("ASCII: 56,51,")), 1);
}

void TestTcpListener::startWhileClientsConnected()
{
    TcpListener listener;
    LogCollector log(&listener);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    auto a = connectClient(port);
    auto b = connectClient(port);
    QVERIFY(a && b);
    QTRY_COMPARE(listener.clientCount(), 2);
    a->write("AB00"); // an unfinished frame is simply dropped
    QTRY_COMPARE(log.rawLines, 1);

    QSignalSpy counts(&listener, &TcpListener::clientCountChanged);
    log.lines.clear();
    QVERIFY(listener.start(port));
    QVERIFY(listener.isListening());
    QCOMPARE(listener.clientCount(), 0);
    QTRY_COMPARE(log.count(QStringLiteral("TCP: product disconnected")), 2);
    QCOMPARE(log.count(QStringLiteral("TCP: listening on port %1").arg(port)), 1);
    QTRY_COMPARE(log.lines.size(), 3);
    // One count per disconnection, then the 0 of the restart.
    QTRY_COMPARE(counts.size(), 3);
    QCOMPARE(counts.last().at(0).toInt(), 0);
    QTRY_COMPARE(a->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(b->state(), QAbstractSocket::UnconnectedState);

    // And it serves again.
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    auto c = connectClient(port);
    QVERIFY(c);
    c->write("AB0083" + D);
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("AB"));
}

void TestTcpListener::handlerThatStopsEndsTheBuffer()
{
    TcpListener listener;
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QStringList received;
    connect(&listener, &TcpListener::lineReceived, &listener, [&](const QString &line) {
        received << line;
        listener.stop();
    });
    auto client = connectClient(port);
    QVERIFY(client);
    client->write("AB0083" + D + "CD0087" + D);
    QTRY_COMPARE(received, QStringList{QStringLiteral("AB")});
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(received, QStringList{QStringLiteral("AB")});
    QVERIFY(!listener.isListening());
}

void TestTcpListener::overflowDropsOnlyThatClient()
{
    TcpListener listener;
    LogCollector log(&listener, false);
    const quint16 port = freePort();
    QVERIFY(listener.start(port));
    QSignalSpy lines(&listener, &TcpListener::lineReceived);
    auto flood = connectClient(port);
    auto good = connectClient(port);
    QVERIFY(flood && good);
    QTRY_COMPARE(listener.clientCount(), 2);

    good->write(encodeFrame("before"));
    QVERIFY(lines.wait(5000));

    flood->write(QByteArray(maxPendingBytes + 1, 'a'));
    QTRY_VERIFY(log.rawLines > 3); // the flood is under way
    good->write(encodeFrame("during"));

    const QString dropped = QStringLiteral("no frame delimiter within %1 bytes").arg(maxPendingBytes);
    QTRY_COMPARE_WITH_TIMEOUT(log.lines.filter(dropped).size(), 1, 120000);
    QVERIFY2(log.lines.filter(dropped).first().contains(
                 QRegularExpression(QStringLiteral("^TCP: dropped connection \\((::ffff:)?127\\.0\\.0\\.1\\): "))),
             qPrintable(log.lines.filter(dropped).first()));
    QTRY_COMPARE(listener.clientCount(), 1);
    QTRY_COMPARE(flood->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(log.count(QStringLiteral("TCP: product disconnected")), 1);

    good->write(encodeFrame("after"));
    QTRY_COMPARE(lines.size(), 3);
    QCOMPARE(lines.at(1).at(0).toString(), QStringLiteral("during"));
    QCOMPARE(lines.at(2).at(0).toString(), QStringLiteral("after"));
    QCOMPARE(log.lines.filter(dropped).size(), 1);
}

FIELDPOST_TEST_MAIN(TestTcpListener)
#include "tst_tcplistener.moc"
