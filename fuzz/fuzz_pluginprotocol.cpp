// The JSON dispatcher: a known type must come from a JSON object that names
// it, and what it carries must survive the trip back out in a "fill".
#include "FuzzCheck.h"
#include "PluginProtocol.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const PluginMessage message = parsePluginMessage(input);
    if (message.type == PluginMessage::Type::Dropped)
        return 0;

    const QJsonDocument document = QJsonDocument::fromJson(input);
    FUZZ_CHECK(document.isObject());
    const QString type = document.object().value(QLatin1String("type")).toString();
    const char *expected = "";
    switch (message.type) {
    case PluginMessage::Type::Hello: expected = PluginType::Hello; break;
    case PluginMessage::Type::Fields: expected = PluginType::Fields; break;
    case PluginMessage::Type::Picked: expected = PluginType::Picked; break;
    case PluginMessage::Type::FillResult: expected = PluginType::FillResult; break;
    case PluginMessage::Type::ButtonClicked: expected = PluginType::ButtonClicked; break;
    case PluginMessage::Type::Error: expected = PluginType::Error; break;
    case PluginMessage::Type::Dropped: break;
    }
    FUZZ_CHECK(type == QLatin1String(expected));

    // A picked descriptor goes back to the plugin untouched inside a "fill".
    const QJsonObject fill = pluginFillMessage(message.field, message.url, message.ok, message.field, false, 300);
    const QJsonDocument back = QJsonDocument::fromJson(serializePluginMessage(fill));
    FUZZ_CHECK(back.isObject() && back.object() == fill);
    FUZZ_CHECK(back.object().value(QLatin1String("target")).toObject() == message.field);
    return 0;
}
