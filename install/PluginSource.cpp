#include "PluginSource.h"

#include "Browsers.h"
#include "PluginKey.h"

#include <QCryptographicHash>
#include <QSettings>

const QString makerUpdateUrl = QStringLiteral("https://updates.thornvaleworks.com/fieldpost/update.xml");

QString extensionIdFromKey(QByteArrayView base64Key)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64Key.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return {};
    const QByteArray hex = QCryptographicHash::hash(decoded.decoded, QCryptographicHash::Sha256).toHex().left(32);
    QString id;
    for (char digit : hex)
        id.append(QLatin1Char(char('a' + (digit <= '9' ? digit - '0' : digit - 'a' + 10))));
    return id;
}

QString pluginExtensionId()
{
    static const QString id = extensionIdFromKey(pluginPublicKey);
    return id;
}

PluginSource pluginSource(const Browser &browser)
{
    QSettings settings;
    settings.beginGroup(browser.settingsGroup);
    const QString id = settings.value(QStringLiteral("extensionId")).toString().trimmed();
    const QString url = settings.value(QStringLiteral("updateUrl")).toString().trimmed();
    return {id.isEmpty() ? pluginExtensionId() : id, url.isEmpty() ? makerUpdateUrl : url};
}

QStringList configuredExtensionIds()
{
    QStringList ids;
    for (const Browser &browser : supportedBrowsers()) {
        const QString id = pluginSource(browser).extensionId;
        if (!ids.contains(id))
            ids << id;
    }
    return ids;
}
