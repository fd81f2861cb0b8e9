#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The registration of fieldpost-link as the browsers' native messaging host,
// for this user and without administrator rights. The packages register it
// machine-wide from the same manifest (fieldpost-link --manifest).

// The host's name, as the plugin asks for it.
extern const QString nativeHostName;

// The manifest a browser reads: the host's path (absolute, or on Windows
// relative to the manifest's folder) and the plugins that may start it.
QByteArray nativeHostManifest(const QString &hostPath, const QStringList &extensionIds);

// One thing the registration puts in place: a file with the manifest, or a
// registry key whose default value is the manifest file's path.
struct NativeHostEntry
{
    enum class Kind { File, RegistryDefault };
    Kind kind = Kind::File;
    QString location; // the file's path, or the key as a QSettings registry path
    QString content;  // the manifest's text, or the manifest file's path

    friend bool operator==(const NativeHostEntry &a, const NativeHostEntry &b)
    {
        return a.kind == b.kind && a.location == b.location && a.content == b.content;
    }
};

// Linux: a manifest file in Chrome's, Edge's and Chromium's folder under
// `configFolder` (the XDG configuration folder, which the browsers follow).
QList<NativeHostEntry> linuxNativeHostPlan(const QString &configFolder, const QString &hostPath,
                                           const QStringList &extensionIds);
// Windows: one manifest file in `manifestFolder`, named by the default value
// of Chrome's, Edge's and Chromium's key under `registryRoot`
// ("HKEY_CURRENT_USER\\Software").
QList<NativeHostEntry> windowsNativeHostPlan(const QString &manifestFolder, const QString &registryRoot,
                                             const QString &hostPath, const QStringList &extensionIds);
// This system's plan, in this user's folders.
QList<NativeHostEntry> nativeHostPlan(const QString &hostPath, const QStringList &extensionIds);

// Writes each entry that differs from what is in place and nothing else, so
// that it costs a few reads when nothing changed. One log line per entry that
// could not be written; true when every entry is in place.
bool applyNativeHostPlan(const QList<NativeHostEntry> &plan, QStringList *log);

// What the gateway calls at every start, with its own fieldpost-link and the
// configured plugin ids (configuredExtensionIds()).
bool registerNativeHost(const QString &hostPath, const QStringList &extensionIds, QStringList *log);

// fieldpost-link beside the running program.
QString nativeHostExecutable();
