#include "PluginProtocol.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cstring>
#include <optional>

namespace {

// The members of an object QJsonDocument parsed. QJsonValue::toString and
// friends already give the fallback for a missing or mistyped member.
class JsonMembers
{
public:
    explicit JsonMembers(QJsonObject object) : json(std::move(object)) { }

    QString text(const char *key) const { return string(key); }
    QString string(const char *key, const QString &fallback = QString()) const
    {
        return json.value(QLatin1String(key)).toString(fallback);
    }
    // Only the literal true.
    bool isTrue(const char *key) const { return json.value(QLatin1String(key)).toBool(false); }
    std::optional<double> number(const char *key) const
    {
        const QJsonValue value = json.value(QLatin1String(key));
        return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
    }
    QJsonArray array(const char *key) const { return json.value(QLatin1String(key)).toArray(); }
    QJsonObject object(const char *key) const { return json.value(QLatin1String(key)).toObject(); }

private:
    QJsonObject json;
};

// ASCII from the space on, without a backslash: what a string holds as it is written.
// One pass without a branch per byte, which compilers turn into vector code:
// a long message is mostly text.
bool isPlainText(QByteArrayView text)
{
    uchar outside = 0;
    for (const char c : text) {
        const auto byte = uchar(c);
        // Below 0x20 or from 0x80 on, the byte less 0x20 wraps to 0x60 or more.
        outside |= uchar(uchar(byte - 0x20) >= 0x60) | uchar(byte == '\\');
    }
    return outside == 0;
}

// A message in the form the plugin writes nearly all of them: JSON.stringify's
// compact text of one object whose members are plain strings (ASCII without
// control characters or escapes), true, false, null or small whole numbers,
// each named once.
// Read in place, such a message costs a fraction of QJsonDocument; a payload
// in any other form, valid JSON or not, is left to QJsonDocument, so a message
// means the same whichever reads it.
class FlatMembers
{
public:
    // False when `payload` is not of that form.
    bool read(QByteArrayView payload);

    QLatin1String text(const char *key) const
    {
        const Member *member = find(key);
        return member && member->kind == '"' ? QLatin1String(member->value) : QLatin1String();
    }
    QString string(const char *key, const QString &fallback = QString()) const
    {
        const Member *member = find(key);
        return member && member->kind == '"' ? QString::fromLatin1(member->value) : fallback;
    }
    bool isTrue(const char *key) const
    {
        const Member *member = find(key);
        return member && member->kind == 't';
    }
    std::optional<double> number(const char *key) const
    {
        const Member *member = find(key);
        if (!member || member->kind != '0')
            return std::nullopt;
        qint64 value = 0;
        for (const char digit : member->value)
            value = value * 10 + (digit - '0');
        return double(value);
    }
    // Arrays and objects never come this way: as a member of any other kind they read as empty.
    QJsonArray array(const char *) const { return {}; }
    QJsonObject object(const char *) const { return {}; }

private:
    struct Member
    {
        QByteArrayView key;
        QByteArrayView value; // a string's without its quotes
        char kind = 0;        // '"' string, 't' true, 'f' false, 'n' null, '0' number
    };
    static constexpr int MaxMembers = 16;
    // Up to 15 digits: exact as a double, and as QJsonDocument reads them.
    static constexpr qsizetype MaxDigits = 15;

    static bool readString(const char *&p, const char *end, QByteArrayView &text);
    static bool readValue(const char *&p, const char *end, Member &member);
    const Member *find(QByteArrayView key) const
    {
        // Names of a few bytes: memcmp itself costs less than QByteArrayView's out-of-line comparison around it.
        for (int i = 0; i < count; ++i) {
            const QByteArrayView name = members[i].key;
            if (name.size() == key.size() && std::memcmp(name.data(), key.data(), size_t(key.size())) == 0)
                return &members[i];
        }
        return nullptr;
    }

