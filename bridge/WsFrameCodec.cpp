#include "WsFrameCodec.h"

#include <QtEndian>

#include <cstring>

namespace {

// The payload XORed with the masking key, copied out eight bytes at a time.
QByteArray unmasked(const char *source, qsizetype size, const quint8 mask[4])
{
    QByteArray payload(size, Qt::Uninitialized);
    char *out = payload.data();
    const quint8 repeated[8] = {mask[0], mask[1], mask[2], mask[3], mask[0], mask[1], mask[2], mask[3]};
    quint64 key;
    std::memcpy(&key, repeated, 8);
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, source + i, 8);
        word ^= key;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < size; ++i)
        out[i] = char(source[i] ^ mask[i & 3]);
    return payload;
}

} // namespace

void WsFrameDecoder::feed(const QByteArray &bytes)
{
    if (done)
        return;
    if (pos == buffer.size()) {
        buffer = bytes;
        pos = 0;
        return;
    }
    // Drop what is consumed before growing; the rest is only the tail of the last read.
    if (pos > 0) {
        buffer.remove(0, pos);
        pos = 0;
    }
    buffer.append(bytes);
}

WsEvent WsFrameDecoder::fail(QString reason)
{
    done = true;
    buffer.clear();
    fragment.clear();
    pos = 0;
    header.reset();
    WsEvent event;
    event.type = WsEvent::Type::Error;
    event.error = std::move(reason);
    return event;
}

// Reads the frame header at pos into `header`; empty while more bytes are needed,
// an error as soon as the length is known to break a bound.
std::optional<WsEvent> WsFrameDecoder::parseHeader()
{
    const qsizetype available = buffer.size() - pos;
    if (available < 2)
        return std::nullopt;
    const auto *p = reinterpret_cast<const uchar *>(buffer.constData() + pos);
    Header h;
    h.fin = p[0] & 0x80;
    h.opcode = p[0] & 0x0F;
    h.masked = p[1] & 0x80;
    const quint8 code = p[1] & 0x7F;
    h.payloadLength = code;
    h.headerSize = 2;
    if (code == 126) {
        h.headerSize = 4;
        if (available < h.headerSize)
            return std::nullopt;
        h.payloadLength = qFromBigEndian<quint16>(p + 2);
    } else if (code == 127) {
        h.headerSize = 10;
        if (available < h.headerSize)
            return std::nullopt;
        h.payloadLength = qFromBigEndian<quint64>(p + 2);
    }
    if (h.payloadLength & (quint64(1) << 63))
        return fail(QStringLiteral("frame length with the top bit set"));
    if (h.payloadLength > MaxFramePayloadBytes)
        return fail(QStringLiteral("frame payload over %1 bytes").arg(MaxFramePayloadBytes));
    if (h.masked) {
        if (available < h.headerSize + 4)
            return std::nullopt;
        for (int i = 0; i < 4; ++i)
            h.mask[i] = p[h.headerSize + i];
        h.headerSize += 4;
    }
    header = h;
    return std::nullopt;
}

std::optional<WsEvent> WsFrameDecoder::next()
{
    while (!done) {
        if (!header) {
            if (std::optional<WsEvent> error = parseHeader())
                return error;
            if (!header)
                return std::nullopt;
        }
        const Header h = *header;
        const qsizetype payloadSize = qsizetype(h.payloadLength);
        if (buffer.size() - pos < h.headerSize + payloadSize)
            return std::nullopt;

        QByteArray payload = h.masked ? unmasked(buffer.constData() + pos + h.headerSize, payloadSize, h.mask)
                                      : buffer.mid(pos + h.headerSize, payloadSize);
        pos += h.headerSize + payloadSize;
        header.reset();
        if (pos == buffer.size()) {
            buffer.clear();
            pos = 0;
        }

        switch (h.opcode) {
        case WsOpcode::Continuation:
            if (fragmentOpcode == WsOpcode::Text) {
                if (fragment.size() + payload.size() > MaxMessageBytes)
                    return fail(QStringLiteral("message over %1 bytes").arg(MaxMessageBytes));
                fragment.append(payload);
            }
            if (h.fin) {
                const bool text = fragmentOpcode == WsOpcode::Text;
                fragmentOpcode = 0;
                QByteArray message;
                message.swap(fragment);
                if (text)
                    return WsEvent{WsEvent::Type::Text, message, {}};
            }
            break;
        case WsOpcode::Text:
            if (h.fin)
                return WsEvent{WsEvent::Type::Text, payload, {}};
            fragmentOpcode = WsOpcode::Text;
            fragment = payload;
            break;
        case WsOpcode::Close:
            // Whatever follows a close is never looked at.
            done = true;
            buffer.clear();
            fragment.clear();
            pos = 0;
            return WsEvent{WsEvent::Type::Close, {}, {}};
        case WsOpcode::Ping:
            return WsEvent{WsEvent::Type::Ping, payload, {}};
        case WsOpcode::Pong:
            break;
        default:
            // Binary and reserved opcodes: the message is consumed and dropped, fragments
            // included; nothing of it is kept.
            fragment.clear();
            fragmentOpcode = h.fin ? 0 : h.opcode;
            break;
        }
    }
    return std::nullopt;
}

void appendWsFrame(QByteArray &out, quint8 opcode, QByteArrayView payload)
{
    const qsizetype size = payload.size();
    uchar head[10];
    qsizetype headSize = 2;
    head[0] = uchar(0x80 | (opcode & 0x0F));
    if (size <= 125) {
        head[1] = uchar(size);
    } else if (size <= 0xFFFF) {
        head[1] = 126;
        qToBigEndian<quint16>(quint16(size), head + 2);
        headSize = 4;
    } else {
        head[1] = 127;
        qToBigEndian<quint64>(quint64(size), head + 2);
        headSize = 10;
    }
    out.append(reinterpret_cast<const char *>(head), headSize);
    out.append(payload);
}
