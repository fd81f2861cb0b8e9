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

QByteArray head(const QByteArray &headers)
{
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:9000\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + headers
           + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// A request whose head (everything before the blank line) is exactly `size` bytes.
QByteArray headOfSize(qsizetype size)
{
    QByteArray start = "GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfcKey + "\r\nX-Pad: ";
    start.append(QByteArray(size - start.size(), 'a'));
    return start + "\r\n\r\n";
}

struct Outcome
{
    State state = State::Incomplete;
    QByteArray response;
    QString origin;
    QString error;
    QByteArray frames; // what the frame decoder would be given

    bool operator==(const Outcome &o) const
    {
        return state == o.state && response == o.response && origin == o.origin && error == o.error
               && frames == o.frames;
    }
};

// Feeds the chunks the way the bridge does: to the handshake until it decides,
// then whatever follows goes to the frames.
Outcome run(const QList<QByteArrayView> &chunks)
{
    WsHandshake handshake;
    Outcome out;
    for (QByteArrayView chunk : chunks) {
        if (handshake.state() == State::Accepted) {
            out.frames.append(chunk);
            continue;
        }
        if (handshake.feed(chunk) == State::Accepted)
            out.frames = handshake.takeRemainder();
    }
    out.state = handshake.state();
    out.response = handshake.response();
    out.origin = handshake.origin();
    out.error = handshake.error();
    return out;
}

char *toString(const Outcome &o)
{
    return QTest::toString(QStringLiteral("state %1 origin '%2' error '%3' frames %4 response %5")
                               .arg(int(o.state))
                               .arg(o.origin, o.error, QString::fromLatin1(o.frames.toHex()),
                                    QString::fromLatin1(o.response)));
}

} // namespace

class TestWsHandshake : public QObject
{
    Q_OBJECT

private slots:
    void acceptValue()
    {
        QCOMPARE(WsHandshake::computeAccept(rfcKey), rfcAccept);
        QCOMPARE(WsHandshake::computeAccept(otherKey), otherAccept);
    }

    void exactResponse()
    {
        WsHandshake handshake;
        QCOMPARE(handshake.feed(head("Sec-WebSocket-Key: " + rfcKey + "\r\n")), State::Accepted);
        QCOMPARE(handshake.response(),
                 QByteArray("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"));
        QCOMPARE(handshake.takeRemainder(), QByteArray());
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<State>("state");
        QTest::addColumn<QByteArray>("accept");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("frames");

        const QByteArray keyLine = "Sec-WebSocket-Key: " + rfcKey + "\r\n";
        const QString noText;
        const QByteArray none;

        QTest::newRow("rfc key") << head(keyLine) << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("name in capitals") << head("SEC-WEBSOCKET-KEY: " + rfcKey + "\r\n") << State::Accepted
                                          << rfcAccept << noText << noText << none;
        QTest::newRow("name in lower case") << head("sec-websocket-key:" + rfcKey + "\r\n") << State::Accepted
                                            << rfcAccept << noText << noText << none;
        QTest::newRow("blanks and tabs around name and value")
            << head(" \tSec-WebSocket-Key \t:  \t" + rfcKey + " \t \r\n") << State::Accepted << rfcAccept << noText
            << noText << none;
        QTest::newRow("lines ended by LF alone")
            << QByteArray("GET / HTTP/1.1\nHost: x\nSec-WebSocket-Key: " + rfcKey + "\r\n\r\n") << State::Accepted
            << rfcAccept << noText << noText << none;
        QTest::newRow("two keys, last wins") << head(keyLine + "Sec-WebSocket-Key: " + otherKey + "\r\n")
                                             << State::Accepted << otherAccept << noText << noText << none;
        QTest::newRow("two keys, other order") << head("Sec-WebSocket-Key: " + otherKey + "\r\n" + keyLine)
                                               << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("later empty key wins") << head(keyLine + "Sec-WebSocket-Key:\r\n") << State::Refused << none
                                              << noText << noText << none;
        QTest::newRow("no key") << head("") << State::Refused << none << noText << noText << none;
        QTest::newRow("empty key") << head("Sec-WebSocket-Key:   \r\n") << State::Refused << none << noText
                                   << noText << none;
        QTest::newRow("similar names do not count")
            << head("X-Sec-WebSocket-Key: " + rfcKey + "\r\nSec-WebSocket-Key2: " + rfcKey + "\r\n")
            << State::Refused << none << noText << noText << none;
        QTest::newRow("lines without colon skipped")
            << head("garbage line\r\n   \r\n" + keyLine) << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("frames after the head are kept")
            << head(keyLine) + QByteArray::fromHex("810548656c6c6f8900") << State::Accepted << rfcAccept << noText
            << noText << QByteArray::fromHex("810548656c6c6f8900");
        QTest::newRow("no blank line yet") << head(keyLine).chopped(2) << State::Incomplete << none << noText
                                           << noText << none;
        QTest::newRow("nothing") << QByteArray() << State::Incomplete << none << noText << noText << none;

        // Only browser extensions (and local tools, which send no Origin) may connect.
        QTest::newRow("chrome extension origin") << head("Origin: chrome-extension://abcdefghijklmnop\r\n" + keyLine)
                                                 << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("edge extension origin") << head("Origin: extension://abcdefghijklmnop\r\n" + keyLine)
                                               << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("firefox extension origin")
            << head("origin:moz-extension://0a1b2c3d-aaaa-bbbb-cccc-123456789abc\r\n" + keyLine) << State::Accepted
            << rfcAccept << noText << noText << none;
        QTest::newRow("scheme in capitals") << head("ORIGIN: Chrome-Extension://abc\r\n" + keyLine)
                                            << State::Accepted << rfcAccept << noText << noText << none;
        QTest::newRow("web page origin") << head("Origin: https://evil.example\r\n" + keyLine)
                                         << State::RefusedOrigin << none << QStringLiteral("https://evil.example")
                                         << noText << none;
        QTest::newRow("local web page origin") << head(keyLine + "Origin: http://127.0.0.1:8080\r\n")
                                               << State::RefusedOrigin << none
                                               << QStringLiteral("http://127.0.0.1:8080") << noText << none;
        QTest::newRow("look-alike host") << head("Origin: https://chrome-extension.evil.example\r\n" + keyLine)
                                         << State::RefusedOrigin << none
                                         << QStringLiteral("https://chrome-extension.evil.example") << noText << none;
        QTest::newRow("opaque origin") << head("Origin: null\r\n" + keyLine) << State::RefusedOrigin << none
                                       << QStringLiteral("null") << noText << none;
        QTest::newRow("empty origin") << head("Origin:\r\n" + keyLine) << State::RefusedOrigin << none << QString("")
                                      << noText << none;
        QTest::newRow("scheme without host") << head("Origin: chrome-extension://\r\n" + keyLine)
                                             << State::RefusedOrigin << none << QStringLiteral("chrome-extension://")
                                             << noText << none;
        QTest::newRow("web origin without key") << head("Origin: https://evil.example\r\n") << State::RefusedOrigin
                                                << none << QStringLiteral("https://evil.example") << noText << none;
        QTest::newRow("web origin after extension origin")
            << head("Origin: chrome-extension://abc\r\nOrigin: https://evil.example\r\n" + keyLine)
            << State::RefusedOrigin << none << QStringLiteral("https://evil.example") << noText << none;
        QTest::newRow("extension origin cannot undo web origin")
            << head("Origin: https://evil.example\r\nOrigin: chrome-extension://abc\r\n" + keyLine)
            << State::RefusedOrigin << none << QStringLiteral("https://evil.example") << noText << none;
        QTest::newRow("control bytes in origin are masked")
            << head("Origin: https://a\rb\x01.example\r\n" + keyLine) << State::RefusedOrigin << none
            << QStringLiteral("https://a?b?.example") << noText << none;

        const QString tooLong = QStringLiteral("request head over 16384 bytes");
        QTest::newRow("head of exactly 16384 bytes")
            << headOfSize(WsHandshake::MaxRequestHeadBytes) << State::Accepted << rfcAccept << noText << noText
            << none;
        QTest::newRow("head of 16385 bytes") << headOfSize(WsHandshake::MaxRequestHeadBytes + 1) << State::Failed
                                             << none << noText << tooLong << none;
        QTest::newRow("16387 bytes without blank line, may still end in time")
            << QByteArray(WsHandshake::MaxRequestHeadBytes + 3, 'a') << State::Incomplete << none << noText << noText
            << none;
        QTest::newRow("16388 bytes without blank line") << QByteArray(WsHandshake::MaxRequestHeadBytes + 4, 'a')
                                                        << State::Failed << none << noText << tooLong << none;
    }

