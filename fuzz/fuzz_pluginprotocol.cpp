// The JSON dispatcher: a message parsed whole and the same message carried in
// one-byte WebSocket fragments must read the same; a known type must come
// from a JSON object that names it, and what it carries must survive the trip
// back out in a "fill".
#include "FuzzCheck.h"
#include "PluginProtocol.h"
#include "WsFrameCodec.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

namespace {

bool same(const PluginMessage &a, const PluginMessage &b)
{
    return a.type == b.type && a.version == b.version && a.url == b.url && a.title == b.title && a.fields == b.fields
           && a.kind == b.kind && a.field == b.field && a.ok == b.ok && a.error == b.error;
}

// The message as a masked text frame followed by continuation frames of one byte each.
QByteArray fragmented(QByteArrayView payload)
{
    QByteArray wire;
    const char mask[4] = {0x11, 0x22, 0x33, 0x44};
    for (qsizetype i = 0; i < qMax<qsizetype>(1, payload.size()); ++i) {
        const bool first = i == 0;
        const bool last = i + 1 >= payload.size();
        wire.append(char((last ? 0x80 : 0) | (first ? 0x1 : 0x0)));
        const qsizetype n = payload.isEmpty() ? 0 : 1;
        wire.append(char(0x80 | n));
        wire.append(mask, 4);
        if (n)
            wire.append(char(payload[i] ^ mask[0]));
    }
    return wire;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const PluginMessage message = parsePluginMessage(input);

    WsFrameDecoder decoder;
    decoder.feed(fragmented(input));
    const std::optional<WsEvent> event = decoder.next();
    FUZZ_CHECK(event && event->type == WsEvent::Type::Text && event->payload == input);
    FUZZ_CHECK(same(parsePluginMessage(event->payload), message));

    const QJsonDocument document = QJsonDocument::fromJson(input);
    if (message.type == PluginMessage::Type::Dropped) {
        return 0;
    }
    FUZZ_CHECK(document.isObject());
    const QString type = document.object().value(QLatin1String("type")).toString();
    switch (message.type) {
    case PluginMessage::Type::Hello: FUZZ_CHECK(type == QLatin1String(PluginType::Hello)); break;
    case PluginMessage::Type::Fields: FUZZ_CHECK(type == QLatin1String(PluginType::Fields)); break;
    case PluginMessage::Type::Picked: FUZZ_CHECK(type == QLatin1String(PluginType::Picked)); break;
    case PluginMessage::Type::FillResult: FUZZ_CHECK(type == QLatin1String(PluginType::FillResult)); break;
    case PluginMessage::Type::ButtonClicked: FUZZ_CHECK(type == QLatin1String(PluginType::ButtonClicked)); break;
    case PluginMessage::Type::Error: FUZZ_CHECK(type == QLatin1String(PluginType::Error)); break;
    case PluginMessage::Type::Dropped: break;
    }

    // A picked descriptor goes back to the plugin untouched inside a "fill".
    const QJsonObject fill = pluginFillMessage(message.field, message.url, message.ok, message.field, false, 300);
    const QJsonDocument back = QJsonDocument::fromJson(serializePluginMessage(fill));
    FUZZ_CHECK(back.isObject() && back.object() == fill);
    FUZZ_CHECK(back.object().value(QLatin1String("target")).toObject() == message.field);
    return 0;
}
