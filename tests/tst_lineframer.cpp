#include "TestMain.h"

#include "FrameEncoder.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <random>

namespace {

const QByteArray D = QByteArrayLiteral("{PAQ_Marrowlinker}");
const QByteArray K = QByteArray::fromHex("ddfe5a554e455801fede");

// Events as short texts so that a mismatch prints readably.
QString lineText(const QString &line)
{
    return QStringLiteral("line:") + line;
}

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
    while (std::optional<FramerEvent> event = framer.next()) {
        switch (event->kind) {
        case FramerEvent::Line:
            out << lineText(event->line);
            break;
        case FramerEvent::BadFrame:
            out << badText(event->frame);
            break;
        case FramerEvent::Overflow:
            out << QStringLiteral("overflow");
            break;
        }
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

QStringList referenceTexts(const QList<ReferenceFramer::Event> &events)
{
    QStringList out;
    for (const ReferenceFramer::Event &e : events)
        out << (e.good ? lineText(e.line) : badText(e.frame));
    return out;
}

} // namespace

class TestLineFramer : public QObject
{
    Q_OBJECT

private slots:
    void constants();
    void rules_data();
    void rules();
    void chunkDependent_data();
    void chunkDependent();
    void frameWaitsForItsDelimiter();
    void checksumText_data();
    void checksumText();
    void largeSignedSum();
    void encoder();
    void matchesReference();
    void matchesReferenceOnLongStreams();
    void pendingBound();
    void keepAlivesDoNotCountTowardsBound();
    void largeFrameInSmallChunks();
};

void TestLineFramer::constants()
{
    QCOMPARE(keepAliveMarker, K);
    QCOMPARE(keepAliveMarker.size(), 10);
    QCOMPARE(frameDelimiter, D);
    QCOMPARE(frameDelimiter.size(), 18);
}

// Cases whose outcome does not depend on how the stream is cut into chunks.
void TestLineFramer::rules_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("one frame") << ("AB0083" + D) << QStringList{"line:AB"};
    QTest::newRow("two frames") << ("AB0083" + D + "abc0126" + D) << QStringList{"line:AB", "line:abc"};
    QTest::newRow("keep-alive only") << K << QStringList();
    QTest::newRow("keep-alive between frames") << ("AB0083" + D + K + "abc0126" + D + K)
                                              << QStringList{"line:AB", "line:abc"};
    QTest::newRow("marker inside payload") << ("A" + K + "B0083" + D) << QStringList{"line:AB"};
    QTest::newRow("markers in trailer and delimiter")
        << ("AB00" + K + "83{PAQ_" + K + "Marrowlinker}") << QStringList{"line:AB"};
    QTest::newRow("delimiter joined by marker removal")
        << ("AB0083{PAQ_Marr" + K + "owlinker}") << QStringList{"line:AB"};
    QTest::newRow("two markers in a row") << ("AB" + K + K + "0083" + D) << QStringList{"line:AB"};
    QTest::newRow("empty frames") << (D + D + "AB0083" + D + D) << QStringList{"line:AB"};
    QTest::newRow("four-byte frame") << ("0000" + D) << QStringList{"bad:48,48,48,48,"};
    QTest::newRow("one-byte frame then good") << ("x" + D + "AB0083" + D) << QStringList{"bad:120,", "line:AB"};
    QTest::newRow("wrong sum") << ("AB0084" + D) << QStringList{"bad:65,66,48,48,56,52,"};
    QTest::newRow("upper-case trailer") << ("Z005A" + D) << QStringList{"line:Z"};
    QTest::newRow("lower-case trailer") << ("Z005a" + D) << QStringList{"bad:90,48,48,53,97,"};
    QTest::newRow("five-digit sum, first four digits") << (QByteArray(600, 'z') + "11DF" + D)
                                                      << QStringList{"line:" + QString(600, QLatin1Char('z'))};
    QTest::newRow("five-digit sum, last four digits") << (QByteArray(600, 'z') + "1DF0" + D)
                                                     << QStringList{badText(QByteArray(600, 'z') + "1DF0")};
    QTest::newRow("CR LF only") << ("\r\n0017" + D) << QStringList();
    QTest::newRow("abc CR LF") << ("abc\r\n013D" + D) << QStringList{"line:abc"};
    QTest::newRow("CR and LF inside") << ("a\rb\nc013D" + D) << QStringList{"line:abc"};
    QTest::newRow("blanks kept") << ("  hi  0151" + D) << QStringList{"line:  hi  "};
    QTest::newRow("UTF-8") << ("\xc3\xa9" "016C" + D) << QStringList{QStringLiteral("line:\u00e9")};
    QTest::newRow("delimiter prefix in payload") << ("a{PAQ_021D" + D) << QStringList{"line:a{PAQ_"};
    QTest::newRow("almost a delimiter") << ("Mar{PAQ_Marrowlinke0767" + D) << QStringList{"line:Mar{PAQ_Marrowlinke"};
    QTest::newRow("marker split by delimiter stays")
        << (K.left(4) + D + K.mid(4) + "0000" + D)
        << QStringList{badText(K.left(4)), badText(K.mid(4) + "0000")};
    QTest::newRow("tail waits") << ("AB0083" + D + "abc0126{PAQ_Marrow") << QStringList{"line:AB"};
}

