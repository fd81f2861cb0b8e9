// A plugin connection without a socket: the handshake, the frames, the
// hand-over between them, and every byte it asks to send.
#include "TestMain.h"
#include "TestSupport.h"

#include "WsConnection.h"

#include <QCryptographicHash>

using Type = WsConnection::Event::Type;
using namespace support;

namespace {

const QByteArray request = upgradeRequest();
// The plugin's id here; any other extension is a stranger.
const QByteArray ours = "abcdefghijklmnopabcdefghijklmnop";

QByteArray headOfSize(qsizetype size)
{
    const QByteArray start = "GET / HTTP/1.1\r\n" + rfcKeyLine + "X-Pad: ";
    return start + QByteArray(size - start.size(), 'a') + "\r\n\r\n";
}

QByteArray text(const QByteArray &p, bool fin = true) { return clientFrame(fin ? 0x81 : 0x01, p); }
QByteArray cont(const QByteArray &p, bool fin, bool masked = true) { return clientFrame(fin ? 0x80 : 0x00, p, masked); }
QByteArray control(quint8 opcode, const QByteArray &p) { return clientFrame(0x80 | opcode, p); }

// Long payloads by size and digest, so that failures stay readable.
QString shown(const QByteArray &bytes)
{
    return bytes.size() <= 64 ? QString::fromLatin1(bytes)
                              : QStringLiteral("<%1 bytes %2>").arg(bytes.size()).arg(QString::fromLatin1(
                                    QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
}

QString sent(const QByteArray &bytes)
{
    return QStringLiteral("sent ") + (bytes == rfcResponse ? QStringLiteral("101")
                                      : bytes.size() > 64  ? shown(bytes) : QString::fromLatin1(bytes.toHex()));
}

QString describe(const WsConnection::Event &event)
{
    const char *const names[] = {"upgraded", "text ", "ping ", "close", "refused", "refused origin ", "failed "};
    const bool payload = event.type == Type::Text || event.type == Type::Ping;
    return QLatin1String(names[int(event.type)]) + (payload ? shown(event.payload) : event.detail);
}

QStringList run(const QList<QByteArrayView> &chunks)
{
    WsConnection connection({QString::fromLatin1(ours)});
    QStringList transcript;
    for (QByteArrayView chunk : chunks) {
        connection.receive(chunk.toByteArray());
        while (const std::optional<WsConnection::Event> event = connection.next()) {
            transcript << describe(*event);
            if (connection.outgoingSize() > 0)
                transcript << sent(connection.takeOutgoing());
        }
    }
    return transcript;
}

QStringList runInChunks(QByteArrayView input, qsizetype size)
{
    QList<QByteArrayView> chunks;
    for (qsizetype i = 0; i < input.size(); i += size)
        chunks << input.sliced(i, qMin(size, input.size() - i));
    return run(chunks);
}

const QStringList upgraded{QStringLiteral("upgraded"), QStringLiteral("sent 101")};

void row(const char *name, const QByteArray &input, const QStringList &transcript) { QTest::newRow(name) << input << transcript; }

void frames(const char *name, const QByteArray &input, const QStringList &events)
{
    QTest::newRow(name) << request + input << upgraded + events;
}

} // namespace

class TestWsConnection : public QObject
{
    Q_OBJECT

private slots:
    void stream_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("transcript");

        row("name in capitals, blanks and tabs, lines without colon",
            upgradeRequest("garbage line\r\n \tSEC-WEBSOCKET-KEY \t:" + rfcKey + " \t \r\n"), upgraded);
        row("of two keys the later, empty one wins", upgradeRequest(rfcKeyLine + "Sec-WebSocket-Key:  \r\n"), {"refused"});
        row("no key", upgradeRequest(""), {"refused"});
        row("similar names do not count",
            upgradeRequest("X-Sec-WebSocket-Key: " + rfcKey + "\r\nSec-WebSocket-Key2: " + rfcKey + "\r\n"), {"refused"});

        // Only our plugin (and local tools, which send no Origin) may connect.
        row("our plugin", upgradeRequest("ORIGIN: Chrome-Extension://" + ours.toUpper() + "\r\n" + rfcKeyLine), upgraded);
        row("our plugin in edge", upgradeRequest("Origin: extension://" + ours + "\r\n" + rfcKeyLine), upgraded);
        const QString refused = QStringLiteral("refused origin ");
        row("another extension", upgradeRequest("Origin: chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba\r\n" + rfcKeyLine),
            {refused + "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba"});
        row("our id under another scheme", upgradeRequest("Origin: moz-extension://" + ours + "\r\n" + rfcKeyLine),
            {refused + "moz-extension://" + QString::fromLatin1(ours)});
        row("local web page after the key", upgradeRequest(rfcKeyLine + "Origin: http://127.0.0.1:8080\r\n"),
            {refused + "http://127.0.0.1:8080"});
        row("opaque origin", upgradeRequest("Origin: null\r\n" + rfcKeyLine), {refused + "null"});
        row("web origin after ours",
            upgradeRequest("Origin: chrome-extension://" + ours + "\r\nOrigin: https://evil.example\r\n" + rfcKeyLine),
            {refused + "https://evil.example"});
        row("ours cannot undo a web origin",
            upgradeRequest("Origin: https://evil.example\r\nOrigin: chrome-extension://" + ours + "\r\n" + rfcKeyLine),
            {refused + "https://evil.example"});
        // Once refused, later bytes are never looked at; control bytes never reach the log.
        row("refused, then a good request and a frame", upgradeRequest("Origin: https://a\rb\x01.example\r\n") + request + text("t"),
            {refused + "https://a?b?.example"});

        const QString tooLong = QStringLiteral("failed request head over 16384 bytes");
        row("head of exactly 16384 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes), upgraded);
        row("head of 16385 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes + 1), {tooLong});
        row("16387 bytes without blank line, may still end in time", QByteArray(WsHandshake::MaxRequestHeadBytes + 3, 'a'),
            {});
        row("16388 bytes without blank line, then more", QByteArray(WsHandshake::MaxRequestHeadBytes + 4, 'a') + "\r\n\r\n",
            {tooLong});

        // RFC 6455 section 5.7, byte for byte, right behind the head in the same read.
        frames("rfc masked text", QByteArray::fromHex("818537fa213d7f9f4d5158"), {"text Hello"});
        frames("rfc fragmented unmasked text", QByteArray::fromHex("010348656c80026c6f"), {"text Hello"});
        frames("rfc unmasked ping, answered with the same payload", QByteArray::fromHex("890548656c6c6f"),
               {"ping Hello", "sent 8a0548656c6c6f"});

        frames("three fragments with a ping and a pong between, then an empty text",
               text("Hel", false) + control(0x9, "p1") + cont("l", false) + control(0xA, "x") + cont("o", true) + text(""),
               {"ping p1", "sent 8a027031", "text Hello", "text "});
        frames("a final text inside a fragmented one comes at once; a new start replaces it",
               text("A", false) + text("whole") + text("B", false) + cont("C", true), {"text whole", "text BC"});
        frames("binary, reserved opcodes and stray continuations dropped; RSV bits ignored",
               text("lost", false) + clientFrame(0x02, "bin") + cont("ary", false) + control(0x9, "") + cont("!", true)
                   + clientFrame(0x83, "r3") + clientFrame(0x87, "r7", false) + clientFrame(0x8B, "rB")
                   + cont("stray", true) + clientFrame(0xF1, "rsv"),
               {"ping ", "sent 8a00", "text rsv"});
        frames("close is answered with an empty close; nothing after it is read",
               text("before") + control(0x8, QByteArray::fromHex("03e8") + "bye") + text("after") + control(0x9, "p"),
               {"text before", "close", "sent 8800"});
        // Unmasked eight bytes at a time: cut anywhere, each part starts at any byte of the key and ends in any tail.
        frames("payloads longer than a word, fragmented, with a ping between",
               text("0123456789abcdefghijklm", false) + control(0x9, "ping-payload") + cont("nopqrstuvwxyzABCD", true),
               {"ping ping-payload", "sent 8a0c70696e672d7061796c6f6164", "text 0123456789abcdefghijklmnopqrstuvwxyzABCD"});
        frames("long length forms for short payloads",
               clientFrame(0x81, "s16", true, 126) + clientFrame(0x81, "s64", false, 127), {"text s16", "text s64"});
        frames("top bit of 64-bit length", QByteArray::fromHex("817f8000000000000005") + "Hello" + text("t"),
               {"failed frame length with the top bit set"});
        // Judged on the header alone, whatever the opcode.
        frames("payload of exactly the bound waits for its bytes", QByteArray::fromHex("82ff0000000001000000"), {});
        frames("payload over the bound after good frames", text("ok") + QByteArray::fromHex("82ff0000000001000001"),
               {"text ok", "failed frame payload over 16777216 bytes"});
    }

    // The same bytes give the same events and writes whole, byte by byte and cut at any point.
    void stream()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, transcript);

        QCOMPARE(runInChunks(input, 1), transcript);
        const QByteArrayView all(input);
        for (qsizetype cut = 0; cut <= input.size(); ++cut) {
            const QStringList split = run({all.first(cut), all.sliced(cut)});
            if (split != transcript)
                QFAIL(qPrintable(QStringLiteral("cut at %1 gives %2").arg(cut).arg(split.join(QLatin1String(" | ")))));
        }
    }

    // Text goes out only between the upgrade and the close, in order, in each length form at its edges.
    void sendsOnlyWhileOpen()
    {
        WsConnection connection;
        connection.receive(request.chopped(1));
        connection.sendText("early");
        QVERIFY(!connection.next() && connection.outgoingSize() == 0 && !connection.upgraded());
        connection.receive(request.right(1) + control(0x9, "p"));
        QCOMPARE(describe(*connection.next()), QStringLiteral("upgraded"));
        connection.sendText("a");
        QCOMPARE(describe(*connection.next()), QStringLiteral("ping p"));
        QCOMPARE(connection.takeOutgoing(), rfcResponse + QByteArray::fromHex("8101618a0170"));
        const std::pair<int, const char *> forms[] = {{125, "817d"}, {126, "817e007e"}, {65535, "817effff"},
                                                       {65536, "817f0000000000010000"}};
        for (const auto &[size, header] : forms) {
            connection.sendText(QByteArray(size, 'x'));
            QCOMPARE(connection.takeOutgoing(), QByteArray::fromHex(header) + QByteArray(size, 'x'));
        }
        QVERIFY(connection.isOpen());
        connection.receive(control(0x8, {}));
        QCOMPARE(describe(*connection.next()), QStringLiteral("close"));
        connection.sendText("late");
        QCOMPARE(connection.takeOutgoing().toHex(), QByteArray("8800"));
        QVERIFY(connection.upgraded() && !connection.isOpen());
    }

    // Frames are unmasked where they lie, but never in a read the caller still holds.
    void keptReadUnchanged()
    {
        WsConnection connection;
        connection.receive(request);
        QCOMPARE(describe(*connection.next()), QStringLiteral("upgraded"));
        const QByteArray read = text("kept") + control(0x9, "p");
        const QByteArray copy(read.constData(), read.size());
        connection.receive(read);
        QCOMPARE(describe(*connection.next()), QStringLiteral("text kept"));
        QCOMPARE(describe(*connection.next()), QStringLiteral("ping p"));
        QCOMPARE(read, copy);
    }

    // The message bound, whole and in odd-sized chunks: megabytes are too many to cut at every point.
    void bounds_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("transcript");
        const qsizetype max = WsFrameDecoder::MaxMessageBytes;
        const QByteArray half = text(QByteArray(max / 2, 'x'), false);
        frames("message of exactly the bound from fragments", half + cont(QByteArray(max / 2, 'x'), true, false),
               {"text " + shown(QByteArray(max, 'x'))});
        frames("message one byte over the bound", half + cont(QByteArray(max / 2, 'x'), false) + cont("x", true) + text("after"),
               {"failed message over 16777216 bytes"});
        // Dropped messages are not kept, so their size costs nothing and is not limited.
        frames("binary message over the bound is only dropped",
               clientFrame(0x02, QByteArray(max, 'b'), false) + cont("b", true, false) + text("after"), {"text after"});
    }

    void bounds()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, transcript);
        QCOMPARE(run({input}), transcript);
        QCOMPARE(runInChunks(input, 65521), transcript);
    }
};

FIELDPOST_TEST_MAIN(TestWsConnection)
#include "tst_wsconnection.moc"
