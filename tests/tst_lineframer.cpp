#include "TestMain.h"

#include "FrameFormat.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <random>

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");
const QByteArray K = QByteArray::fromHex("ddfe5a554e455801fede");

// Events as short texts so that a mismatch prints readably.
QString badText(const QByteArray &frame)
{
    QString dump = QStringLiteral("bad:");
    for (char c : frame)
        dump += QString::number(quint8(c)) + QLatin1Char(',');
    return dump;
}

QStringList drain(LineFramer &framer)
{
    QStringList out;
    while (std::optional<FramerEvent> e = framer.next()) {
        out << (e->kind == FramerEvent::Line       ? QStringLiteral("line:") + e->line
                : e->kind == FramerEvent::BadFrame ? badText(e->frame)
                                                   : QStringLiteral("overflow"));
    }
    return out;
}

QStringList feedChunks(const QList<QByteArray> &chunks)
{
    LineFramer framer;
    QStringList out;
    for (const QByteArray &chunk : chunks) {
        framer.feed(chunk);
        out << drain(framer);
    }
    return out;
}

// Streams built from the pieces that make framing hard, cut at random points.
class StreamMaker
{
public:
    explicit StreamMaker(quint32 seed) : rng(seed) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    // Mostly tiny cuts, some large ones, and now and then all that is left.
    qsizetype chunkSize(qsizetype left, bool wholeRest)
    {
        const int kind = pick(0, 19);
        if (kind == 19 && wholeRest)
            return left;
        return kind < 8 ? pick(1, 3) : kind < 18 ? pick(1, 40) : pick(1000, 20000);
    }

    QByteArray randomBytes(int lo, int hi, const QByteArray &alphabet = "abcZ {}_PAQMarw\r\n\xc3\xa9\xdd\xfe\x01")
    {
        QByteArray out;
        for (int n = pick(lo, hi); n > 0; --n)
            out.append(alphabet.at(pick(0, int(alphabet.size()) - 1)));
        return out;
    }

    // A marker wrapped in `depth` broken markers: each pass unwraps one level.
    QByteArray nested(int depth)
    {
        const int at = pick(1, 9);
        return depth == 0 ? K : K.left(at) + nested(depth - 1) + K.mid(at);
    }

    QByteArray good(const QByteArray &payload) { return payload + ReferenceFramer::trailer(payload) + D; }

    // One of the pieces that make framing hard.
    QByteArray piece()
    {
        switch (pick(0, 12)) {
        case 0:
        case 1:
            return good(randomBytes(1, 12));
        case 2: { // good frame with markers anywhere in it
            QByteArray frame = good(randomBytes(1, 12));
            const QByteArray markers = nested(pick(0, 2));
            return frame.insert(pick(0, int(frame.size())), markers);
        }
        case 3: { // checksum over what one pass leaves: good or bad depending on the cuts
            const QByteArray payload = randomBytes(0, 6);
            return payload + K.left(5) + K + K.mid(5) + ReferenceFramer::trailer(payload + K) + D;
        }
        case 4:
            return randomBytes(0, 8) + randomBytes(4, 4, "0123456789ABCDEFabcdef") + D;
        case 5: // short frames, empty ones included
            return randomBytes(0, 4) + D;
        case 6:
            return pick(0, 1) ? D.left(pick(1, 17)) : D.mid(pick(1, 17));
        case 7:
            return pick(0, 1) ? K.left(pick(1, 9)) : K.mid(pick(1, 9));
        case 8:
            return nested(pick(0, 3));
        case 9: { // a delimiter that only a removal completes
            const int at = pick(1, 17);
            return D.left(at) + nested(pick(0, 3)) + D.mid(at);
        }
        case 10: {
            const int at = pick(1, 9);
            return K.left(at) + (pick(0, 1) ? D : randomBytes(1, 3)) + K.mid(at);
        }
        case 11:
            return QByteArray(pick(0, 2) ? "\r\n" : "\r");
        default:
            return randomBytes(1, 5);
        }
    }

private:
    std::mt19937 rng;
};

} // namespace

class TestLineFramer : public QObject
{
    Q_OBJECT

private slots:
    // Cases whose outcome does not depend on how the stream is cut into chunks.
    void rules_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("expected");
        const QByteArray z600(600, 'z');

