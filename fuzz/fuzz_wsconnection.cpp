// A plugin connection from its first byte. The same bytes fed whole, byte by byte and in chunks chosen
// by the input give the same events and bytes to send, and nothing after the connection ends.
#include "FuzzCheck.h"
#include "WsConnection.h"

#include <QList>

#include <cstddef>
#include <cstdint>
#include <tuple>

namespace {

using Type = WsConnection::Event::Type;

// Type, payload, detail and what the connection queued with the event.
using Seen = std::tuple<Type, QByteArray, QString, QByteArray>;

bool ends(Type type) { return type != Type::Upgraded && type != Type::Text && type != Type::Ping; }

QList<Seen> run(QByteArrayView input, qsizetype step)
{
    WsConnection connection;
    QList<Seen> seen;
    for (qsizetype at = 0; at < input.size(); at += step) {
        connection.receive(input.sliced(at, qMin(step, input.size() - at)).toByteArray());
        while (std::optional<WsConnection::Event> event = connection.next()) {
            FUZZ_CHECK(seen.isEmpty() || !ends(std::get<0>(seen.last())));
            // The handshake's outcome comes first and once; frames only after an upgrade.
            const bool decision = event->type == Type::Upgraded || event->type == Type::Refused
                                  || event->type == Type::RefusedOrigin;
            FUZZ_CHECK(seen.isEmpty() ? decision || event->type == Type::Failed : !decision);
            FUZZ_CHECK(quint64(event->payload.size()) <= WsFrameDecoder::MaxMessageBytes);
            seen.append({event->type, event->payload, event->detail, connection.takeOutgoing()});
        }
        // Nothing is ever queued outside an event.
        FUZZ_CHECK(connection.outgoingSize() == 0);
    }
    FUZZ_CHECK(connection.upgraded() == (!seen.isEmpty() && std::get<0>(seen.first()) == Type::Upgraded));
    FUZZ_CHECK(!connection.isOpen() || seen.isEmpty() || !ends(std::get<0>(seen.last())));
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<Seen> whole = run(input, qMax<qsizetype>(1, input.size()));
    FUZZ_CHECK(run(input, 1) == whole);
    FUZZ_CHECK(run(input, size ? 1 + data[size - 1] % 17 : 1) == whole);

    for (const auto &[type, payload, detail, sent] : whole) {
        if (type == Type::Upgraded) {
            FUZZ_CHECK(sent.startsWith("HTTP/1.1 101 Switching Protocols\r\n") && sent.endsWith("\r\n\r\n"));
            FUZZ_CHECK(input.indexOf(QByteArrayView("\r\n\r\n")) <= WsHandshake::MaxRequestHeadBytes);
        }
        else if (type == Type::Ping)
            FUZZ_CHECK(sent.size() >= payload.size() + 2 && sent.endsWith(payload));
        else if (type == Type::Close)
            FUZZ_CHECK(sent == QByteArrayView("\x88\x00", 2));
        else
            FUZZ_CHECK(sent.isEmpty());
    }
    return 0;
}
