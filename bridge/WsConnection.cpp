#include "WsConnection.h"

void WsConnection::receive(const QByteArray &bytes)
{
    if (state == State::Open) {
        decoder.feed(bytes);
        return;
    }
    if (state != State::Handshake)
        return;
    switch (handshake.feed(bytes)) {
    case WsHandshake::State::Incomplete:
        return;
    case WsHandshake::State::Accepted:
        state = State::Open;
        outgoing.append(handshake.response());
        // Frames may ride in the same read as the request head.
        decoder.feed(handshake.takeRemainder());
        decided = Event{Event::Type::Upgraded, {}, {}};
        return;
    case WsHandshake::State::Refused:
        decided = Event{Event::Type::Refused, {}, {}};
        break;
    case WsHandshake::State::RefusedOrigin:
        decided = Event{Event::Type::RefusedOrigin, {}, handshake.origin()};
        break;
    case WsHandshake::State::Failed:
        decided = Event{Event::Type::Failed, {}, handshake.error()};
        break;
    }
    state = State::Refused;
}

std::optional<WsConnection::Event> WsConnection::next()
{
    if (decided) {
        std::optional<Event> event;
        event.swap(decided);
        return event;
    }
    if (state != State::Open)
        return std::nullopt;
    std::optional<WsEvent> frame = decoder.next();
    if (!frame)
        return std::nullopt;
    switch (frame->type) {
    case WsEvent::Type::Text:
        return Event{Event::Type::Text, std::move(frame->payload), {}};
    case WsEvent::Type::Ping:
        appendWsFrame(outgoing, WsOpcode::Pong, frame->payload);
        return Event{Event::Type::Ping, std::move(frame->payload), {}};
    case WsEvent::Type::Close:
        // An empty close, no status code; whatever the peer sends after it is never read.
        appendWsFrame(outgoing, WsOpcode::Close, {});
        state = State::Closing;
        return Event{Event::Type::Close, {}, {}};
    case WsEvent::Type::Error:
        state = State::Closing;
        return Event{Event::Type::Failed, {}, frame->error};
    }
    return std::nullopt;
}

void WsConnection::sendText(QByteArrayView payload)
{
    if (state == State::Open)
        appendWsFrame(outgoing, WsOpcode::Text, payload);
}

QByteArray WsConnection::takeOutgoing()
{
    QByteArray bytes;
    bytes.swap(outgoing);
    return bytes;
}
