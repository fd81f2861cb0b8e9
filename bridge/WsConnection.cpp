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
        decided = EventInPlace{Event::Type::Upgraded, {}, {}};
        return;
    case WsHandshake::State::Refused:
        decided = EventInPlace{Event::Type::Refused, {}, {}};
        break;
    case WsHandshake::State::RefusedOrigin:
        decided = EventInPlace{Event::Type::RefusedOrigin, {}, handshake.origin()};
        break;
    case WsHandshake::State::Failed:
        decided = EventInPlace{Event::Type::Failed, {}, handshake.error()};
        break;
    }
    state = State::Refused;
}

std::optional<WsConnection::Event> WsConnection::next()
{
    std::optional<EventInPlace> event = nextInPlace();
    if (!event)
        return std::nullopt;
    return Event{event->type, event->payload.toByteArray(), std::move(event->detail)};
}

std::optional<WsConnection::EventInPlace> WsConnection::nextInPlace()
{
    if (decided) {
        std::optional<EventInPlace> event;
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
        return EventInPlace{Event::Type::Text, frame->payload, {}};
    case WsEvent::Type::Ping:
        appendWsFrame(outgoing, WsOpcode::Pong, frame->payload);
        return EventInPlace{Event::Type::Ping, frame->payload, {}};
    case WsEvent::Type::Close:
        // An empty close, no status code; whatever the peer sends after it is never read.
        appendWsFrame(outgoing, WsOpcode::Close, {});
        state = State::Closing;
        return EventInPlace{Event::Type::Close, {}, {}};
    case WsEvent::Type::Error:
        state = State::Closing;
        return EventInPlace{Event::Type::Failed, {}, std::move(frame->error)};
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
