#include "LinkTrust.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <utility>

LinkTrust::LinkTrust(QByteArray k, quint16 p, QByteArray nonce) : key(std::move(k)), port(p), gatewayNonce(std::move(nonce))
{
}

LinkTrust::Step LinkTrust::take(const PluginMessage &message)
{
    switch (current) {
    case State::AwaitingHello:
        if (message.type != PluginMessage::Type::Hello)
            return {};
        if (!isNonce(message.nonce)) {
            current = State::Refused;
            return {Step::Kind::Refuse, {}, QStringLiteral("its hello carries no valid nonce")};
        }
        // Without a key of the right size there is nothing to prove with.
        if (key.size() != KeyBytes) {
            current = State::Refused;
            return {Step::Kind::Refuse, {}, QStringLiteral("this gateway has no pairing key")};
        }
        pluginNonce = message.nonce;
        current = State::AwaitingProof;
        return {Step::Kind::Reply,
                pluginProofMessage(gatewayNonce, proof(key, "gateway", pluginNonce, gatewayNonce, port)), {}};
    case State::AwaitingProof:
        if (message.type != PluginMessage::Type::Proof)
            return {};
        if (!sameBytes(message.proof, proof(key, "plugin", pluginNonce, gatewayNonce, port))) {
            current = State::Refused;
            return {Step::Kind::Refuse, {}, QStringLiteral("wrong proof")};
        }
        current = State::Proven;
        return {Step::Kind::Proven, {}, {}};
    case State::Proven:
    case State::Refused:
        break;
    }
    return {};
}

QByteArray LinkTrust::newNonce()
{
    quint32 words[NonceBytes / sizeof(quint32)];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), NonceBytes).toBase64();
}

QByteArray LinkTrust::proof(const QByteArray &key, QByteArrayView role, QByteArrayView pluginNonce,
                            QByteArrayView gatewayNonce, quint16 port)
{
    const QByteArray text = role.toByteArray() + '|' + pluginNonce.toByteArray() + '|' + gatewayNonce.toByteArray() + '|'
                            + QByteArray::number(port);
    return QMessageAuthenticationCode::hash(text, key, QCryptographicHash::Sha256).toBase64();
}

bool LinkTrust::sameBytes(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

bool LinkTrust::isNonce(QByteArrayView text)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == NonceBytes;
}
