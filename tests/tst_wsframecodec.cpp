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

QByteArray text(const QByteArray &payload, bool fin = true, bool masked = true)
{
    return clientFrame((fin ? 0x80 : 0) | 0x1, payload, masked);
}
QByteArray cont(const QByteArray &payload, bool fin, bool masked = true)
{
    return clientFrame((fin ? 0x80 : 0) | 0x0, payload, masked);
}
QByteArray control(quint8 opcode, const QByteArray &payload)
{
    return clientFrame(0x80 | opcode, payload, true);
}

// Events as one line each; long payloads by size and digest so failures stay readable.
QString describe(const WsEvent &event)
{
    auto payload = [&event] {
        if (event.payload.size() <= 64)
            return QString::fromLatin1(event.payload);
        return QStringLiteral("<%1 bytes %2>")
            .arg(event.payload.size())
            .arg(QString::fromLatin1(QCryptographicHash::hash(event.payload, QCryptographicHash::Md5).toHex()));
    };
    switch (event.type) {
    case WsEvent::Type::Text:
        return QStringLiteral("text:") + payload();
    case WsEvent::Type::Ping:
        return QStringLiteral("ping:") + payload();
    case WsEvent::Type::Close:
        return QStringLiteral("close");
    case WsEvent::Type::Error:
        return QStringLiteral("error:") + event.error;
    }
    return QString();
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

QStringList decodeInChunks(const QByteArray &input, qsizetype chunkSize)
{
    WsFrameDecoder decoder;
    QStringList events;
    for (qsizetype i = 0; i < input.size(); i += chunkSize) {
        decoder.feed(QByteArrayView(input).sliced(i, qMin(chunkSize, input.size() - i)));
        while (const std::optional<WsEvent> event = decoder.next())
            events << describe(*event);
    }
    return events;
}

QString bigText(qsizetype size)
{
    return describe(WsEvent{WsEvent::Type::Text, QByteArray(size, 'x'), {}});
}

} // namespace

