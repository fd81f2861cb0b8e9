#include "NativeHost.h"
#include "NativeHostPlatform.h"

#include <QCoreApplication>
#include <QStandardPaths>

QList<NativeHostEntry> nativeHostPlan(const QString &hostPath, const QStringList &extensionIds)
{
    return linuxNativeHostPlan(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), hostPath,
                               extensionIds);
}

QString nativeHostExecutable()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/fieldpost-link");
}

namespace nativehostregistry {

std::optional<QString> defaultValue(const QString &)
{
    return std::nullopt;
}

bool setDefaultValue(const QString &, const QString &, QString *error)
{
    *error = QStringLiteral("there is no registry on this system");
    return false;
}

} // namespace nativehostregistry
