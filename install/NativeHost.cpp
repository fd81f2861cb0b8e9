#include "NativeHost.h"

#include "BrowserPlatform.h"
#include "NativeHostPlatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

const QString nativeHostName = QStringLiteral(FIELDPOST_NATIVE_HOST_NAME);

namespace {

// Far larger than any manifest of ours; a bigger file is rewritten unread.
constexpr qint64 maxManifestBytes = 64 * 1024;

bool fileHolds(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == content.size() && file.read(maxManifestBytes) == content;
}

bool writeFile(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path())) {
        *error = QStringLiteral("cannot create its folder");
        return false;
    }
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    *error = file.errorString();
    return false;
}

} // namespace

QByteArray nativeHostManifest(const QString &hostPath, const QStringList &extensionIds)
{
    QJsonArray origins;
    for (const QString &id : extensionIds)
        origins.append(QStringLiteral("chrome-extension://%1/").arg(id));
    const QJsonObject manifest{{QStringLiteral("name"), nativeHostName},
                               {QStringLiteral("description"), QStringLiteral("Fieldpost: finds this user's gateway")},
                               {QStringLiteral("path"), hostPath},
                               {QStringLiteral("type"), QStringLiteral("stdio")},
                               {QStringLiteral("allowed_origins"), origins}};
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

QList<NativeHostEntry> linuxNativeHostPlan(const QString &configFolder, const QString &hostPath,
                                           const QStringList &extensionIds)
{
    const QString manifest = QString::fromUtf8(nativeHostManifest(hostPath, extensionIds));
    QList<NativeHostEntry> plan;
    for (const char *browser : {"microsoft-edge", "google-chrome", "chromium"})
        plan.append({NativeHostEntry::Kind::File,
                     QStringLiteral("%1/%2/NativeMessagingHosts/%3.json")
                         .arg(configFolder, QLatin1String(browser), nativeHostName),
                     manifest});
    return plan;
}

QList<NativeHostEntry> windowsNativeHostPlan(const QString &manifestFolder, const QString &registryRoot,
                                             const QString &hostPath, const QStringList &extensionIds)
{
    const QString file = QDir::toNativeSeparators(manifestFolder + QStringLiteral("/native-host.json"));
    QList<NativeHostEntry> plan{
        {NativeHostEntry::Kind::File, file,
         QString::fromUtf8(nativeHostManifest(QDir::toNativeSeparators(hostPath), extensionIds))}};
    for (const QString &browserKey : {BrowserKey::edge, BrowserKey::chrome, BrowserKey::chromium})
        plan.append({NativeHostEntry::Kind::RegistryDefault,
                     QStringLiteral("%1\\%2\\NativeMessagingHosts\\%3").arg(registryRoot, browserKey, nativeHostName),
                     file});
    return plan;
}

bool applyNativeHostPlan(const QList<NativeHostEntry> &plan, QStringList *log)
{
    bool allInPlace = true;
    for (const NativeHostEntry &entry : plan) {
        QString error;
        if (entry.kind == NativeHostEntry::Kind::File) {
            const QByteArray content = entry.content.toUtf8();
            if (fileHolds(entry.location, content) || writeFile(entry.location, content, &error))
                continue;
            log->append(QStringLiteral("Native messaging host: cannot write %1: %2").arg(entry.location, error));
        } else {
            if (nativehostregistry::defaultValue(entry.location) == entry.content
                || nativehostregistry::setDefaultValue(entry.location, entry.content, &error))
                continue;
            log->append(QStringLiteral("Native messaging host: cannot set %1: %2").arg(entry.location, error));
        }
        allInPlace = false;
    }
    return allInPlace;
}

bool registerNativeHost(const QString &hostPath, const QStringList &extensionIds, QStringList *log)
{
    return applyNativeHostPlan(nativeHostPlan(hostPath, extensionIds), log);
}
