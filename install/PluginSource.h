#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

struct Browser;

// Where a browser gets the plugin from: the extension id and the address of
// its update manifest, which make the force-install entry "id;address".
struct PluginSource
{
    QString extensionId;
    QString updateUrl;

    QString policyValue() const { return extensionId + QLatin1Char(';') + updateUrl; }
};

// The maker's update manifest.
extern const QString makerUpdateUrl;

// A browser's id of an extension: the first 32 hex digits of the SHA-256 of
// its public key (DER, here in base64 as manifest.json's "key" holds it),
// each digit written as a letter a to p. Empty for a key that is not base64.
QString extensionIdFromKey(QByteArrayView base64Key);
// The id of the key in plugin/manifest.json, which the build compiles in.
QString pluginExtensionId();

// A browser's source from the settings ("<Group>/extensionId",
// "<Group>/updateUrl"), the plugin's own id and the maker's address where
// they are not set. On Windows a machine-wide value under HKLM serves every
// user who has none of their own.
PluginSource pluginSource(const Browser &browser);
// The ids any browser's settings name: the only extensions that may link.
QStringList configuredExtensionIds();
