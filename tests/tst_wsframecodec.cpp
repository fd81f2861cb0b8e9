#include "TestMain.h"

#include "WsFrameCodec.h"

#include <QCryptographicHash>

namespace {

// The masking key of RFC 6455's examples (section 5.7).
const QByteArray rfcMask = QByteArray::fromHex("37fa213d");

// A client frame built here, independently of the codec under test; `lengthCode`
// forces a length form (126 or 127) even for a short payload.
QByteArray clientFrame(quint8 firstByte, const QByteArray &payload, bool masked, int lengthCode = -1)
{
    QByteArray frame(1, char(firstByte));
    const quint64 n = quint64(payload.size());
    int code = lengthCode >= 0 ? lengthCode : (n <= 125 ? int(n) : n <= 0xFFFF ? 126 : 127);
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

// Events as one line each; long payloads by size and digest so failures stay readable.
QString describe(const WsEvent &event)
{
    static const QStringList names{QStringLiteral("text:"), QStringLiteral("ping:"), QStringLiteral("close"),
                                   QStringLiteral("error:")};
    QString payload = QString::fromLatin1(event.payload);
    if (event.payload.size() > 64) {
        payload = QStringLiteral("<%1 bytes %2>").arg(event.payload.size()).arg(QString::fromLatin1(
                      QCryptographicHash::hash(event.payload, QCryptographicHash::Md5).toHex()));
    }
    if (event.type == WsEvent::Type::Close)
        payload.clear();
    return names.at(int(event.type)) + (event.type == WsEvent::Type::Error ? event.error : payload);
}

QStringList decode(const QList<QByteArrayView> &chunks)
{
    WsFrameDecoder decoder;
    QStringList events;
    for (QByteArrayView chunk : chunks) {
        decoder.feed(chunk);
        while (const std::optional<WsEvent> event = decoder.next())
            events << describe(*event);
    }
    return events;
}

QStringList decodeInChunks(QByteArrayView input, qsizetype size)
{
    QList<QByteArrayView> chunks;
    for (qsizetype i = 0; i < input.size(); i += size)
        chunks << input.sliced(i, qMin(size, input.size() - i));
    return decode(chunks);
}

QString bigText(qsizetype size, char c = 'x')
{
    return describe(WsEvent{WsEvent::Type::Text, QByteArray(size, c), {}});
}

} // namespace

class TestWsFrameCodec : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("events");
        const auto row = [](const char *name, const QByteArray &input, const QStringList &events) {
            QTest::newRow(name) << input << events;
        };
        // RFC 6455 section 5.7, byte for byte.
        row("rfc unmasked text", QByteArray::fromHex("810548656c6c6f"), {"text:Hello"});
        row("rfc masked text", QByteArray::fromHex("818537fa213d7f9f4d5158"), {"text:Hello"});
        row("rfc fragmented unmasked text", QByteArray::fromHex("010348656c80026c6f"), {"text:Hello"});
        row("rfc unmasked ping", QByteArray::fromHex("890548656c6c6f"), {"ping:Hello"});
        row("rfc masked pong, ignored", QByteArray::fromHex("8a8537fa213d7f9f4d5158"), {});

