#include "TestMain.h"

#include "WsHandshake.h"

using State = WsHandshake::State;
Q_DECLARE_METATYPE(WsHandshake::State)

namespace {

// Published accept values, not recomputed here: RFC 6455 section 1.3, and the
// example exchange most WebSocket tutorials quote.
const QByteArray rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";
const QByteArray rfcAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
const QByteArray otherKey = "x3JJHMbDL1EzLkh9GBhXDw==";
const QByteArray otherAccept = "HSmrc0sMlYUkAGmm5OPpG2HaGWk=";
const QByteArray keyLine = "Sec-WebSocket-Key: " + rfcKey + "\r\n";

QByteArray head(const QByteArray &headers)
{
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:9000\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + headers
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// A request whose head (everything before the blank line) is exactly `size` bytes.
QByteArray headOfSize(qsizetype size)
{
    const QByteArray start = "GET / HTTP/1.1\r\n" + keyLine + "X-Pad: ";
    return start + QByteArray(size - start.size(), 'a') + "\r\n\r\n";
}

// `detail` is the accept value, the refused origin or the error, as the state has it.
void row(const char *name, const QByteArray &input, State state, const QByteArray &detail = {},
         const QByteArray &frames = {})
{
    QTest::newRow(name) << input << state << detail << frames;
}

// Feeds the chunks the way the bridge does: to the handshake until it decides,
// then whatever follows goes to the frames. The outcome as one line of text.
QString run(const QList<QByteArrayView> &chunks)
{
    WsHandshake handshake;
    QByteArray frames;
    for (QByteArrayView chunk : chunks) {
        if (handshake.state() == State::Accepted)
            frames.append(chunk);
        else if (handshake.feed(chunk) == State::Accepted)
            frames = handshake.takeRemainder();
    }
    return QStringLiteral("state %1 origin '%2' error '%3' frames %4 response %5")
        .arg(int(handshake.state()))
        .arg(handshake.origin(), handshake.error(), QString::fromLatin1(frames.toHex()),
             QString::fromLatin1(handshake.response()));
}

} // namespace

class TestWsHandshake : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<State>("state");
        QTest::addColumn<QByteArray>("detail");
        QTest::addColumn<QByteArray>("frames");

        row("rfc key", head(keyLine), State::Accepted, rfcAccept);
        row("name in capitals, no blank", head("SEC-WEBSOCKET-KEY:" + rfcKey + "\r\n"), State::Accepted, rfcAccept);
        row("blanks and tabs around name and value", head(" \tSec-WebSocket-Key \t:  \t" + rfcKey + " \t \r\n"),
            State::Accepted, rfcAccept);
        row("lines ended by LF alone", "GET / HTTP/1.1\nHost: x\n" + keyLine + "\r\n", State::Accepted, rfcAccept);
        row("two keys, last wins", head(keyLine + "Sec-WebSocket-Key: " + otherKey + "\r\n"), State::Accepted,
            otherAccept);
        row("later empty key wins", head(keyLine + "Sec-WebSocket-Key:\r\n"), State::Refused);
        row("no key", head(""), State::Refused);
        row("empty key", head("Sec-WebSocket-Key:   \r\n"), State::Refused);
        row("similar names do not count",
            head("X-Sec-WebSocket-Key: " + rfcKey + "\r\nSec-WebSocket-Key2: " + rfcKey + "\r\n"), State::Refused);
        row("lines without colon skipped", head("garbage line\r\n   \r\n" + keyLine), State::Accepted, rfcAccept);
        row("frames after the head are kept", head(keyLine) + QByteArray::fromHex("810548656c6c6f8900"),
            State::Accepted, rfcAccept, QByteArray::fromHex("810548656c6c6f8900"));
        row("no blank line yet", head(keyLine).chopped(2), State::Incomplete);
        row("nothing", QByteArray(), State::Incomplete);