void TestLineFramer::rules()
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

// One pass removes only the markers present before it; a marker that the
// removal joins (one marker inside another) goes with the next chunk's pass.
void TestLineFramer::chunkDependent_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("expected");

    const QByteArray nested = K.left(3) + K + K.mid(3);
    QTest::newRow("joined marker stays in a frame cut by the same chunk")
        << QList<QByteArray>{"x" + nested + "x00F0" + D} << QStringList{badText("x" + K + "x00F0")};
    QTest::newRow("joined marker removed by the next chunk")
        << QList<QByteArray>{"x" + nested + "x", "00F0" + D} << QStringList{"line:xx"};
    QTest::newRow("doubly nested needs two more chunks")
        << QList<QByteArray>{"x" + K.left(2) + nested + K.mid(2) + "x", "00F0", D} << QStringList{"line:xx"};
    QTest::newRow("doubly nested, one more chunk")
        << QList<QByteArray>{"x" + K.left(2) + nested + K.mid(2) + "x", "00F0" + D}
        << QStringList{badText("x" + K + "x00F0")};
    QTest::newRow("delimiter joined one chunk later")
        << QList<QByteArray>{"AB0083{PAQ_Marr" + K.left(4) + K + K.mid(4) + "owlinker}", "CD0087" + D}
        << QStringList{"line:AB", "line:CD"};
    QTest::newRow("delimiter behind a joined marker never joins")
        << QList<QByteArray>{"AB0083{PAQ_Marr" + K.left(4) + K + K.mid(4) + "owlinker}"} << QStringList();
}

void TestLineFramer::chunkDependent()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, expected);
    QCOMPARE(feedChunks(chunks), expected);
}

void TestLineFramer::frameWaitsForItsDelimiter()
{
    LineFramer framer;
    framer.feed("AB00");
    QVERIFY(drain(framer).isEmpty());
    framer.feed("83{PAQ_Marrowlinker");
    QVERIFY(drain(framer).isEmpty());
    QCOMPARE(framer.pendingBytes(), 23);
    framer.feed("}ab");
    QCOMPARE(drain(framer), QStringList{"line:AB"});
    QCOMPARE(framer.pendingData(), QByteArray("ab"));
}

void TestLineFramer::checksumText_data()
{
    QTest::addColumn<quint32>("sum");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("zero") << 0u << QByteArray("0000");
    QTest::newRow("AB") << 0x83u << QByteArray("0083");
    QTest::newRow("four digits") << 0xFFFFu << QByteArray("FFFF");
    QTest::newRow("five digits keep the first four") << 0x11DF0u << QByteArray("11DF");
    QTest::newRow("largest positive") << 0x7FFFFFFFu << QByteArray("7FFF");
    QTest::newRow("2^31 is negative") << 0x80000000u << QByteArray("-800");
    QTest::newRow("-0x1000") << 0xFFFFF000u << QByteArray("-100");
    QTest::newRow("-0x10 is padded") << 0xFFFFFFF0u << QByteArray("0-10");
    QTest::newRow("-1 is padded") << 0xFFFFFFFFu << QByteArray("00-1");
}

void TestLineFramer::checksumText()
{
    QFETCH(quint32, sum);
    QFETCH(QByteArray, text);
    QCOMPARE(::checksumText(sum), text);
}

// 8,500,000 bytes of 0xFF sum to 0x81316CE0, written as -7ECE9320.
void TestLineFramer::largeSignedSum()
{
    const QByteArray payload(8'500'000, '\xff');
    QCOMPARE(frameChecksum(payload), QByteArray("-7EC"));

    LineFramer framer;
    framer.feed(payload + "8131" + D);
    std::optional<FramerEvent> event = framer.next();
    QVERIFY(event);
    QCOMPARE(event->kind, FramerEvent::BadFrame);
    QCOMPARE(event->frame.size(), payload.size() + 4);

    framer.feed(payload + "-7EC" + D);
    event = framer.next();
    QVERIFY(event);
    QCOMPARE(event->kind, FramerEvent::Line);
    QCOMPARE(event->line.size(), payload.size()); // each invalid byte decodes to U+FFFD
    QVERIFY(!framer.next());
}

