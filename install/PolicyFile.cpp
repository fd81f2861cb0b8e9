#include "PolicyFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

const QString forcelistKey = QStringLiteral("ExtensionInstallForcelist");

std::optional<QJsonObject> parseObject(const QByteArray &json)
{
    if (json.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

QByteArray serialize(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace

QStringList forcelistEntries(const QByteArray &json)
{
    const std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return {};
    QStringList entries;
    for (const QJsonValue &item : object->value(forcelistKey).toArray())
        entries << item.toString();
    return entries;
}

std::optional<QByteArray> policyFileWithEntry(const QByteArray &json, const QString &value)
{
    std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return std::nullopt;
    const QJsonValue list = object->value(forcelistKey);
    if (!list.isUndefined() && !list.isArray())
        return std::nullopt;
    QJsonArray entries = list.toArray();
    if (entries.contains(value))
        return json;
    entries.append(value);
    object->insert(forcelistKey, entries);
    return serialize(*object);
}

std::optional<QByteArray> policyFileWithoutEntry(const QByteArray &json, int index)
{
    std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return std::nullopt;
    QJsonArray entries = object->value(forcelistKey).toArray();
    if (index < 0 || index >= entries.size())
        return std::nullopt;
    entries.removeAt(index);
    object->insert(forcelistKey, entries);
    return serialize(*object);
}
