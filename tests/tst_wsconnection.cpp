// A plugin connection without a socket: the handshake, the frames, the
// hand-over between them, and every byte it asks to send.
#include "TestMain.h"

#include "WsConnection.h"

#include <QCryptographicHash>

using Type = WsConnection::Event::Type;

namespace {

// Published values, not recomputed here: RFC 6455 section 1.3 and the example
// exchange most WebSocket tutorials quote; section 5.7's masking key.
const QByteArray rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";
const QByteArray rfcAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
const QByteArray otherKey = "x3JJHMbDL1EzLkh9GBhXDw==";
const QByteArray otherAccept = "HSmrc0sMlYUkAGmm5OPpG2HaGWk=";
const QByteArray keyLine = "Sec-WebSocket-Key: " + rfcKey + "\r\n";
const QByteArray rfcMask = QByteArray::fromHex("37fa213d");
const QByteArray responseHead = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Accept: ";

QByteArray head(const QByteArray &headers)
{
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:9000\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + headers
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}
const QByteArray request = head(keyLine);

// A request whose head (everything before the blank line) is exactly `size` bytes.
QByteArray headOfSize(qsizetype size)
{
    const QByteArray start = "GET / HTTP/1.1\r\n" + keyLine + "X-Pad: ";
    return start + QByteArray(size - start.size(), 'a') + "\r\n\r\n";
}

// A client frame built here, independently of the codec under test; `lengthCode`
// forces a length form (126 or 127) even for a short payload.
QByteArray clientFrame(quint8 firstByte, const QByteArray &payload, bool masked = true, int lengthCode = -1)
{
    QByteArray frame(1, char(firstByte));
    const quint64 n = quint64(payload.size());
    const int code = lengthCode >= 0 ? lengthCode : (n <= 125 ? int(n) : n <= 0xFFFF ? 126 : 127);
    frame.append(char((masked ? 0x80 : 0) | (code == 126 || code == 127 ? code : int(n))));
    if (code == 126) {
        frame.append(char(n >> 8)).append(char(n));
    } else if (code == 127) {
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char(n >> shift));
    }
    if (!masked)
        return frame + payload;
    frame.append(rfcMask);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(char(payload[i] ^ rfcMask[i % 4]));
    return frame;
}

QByteArray text(const QByteArray &p, bool fin = true, bool masked = true) { return clientFrame(fin ? 0x81 : 0x01, p, masked); }
QByteArray cont(const QByteArray &p, bool fin, bool masked = true) { return clientFrame(fin ? 0x80 : 0x00, p, masked); }
QByteArray control(quint8 opcode, const QByteArray &p) { return clientFrame(0x80 | opcode, p, true); }

