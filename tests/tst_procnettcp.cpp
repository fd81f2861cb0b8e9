// Reading a peer's user from the kernel's TCP tables. The rows are written by
// hand in the kernel's format on a little-endian machine: each 32-bit word of
// an address printed as a number, so 127.0.0.1 reads 0100007F.
#include "TestMain.h"

#include "ProcNetTcp.h"

namespace {

const QByteArray header4 = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
                           "inode\n";
const QByteArray header6 = "  sl  local_address                         remote_address                        st "
                           "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// A row of a connected socket: its own end, its remote end, its uid and inode.
QByteArray row(const char *own, const char *remote, const char *uid, const char *inode = "52311")
{
    return QByteArray("   3: ") + own + ' ' + remote + " 01 00000000:00000000 00:00000000 00000000  " + uid
           + "        0 " + inode + " 1 0000000000000000 20 4 30 10 -1\n";
}

// 41234 is A112, 20296 is 4F48.
const QByteArray listening4 = "   0: 0100007F:4F48 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 "
                              "41017 1 0000000000000000 100 0 0 10 0\n";
// Our end of the connection comes first: a reader that mixes up the two ends takes its uid.
const QByteArray ours4 = row("0100007F:4F48", "0100007F:A112", "1000");
const QByteArray theirs4 = row("0100007F:A112", "0100007F:4F48", "1001");

} // namespace

class TestProcNetTcp : public QObject
{
    Q_OBJECT

private slots:
    void uidOfThePeersRow_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<int>("peerPort");
        QTest::addColumn<QString>("local");
        QTest::addColumn<int>("uid"); // -1: none
        const QByteArray table4 = header4 + listening4 + ours4 + theirs4;
        const QString lo = QStringLiteral("127.0.0.1");
        const QString mapped = QStringLiteral("::ffff:127.0.0.1");

        QTest::newRow("IPv4") << table4 << lo << 41234 << lo << 1001;
        QTest::newRow("IPv4 seen from an IPv6 socket") << table4 << mapped << 41234 << mapped << 1001;
        QTest::newRow("IPv6 loopback, last row without a line end")
            << header6 + row("00000000000000000000000001000000:4F48", "00000000000000000000000001000000:A112", "1000")
                   + row("00000000000000000000000001000000:A112", "00000000000000000000000001000000:4F48", "1002").chopped(1)
            << "::1" << 41234 << "::1" << 1002;
        QTest::newRow("IPv4-mapped in tcp6 (a dual-stack client)")
            << header6 + row("0000000000000000FFFF00000100007F:A112", "0000000000000000FFFF00000100007F:4F48", "1003")
            << lo << 41234 << lo << 1003;
        // 2001:db8::5 is the bytes 20 01 0d b8, 0…, 0…, 00 00 00 05.
        QTest::newRow("IPv6 words in order, bytes of each word reversed")
            << header6 + row("B80D0120000000000000000005000000:A112", "B80D0120000000000000000005000000:4F48", "1004")
            << "2001:db8::5" << 41234 << "2001:db8::5" << 1004;
        QTest::newRow("192.0.2.2 is 020200C0")
            << header4 + row("020200C0:A112", "020200C0:4F48", "1005") << "192.0.2.2" << 41234 << "192.0.2.2" << 1005;

        QTest::newRow("no row of that port") << table4 << lo << 41235 << lo << -1;
        QTest::newRow("only our own end") << header4 + listening4 + ours4 << lo << 41234 << lo << -1;
        QTest::newRow("IPv6 loopback is not IPv4's") << table4 << "::1" << 41234 << "::1" << -1;
        QTest::newRow("empty") << QByteArray() << lo << 41234 << lo << -1;
        // A closed socket waiting out its time shows uid 0 and inode 0, whoever had it.
        QTest::newRow("closed socket")
            << header4 + "   3: 0100007F:A112 0100007F:4F48 05 00000000:00000000 03:00001770 00000000     0        0 0 3 "
                         "0000000000000000\n"
            << lo << 41234 << lo << -1;

        const QByteArray good = row("0100007F:A112", "0100007F:4F48", "1001");
        const struct
        {
            const char *name;
            QByteArray line;
        } malformed[] = {
            {"cut after the uid", good.left(good.indexOf("1001") + 4) + '\n'},
            {"uid not a number", row("0100007F:A112", "0100007F:4F48", "10x1")},
            {"inode not a number", row("0100007F:A112", "0100007F:4F48", "1001", "5x")},
            {"address of 7 digits", row("100007F:A112", "0100007F:4F48", "1001")},
            {"not hex", row("0100007G:A112", "0100007F:4F48", "1001")},
            {"port of 5 digits", row("0100007F:0A112", "0100007F:4F48", "1001")},
            {"no colon", row("0100007FA112", "0100007F:4F48", "1001")},
            {"IPv6 address of 31 digits",
             row("0000000000000000000000001000000:A112", "00000000000000000000000001000000:4F48", "1001")},
        };
        for (const auto &m : malformed)
            QTest::newRow(m.name) << header4 + m.line << lo << 41234 << lo << -1;
        QTest::newRow("a malformed line does not stop the search")
            << header4 + malformed[0].line + malformed[1].line + theirs4 << lo << 41234 << lo << 1001;
    }

    void uidOfThePeersRow()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, peer);
        QFETCH(int, peerPort);
        QFETCH(QString, local);
        QFETCH(int, uid);
        const std::optional<uint> found = procNetTcpUid(table, QHostAddress(peer), quint16(peerPort), QHostAddress(local), 20296);
        QCOMPARE(found ? int(*found) : -1, uid);
    }
};

FIELDPOST_TEST_MAIN(TestProcNetTcp)
#include "tst_procnettcp.moc"
