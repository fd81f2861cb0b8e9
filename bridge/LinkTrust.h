#pragma once

#include "PluginProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The pairing's proof on one plugin link, without sockets. Both ends hold the
// user's key from the pairing record; each proves it with an HMAC over both
// nonces and the port, so neither a replay nor a relay through another port
// passes. Until the plugin's proof has been checked, nothing the link sends is
// acted on and nothing but the proof is sent to it.
class LinkTrust
{
public:
    static constexpr qsizetype NonceBytes = 16;
    static constexpr qsizetype KeyBytes = 32;
    // A link that has not proven itself by then is closed.
    static constexpr int ProofDeadlineMs = 5000;

    // gatewayNonce: base64 text of NonceBytes random bytes (newNonce()).
    LinkTrust(QByteArray key, quint16 port, QByteArray gatewayNonce);

    enum class State { AwaitingHello, AwaitingProof, Proven, Refused };

    struct Step
    {
        enum class Kind {
            Ignore, // not acted on: before the proof, or a second hello or proof
            Reply,  // send `reply` (the gateway's proof)
            Proven, // the plugin proved the pairing: the link may be used
            Refuse, // close the link; `reason` is fit for a log line
        };
        Kind kind = Kind::Ignore;
        QByteArray reply;
        QString reason;
    };

    // Every message of the link goes through here first; only once state() is
    // Proven do the others mean anything.
    Step take(const PluginMessage &message);
    State state() const { return current; }
    bool proven() const { return current == State::Proven; }

    // Base64 text of NonceBytes bytes from the system's random source.
    static QByteArray newNonce();
    // Base64 HMAC-SHA256 under `key` of "<role>|<pluginNonce>|<gatewayNonce>|<port>".
    static QByteArray proof(const QByteArray &key, QByteArrayView role, QByteArrayView pluginNonce,
                            QByteArrayView gatewayNonce, quint16 port);
    // Compares in time that does not depend on where the two differ.
    static bool sameBytes(QByteArrayView a, QByteArrayView b);
    // Base64 text that decodes to exactly NonceBytes bytes.
    static bool isNonce(QByteArrayView text);

private:
    QByteArray key;
    quint16 port = 0;
    QByteArray gatewayNonce;
    QByteArray pluginNonce;
    State current = State::AwaitingHello;
};
