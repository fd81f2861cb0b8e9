// The line codec against the whole-buffer reference it must agree with, for
// the same input fed whole, byte by byte and in chunks chosen by the input.
#include "FuzzCheck.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <cstddef>
#include <cstdint>

namespace {

using Events = QList<ReferenceFramer::Event>;

Events feedBoth(QByteArrayView input, qsizetype step)
{
    LineFramer framer;
    ReferenceFramer reference;
    Events all;
    for (qsizetype at = 0; at < input.size(); at += step) {
        const QByteArrayView chunk = input.sliced(at, qMin(step, input.size() - at));
        framer.feed(chunk);
        Events ours;
        while (std::optional<FramerEvent> event = framer.next()) {
            FUZZ_CHECK(event->kind != FramerEvent::Overflow); // inputs stay far below the bound
            ours.append({event->kind == FramerEvent::Line, event->line, event->frame});
        }
        FUZZ_CHECK(ours == reference.feed(chunk.toByteArray()));
        FUZZ_CHECK(framer.pendingBytes() == reference.buffer.size() && framer.pendingData() == reference.buffer);
        all += ours;
    }
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Views over libFuzzer's own buffer, so a read past the input is caught.
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    // A web page's request is refused before it becomes lines, which the plain
    // framing knows nothing of; tst_lineframer covers that opening.
    if (classifyOpening(input) == ConnectionOpening::WebRequest)
        return 0;
    const Events whole = feedBoth(input, qMax<qsizetype>(1, input.size()));
    const Events byByte = feedBoth(input, 1);
    // The first byte picks a chunk size, so chunk seams fall all over the input.
    const Events chunked = feedBoth(input, size ? 1 + data[0] % 31 : 1);
    // Without marker bytes no removal can join a new marker, so the seams cannot matter.
    if (!input.contains(QByteArrayView("\xdd\xfe", 2)))
        FUZZ_CHECK(whole == byByte && whole == chunked);
    return 0;
}