void TestLineFramer::encoder()
{
    QCOMPARE(encodeFrame("AB"), "AB0083" + D);
    QCOMPARE(encodeFrame("abc\r\n"), "abc\r\n013D" + D);
}

namespace {

// Streams built from the pieces that make framing hard, cut at random points.
class StreamMaker
{
public:
    explicit StreamMaker(quint32 seed) : rng(seed) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    QByteArray stream(int pieces)
    {
        QByteArray data;
        for (int n = pieces; n > 0; --n)
            data += piece();
        return data;
    }

    // Mostly tiny cuts, some large ones, and now and then all that is left.
    qsizetype chunkSize(qsizetype left, bool wholeRest = true)
    {
        const int kind = pick(0, 19);
        if (kind == 19 && wholeRest)
            return left;
        return kind < 8 ? pick(1, 3) : kind < 18 ? pick(1, 40) : pick(1000, 20000);
    }

private:
    QByteArray randomBytes(int lo, int hi)
    {
        static const QByteArray alphabet = QByteArrayLiteral("abcZ {}_PAQMarw\r\n\xc3\xa9\xdd\xfe\x01");
        QByteArray out;
        for (int n = pick(lo, hi); n > 0; --n)
            out.append(alphabet.at(pick(0, int(alphabet.size()) - 1)));
        return out;
    }

    // A marker wrapped in `depth` broken markers: each pass unwraps one level.
    QByteArray nested(int depth)
    {
        if (depth == 0)
            return K;
        const int at = pick(1, 9);
        return K.left(at) + nested(depth - 1) + K.mid(at);
    }

    QByteArray insertAnywhere(QByteArray text, const QByteArray &what)
    {
        return text.insert(pick(0, int(text.size())), what);
    }

    QByteArray piece()
    {
        switch (pick(0, 15)) {
        case 0:
        case 1: {
            const QByteArray payload = randomBytes(1, 12);
            return payload + ReferenceFramer::trailer(payload) + D;
        }
        case 2: { // good frame with markers anywhere in it
            const QByteArray payload = randomBytes(1, 12);
            return insertAnywhere(payload + ReferenceFramer::trailer(payload) + D, nested(pick(0, 2)));
        }
        case 3: { // checksum over what one pass leaves: good or bad depending on the cuts
            const QByteArray payload = randomBytes(0, 6);
            return payload + K.left(5) + K + K.mid(5) + ReferenceFramer::trailer(payload + K) + D;
        }
        case 4: {
            static const QByteArray hex = QByteArrayLiteral("0123456789ABCDEFabcdef");
            QByteArray trailer;
            for (int i = 0; i < 4; ++i)
                trailer.append(hex.at(pick(0, int(hex.size()) - 1)));
            return randomBytes(0, 8) + trailer + D;
        }
        case 5:
            return randomBytes(1, 4) + D;
        case 6:
            return D;
        case 7:
            return D.left(pick(1, 17));
        case 8:
            return D.mid(pick(1, 17));
        case 9:
            return K;
        case 10:
            return pick(0, 1) ? K.left(pick(1, 9)) : K.mid(pick(1, 9));
        case 11:
            return nested(pick(1, 3));
        case 12: { // a delimiter that only a removal completes
            const int at = pick(1, 17);
            return D.left(at) + nested(pick(0, 3)) + D.mid(at);
        }
        case 13: {
            const int at = pick(1, 9);
            return K.left(at) + (pick(0, 1) ? D : randomBytes(1, 3)) + K.mid(at);
        }
        case 14:
            return QByteArray(pick(0, 2) ? "\r\n" : "\r");
        default:
            return randomBytes(1, 5);
        }
    }

    std::mt19937 rng;
};

struct DiffStats
{
    int events = 0;
    int badFrames = 0;
    int joinedLeftOver = 0;
};

// Feeds the same cuts to LineFramer and to the whole-buffer scheme and
// demands the same events after every chunk and the same bytes left over.
bool sameAsReference(StreamMaker &maker, const QByteArray &data, DiffStats &stats, bool wholeRest = true)
{
    LineFramer framer;
    ReferenceFramer reference;
    for (qsizetype at = 0; at < data.size();) {
        const QByteArray chunk = data.mid(at, maker.chunkSize(data.size() - at, wholeRest));
        at += chunk.size();

        const QList<ReferenceFramer::Event> expected = reference.feed(chunk);
        framer.feed(chunk);
        const QStringList got = drain(framer);
        if (got != referenceTexts(expected) || framer.pendingData() != reference.buffer) {
            qWarning("differs after offset %lld", qlonglong(at));
            qWarning() << "expected" << referenceTexts(expected) << "left" << reference.buffer.toHex();
            qWarning() << "got" << got << "left" << framer.pendingData().toHex();
            if (data.size() < 4096)
                qWarning("stream: %s", data.toHex().constData());
            return false;
        }
        stats.events += int(expected.size());
        for (const ReferenceFramer::Event &e : expected)
            stats.badFrames += e.good ? 0 : 1;
        stats.joinedLeftOver += reference.buffer.contains(K) ? 1 : 0;
    }
    return true;
}

quint32 testSeed()
{
    const quint32 seed = qEnvironmentVariableIsSet("FRAMER_SEED") ? quint32(qEnvironmentVariableIntValue("FRAMER_SEED"))
                                                                   : 20296u;
    qInfo("seed %u (set FRAMER_SEED to change)", seed);
    return seed;
}

} // namespace