        QTest::newRow("two frames") << ("AB0083" + D + "abc0126" + D) << QStringList{"line:AB", "line:abc"};
        QTest::newRow("keep-alives between frames") << (K + "AB0083" + D + K + "abc0126" + D + K)
                                                    << QStringList{"line:AB", "line:abc"};
        QTest::newRow("two markers inside payload") << ("A" + K + K + "B0083" + D) << QStringList{"line:AB"};
        QTest::newRow("markers in trailer and delimiter")
            << ("AB00" + K + "83{PAQ_" + K + "Marrowlinker}") << QStringList{"line:AB"};
        QTest::newRow("empty frames") << (D + D + "AB0083" + D + D) << QStringList{"line:AB"};
        QTest::newRow("four-byte frame") << ("0000" + D) << QStringList{"bad:48,48,48,48,"};
        QTest::newRow("one-byte frame then good") << ("x" + D + "AB0083" + D) << QStringList{"bad:120,", "line:AB"};
        QTest::newRow("wrong sum") << ("AB0084" + D) << QStringList{"bad:65,66,48,48,56,52,"};
        QTest::newRow("upper-case trailer") << ("Z005A" + D) << QStringList{"line:Z"};
        QTest::newRow("lower-case trailer") << ("Z005a" + D) << QStringList{"bad:90,48,48,53,97,"};
        QTest::newRow("five-digit sum, first four") << (z600 + "11DF" + D) << QStringList{"line:" + z600};
        QTest::newRow("five-digit sum, last four") << (z600 + "1DF0" + D) << QStringList{badText(z600 + "1DF0")};
        QTest::newRow("CR LF only") << ("\r\n0017" + D) << QStringList();
        QTest::newRow("CR and LF inside") << ("a\rb\nc013D" + D) << QStringList{"line:abc"};
        QTest::newRow("blanks kept") << ("  hi  0151" + D) << QStringList{"line:  hi  "};
        QTest::newRow("UTF-8") << ("\xc3\xa9" "016C" + D) << QStringList{QStringLiteral("line:\u00e9")};
        QTest::newRow("almost a delimiter") << ("Mar{PAQ_Marrowlinke0767" + D) << QStringList{"line:Mar{PAQ_Marrowlinke"};
        QTest::newRow("marker split by delimiter stays")
            << (K.left(4) + D + K.mid(4) + "0000" + D) << QStringList{badText(K.left(4)), badText(K.mid(4) + "0000")};
    }

    void rules()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, expected);
        QCOMPARE(feedChunks({stream}), expected);
        QList<QByteArray> bytes;
        for (char c : stream)
            bytes << QByteArray(1, c);
        QCOMPARE(feedChunks(bytes), expected);
        for (qsizetype at = 1; at < stream.size(); ++at)
            QCOMPARE(feedChunks({stream.left(at), stream.mid(at)}), expected);
    }

    // One pass removes only the markers present before it: a marker that the
    // removal joins (one inside another) waits for the next chunk's pass.
    void joinedMarkerWaitsForNextChunk()
    {
        const QByteArray nested = K.left(3) + K + K.mid(3);
        QCOMPARE(feedChunks({"x" + nested + "x00F0" + D}), QStringList{badText("x" + K + "x00F0")});
        QCOMPARE(feedChunks({"x" + nested + "x", "00F0" + D}), QStringList{"line:xx"});
        const QByteArray joinedD = "AB0083{PAQ_Marr" + K.left(4) + K + K.mid(4) + "owlinker}";
        QCOMPARE(feedChunks({joinedD}), QStringList());
        QCOMPARE(feedChunks({joinedD, "CD0087" + D}), (QStringList{"line:AB", "line:CD"}));
    }

    // The sum read as signed, in hex, padded or cut to four characters.
    void checksums()
    {
        const std::pair<quint32, QByteArray> cases[] = {{0, "0000"}, {0xFFFF, "FFFF"}, {0x11DF0, "11DF"},
            {0x7FFFFFFF, "7FFF"}, {0x80000000, "-800"}, {0xFFFFFFF0, "0-10"}, {0xFFFFFFFF, "00-1"}};
        for (const auto &[sum, text] : cases)
            QCOMPARE(checksumText(sum), text);
        QCOMPARE(encodeFrame("abc\r\n"), "abc\r\n013D" + D);

        // 8,500,000 bytes of 0xFF sum to 0x81316CE0, written as -7ECE9320.
        const QByteArray payload(8'500'000, '\xff');
        QCOMPARE(frameChecksum(payload), QByteArray("-7EC"));
        const QStringList events = feedChunks({payload + "8131" + D + payload + "-7EC" + D});
        QCOMPARE(events.size(), 2);
        QVERIFY(events[0].startsWith("bad:255,255,") && events[0].endsWith(",255,56,49,51,49,"));
        QCOMPARE(events[1].size(), 5 + payload.size()); // each invalid byte decodes to U+FFFD
    }

    // The same cuts to LineFramer and to the whole-buffer scheme: the same events
    // after every chunk and the same bytes left over. Long streams also make the
    // framer drop cut frames and removed markers while joined markers wait.
    void matchesReference_data()
    {
        QTest::addColumn<quint32>("seedOffset");
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("pieces"); // 0: 1 to 40
        QTest::newRow("short streams") << 0u << 4000 << 0;
        QTest::newRow("long streams") << 1u << 12 << 30000;
    }

    void matchesReference()
    {
        QFETCH(quint32, seedOffset);
        QFETCH(int, streams);
        QFETCH(int, pieces);
        const quint32 seed = qEnvironmentVariableIsSet("FRAMER_SEED") ? quint32(qEnvironmentVariableIntValue("FRAMER_SEED"))
                                                                       : 20296u;
        qInfo("seed %u (set FRAMER_SEED to change)", seed);
        StreamMaker maker(seed + seedOffset);
        int events = 0, bad = 0, joinedLeftOver = 0;
        for (int i = 0; i < streams; ++i) {
            QByteArray data;
            for (int n = pieces ? pieces : maker.pick(1, 40); n > 0; --n)
                data += maker.piece();
            LineFramer framer;
            ReferenceFramer reference;
            for (qsizetype at = 0; at < data.size();) {
                const QByteArray chunk = data.mid(at, maker.chunkSize(data.size() - at, pieces == 0));
                at += chunk.size();
                QStringList expected;
                for (const ReferenceFramer::Event &e : reference.feed(chunk)) {
                    expected << (e.good ? QStringLiteral("line:") + e.line : badText(e.frame));
                    bad += e.good ? 0 : 1;
                }
                framer.feed(chunk);
                const QStringList got = drain(framer);
                if (got != expected || framer.pendingData() != reference.buffer) {
                    qWarning() << "expected" << expected << "left" << reference.buffer.toHex();
                    qWarning() << "got" << got << "left" << framer.pendingData().toHex();
                    if (data.size() < 4096)
                        qWarning("stream: %s", data.toHex().constData());
                    QFAIL(qPrintable(QStringLiteral("stream %1 differs after offset %2").arg(i).arg(at)));
                }
                events += int(expected.size());
                joinedLeftOver += reference.buffer.contains(K) ? 1 : 0;
            }
        }
        qInfo("%d events, %d bad frames, %d chunks left a joined marker behind", events, bad, joinedLeftOver);
        // The streams must reach the hard cases, or the comparison proves little.
        QVERIFY(events > 10000 && bad > 1000 && joinedLeftOver > 100);
    }

    // One framer through a frame of 16 MiB in small chunks, a frame of exactly the
    // bound once the keep-alives in it are removed, then one byte over the bound.
    void bounds()
    {
        LineFramer framer;
        const QByteArray payload(16 * 1024 * 1024, 'q');
        const QByteArray big = QByteArray(payload).insert(1000, K) + frameChecksum(payload) + D;
        QStringList events;
        for (qsizetype at = 0; at < big.size(); at += 4096) {
            framer.feed(QByteArrayView(big).sliced(at, std::min<qsizetype>(4096, big.size() - at)));
            events << drain(framer);
        }
        QCOMPARE(events.size(), 1);
        QVERIFY(events.first() == "line:" + QString::fromLatin1(payload));

        framer.feed(QByteArray(maxPendingBytes - 6, 'a'));
        framer.feed(K.repeated(100'000));
        framer.feed("AB0083" + D);
        std::optional<FramerEvent> event = framer.next();
        QVERIFY(event && event->kind == FramerEvent::BadFrame);
        QCOMPARE(event->frame.size(), maxPendingBytes);
        QVERIFY(event->frame.endsWith("aAB0083"));
        QVERIFY(!framer.next());

        for (qsizetype fed = 0; fed < maxPendingBytes; fed += 1024 * 1024)
            framer.feed(QByteArray(1024 * 1024, 'a'));
        QCOMPARE(framer.pendingBytes(), maxPendingBytes);
        QVERIFY(!framer.next() && !framer.hasOverflowed());
        framer.feed("b");
        QCOMPARE(drain(framer), QStringList{"overflow"});
        QVERIFY(framer.hasOverflowed());
        QCOMPARE(framer.pendingBytes(), 0);
        // Once over the bound the connection is finished: later bytes give nothing.
        framer.feed("AB0083" + D);
        QVERIFY(!framer.next());
    }
};

FIELDPOST_TEST_MAIN(TestLineFramer)
#include "tst_lineframer.moc"
