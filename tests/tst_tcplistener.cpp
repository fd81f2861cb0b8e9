// The product-line listener over loopback: logs, clients, who may connect, and
// the one flood of the suites. The framing rules themselves are tst_lineframer's.
#include "TestMain.h"
#include "TestSupport.h"

#include "LineFramer.h"
#include "TcpListener.h"

#include <QNetworkInterface>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using support::texts;

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");
const QString disconnected = QStringLiteral("TCP: product disconnected");
const QString peer = QStringLiteral("\\(127\\.0\\.0\\.1\\)");

std::unique_ptr<QTcpSocket> connectClient(quint16 port, const QHostAddress &address = QHostAddress::LocalHost)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(address, port);
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}

// A companion run as nobody in a child process: it connects to 127.0.0.1:port,
// sends `frame`, writes the port it connected from to `reportFd` and waits
// until the listener closes the connection. Only system calls after the fork.
pid_t companionAsNobody(quint16 port, const QByteArray &frame, int *reportFd)
{
    int report[2];
    if (pipe(report) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            _exit(2);
        sockaddr_in own{};
        socklen_t size = sizeof own;
        getsockname(s, reinterpret_cast<sockaddr *>(&own), &size);
        const quint16 ownPort = ntohs(own.sin_port);
        if (send(s, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL) != frame.size()
            || write(report[1], &ownPort, sizeof ownPort) != sizeof ownPort)
            _exit(3);
        const timeval limit{10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char byte;
        (void)!read(s, &byte, 1);
        _exit(0);
    }
    close(report[1]);
    *reportFd = report[0];
    return pid;
}

// A listener on port 0, its lines and log collected; of the raw lines, thousands in a flood, only the last.
struct Rig
{
    Rig() : lines(&listener, &TcpListener::lineReceived)
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
    bool start()
    {
        port = listener.start(0) ? listener.serverPort() : quint16(0);
        return port != 0;
    }

    TcpListener listener;
    quint16 port = 0;
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
        QVERIFY(rig.start());
        QVERIFY(rig.listener.isListening());
        QCOMPARE(rig.log, QStringList{QStringLiteral("TCP: listening on port 0")}); // the port asked for
        QCOMPARE(rig.listener.boundAddressText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(texts(counts), QStringList{"0"}); // the stop at the start of start

        auto client = connectClient(rig.port);
        QVERIFY(client);
        QTRY_COMPARE(rig.listener.clientCount(), 1);
        QCOMPARE(texts(counts).last(), "1");
        QVERIFY(rig.log.last().contains(QRegularExpression("^TCP: product connected " + peer + "$")));

        // A second listener on the port learns why it failed, and a retrying one says nothing.
        Rig second;
        QVERIFY(!second.listener.start(rig.port, false));
        QCOMPARE(second.listener.lastListenError(), QAbstractSocket::AddressInUseError);
        QCOMPARE(second.log, QStringList());
        QVERIFY(!second.listener.start(rig.port));
        QCOMPARE(second.log.size(), 1);
        QVERIFY(second.log.first().startsWith(QStringLiteral("TCP: failed to listen on port %1 (").arg(rig.port)));

        rig.listener.stop();
        QVERIFY(!rig.listener.isListening());
        QCOMPARE(rig.listener.boundAddressText(), QString());
        QCOMPARE(rig.listener.clientCount(), 0);
        QCOMPARE(texts(counts).last(), "0");
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }

    // Only 127.0.0.1 unless other computers are accepted; then every address,
    // IPv6 included. The system refuses the connection, not the listener.
    void otherAddressesOnlyWithAcceptRemote_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("IPv6 loopback") << QStringLiteral("::1");
        const QList<QHostAddress> own = QNetworkInterface::allAddresses();
        const auto it = std::find_if(own.begin(), own.end(),
                                     [](const QHostAddress &a) { return !a.isLoopback() && !a.isLinkLocal(); });
        QTest::newRow("this machine's network address") << (it != own.end() ? it->toString() : QString());
    }

    void otherAddressesOnlyWithAcceptRemote()
    {
        QFETCH(QString, address);
        if (address.isEmpty())
            QSKIP("this machine has no address but loopback and link-local ones");
        Rig rig;
        QVERIFY(rig.start());
        QVERIFY(!connectClient(rig.port, QHostAddress(address)));

        rig.listener.setAcceptRemote(true);
        QVERIFY(rig.start());
        QCOMPARE(rig.listener.boundAddressText(), QStringLiteral("all addresses"));
        auto client = connectClient(rig.port, QHostAddress(address));
        QVERIFY(client);
        client->write(encodeFrame("over " + address.toUtf8()));
        QVERIFY(rig.lines.wait(5000));
        QCOMPARE(texts(rig.lines), QStringList{"over " + address});
    }

    // A companion of another user of this machine is closed before anything of
    // it is read, unless such companions are admitted.
    void companionOfAnotherUser_data()
    {
        QTest::addColumn<bool>("admitOthers");
        QTest::newRow("refused") << false;
        QTest::newRow("admitted") << true;
    }

    void companionOfAnotherUser()
    {
        QFETCH(bool, admitOthers);
        if (getuid() != 0)
            QSKIP("running a companion as another user (nobody) needs root");
        Rig rig;
        rig.listener.setAdmitOtherLocalUsers(admitOthers);
        QVERIFY(rig.start());
        rig.log.clear();
        int report = -1;
        const pid_t child = companionAsNobody(rig.port, encodeFrame("from nobody"), &report);
        QVERIFY(child > 0);
        // The frame is on its way before the listener even accepts.
        quint16 childPort = 0;
        const bool reported = read(report, &childPort, sizeof childPort) == sizeof childPort;
        close(report);
        QVERIFY2(reported, "the companion could not connect as nobody");
        if (admitOthers) {
            QVERIFY(rig.lines.wait(5000));
            QCOMPARE(texts(rig.lines), QStringList{"from nobody"});
            rig.listener.stop();
        } else {
            QTRY_COMPARE(rig.log, QStringList{
                QStringLiteral("TCP: refused a companion run by another user (127.0.0.1:%1)").arg(childPort)});
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QCoreApplication::processEvents();
        QCOMPARE(rig.lines.size(), admitOthers ? 1 : 0);
        QCOMPARE(rig.rawLines, admitOthers ? 1 : 0);
    }

    // A client that is gone by the time it is accepted leaves a closed socket,
    // which shows no user: refused like any companion whose user is not known.
    void companionWhoseUserCannotBeTold()
    {
        Rig rig;
        QVERIFY(rig.start());
        rig.log.clear();
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, rig.port);
        QVERIFY(client.waitForConnected(5000));
        const quint16 clientPort = client.localPort();
        client.write(encodeFrame("gone"));
        QVERIFY(client.waitForBytesWritten(5000));
        client.close();
        QTRY_COMPARE(rig.log, QStringList{
            QStringLiteral("TCP: refused a companion whose user cannot be told (127.0.0.1:%1)").arg(clientPort)});
        QCOMPARE(rig.lines.size(), 0);
        QCOMPARE(rig.rawLines, 0);
    }

    // The raw line shows the chunk trimmed while the line keeps its blanks; each
    // bad frame gets its four lines and the connection goes on.
    void rawAndBadFrameLines()
    {
        Rig rig;
        QVERIFY(rig.start());
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
        QVERIFY(rig.start());
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
        QVERIFY(rig.start());
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
