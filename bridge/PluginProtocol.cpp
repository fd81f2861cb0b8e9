#include "PluginProtocol.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace {

// QJsonValue::toString and friends already give the fallback for a missing or
// mistyped member; naming it keeps each default visible at its member.
QString stringOr(const QJsonObject &object, const char *key, const QString &fallback = QString())
{
    return object.value(QLatin1String(key)).toString(fallback);
}

} // namespace

PluginMessage parsePluginMessage(const QByteArray &payload)
{
    PluginMessage message;
    const QJsonDocument document = QJsonDocument::fromJson(payload);
    if (!document.isObject())
        return message;
    const QJsonObject object = document.object();
    const QString type = stringOr(object, "type");

    if (type == QLatin1String(PluginType::Hello)) {
        message.type = PluginMessage::Type::Hello;
        message.version = stringOr(object, "version");
        message.instance = stringOr(object, "instance");
        message.browser = stringOr(object, "browser");
        message.nonce = stringOr(object, "nonce").toLatin1();
    } else if (type == QLatin1String(PluginType::Proof)) {
        message.type = PluginMessage::Type::Proof;
        message.proof = stringOr(object, "proof").toLatin1();
    } else if (type == QLatin1String(PluginType::PickMode)) {
        message.type = PluginMessage::Type::PickMode;
        message.enabled = object.value(QLatin1String("enabled")).toBool(false);
        message.kind = stringOr(object, "kind", PickKind::field);
        message.add = object.value(QLatin1String("add")).toBool(false);
    } else if (type == QLatin1String(PluginType::Keepalive)) {
        message.type = PluginMessage::Type::Keepalive;
    } else if (type == QLatin1String(PluginType::Fields)) {
        message.type = PluginMessage::Type::Fields;
        message.url = stringOr(object, "url");
        message.title = stringOr(object, "title");
        message.fields = object.value(QLatin1String("fields")).toArray();
    } else if (type == QLatin1String(PluginType::Picked)) {
        message.type = PluginMessage::Type::Picked;
        message.kind = stringOr(object, "kind", PickKind::field);
        message.url = stringOr(object, "url");
        message.field = object.value(QLatin1String("field")).toObject();
        message.add = object.value(QLatin1String("add")).toBool(false);
    } else if (type == QLatin1String(PluginType::ActivePage)) {
        message.type = PluginMessage::Type::ActivePage;
        message.url = stringOr(object, "url");
        message.title = stringOr(object, "title");
    } else if (type == QLatin1String(PluginType::SequenceReset)) {
        message.type = PluginMessage::Type::SequenceReset;
    } else if (type == QLatin1String(PluginType::FillResult) || type == QLatin1String(PluginType::ButtonClicked)) {
        message.type = type == QLatin1String(PluginType::FillResult) ? PluginMessage::Type::FillResult
                                                                     : PluginMessage::Type::ButtonClicked;
        // Only the literal true counts; "true" or 1 from a sloppy plugin is a failure.
        message.ok = object.value(QLatin1String("ok")).toBool(false);
        message.error = stringOr(object, "error");
        // Ids are whole numbers the gateway counted; anything else is an answer without one.
        const QJsonValue id = object.value(QLatin1String("id"));
        const double number = id.toDouble(-1);
        if (id.isDouble() && number >= 0 && number <= 9007199254740991.0 && number == double(qint64(number)))
            message.id = qint64(number);
        const QJsonValue failed = object.value(QLatin1String("failedField"));
        if (failed.isDouble() && failed.toDouble() >= 0 && failed.toDouble() < 64 && failed.toDouble() == failed.toInt())
            message.failedField = failed.toInt();
    } else if (type == QLatin1String(PluginType::Error)) {
        message.type = PluginMessage::Type::Error;
        message.error = stringOr(object, "error");
    }
    return message;
}

QByteArray pluginHelloMessage()
{
    // Fixed text: member order matters to nobody, but the greeting is always these bytes.
    return QByteArrayLiteral("{\"type\":\"hello\",\"from\":\"app\"}");
}

QByteArray pluginScanMessage()
{
    // Built and serialised anew for each line, it cost as much as all the rest of a short message's handling.
    return QByteArrayLiteral("{\"type\":\"scan\"}");
}

QByteArray pluginProofMessage(QByteArrayView gatewayNonce, QByteArrayView proof)
{
    // Both are base64 text: nothing in them needs escaping.
    return "{\"type\":\"proof\",\"nonce\":\"" + gatewayNonce.toByteArray() + "\",\"proof\":\""
           + proof.toByteArray() + "\"}";
}

QJsonObject pluginPickModeMessage(bool enabled, const QString &kind, bool add)
{
    QJsonObject message{
        {QLatin1String("type"), QLatin1String(PluginType::PickMode)},
        {QLatin1String("enabled"), enabled},
        {QLatin1String("kind"), kind},
    };
    if (add)
        message.insert(QLatin1String("add"), true);
    return message;
}

QJsonObject pluginFillMessage(const QJsonObject &target, const QString &value, bool pressEnter,
                              const QJsonObject &button, bool clickButton, int clickDelayMs, qint64 id, bool flash)
{
    QJsonObject message{
        {QLatin1String("type"), QLatin1String(PluginType::Fill)},
        {QLatin1String("target"), target},
        {QLatin1String("value"), value},
        {QLatin1String("pressEnter"), pressEnter},
        {QLatin1String("button"), button},
        {QLatin1String("clickButton"), clickButton},
        {QLatin1String("clickDelayMs"), clickDelayMs},
    };
    if (id >= 0)
        message.insert(QLatin1String("id"), id);
    if (flash)
        message.insert(QLatin1String("flash"), true);
    return message;
}

QJsonObject pluginFillFieldsMessage(const QJsonArray &targets, const QStringList &values, bool pressEnter,
                                    const QJsonObject &button, bool clickButton, int clickDelayMs, qint64 id,
                                    bool flash)
{
    QJsonObject message{
        {QLatin1String("type"), QLatin1String(PluginType::Fill)},
        {QLatin1String("targets"), targets},
        {QLatin1String("values"), QJsonArray::fromStringList(values)},
        {QLatin1String("pressEnter"), pressEnter},
        {QLatin1String("button"), button},
        {QLatin1String("clickButton"), clickButton},
        {QLatin1String("clickDelayMs"), clickDelayMs},
        {QLatin1String("id"), id},
    };
    if (flash)
        message.insert(QLatin1String("flash"), true);
    return message;
}

QJsonObject pluginDestinationMessage(const QStringList &fieldLabels, const QString &next)
{
    return QJsonObject{
        {QLatin1String("type"), QLatin1String(PluginType::Destination)},
        {QLatin1String("fields"), QJsonArray::fromStringList(fieldLabels)},
        {QLatin1String("next"), next},
    };
}

QJsonObject pluginFeedbackMessage(const QJsonObject &target, const QString &sound, const QString &bar)
{
    return QJsonObject{
        {QLatin1String("type"), QLatin1String(PluginType::Feedback)},
        {QLatin1String("sound"), sound},
        {QLatin1String("bar"), bar},
        {QLatin1String("target"), target},
    };
}

QByteArray serializePluginMessage(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}
