#include "WsFrameCodec.h"

#include <QtEndian>

#include <cstring>
#include <utility>

namespace {

// `size` payload bytes XORed with the masking key, from `offset` bytes into
// the payload, eight at a time; `out` may be `source` itself.
void unmask(char *out, const char *source, qsizetype size, const quint8 mask[4], quint64 offset)
{
    quint8 repeated[8];
    for (int j = 0; j < 8; ++j)
        repeated[j] = mask[(offset + quint64(j)) & 3];
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
        out[i] = char(source[i] ^ repeated[i & 7]);
}

// Text and ping payloads are kept whole; the rest is dropped unread.
bool keptWhole(quint8 opcode)
{
    return opcode == WsOpcode::Text || opcode == WsOpcode::Ping;
}

} // namespace

void WsFrameDecoder::feed(const QByteArray &bytes)
{
    if (done)
        return;
    held.clear();
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
    body.clear();
    fragment.clear();
    held.clear();
    pos = 0;
    header.reset();
    WsEvent event;
    event.type = WsEvent::Type::Error;
    event.error = std::move(reason);
    return event;
}

// Reads the frame header at pos into `header` and steps over it; empty while
// more bytes are needed, an error as soon as the length is known to break a bound.
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
    pos += h.headerSize;
    bodyTaken = 0;
    bodyInFragment = h.opcode == WsOpcode::Continuation && fragmentOpcode == WsOpcode::Text;
    // A text message that will not fit is refused before its bytes are taken.
    if (bodyInFragment && fragment.size() + qsizetype(h.payloadLength) > MaxMessageBytes)
        return fail(QStringLiteral("message over %1 bytes").arg(MaxMessageBytes));
    return std::nullopt;
}

void WsFrameDecoder::appendPayload(QByteArray &to, qsizetype size)
{
    const qsizetype at = to.size();
    to.resize(at + size);
    const char *source = buffer.constData() + pos;
    if (header->masked)
        unmask(to.data() + at, source, size, header->mask, bodyTaken);
    else
        std::memcpy(to.data() + at, source, size_t(size));
}

// The current frame's payload when all of it is in the buffer, unmasked where
// it lies; nothing for a payload that is dropped or goes onto the fragment.
QByteArrayView WsFrameDecoder::takeWholePayload(qsizetype size)
{
    QByteArrayView payload;
    if (bodyInFragment) {
        appendPayload(fragment, size);
    } else if (keptWhole(header->opcode)) {
        char *data = buffer.data() + pos; // a copy of all of it only if the caller kept the read
        if (header->masked)
            unmask(data, data, size, header->mask, 0);
        payload = QByteArrayView(data, size);
    }
    pos += size;
    return payload;
}

// Takes what the buffer holds of the current frame's payload, unmasked as it
// is copied, so each byte is copied once however the reads cut it; true once
// the whole payload is taken.
bool WsFrameDecoder::takePayload()
{
    const qsizetype size = qsizetype(qMin(header->payloadLength - bodyTaken, quint64(buffer.size() - pos)));
    if (bodyInFragment) {
        appendPayload(fragment, size);
    } else if (keptWhole(header->opcode)) {
        if (bodyTaken == 0)
            body.reserve(qMin(qsizetype(header->payloadLength), MaxReservedBytes));
        appendPayload(body, size);
    }
    pos += size;
    bodyTaken += quint64(size);
    return bodyTaken == header->payloadLength;
}

std::optional<WsEvent> WsFrameDecoder::next()
{
    // The last payload handed out is not looked at any more.
    held.clear();
    if (pos == buffer.size()) {
        buffer.clear();
        pos = 0;
    }
    while (!done) {
        if (!header) {
            if (std::optional<WsEvent> error = parseHeader())
                return error;
            if (!header)
                return std::nullopt;
        }
        const qsizetype size = qsizetype(header->payloadLength);
        QByteArrayView payload;
        if (bodyTaken == 0 && buffer.size() - pos >= size) {
            payload = takeWholePayload(size);
        } else if (!takePayload()) {
            // All of this read is taken; the next one is kept as it comes.
            buffer.clear();
            pos = 0;
            return std::nullopt;
        } else {
            held = std::exchange(body, QByteArray());
            payload = held;
        }
        const Header h = *header;
        header.reset();

        switch (h.opcode) {
        case WsOpcode::Continuation:
            // A text message's bytes are already on the fragment.
            if (h.fin) {
                const bool text = fragmentOpcode == WsOpcode::Text;
                fragmentOpcode = 0;
                held = std::exchange(fragment, QByteArray());
                if (text)
                    return WsEvent{WsEvent::Type::Text, held, {}};
            }
            break;
        case WsOpcode::Text:
            if (h.fin)
                return WsEvent{WsEvent::Type::Text, payload, {}};
            fragmentOpcode = WsOpcode::Text;
            fragment = payload.toByteArray();
            break;
        case WsOpcode::Close:
            // Whatever follows a close is never looked at.
            done = true;
            buffer.clear();
            fragment.clear();
            held.clear();
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
    // One growth of `out` for both parts: a short message's two appends cost more than its bytes.
    const qsizetype at = out.size();
    out.resize(at + headSize + size);
    char *to = out.data() + at;
    std::memcpy(to, head, size_t(headSize));
    if (size > 0)
        std::memcpy(to + headSize, payload.data(), size_t(size));
}
