#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The vendor and browser part of a policy path, which names a browser
// everywhere in the installation code; Edge always comes first.
namespace BrowserKey {
inline const QString edge = QStringLiteral("Microsoft\\Edge");
inline const QString chrome = QStringLiteral("Google\\Chrome");
inline const QString chromium = QStringLiteral("Chromium");
} // namespace BrowserKey

// A change's outcome, true when it was made.
using PolicyChangeDone = std::function<void(bool ok)>;
// Hands `ok` to `done` from the calling thread's event loop.
void finishPolicyChangeLater(PolicyChangeDone done, bool ok);

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
    // that takes (an elevation prompt). The event loop goes on meanwhile; `done`
    // runs afterwards on the calling thread, never inside the call.
    virtual void addPolicyEntry(const QString &browserKey, const QString &name, const QString &value,
                                PolicyChangeDone done) = 0;
    virtual void removePolicyEntry(const QString &browserKey, const QString &name, PolicyChangeDone done) = 0;

    // Process image names the browser runs under on this system.
    virtual QStringList browserImageNames(const QString &browserKey) const = 0;
    // Called off the GUI thread: it may walk every process of the system.
    virtual bool isProcessRunning(const QString &imageName) = 0;

    // Raise the first browser window found; false when there is none.
    virtual bool bringBrowserToFront() = 0;

    // Whether the browser ignores force-install entries for extensions from
    // outside its store on this computer: Chrome and Edge on a Windows PC that
    // is not managed (not joined to a domain or Entra ID, not enrolled in the
    // browser's cloud management).
    virtual bool ignoresOffStoreInstalls(const QString &browserKey) = 0;
};

// The real platform of the system the program runs on.
std::unique_ptr<BrowserPlatform> createSystemPlatform();
