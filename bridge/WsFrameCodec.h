#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace WsOpcode {
inline constexpr quint8 Continuation = 0x0;
inline constexpr quint8 Text = 0x1;
inline constexpr quint8 Close = 0x8;
inline constexpr quint8 Ping = 0x9;
inline constexpr quint8 Pong = 0xA;
} // namespace WsOpcode

// What the decoder makes of the client's frames. Binary and reserved-opcode
// messages, pongs and stray continuations are consumed without an event.
struct WsEvent
{
    enum class Type { Text, Ping, Close, Error };
    Type type = Type::Text;
    // Text: the whole message; Ping: what the pong must echo. In the decoder's
    // memory, valid until its next feed() or next().
    QByteArrayView payload;
    QString error; // Error: the reason, fit for a log line
};

// Client-to-server frame decoder without sockets: feed() the received bytes,
// then take events with next() until it returns nothing. A payload that came
// in one read is unmasked where it lies and handed out in place. After a Close
// or an Error event it ignores everything.
class WsFrameDecoder
{
public:
    // A single frame's payload, and a text message assembled from fragments,
    // may be this long; the plugin's messages are a few KiB.
    static constexpr quint64 MaxFramePayloadBytes = 16 * 1024 * 1024;
    static constexpr qsizetype MaxMessageBytes = 16 * 1024 * 1024;
    // A payload that comes in several reads gets room for this much of it at
    // once; the rest grows as its bytes arrive, not on the header's word.
    static constexpr qsizetype MaxReservedBytes = 1024 * 1024;

    // A read that starts where the last frame ended is kept as it is, without a
    // copy; it is unmasked in place, so it should not be shared with the caller.
    void feed(const QByteArray &bytes);
    std::optional<WsEvent> next();
    bool finished() const { return done; }

private:
    struct Header
    {
        bool fin = false;
        quint8 opcode = 0;
        bool masked = false;
        quint8 mask[4] = {};
        qsizetype headerSize = 0;
        quint64 payloadLength = 0;
    };

    std::optional<WsEvent> parseHeader();
    void appendPayload(QByteArray &to, qsizetype size);
    QByteArrayView takeWholePayload(qsizetype size);
    bool takePayload();
    WsEvent fail(QString reason);

    QByteArray buffer;
    qsizetype pos = 0;            // bytes of buffer already consumed
    std::optional<Header> header; // parsed header of the frame whose payload is being taken
    // The payload so far, unmasked, of a frame that came in several reads.
    QByteArray body;
    quint64 bodyTaken = 0; // payload bytes of the current frame already taken or skipped
    bool bodyInFragment = false; // a text continuation: its bytes go straight onto `fragment`
    QByteArray fragment;
    quint8 fragmentOpcode = 0;
    // What the last payload handed out lies in when that is not the buffer: a
    // frame that came in several reads, or a message of several fragments.
    QByteArray held;
    bool done = false;
};

// One unmasked frame with FIN set, as a server sends it, added to `out`.
void appendWsFrame(QByteArray &out, quint8 opcode, QByteArrayView payload);