    // The same request gives the same outcome whole, byte by byte and cut at any point.
    void requests()
    {
        QFETCH(QByteArray, input);
        QFETCH(State, state);
        QFETCH(QByteArray, accept);
        QFETCH(QString, origin);
        QFETCH(QString, error);
        QFETCH(QByteArray, frames);

        Outcome expected;
        expected.state = state;
        if (state == State::Accepted) {
            expected.response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                                "Upgrade\r\nSec-WebSocket-Accept: "
                                + accept + "\r\n\r\n";
        }
        expected.origin = origin;
        expected.error = error;
        expected.frames = frames;

        QCOMPARE(run({input}), expected);

        QList<QByteArrayView> bytes;
        for (qsizetype i = 0; i < input.size(); ++i)
            bytes.append(QByteArrayView(input).sliced(i, 1));
        QCOMPARE(run(bytes), expected);

        const QByteArrayView all(input);
        for (qsizetype cut = 0; cut <= input.size(); ++cut) {
            const Outcome split = run({all.first(cut), all.sliced(cut)});
            if (!(split == expected))
                QFAIL(qPrintable(QStringLiteral("differs when cut at %1: %2").arg(cut).arg(toString(split))));
        }
    }

    // Once decided, later bytes change nothing (the connection is on its way out or upgraded).
    void decisionIsFinal()
    {
        WsHandshake refused;
        QCOMPARE(refused.feed(head("Origin: https://evil.example\r\n")), State::RefusedOrigin);
        QCOMPARE(refused.feed(head("Sec-WebSocket-Key: " + rfcKey + "\r\n")), State::RefusedOrigin);
        QCOMPARE(refused.response(), QByteArray());
        QCOMPARE(refused.takeRemainder(), QByteArray());

        WsHandshake failed;
        QCOMPARE(failed.feed(QByteArray(WsHandshake::MaxRequestHeadBytes + 4, 'a')), State::Failed);
        QCOMPARE(failed.feed("\r\n\r\n"), State::Failed);
        QCOMPARE(failed.takeRemainder(), QByteArray());
    }
};

FIELDPOST_TEST_MAIN(TestWsHandshake)
#include "tst_wshandshake.moc"