        row("empty text", text(""), {"text:"});
        row("three fragments with a ping between",
            text("Hel", false) + control(0x9, "p1") + cont("l", false) + control(0xA, "x") + cont("o", true),
            {"ping:p1", "text:Hello"});
        row("new text start replaces unfinished one", text("A", false) + text("B", false) + cont("C", true),
            {"text:BC"});
        row("final text inside a fragmented one is delivered at once",
            text("A", false) + text("whole") + cont("B", true), {"text:whole", "text:AB"});
        row("RSV bits ignored", clientFrame(0xF1, "rsv", true), {"text:rsv"});
        row("binary and reserved opcodes dropped",
            clientFrame(0x82, "\x01\x02", true) + clientFrame(0x83, "r3", true) + clientFrame(0x87, "r7", false)
                + clientFrame(0x8B, "rB", true) + clientFrame(0x8F, "rF", true) + text("t"),
            {"text:t"});
        row("fragmented binary dropped with its continuations",
            clientFrame(0x02, "bin", true) + cont("ary", false) + control(0x9, "") + cont("!", true) + text("t"),
            {"ping:", "text:t"});
        row("binary start discards unfinished text",
            text("lost", false) + clientFrame(0x02, "b", true) + cont("c", true) + text("t"), {"text:t"});
        row("continuations without a start dropped", cont("stray", true) + cont("a", false) + cont("b", true) + text("t"),
            {"text:t"});
        row("close stops everything after it",
            text("before") + control(0x8, QByteArray::fromHex("03e8") + "bye") + text("after") + control(0x9, "p"),
            {"text:before", "close"});
        row("unfinished close is not a close", control(0x8, "abc").chopped(1), {});
        row("long length forms for short payloads",
            clientFrame(0x81, "s16", true, 126) + clientFrame(0x81, "s64", false, 127), {"text:s16", "text:s64"});
        row("oversized ping echoed whole", control(0x9, QByteArray(200, 'p')), {"ping:" + bigText(200, 'p').mid(5)});
        row("top bit of 64-bit length", QByteArray::fromHex("817f8000000000000005") + "Hello" + text("t"),
            {"error:frame length with the top bit set"});
        // Refused on the header alone, whatever the opcode.
        row("payload over the bound after good frames", text("ok") + QByteArray::fromHex("82ff0000000001000001"),
            {"text:ok", "error:frame payload over 16777216 bytes"});
    }

    // The same bytes give the same events whole, byte by byte and cut at any point.
    void frames()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, events);

        QCOMPARE(decodeInChunks(input, 1), events);
        const QByteArrayView all(input);
        for (qsizetype cut = 0; cut <= input.size(); ++cut) {
            const QStringList split = decode({all.first(cut), all.sliced(cut)});
            if (split != events)
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

        const QByteArray encoded = encodeWsFrame(WsOpcode::Text, payload);
        QCOMPARE(encoded.left(serverHeader.size()).toHex(), serverHeader.toHex());
        QVERIFY(encoded == serverHeader + payload);

        const QStringList expected{describe(WsEvent{WsEvent::Type::Text, payload, {}})};
        for (bool masked : {false, true}) {
            const QByteArray frame = clientFrame(0x81, payload, masked);
            QCOMPARE(decodeInChunks(frame, 1), expected);
            // Whole, then cuts inside the header, the mask and the payload.
            for (qsizetype cut : {0, 1, 2, 3, 5, 9, 11, 13, 15})
                QCOMPARE(decode({QByteArrayView(frame).first(cut), QByteArrayView(frame).sliced(cut)}), expected);
        }
    }

    void encoderControlFrames()
    {
        QCOMPARE(encodeWsFrame(WsOpcode::Close, {}).toHex(), QByteArray("8800"));
        QCOMPARE(encodeWsFrame(WsOpcode::Pong, "abc").toHex(), QByteArray("8a03616263"));
        QCOMPARE(encodeWsFrame(WsOpcode::Text, "").toHex(), QByteArray("8100"));
    }

    // Bounds at their edges; these inputs are megabytes, so they are fed whole and in
    // odd-sized chunks rather than byte by byte.
    void bounds_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("events");
        const qsizetype max = WsFrameDecoder::MaxMessageBytes, frameMax = WsFrameDecoder::MaxFramePayloadBytes;
        const QByteArray half = text(QByteArray(max / 2, 'x'), false);
        QTest::newRow("frame payload of exactly the bound") << clientFrame(0x81, QByteArray(frameMax, 'x'), true)
                                                            << QStringList{bigText(frameMax)};
        QTest::newRow("message of exactly the bound from fragments")
            << half + cont(QByteArray(max / 2, 'x'), true, false) << QStringList{bigText(max)};
        QTest::newRow("message one byte over the bound")
            << half + cont(QByteArray(max / 2, 'x'), false) + cont("x", true) + text("after")
            << QStringList{"error:message over 16777216 bytes"};
        // Dropped messages are not kept, so their size costs nothing and is not limited.
        QTest::newRow("binary message over the bound is only dropped")
            << clientFrame(0x02, QByteArray(max, 'b'), false) + cont("b", true, false) + text("after")
            << QStringList{"text:after"};
    }

    void bounds()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, events);
        QCOMPARE(decode({input}), events);
        QCOMPARE(decodeInChunks(input, 4093), events);
        QCOMPARE(decodeInChunks(input, 65521), events);
    }
};

FIELDPOST_TEST_MAIN(TestWsFrameCodec)
#include "tst_wsframecodec.moc"