    Member members[MaxMembers];
    int count = 0;
};

bool FlatMembers::readString(const char *&p, const char *end, QByteArrayView &text)
{
    if (p == end || *p != '"')
        return false;
    const char *start = ++p;
    const auto *quote = static_cast<const char *>(std::memchr(start, '"', size_t(end - start)));
    if (!quote)
        return false;
    text = QByteArrayView(start, quote - start);
    p = quote + 1;
    return isPlainText(text);
}

bool FlatMembers::readValue(const char *&p, const char *end, Member &member)
{
    if (p == end)
        return false;
    const auto literal = [&](QByteArrayView word) {
        if (end - p < word.size() || QByteArrayView(p, word.size()) != word)
            return false;
        member.kind = word.front();
        p += word.size();
        return true;
    };
    switch (*p) {
    case '"':
        member.kind = '"';
        return readString(p, end, member.value);
    case 't':
        return literal("true");
    case 'f':
        return literal("false");
    case 'n':
        return literal("null");
    default:
        break;
    }
    // A whole number without sign, fraction or exponent; the caller refuses what follows a leading 0.
    const char *start = p;
    if (*p < '0' || *p > '9')
        return false;
    if (*p++ != '0') {
        while (p != end && *p >= '0' && *p <= '9')
            ++p;
    }
    if (p - start > MaxDigits)
        return false;
    member.kind = '0';
    member.value = QByteArrayView(start, p - start);
    return true;
}

bool FlatMembers::read(QByteArrayView payload)
{
    const char *p = payload.begin();
    const char *const end = payload.end();
    if (p == end || *p++ != '{')
        return false;
    if (p != end && *p == '}')
        return p + 1 == end;
    for (;;) {
        Member member;
        if (count == MaxMembers || !readString(p, end, member.key) || p == end || *p++ != ':'
            || !readValue(p, end, member) || find(member.key) || p == end)
            return false;
        members[count++] = member;
        const char next = *p++;
        if (next == '}')
            return p == end;
        if (next != ',')
            return false;
    }
}

template <typename Members>
PluginMessage readMessage(const Members &object)
{
    PluginMessage message;
    const auto type = object.text("type");

    if (type == QLatin1String(PluginType::Hello)) {
        message.type = PluginMessage::Type::Hello;
        message.version = object.string("version");
        message.instance = object.string("instance");
        message.browser = object.string("browser");
        message.nonce = object.string("nonce").toLatin1();
    } else if (type == QLatin1String(PluginType::Proof)) {
        message.type = PluginMessage::Type::Proof;
        message.proof = object.string("proof").toLatin1();
    } else if (type == QLatin1String(PluginType::PickMode)) {
        message.type = PluginMessage::Type::PickMode;
        message.enabled = object.isTrue("enabled");
        message.kind = object.string("kind", PickKind::field);
        message.add = object.isTrue("add");
    } else if (type == QLatin1String(PluginType::Keepalive)) {
        message.type = PluginMessage::Type::Keepalive;
    } else if (type == QLatin1String(PluginType::Fields)) {
        message.type = PluginMessage::Type::Fields;
        message.url = object.string("url");
        message.title = object.string("title");
        message.fields = object.array("fields");
    } else if (type == QLatin1String(PluginType::Picked)) {
        message.type = PluginMessage::Type::Picked;
        message.kind = object.string("kind", PickKind::field);
        message.url = object.string("url");
        message.field = object.object("field");
        message.add = object.isTrue("add");
    } else if (type == QLatin1String(PluginType::ActivePage)) {
        message.type = PluginMessage::Type::ActivePage;
        message.url = object.string("url");
        message.title = object.string("title");
    } else if (type == QLatin1String(PluginType::SequenceReset)) {
        message.type = PluginMessage::Type::SequenceReset;
    } else if (type == QLatin1String(PluginType::FillResult) || type == QLatin1String(PluginType::ButtonClicked)) {
        message.type = type == QLatin1String(PluginType::FillResult) ? PluginMessage::Type::FillResult
                                                                     : PluginMessage::Type::ButtonClicked;
        // Only the literal true counts; "true" or 1 from a sloppy plugin is a failure.
        message.ok = object.isTrue("ok");
        message.error = object.string("error");
        // Ids are whole numbers the gateway counted; anything else is an answer without one.
        const std::optional<double> id = object.number("id");
        if (id && *id >= 0 && *id <= 9007199254740991.0 && *id == double(qint64(*id)))
            message.id = qint64(*id);
        const std::optional<double> failed = object.number("failedField");
        if (failed && *failed >= 0 && *failed < 64 && *failed == double(int(*failed)))
            message.failedField = int(*failed);
    } else if (type == QLatin1String(PluginType::Error)) {
        message.type = PluginMessage::Type::Error;
        message.error = object.string("error");
    }
    return message;
}

} // namespace

PluginMessage parsePluginMessage(QByteArrayView payload)
{
    FlatMembers flat;
    if (flat.read(payload))
        return readMessage(flat);
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray());
    if (!document.isObject())
        return {};
    return readMessage(JsonMembers(document.object()));
}

QByteArray pluginHelloMessage()
{
    // Fixed text: member order matters to nobody, but the greeting is always these bytes.
    return QByteArrayLiteral("{\"type\":\"hello\",\"from\":\"app\"}");
}

QByteArray pluginScanMessage()
{
    // Built and serialised anew for each scan, it cost as much as all the rest of a short message's handling.
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
