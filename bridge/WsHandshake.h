#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>
#include <QStringList>

// Server side of the WebSocket opening handshake, without sockets: feed the
// bytes of the connection until the request head is complete, then either
// write response() and hand remainder() to the frame decoder, or close.
class WsHandshake
{
public:
    // Requests without an Origin (local tools) are served; of web origins only
    // these extensions' own, "chrome-extension://<id>" (or Edge's "extension://<id>").
    explicit WsHandshake(const QStringList &allowedExtensionIds = {});

    // A request head (everything before the blank line) may be this long;
    // browsers send well under 2 KiB.
    static constexpr qsizetype MaxRequestHeadBytes = 16 * 1024;

    enum class State {
        Incomplete, // no blank line yet: feed more bytes
        Accepted,   // key found, origin allowed: send response()
        Refused,    // no or empty key: close without a word
        RefusedOrigin, // an Origin not of our plugin: close, log origin()
        Failed,     // a bound was exceeded: close, log error()
    };

    State feed(QByteArrayView bytes);
    State state() const { return current; }

    // The exact 101 response for an accepted request.
    QByteArray response() const;
    QByteArray acceptValue() const { return accept; }
    // The offending Origin of a RefusedOrigin request, fit for a log line.
    QString origin() const { return refusedOrigin; }
    QString error() const { return failure; }
    // Bytes received after the request head: the first frames.
    QByteArray takeRemainder();

    static QByteArray computeAccept(QByteArrayView key);
    bool isAllowedOrigin(QByteArrayView origin) const;

private:
    void parseHead(QByteArrayView head);

    QSet<QByteArray> allowedOrigins;
    State current = State::Incomplete;
    QByteArray buffer;
    // Bytes of buffer already known to hold no complete "\r\n\r\n".
    qsizetype scanned = 0;
    QByteArray accept;
    QString refusedOrigin;
    QString failure;
};
