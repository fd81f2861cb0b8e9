#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The vendor and browser part of a policy path, which names a browser
// everywhere in the installation code; Edge always comes first.
namespace BrowserKey {
inline const QString edge = QStringLiteral("Microsoft\\Edge");
inline const QString chrome = QStringLiteral("Google\\Chrome");
} // namespace BrowserKey

// One entry of a browser's force-install list: its name in the store and its text.
struct PolicyEntry
{
    QString name;
    QString value;

    friend bool operator==(const PolicyEntry &a, const PolicyEntry &b)
    {
        return a.name == b.name && a.value == b.value;
    }
};

// What the plugin installation needs from the operating system, in plain
// types. One implementation per OS; tests pass a fake.
class BrowserPlatform
{
public:
    virtual ~BrowserPlatform() = default;

    // Entries of the browser's force-install list, in the store's own order.
    virtual QList<PolicyEntry> policyEntries(const QString &browserKey) = 0;
    // Add an entry under a new name, or remove the named one, with the rights
    // that takes (an elevation prompt). True when the change was made.
    virtual bool addPolicyEntry(const QString &browserKey, const QString &name, const QString &value) = 0;
    virtual bool removePolicyEntry(const QString &browserKey, const QString &name) = 0;

    // Process image names the browser runs under on this system.
    virtual QStringList browserImageNames(const QString &browserKey) const = 0;
    virtual bool isProcessRunning(const QString &imageName) = 0;

    // Raise the first browser window found; false when there is none.
    virtual bool bringBrowserToFront() = 0;
};

// The real platform of the system the program runs on.
std::unique_ptr<BrowserPlatform> createSystemPlatform();
