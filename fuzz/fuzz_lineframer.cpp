// The line codec against the whole-buffer reference it must agree with, for
// the same input fed whole, byte by byte and in chunks chosen by the input.
#include "FuzzCheck.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

using Events = QList<ReferenceFramer::Event>;

// Feeds `chunks` to both framers and checks them against each other after every chunk.
Events feedBoth(const QList<QByteArrayView> &chunks)
{
    LineFramer framer;
    ReferenceFramer reference;
    Events all;
    for (QByteArrayView chunk : chunks) {
        framer.feed(chunk);
        Events ours;
        while (std::optional<FramerEvent> event = framer.next()) {
            FUZZ_CHECK(event->kind != FramerEvent::Overflow); // inputs stay far below the bound
            ours.append({event->kind == FramerEvent::Line, event->line, event->frame});
        }
        const Events expected = reference.feed(chunk.toByteArray());
        FUZZ_CHECK(ours == expected);
        FUZZ_CHECK(framer.pendingBytes() == reference.buffer.size());
        FUZZ_CHECK(framer.pendingData() == reference.buffer);
        for (const ReferenceFramer::Event &event : ours)
            FUZZ_CHECK(event.good ? !event.line.isEmpty() : !event.frame.isEmpty());
        all += ours;
    }
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Views over libFuzzer's own buffer, so a read past the input is caught.
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const Events whole = feedBoth({input});

    QList<QByteArrayView> bytes;
    for (qsizetype i = 0; i < input.size(); ++i)
        bytes.append(input.sliced(i, 1));
    const Events byByte = feedBoth(bytes);

    // The first byte picks a chunk size, so chunk seams fall all over the input.
    QList<QByteArrayView> chunks;
    const qsizetype step = size ? 1 + data[0] % 31 : 1;
    for (qsizetype at = 0; at < input.size(); at += step)
        chunks.append(input.sliced(at, qMin(step, input.size() - at)));
    const Events chunked = feedBoth(chunks);

    // Without marker bytes no removal can join a new marker, so the seams cannot matter.
    if (!input.contains(QByteArrayView("\xdd\xfe", 2))) {
        FUZZ_CHECK(whole == byByte);
        FUZZ_CHECK(whole == chunked);
    }
    return 0;
}