void TestLineFramer::matchesReference()
{
    StreamMaker maker(testSeed());
    DiffStats stats;
    for (int i = 0; i < 4000; ++i) {
        const QByteArray data = maker.stream(maker.pick(1, 40));
        if (!sameAsReference(maker, data, stats))
            QFAIL(qPrintable(QStringLiteral("stream %1 differs").arg(i)));
    }
    qInfo("%d events, %d bad frames, %d chunks left a joined marker behind", stats.events, stats.badFrames,
          stats.joinedLeftOver);
    // The streams must reach the hard cases, or the comparison proves little.
    QVERIFY(stats.events > 10000);
    QVERIFY(stats.badFrames > 1000);
    QVERIFY(stats.joinedLeftOver > 100);
}

// Long streams, so that the framer also drops cut frames and removed
// markers from memory while joined markers wait for their pass.
void TestLineFramer::matchesReferenceOnLongStreams()
{
    StreamMaker maker(testSeed() + 1);
    DiffStats stats;
    for (int i = 0; i < 12; ++i) {
        const QByteArray data = maker.stream(30000);
        if (!sameAsReference(maker, data, stats, false))
            QFAIL(qPrintable(QStringLiteral("long stream %1 differs").arg(i)));
    }
    qInfo("%d events, %d bad frames, %d chunks left a joined marker behind", stats.events, stats.badFrames,
          stats.joinedLeftOver);
    QVERIFY(stats.joinedLeftOver > 100);
}

void TestLineFramer::pendingBound()
{
    LineFramer framer;
    const QByteArray block(1024 * 1024, 'a');
    for (qsizetype fed = 0; fed < maxPendingBytes; fed += block.size()) {
        framer.feed(block);
        QVERIFY(!framer.next());
    }
    QCOMPARE(framer.pendingBytes(), maxPendingBytes);
    QVERIFY(!framer.hasOverflowed());

    framer.feed("b");
    QCOMPARE(drain(framer), QStringList{"overflow"});
    QVERIFY(framer.hasOverflowed());
    QCOMPARE(framer.pendingBytes(), 0);
    // Once over the bound the connection is finished: later bytes give nothing.
    framer.feed("AB0083" + D);
    QVERIFY(!framer.next());
}

void TestLineFramer::keepAlivesDoNotCountTowardsBound()
{
    LineFramer framer;
    framer.feed(QByteArray(maxPendingBytes - 6, 'a'));
    QByteArray markers;
    for (int i = 0; i < 100'000; ++i)
        markers += K;
    framer.feed(markers);
    framer.feed("AB0083" + D);
    std::optional<FramerEvent> event = framer.next();
    QVERIFY(event);
    QCOMPARE(event->kind, FramerEvent::BadFrame);
    QCOMPARE(event->frame.size(), maxPendingBytes);
    QVERIFY(event->frame.endsWith("aAB0083"));
    QVERIFY(!framer.next());
    QVERIFY(!framer.hasOverflowed());
    QCOMPARE(framer.pendingBytes(), 0);
}

void TestLineFramer::largeFrameInSmallChunks()
{
    QByteArray payload(16 * 1024 * 1024, 'q');
    payload.insert(1000, K); // a keep-alive early in the frame
    const QByteArray stream = payload + frameChecksum(QByteArray(16 * 1024 * 1024, 'q')) + D;
    LineFramer framer;
    QStringList events;
    for (qsizetype at = 0; at < stream.size(); at += 4096) {
        framer.feed(QByteArrayView(stream).sliced(at, std::min<qsizetype>(4096, stream.size() - at)));
        while (std::optional<FramerEvent> event = framer.next()) {
            QCOMPARE(event->kind, FramerEvent::Line);
            QCOMPARE(event->line.size(), 16 * 1024 * 1024);
            events << QStringLiteral("line");
        }
    }
    QCOMPARE(events.size(), 1);
    QCOMPARE(framer.pendingBytes(), 0);
}

FIELDPOST_TEST_MAIN(TestLineFramer)
#include "tst_lineframer.moc"
