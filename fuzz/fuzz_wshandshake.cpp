// The handshake parser: the same request fed whole, byte by byte and in two
// pieces must end in the same state, with the same answer and leftovers.
#include "FuzzCheck.h"
#include "WsHandshake.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Outcome
{
    WsHandshake::State state;
    QByteArray response;
    QString origin;
    QString error;
    QByteArray remainder; // what follows the head, including bytes offered after the decision
};

Outcome feed(QByteArrayView input, qsizetype step)
{
    WsHandshake handshake;
    qsizetype at = 0;
    while (at < input.size()) {
        const qsizetype n = qMin(step, input.size() - at);
        const WsHandshake::State state = handshake.feed(input.sliced(at, n));
        at += n;
        FUZZ_CHECK(state == handshake.state());
        if (state != WsHandshake::State::Incomplete)
            break;
    }
    Outcome out{handshake.state(), handshake.response(), handshake.origin(), handshake.error(), handshake.takeRemainder()};
    // Once decided, the parser takes no more bytes; the caller hands them to the frame decoder.
    if (out.state == WsHandshake::State::Accepted)
        out.remainder += input.sliced(at).toByteArray();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const Outcome whole = feed(input, qMax<qsizetype>(1, input.size()));
    const qsizetype split = size ? 1 + qsizetype(data[0]) * qsizetype(size) / 256 : 1;
    for (const Outcome &other : {feed(input, 1), feed(input, split)}) {
        FUZZ_CHECK(other.state == whole.state);
        FUZZ_CHECK(other.response == whole.response);
        FUZZ_CHECK(other.origin == whole.origin);
        FUZZ_CHECK(other.error == whole.error);
        FUZZ_CHECK(other.remainder == whole.remainder);
    }

    switch (whole.state) {
    case WsHandshake::State::Accepted: {
        const qsizetype head = input.indexOf(QByteArrayView("\r\n\r\n"));
        FUZZ_CHECK(head >= 0 && head <= WsHandshake::MaxRequestHeadBytes);
        FUZZ_CHECK(whole.remainder == input.sliced(head + 4).toByteArray());
        FUZZ_CHECK(whole.response.startsWith("HTTP/1.1 101 Switching Protocols\r\n"));
        FUZZ_CHECK(whole.response.endsWith("\r\n\r\n"));
        break;
    }
    case WsHandshake::State::Incomplete:
        FUZZ_CHECK(!input.contains(QByteArrayView("\r\n\r\n")));
        FUZZ_CHECK(input.size() <= WsHandshake::MaxRequestHeadBytes + 3);
        FUZZ_CHECK(whole.response.isEmpty());
        break;
    default:
        FUZZ_CHECK(whole.response.isEmpty());
        FUZZ_CHECK(whole.remainder.isEmpty());
        break;
    }
    return 0;
}
