// The frame decoder: the same bytes fed whole, byte by byte and in chunks
// chosen by the input must give the same events, and none after the last.
#include "FuzzCheck.h"
#include "WsFrameCodec.h"

#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

struct Seen
{
    WsEvent::Type type;
    QByteArray payload;
    QString error;
    bool operator==(const Seen &o) const { return type == o.type && payload == o.payload && error == o.error; }
};

QList<Seen> decode(QByteArrayView input, qsizetype step)
{
    WsFrameDecoder decoder;
    QList<Seen> seen;
    for (qsizetype at = 0; at < input.size(); at += step) {
        decoder.feed(input.sliced(at, qMin(step, input.size() - at)));
        while (std::optional<WsEvent> event = decoder.next()) {
            FUZZ_CHECK(seen.isEmpty() || (seen.last().type != WsEvent::Type::Close && seen.last().type != WsEvent::Type::Error));
            FUZZ_CHECK(quint64(event->payload.size()) <= WsFrameDecoder::MaxMessageBytes);
            seen.append({event->type, event->payload, event->error});
        }
    }
    if (!seen.isEmpty() && (seen.last().type == WsEvent::Type::Close || seen.last().type == WsEvent::Type::Error))
        FUZZ_CHECK(decoder.finished());
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<Seen> whole = decode(input, qMax<qsizetype>(1, input.size()));
    FUZZ_CHECK(decode(input, 1) == whole);
    FUZZ_CHECK(decode(input, size ? 1 + data[size - 1] % 17 : 1) == whole);

    // Payloads come out of the input's bytes: together they can never outgrow it.
    qsizetype total = 0;
    for (const Seen &event : whole)
        total += event.payload.size();
    FUZZ_CHECK(total <= input.size());
    return 0;
}
