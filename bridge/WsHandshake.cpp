#include "WsHandshake.h"

#include <QCryptographicHash>
#include <QList>

namespace {

constexpr QByteArrayView headEnd("\r\n\r\n");
constexpr QByteArrayView acceptGuid("258EAFA5-E914-47DA-95CA-C5AB0DC85B11");

// Header bytes are Latin-1 on the wire; control characters would break the log line.
QString printable(QByteArrayView bytes)
{
    QString text = QString::fromLatin1(bytes);
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

QByteArray WsHandshake::computeAccept(QByteArrayView key)
{
    QByteArray input = key.toByteArray();
    input.append(acceptGuid);
    return QCryptographicHash::hash(input, QCryptographicHash::Sha1).toBase64();
}

WsHandshake::WsHandshake(const QStringList &allowedExtensionIds)
{
    for (const QString &id : allowedExtensionIds) {
        const QByteArray lower = id.toLatin1().toLower();
        if (lower.isEmpty())
            continue;
        allowedOrigins.insert("chrome-extension://" + lower);
        allowedOrigins.insert("extension://" + lower);
    }
}

// Scheme and host of an origin are case-insensitive; an extension id is its host.
bool WsHandshake::isAllowedOrigin(QByteArrayView origin) const
{
    return allowedOrigins.contains(origin.toByteArray().toLower());
}

WsHandshake::State WsHandshake::feed(QByteArrayView bytes)
{
    if (current != State::Incomplete)
        return current;
    buffer.append(bytes);

    // Resume the search a few bytes back so a delimiter split across reads is found,
    // without rescanning what earlier reads already ruled out.
    const qsizetype from = qMax<qsizetype>(0, scanned - (headEnd.size() - 1));
    const qsizetype end = buffer.indexOf(headEnd, from);
    if (end < 0) {
        scanned = buffer.size();
        // Any later delimiter starts at or after size - 3, so the head is already too long.
        if (buffer.size() - (headEnd.size() - 1) > MaxRequestHeadBytes) {
            failure = QStringLiteral("request head over %1 bytes").arg(MaxRequestHeadBytes);
            current = State::Failed;
            buffer.clear();
        }
        return current;
    }
    if (end > MaxRequestHeadBytes) {
        failure = QStringLiteral("request head over %1 bytes").arg(MaxRequestHeadBytes);
        current = State::Failed;
        buffer.clear();
        return current;
    }

    parseHead(QByteArrayView(buffer).first(end));
    buffer.remove(0, end + headEnd.size());
    if (current != State::Accepted)
        buffer.clear();
    return current;
}

void WsHandshake::parseHead(QByteArrayView head)
{
    QByteArray key;
    bool originRefused = false;
    for (QByteArrayView line : QByteArrayView(head).toByteArray().split('\n')) {
        line = line.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (line.isEmpty() || colon < 0)
            continue;
        const QByteArray name = line.first(colon).trimmed().toByteArray().toLower();
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        if (name == "sec-websocket-key") {
            key = value.toByteArray();
        } else if (name == "origin" && !originRefused && !isAllowedOrigin(value)) {
            // The first foreign Origin decides; a later allowed one cannot undo it.
            originRefused = true;
            refusedOrigin = printable(value);
        }
    }

    if (originRefused) {
        current = State::RefusedOrigin;
    } else if (key.isEmpty()) {
        current = State::Refused;
    } else {
        accept = computeAccept(key);
        current = State::Accepted;
    }
}

QByteArray WsHandshake::response() const
{
    if (current != State::Accepted)
        return {};
    return QByteArrayLiteral("HTTP/1.1 101 Switching Protocols\r\n"
                             "Upgrade: websocket\r\n"
                             "Connection: Upgrade\r\n"
                             "Sec-WebSocket-Accept: ")
           + accept + QByteArrayLiteral("\r\n\r\n");
}

QByteArray WsHandshake::takeRemainder()
{
    QByteArray rest;
    rest.swap(buffer);
    return rest;
}