// Long payloads by size and digest, so that failures stay readable.
QString shown(const QByteArray &bytes)
{
    if (bytes.size() <= 64)
        return QString::fromLatin1(bytes);
    return QStringLiteral("<%1 bytes %2>").arg(bytes.size()).arg(QString::fromLatin1(
               QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
}

// What the connection asked to send: "101 <accept>" for an exact upgrade response, else hex.
QString sent(const QByteArray &bytes)
{
    if (bytes.startsWith(responseHead) && bytes.endsWith("\r\n\r\n"))
        return QStringLiteral("sent 101 ") + QString::fromLatin1(bytes.mid(responseHead.size()).chopped(4));
    return QStringLiteral("sent ") + QString::fromLatin1(bytes.size() > 64 ? shown(bytes).toLatin1() : bytes.toHex());
}

QString describe(const WsConnection::Event &event)
{
    switch (event.type) {
    case Type::Upgraded: return QStringLiteral("upgraded");
    case Type::Text: return QStringLiteral("text ") + shown(event.payload);
    case Type::Ping: return QStringLiteral("ping ") + shown(event.payload);
    case Type::Close: return QStringLiteral("close");
    case Type::Refused: return QStringLiteral("refused");
    case Type::RefusedOrigin: return QStringLiteral("refused origin ") + event.detail;
    case Type::Failed: return QStringLiteral("failed ") + event.detail;
    }
    return {};
}

// Feeds the chunks in turn, taking every event and what it queued to send.
QStringList run(const QList<QByteArrayView> &chunks)
{
    WsConnection connection;
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

const QStringList upgraded{QStringLiteral("upgraded"), QStringLiteral("sent 101 ") + rfcAccept};

void row(const char *name, const QByteArray &input, const QStringList &transcript)
{
    QTest::newRow(name) << input << transcript;
}

// Frames behind an accepted request, as a plugin sends them.
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

        row("rfc key", request, upgraded);
        row("name in capitals, no blank", head("SEC-WEBSOCKET-KEY:" + rfcKey + "\r\n"), upgraded);
        row("blanks and tabs around name and value", head(" \tSec-WebSocket-Key \t:  \t" + rfcKey + " \t \r\n"), upgraded);
        row("lines ended by LF alone", "GET / HTTP/1.1\nHost: x\n" + keyLine + "\r\n", upgraded);
        row("two keys, last wins", head(keyLine + "Sec-WebSocket-Key: " + otherKey + "\r\n"),
            {"upgraded", "sent 101 " + otherAccept});
        row("lines without colon skipped", head("garbage line\r\n   \r\n" + keyLine), upgraded);
        row("later empty key wins", head(keyLine + "Sec-WebSocket-Key:\r\n"), {"refused"});
        row("no key", head(""), {"refused"});
        row("empty key", head("Sec-WebSocket-Key:   \r\n"), {"refused"});
        row("not a request at all", "\r\n\r\n", {"refused"});
        row("similar names do not count",
            head("X-Sec-WebSocket-Key: " + rfcKey + "\r\nSec-WebSocket-Key2: " + rfcKey + "\r\n"), {"refused"});
        row("no blank line yet", request.chopped(2), {});
        row("nothing", QByteArray(), {});

        // Only browser extensions (and local tools, which send no Origin) may connect.
        row("chrome extension", head("Origin: chrome-extension://abcdefghijklmnop\r\n" + keyLine), upgraded);
        row("edge extension", head("Origin: extension://abcdefghijklmnop\r\n" + keyLine), upgraded);
        row("firefox extension", head("origin:moz-extension://0a1b2c3d-aaaa-bbbb-cccc-123456789abc\r\n" + keyLine),
            upgraded);
        row("scheme in capitals", head("ORIGIN: Chrome-Extension://abc\r\n" + keyLine), upgraded);
        const QString refused = QStringLiteral("refused origin ");
        row("web page", head("Origin: https://evil.example\r\n" + keyLine), {refused + "https://evil.example"});
        row("local web page after the key", head(keyLine + "Origin: http://127.0.0.1:8080\r\n"),
            {refused + "http://127.0.0.1:8080"});
        row("look-alike host", head("Origin: https://chrome-extension.evil.example\r\n" + keyLine),
            {refused + "https://chrome-extension.evil.example"});
        row("opaque origin", head("Origin: null\r\n" + keyLine), {refused + "null"});
        row("empty origin", head("Origin:\r\n" + keyLine), {refused});
        row("scheme without host", head("Origin: chrome-extension://\r\n" + keyLine), {refused + "chrome-extension://"});
        row("web origin without key", head("Origin: https://evil.example\r\n"), {refused + "https://evil.example"});
        row("web origin after extension origin",
            head("Origin: chrome-extension://abc\r\nOrigin: https://evil.example\r\n" + keyLine),
            {refused + "https://evil.example"});
        row("extension origin cannot undo web origin",
            head("Origin: https://evil.example\r\nOrigin: chrome-extension://abc\r\n" + keyLine),
            {refused + "https://evil.example"});
        row("control bytes in origin are masked", head("Origin: https://a\rb\x01.example\r\n" + keyLine),
            {refused + "https://a?b?.example"});
        // Once refused, later bytes are never looked at: the connection is on its way out.
        row("refused, then a good request and a frame", head("Origin: null\r\n") + request + text("t"),
            {refused + "null"});

        const QString tooLong = QStringLiteral("failed request head over 16384 bytes");
        row("head of exactly 16384 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes), upgraded);
        row("head of 16385 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes + 1), {tooLong});
        row("16387 bytes without blank line, may still end in time", QByteArray(WsHandshake::MaxRequestHeadBytes + 3, 'a'),
            {});
        row("16388 bytes without blank line, then more", QByteArray(WsHandshake::MaxRequestHeadBytes + 4, 'a') + "\r\n\r\n",
            {tooLong});

        // RFC 6455 section 5.7, byte for byte, right behind the head in the same read.
        frames("rfc unmasked text", QByteArray::fromHex("810548656c6c6f"), {"text Hello"});
        frames("rfc masked text", QByteArray::fromHex("818537fa213d7f9f4d5158"), {"text Hello"});
        frames("rfc fragmented unmasked text", QByteArray::fromHex("010348656c80026c6f"), {"text Hello"});
        frames("rfc unmasked ping, answered with the same payload", QByteArray::fromHex("890548656c6c6f"),
               {"ping Hello", "sent 8a0548656c6c6f"});
        frames("rfc masked pong, ignored", QByteArray::fromHex("8a8537fa213d7f9f4d5158"), {});

        frames("empty text", text(""), {"text "});
        frames("three fragments with a ping between",
               text("Hel", false) + control(0x9, "p1") + cont("l", false) + control(0xA, "x") + cont("o", true),
               {"ping p1", "sent 8a027031", "text Hello"});
        frames("new text start replaces unfinished one", text("A", false) + text("B", false) + cont("C", true), {"text BC"});
        frames("final text inside a fragmented one is delivered at once",
               text("A", false) + text("whole") + cont("B", true), {"text whole", "text AB"});
        frames("RSV bits ignored", clientFrame(0xF1, "rsv"), {"text rsv"});
        frames("binary and reserved opcodes dropped",
               clientFrame(0x82, "\x01\x02") + clientFrame(0x83, "r3") + clientFrame(0x87, "r7", false)
                   + clientFrame(0x8B, "rB") + clientFrame(0x8F, "rF") + text("t"),
               {"text t"});
        frames("fragmented binary dropped with its continuations",
               clientFrame(0x02, "bin") + cont("ary", false) + control(0x9, "") + cont("!", true) + text("t"),
               {"ping ", "sent 8a00", "text t"});
        frames("binary start discards unfinished text", text("lost", false) + clientFrame(0x02, "b") + cont("c", true) + text("t"),
               {"text t"});
        frames("continuations without a start dropped", cont("stray", true) + cont("a", false) + cont("b", true) + text("t"),
               {"text t"});
        frames("close is answered with an empty close; nothing after it is read",
               text("before") + control(0x8, QByteArray::fromHex("03e8") + "bye") + text("after") + control(0x9, "p"),
               {"text before", "close", "sent 8800"});
        frames("unfinished close is not a close", control(0x8, "abc").chopped(1), {});
        frames("long length forms for short payloads",
               clientFrame(0x81, "s16", true, 126) + clientFrame(0x81, "s64", false, 127), {"text s16", "text s64"});
        frames("oversized ping echoed whole", control(0x9, QByteArray(200, 'p')),
               {"ping " + shown(QByteArray(200, 'p')), sent(QByteArray::fromHex("8a7e00c8") + QByteArray(200, 'p'))});
        frames("top bit of 64-bit length", QByteArray::fromHex("817f8000000000000005") + "Hello" + text("t"),
               {"failed frame length with the top bit set"});
        // Refused on the header alone, whatever the opcode.
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

    void lengthForms_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("serverHeader");
        QTest::newRow("125") << 125 << QByteArray::fromHex("817d");
        QTest::newRow("126") << 126 << QByteArray::fromHex("817e007e");
        QTest::newRow("65535") << 65535 << QByteArray::fromHex("817effff");
        QTest::newRow("65536") << 65536 << QByteArray::fromHex("817f0000000000010000");
    }

    // Each length form both ways: what the server writes, and what it reads masked or not.
    void lengthForms()
    {
        QFETCH(int, size);
        QFETCH(QByteArray, serverHeader);
        const QByteArray payload = QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(size / 26 + 1).left(size);

        WsConnection connection;
        connection.receive(request);
        QVERIFY(connection.next());
        connection.takeOutgoing();
        connection.sendText(payload);
        QCOMPARE(connection.outgoingSize(), serverHeader.size() + size);
        const QByteArray written = connection.takeOutgoing();
        QCOMPARE(written.left(serverHeader.size()).toHex(), serverHeader.toHex());
        QVERIFY(written.sliced(serverHeader.size()) == payload);

        const QStringList expected = upgraded + QStringList{"text " + shown(payload)};
        for (bool masked : {false, true}) {
            const QByteArray input = request + clientFrame(0x81, payload, masked);
            QCOMPARE(run({input}), expected);
            QCOMPARE(runInChunks(input, 1), expected);
        }
    }

    // Text goes out only between the upgrade and the close, in the order it was sent.
    void sendsOnlyWhileOpen()
    {
        WsConnection connection;
        connection.sendText("early");
        connection.receive(request.chopped(1));
        connection.sendText("still early");
        QVERIFY(!connection.next());
        QCOMPARE(connection.outgoingSize(), 0);
        QVERIFY(!connection.upgraded());

        connection.receive(request.right(1) + control(0x9, "p"));
        QCOMPARE(describe(*connection.next()), QStringLiteral("upgraded"));
        connection.sendText("a");
        QCOMPARE(describe(*connection.next()), QStringLiteral("ping p"));
        connection.sendText("");
        QCOMPARE(connection.takeOutgoing(), responseHead + rfcAccept + "\r\n\r\n" + QByteArray::fromHex("810161") +
                                                QByteArray::fromHex("8a0170") + QByteArray::fromHex("8100"));
        QVERIFY(connection.isOpen());

        connection.receive(control(0x8, {}));
        QCOMPARE(describe(*connection.next()), QStringLiteral("close"));
        connection.sendText("late");
        QCOMPARE(connection.takeOutgoing().toHex(), QByteArray("8800"));
        QVERIFY(connection.upgraded());
        QVERIFY(!connection.isOpen());
    }

    // Bounds at their edges; these inputs are megabytes, so they are fed whole and in
    // odd-sized chunks rather than byte by byte.
    void bounds_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("transcript");
        const qsizetype max = WsFrameDecoder::MaxMessageBytes, frameMax = WsFrameDecoder::MaxFramePayloadBytes;
        const QByteArray half = text(QByteArray(max / 2, 'x'), false);
        frames("frame payload of exactly the bound", clientFrame(0x81, QByteArray(frameMax, 'x')),
               {"text " + shown(QByteArray(frameMax, 'x'))});
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
        QCOMPARE(runInChunks(input, 4093), transcript);
        QCOMPARE(runInChunks(input, 65521), transcript);
    }
};

FIELDPOST_TEST_MAIN(TestWsConnection)
#include "tst_wsconnection.moc"
