#include "NativeHost.h"
#include "NativeHostPlatform.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>

namespace {

// QSettings' name for a registry key's default value.
const QString defaultValueName = QStringLiteral("Default");

} // namespace

QList<NativeHostEntry> nativeHostPlan(const QString &hostPath, const QStringList &extensionIds)
{
    return windowsNativeHostPlan(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation),
                                 QStringLiteral("HKEY_CURRENT_USER\\Software"), hostPath, extensionIds);
}

QString nativeHostExecutable()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/fieldpost-link.exe");
}

namespace nativehostregistry {

std::optional<QString> defaultValue(const QString &key)
{
    const QSettings settings(key, QSettings::NativeFormat);
    if (!settings.contains(defaultValueName))
        return std::nullopt;
    return settings.value(defaultValueName).toString();
}

bool setDefaultValue(const QString &key, const QString &value, QString *error)
{
    QSettings settings(key, QSettings::NativeFormat);
    settings.setValue(defaultValueName, value);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    *error = QStringLiteral("the registry refused the write");
    return false;
}

} // namespace nativehostregistry
