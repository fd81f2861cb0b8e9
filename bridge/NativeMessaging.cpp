#include "NativeMessaging.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstring>
#include <utility>

qsizetype NativeRequestReader::wanted() const
{
    if (result.kind != NativeRequest::Kind::Pending)
        return 0;
    return (bodyLength < 0 ? nativeLengthBytes : nativeLengthBytes + bodyLength) - buffer.size();
}

qsizetype NativeRequestReader::feed(QByteArrayView bytes)
{
    const qsizetype taken = std::min(bytes.size(), wanted());
    buffer.append(bytes.first(taken));
    if (bodyLength < 0 && buffer.size() == nativeLengthBytes) {
        quint32 length = 0;
        std::memcpy(&length, buffer.constData(), sizeof length);
        if (length > quint32(maxNativeRequestBytes)) {
            decide(NativeRequest::Kind::Error, QStringLiteral("request too long (%1 bytes)").arg(length));
            return taken;
        }
        bodyLength = qsizetype(length);
    }
    if (bodyLength < 0 || wanted() > 0)
        return taken;

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(buffer.mid(nativeLengthBytes), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        decide(NativeRequest::Kind::Error, QStringLiteral("request is not JSON"));
    else if (!document.isObject())
        decide(NativeRequest::Kind::Error, QStringLiteral("request is not a JSON object"));
    else if (document.object().value(QLatin1String("type")).toString() != QLatin1String(NativeType::Link))
        decide(NativeRequest::Kind::Error, QStringLiteral("unknown request"));
    else
        decide(NativeRequest::Kind::Link);
    return taken;
}

void NativeRequestReader::finish()
{
    if (result.kind == NativeRequest::Kind::Pending)
        decide(NativeRequest::Kind::Error, QStringLiteral("incomplete request"));
}

void NativeRequestReader::decide(NativeRequest::Kind kind, QString error)
{
    result = {kind, std::move(error)};
    buffer.clear();
}

QJsonObject nativeLinkReply(quint16 port, const QByteArray &key)
{
    return {{QStringLiteral("type"), QLatin1String(NativeType::Link)},
            {QStringLiteral("port"), port},
            {QStringLiteral("key"), QString::fromLatin1(key.toBase64())}};
}

QJsonObject nativeErrorReply(const QString &reason)
{
    return {{QStringLiteral("type"), QLatin1String(NativeType::Error)}, {QStringLiteral("error"), reason}};
}

QByteArray frameNativeMessage(const QJsonObject &message)
{
    const QByteArray body = QJsonDocument(message).toJson(QJsonDocument::Compact);
    const quint32 length = quint32(body.size());
    QByteArray framed(nativeLengthBytes, Qt::Uninitialized);
    std::memcpy(framed.data(), &length, sizeof length);
    return framed + body;
}