        // Only browser extensions (and local tools, which send no Origin) may connect.
        row("chrome extension", head("Origin: chrome-extension://abcdefghijklmnop\r\n" + keyLine), State::Accepted,
            rfcAccept);
        row("edge extension", head("Origin: extension://abcdefghijklmnop\r\n" + keyLine), State::Accepted, rfcAccept);
        row("firefox extension", head("origin:moz-extension://0a1b2c3d-aaaa-bbbb-cccc-123456789abc\r\n" + keyLine),
            State::Accepted, rfcAccept);
        row("scheme in capitals", head("ORIGIN: Chrome-Extension://abc\r\n" + keyLine), State::Accepted, rfcAccept);
        const State refused = State::RefusedOrigin;
        row("web page", head("Origin: https://evil.example\r\n" + keyLine), refused, "https://evil.example");
        row("local web page after the key", head(keyLine + "Origin: http://127.0.0.1:8080\r\n"), refused,
            "http://127.0.0.1:8080");
        row("look-alike host", head("Origin: https://chrome-extension.evil.example\r\n" + keyLine), refused,
            "https://chrome-extension.evil.example");
        row("opaque origin", head("Origin: null\r\n" + keyLine), refused, "null");
        row("empty origin", head("Origin:\r\n" + keyLine), refused);
        row("scheme without host", head("Origin: chrome-extension://\r\n" + keyLine), refused, "chrome-extension://");
        row("web origin without key", head("Origin: https://evil.example\r\n"), refused, "https://evil.example");
        row("web origin after extension origin",
            head("Origin: chrome-extension://abc\r\nOrigin: https://evil.example\r\n" + keyLine), refused,
            "https://evil.example");
        row("extension origin cannot undo web origin",
            head("Origin: https://evil.example\r\nOrigin: chrome-extension://abc\r\n" + keyLine), refused,
            "https://evil.example");
        row("control bytes in origin are masked", head("Origin: https://a\rb\x01.example\r\n" + keyLine), refused,
            "https://a?b?.example");

        const QByteArray tooLong = "request head over 16384 bytes";
        row("head of exactly 16384 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes), State::Accepted, rfcAccept);
        row("head of 16385 bytes", headOfSize(WsHandshake::MaxRequestHeadBytes + 1), State::Failed, tooLong);
        row("16387 bytes without blank line, may still end in time",
            QByteArray(WsHandshake::MaxRequestHeadBytes + 3, 'a'), State::Incomplete);
        // Once decided, later bytes change nothing: the connection is on its way out.
        row("16388 bytes without blank line, then more", QByteArray(WsHandshake::MaxRequestHeadBytes + 4, 'a') + "\r\n\r\n",
            State::Failed, tooLong);
        row("refused, then a good request", head("Origin: null\r\n") + head(keyLine), refused, "null");
    }

    // The same request gives the same outcome whole, byte by byte and cut at any point.
    void requests()
    {
        QFETCH(QByteArray, input);
        QFETCH(State, state);
        QFETCH(QByteArray, detail);
        QFETCH(QByteArray, frames);

        const auto is = [&](State s) { return QString::fromUtf8(state == s ? detail : QByteArray()); };
        const QByteArray response = state != State::Accepted ? QByteArray()
                                                              : "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                                                "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                                                                    + detail + "\r\n\r\n";
        const QString expected = QStringLiteral("state %1 origin '%2' error '%3' frames %4 response %5")
                                     .arg(int(state))
                                     .arg(is(State::RefusedOrigin), is(State::Failed),
                                          QString::fromLatin1(frames.toHex()), QString::fromLatin1(response));

        QList<QByteArrayView> bytes;
        for (qsizetype i = 0; i < input.size(); ++i)
            bytes.append(QByteArrayView(input).sliced(i, 1));
        QCOMPARE(run(bytes), expected);
        const QByteArrayView all(input);
        for (qsizetype cut = 0; cut <= input.size(); ++cut) {
            const QString split = run({all.first(cut), all.sliced(cut)});
            if (split != expected)
                QFAIL(qPrintable(QStringLiteral("differs when cut at %1: %2").arg(cut).arg(split)));
        }
    }
};

FIELDPOST_TEST_MAIN(TestWsHandshake)
#include "tst_wshandshake.moc"
