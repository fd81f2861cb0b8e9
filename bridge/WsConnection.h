#pragma once

#include "WsFrameCodec.h"
#include "WsHandshake.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// One plugin connection without a socket: receive() what the socket read,
// take the events with next(), and write out takeOutgoing(). It answers the
// handshake, pings and the close itself; what the events mean to the
// application is the caller's business.
class WsConnection
{
public:
    // The extensions whose Origin the handshake admits (see WsHandshake).
    explicit WsConnection(const QStringList &allowedExtensionIds = {}) : handshake(allowedExtensionIds) { }

    struct Event
    {
        enum class Type {
            Upgraded,      // the 101 response is queued; text may be sent from now on
            Text,          // payload: one whole text message
            Ping,          // the pong is queued
            Close,         // the close reply is queued; nothing more is read
            Refused,       // no key: close without a word
            RefusedOrigin, // detail: the refused Origin, fit for a log line
            Failed,        // detail: the bound that was broken, fit for a log line
        };
        Type type = Type::Text;
        QByteArray payload;
        QString detail;
    };
    // The same with the payload where the connection holds it, valid until the
    // next receive(), next() or nextInPlace(): no copy of each message for a
    // caller that is done with it at once.
    struct EventInPlace
    {
        Event::Type type = Event::Type::Text;
        QByteArrayView payload;
        QString detail;
    };

    // Best handed over as the only copy: the frames are unmasked in place.
    void receive(const QByteArray &bytes);
    std::optional<Event> next();
    std::optional<EventInPlace> nextInPlace();

    // Queues one text frame; dropped unless the connection is open.
    void sendText(QByteArrayView payload);
    QByteArray takeOutgoing();
    qsizetype outgoingSize() const { return outgoing.size(); }

    // Upgraded at some point, even if closing now: counts as a plugin until the socket goes.
    bool upgraded() const { return state != State::Handshake && state != State::Refused; }
    // Upgraded and not closing: takes outgoing text.
    bool isOpen() const { return state == State::Open; }

private:
    enum class State { Handshake, Open, Closing, Refused };

    State state = State::Handshake;
    WsHandshake handshake;
    WsFrameDecoder decoder;
    // The handshake's outcome, handed out by the next call for an event.
    std::optional<EventInPlace> decided;
    QByteArray outgoing;
};
