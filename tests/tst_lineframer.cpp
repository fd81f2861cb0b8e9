#include "TestMain.h"

#include "FrameFormat.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <random>

namespace {

// Written out rather than taken from the product's globals, whose start-up order is not ours.
const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}"), K = QByteArray::fromHex("ddfe5a554e455801fede");

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
        return kind == 19 && wholeRest ? left
             : kind < 8 ? pick(1, 3) : kind < 18 ? pick(1, 40) : pick(1000, 20000);
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

    QByteArray piece()
    {
        const int at = pick(1, 9), atD = pick(1, 17);
        switch (pick(0, 12)) {
        case 0:
        case 1: return good(randomBytes(1, 12));
        case 2: { // good frame with markers anywhere in it
            QByteArray frame = good(randomBytes(1, 12));
            return frame.insert(pick(0, int(frame.size())), nested(pick(0, 2)));
        }
        case 3: { // checksum over what one pass leaves: good or bad depending on the cuts
            const QByteArray payload = randomBytes(0, 6);
            return payload + K.left(5) + K + K.mid(5) + ReferenceFramer::trailer(payload + K) + D;
        }
        case 4: return randomBytes(0, 8) + randomBytes(4, 4, "0123456789ABCDEFabcdef") + D;
        case 5: return randomBytes(0, 4) + D; // short frames, empty ones included
        case 6: return pick(0, 1) ? D.left(atD) : D.mid(atD);
        case 7: return pick(0, 1) ? K.left(at) : K.mid(at);
        case 8: return nested(pick(0, 3));
        case 9: return D.left(atD) + nested(pick(0, 3)) + D.mid(atD); // a delimiter only a removal completes
        case 10: return K.left(at) + (pick(0, 1) ? D : randomBytes(1, 3)) + K.mid(at);
        case 11: return QByteArray(pick(0, 2) ? "\r\n" : "\r");
        default: return randomBytes(1, 5);
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
    // The sum read as signed, in hex, padded or cut to its first four characters.
    void checksums()
    {
        const std::pair<quint32, QByteArray> cases[] = {{0, "0000"}, {0xFFFF, "FFFF"}, {0x11DF0, "11DF"},
            {0x7FFFFFFF, "7FFF"}, {0x80000000, "-800"}, {0xFFFFFFF0, "0-10"}, {0xFFFFFFFF, "00-1"}};
        for (const auto &[sum, text] : cases)
            QCOMPARE(checksumText(sum), text);
        QCOMPARE(encodeFrame("abc\r\n"), "abc\r\n013D" + D);
        // 8,500,000 bytes of 0xFF sum to 0x81316CE0, written as -7ECE9320.
        QCOMPARE(frameChecksum(QByteArray(8'500'000, '\xff')), QByteArray("-7EC"));
        // A frame no longer than its trailer carries no line, whatever its digits say.
        LineFramer framer;
        framer.feed("0000" + D);
        QCOMPARE(drain(framer), QStringList{badText("0000")});
    }

    // LineFramer and the whole-buffer scheme give the same events and leftovers after every chunk. Long
    // streams also make the framer drop cut frames and removed markers while joined markers wait.
    void matchesReference()
    {
        const quint32 seed = qEnvironmentVariableIsSet("FRAMER_SEED") ? quint32(qEnvironmentVariableIntValue("FRAMER_SEED"))
                                                                       : 20296u;
        qInfo("seed %u (set FRAMER_SEED to change)", seed);
        StreamMaker maker(seed);
        int events = 0, bad = 0, joinedLeftOver = 0;
        for (int i = 0; i < 4012; ++i) {
            const int pieces = i < 4000 ? 0 : 30000;
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
                    qWarning() << "expected" << expected << reference.buffer.toHex() << "got" << got << framer.pendingData().toHex();
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

    // A frame of exactly the bound once its keep-alives are removed, then one byte over the bound.
    void bounds()
    {
        LineFramer framer;
        framer.feed(QByteArray(maxPendingBytes - 6, 'a'));
        framer.feed(K.repeated(100'000));
        framer.feed("AB0083" + D);
        std::optional<FramerEvent> event = framer.next();
        QVERIFY(event && event->kind == FramerEvent::BadFrame);
        QCOMPARE(event->frame, QByteArray(maxPendingBytes - 6, 'a') + "AB0083");
        QVERIFY(!framer.next());

        for (qsizetype fed = 0; fed < maxPendingBytes; fed += 1024 * 1024)
            framer.feed(QByteArray(1024 * 1024, 'a'));
        QVERIFY(framer.pendingBytes() == maxPendingBytes && !framer.next() && !framer.hasOverflowed());
        framer.feed("b");
        QCOMPARE(drain(framer), QStringList{"overflow"});
        QVERIFY(framer.hasOverflowed() && framer.pendingBytes() == 0);
        // Once over the bound the connection is finished: later bytes give nothing.
        framer.feed("AB0083" + D);
        QVERIFY(!framer.next());
    }
};

FIELDPOST_TEST_MAIN(TestLineFramer)
#include "tst_lineframer.moc"