class TestWsFrameCodec : public QObject
{
    Q_OBJECT

private slots:
    void rfcExamples_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("events");
        // RFC 6455 section 5.7, byte for byte.
        QTest::newRow("unmasked text") << QByteArray::fromHex("810548656c6c6f") << QStringList{"text:Hello"};
        QTest::newRow("masked text") << QByteArray::fromHex("818537fa213d7f9f4d5158") << QStringList{"text:Hello"};
        QTest::newRow("fragmented unmasked text")
            << QByteArray::fromHex("010348656c80026c6f") << QStringList{"text:Hello"};
        QTest::newRow("unmasked ping") << QByteArray::fromHex("890548656c6c6f") << QStringList{"ping:Hello"};
        QTest::newRow("masked pong, ignored") << QByteArray::fromHex("8a8537fa213d7f9f4d5158") << QStringList{};
    }

    void rfcExamples()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, events);
        QCOMPARE(decode({input}), events);
    }

    void frames_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("events");

        QTest::newRow("masked and unmasked alike")
            << text("{\"a\":1}", true, true) + text("{\"a\":1}", true, false)
            << QStringList{"text:{\"a\":1}", "text:{\"a\":1}"};
        QTest::newRow("empty text") << text("") << QStringList{"text:"};
        QTest::newRow("three fragments with a ping between")
            << text("Hel", false) + control(0x9, "p1") + cont("l", false) + control(0xA, "x") + cont("o", true)
            << QStringList{"ping:p1", "text:Hello"};
        QTest::newRow("unmasked fragments") << text("ab", false, false) + cont("cd", true, false)
                                            << QStringList{"text:abcd"};
        QTest::newRow("new text start replaces unfinished one")
            << text("A", false) + text("B", false) + cont("C", true) << QStringList{"text:BC"};
        QTest::newRow("final text inside a fragmented one is delivered at once")
            << text("A", false) + text("whole") + cont("B", true) << QStringList{"text:whole", "text:AB"};
        QTest::newRow("RSV bits ignored") << clientFrame(0xF1, "rsv", true) << QStringList{"text:rsv"};
        QTest::newRow("binary dropped, text after it handled")
            << clientFrame(0x82, "\x01\x02", true) + text("t") << QStringList{"text:t"};
        QTest::newRow("fragmented binary dropped with its continuations")
            << clientFrame(0x02, "bin", true) + cont("ary", false) + control(0x9, "") + cont("!", true) + text("t")
            << QStringList{"ping:", "text:t"};
        QTest::newRow("reserved opcodes dropped")
            << clientFrame(0x83, "r3", true) + clientFrame(0x87, "r7", false) + clientFrame(0x8B, "rB", true)
                   + clientFrame(0x8F, "rF", true) + text("t")
            << QStringList{"text:t"};
        QTest::newRow("binary start discards unfinished text")
            << text("lost", false) + clientFrame(0x02, "b", true) + cont("c", true) + text("t")
            << QStringList{"text:t"};
        QTest::newRow("continuation without a start dropped") << cont("stray", true) + text("t")
                                                              << QStringList{"text:t"};
        QTest::newRow("continuations without a start, unfinished then final")
            << cont("a", false) + cont("b", true) + text("t") << QStringList{"text:t"};
        QTest::newRow("close stops everything after it")
            << text("before") + control(0x8, QByteArray::fromHex("03e8") + "bye") + text("after")
                   + control(0x9, "p")
            << QStringList{"text:before", "close"};
        QTest::newRow("unfinished close is not a close") << control(0x8, "abc").chopped(1) << QStringList{};
        QTest::newRow("long length forms for short payloads")
            << clientFrame(0x81, "s16", true, 126) + clientFrame(0x81, "s64", false, 127)
            << QStringList{"text:s16", "text:s64"};
        QTest::newRow("oversized ping echoed whole")
            << control(0x9, QByteArray(200, 'p'))
            << QStringList{describe(WsEvent{WsEvent::Type::Ping, QByteArray(200, 'p'), {}})};
        QTest::newRow("frame header still incomplete") << QByteArray::fromHex("817f0000") << QStringList{};
        QTest::newRow("mask still incomplete") << QByteArray::fromHex("81853700") << QStringList{};

        const QByteArray topBit = QByteArray::fromHex("817f8000000000000005") + "Hello";
        QTest::newRow("top bit of 64-bit length")
            << topBit + text("t") << QStringList{"error:frame length with the top bit set"};
        QTest::newRow("announced payload over the bound, refused on the header alone")
            << QByteArray::fromHex("817f0000000001000001") + text("t")
            << QStringList{"error:frame payload over 16777216 bytes"};
        QTest::newRow("error after earlier good frames")
            << text("ok") + QByteArray::fromHex("82ff0000000001000001") << QStringList{"text:ok",
                                                                                    "error:frame payload over 16777216 bytes"};
    }

    // The same bytes give the same events whole, byte by byte and cut at any point.
    void frames()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, events);

        QCOMPARE(decode({input}), events);
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
        QByteArray payload(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            payload[i] = char('a' + i % 26);

        const QByteArray encoded = encodeWsFrame(WsOpcode::Text, payload);
        QCOMPARE(encoded.left(serverHeader.size()).toHex(), serverHeader.toHex());
        QCOMPARE(encoded.size(), serverHeader.size() + size);
        QVERIFY(encoded.endsWith(payload));

        const QStringList expected{describe(WsEvent{WsEvent::Type::Text, payload, {}})};
        for (bool masked : {false, true}) {
            const QByteArray frame = clientFrame(0x81, payload, masked);
            QCOMPARE(frame.size(), serverHeader.size() + (masked ? 4 : 0) + size);
            QCOMPARE(decode({frame}), expected);
            QCOMPARE(decodeInChunks(frame, 1), expected);
            QCOMPARE(decodeInChunks(frame, 1000), expected);
            // Cuts inside the header, the mask and the payload.
            for (qsizetype cut : {1, 2, 3, 5, 9, 11, 13, 15}) {
                const QByteArrayView all(frame);
                QCOMPARE(decode({all.first(cut), all.sliced(cut)}), expected);
            }
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
        const qsizetype max = WsFrameDecoder::MaxMessageBytes;
        QCOMPARE(qsizetype(WsFrameDecoder::MaxFramePayloadBytes), qsizetype(16 * 1024 * 1024));
        QCOMPARE(max, qsizetype(16 * 1024 * 1024));

        QTest::newRow("frame payload of exactly the bound")
            << clientFrame(0x81, QByteArray(max, 'x'), true) << QStringList{bigText(max)};
        QTest::newRow("message of exactly the bound from fragments")
            << text(QByteArray(max / 2, 'x'), false) + cont(QByteArray(max / 2, 'x'), true, false)
            << QStringList{bigText(max)};
        QTest::newRow("message one byte over the bound")
            << text(QByteArray(max / 2, 'x'), false) + cont(QByteArray(max / 2, 'x'), false) + cont("x", true)
                   + text("after")
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

    void nothingAfterCloseOrError()
    {
        WsFrameDecoder decoder;
        decoder.feed(control(0x8, ""));
        QVERIFY(decoder.next());
        QVERIFY(decoder.finished());
        decoder.feed(text("late"));
        QVERIFY(!decoder.next());

        WsFrameDecoder failed;
        failed.feed(QByteArray::fromHex("817f8000000000000000"));
        const std::optional<WsEvent> error = failed.next();
        QVERIFY(error && error->type == WsEvent::Type::Error);
        failed.feed(text("late"));
        QVERIFY(!failed.next());
    }
};

FIELDPOST_TEST_MAIN(TestWsFrameCodec)
#include "tst_wsframecodec.moc"
