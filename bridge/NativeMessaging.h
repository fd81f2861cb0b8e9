#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QString>

// The browser's native messaging, as the link host speaks it: each message is
// a 32-bit length in the machine's byte order followed by that many bytes of
// UTF-8 JSON. The host reads one request and writes one reply.

inline constexpr qsizetype nativeLengthBytes = 4;
// The one request there is, {"type":"link"}, is 15 bytes; longer ones are
// refused from their length alone, before any of their body is read.
inline constexpr qsizetype maxNativeRequestBytes = 1024 * 1024;

namespace NativeType {
inline constexpr char Link[] = "link";
inline constexpr char Error[] = "error";
} // namespace NativeType

// The reply when the record names no running gateway of this user.
inline const QString noGatewayError = QStringLiteral("no Fieldpost gateway runs for this user");

struct NativeRequest
{
    enum class Kind { Pending, Link, Error };
    Kind kind = Kind::Pending;
    QString error; // Error: the reason, as the reply gives it
};

// Reads one request without any I/O of its own: feed() what arrives, no more
// than wanted() bytes at a time, and finish() at the end of the input.
class NativeRequestReader
{
public:
    // The bytes it still needs before it can decide; 0 once it has.
    qsizetype wanted() const;
    // Takes at most wanted() bytes from the front of `bytes`; returns how many it took.
    qsizetype feed(QByteArrayView bytes);
    // The input ended: a request still pending is incomplete.
    void finish();
    const NativeRequest &request() const { return result; }

private:
    void decide(NativeRequest::Kind kind, QString error = QString());

    QByteArray buffer;
    qsizetype bodyLength = -1; // known once the length bytes are in
    NativeRequest result;
};

QJsonObject nativeLinkReply(quint16 port, const QByteArray &key);
QJsonObject nativeErrorReply(const QString &reason);
// The message as written to the browser: its length, then compact UTF-8 JSON.
QByteArray frameNativeMessage(const QJsonObject &message);
