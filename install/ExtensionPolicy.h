#pragma once

#include "BrowserPlatform.h"

#include <QList>
#include <QString>

// "HKEY_LOCAL_MACHINE\Software\Policies\<browserKey>\ExtensionInstallForcelist", for reading.
QString policyRegistryPath(const QString &browserKey);
// "HKLM\Software\Policies\<browserKey>\ExtensionInstallForcelist", for reg.exe.
QString policyRegKeyPath(const QString &browserKey);

// reg.exe command lines that add or delete one value of the list; every
// argument is quoted, so a name or value is never split or re-read.
QString regAddArguments(const QString &keyPath, const QString &name, const QString &value);
QString regDeleteArguments(const QString &keyPath, const QString &name);

// What has to change in a browser's list to make our entry present or absent.
struct PolicyChange
{
    enum Action { Nothing, Add, Remove };
    Action action = Nothing;
    // The new value name (Add) or the name of the entry to delete (Remove).
    QString name;
};

// New entries take the highest numeric name plus one; of several matching
// entries the last one in the list's order is the one removed.
PolicyChange planPolicyChange(const QList<PolicyEntry> &entries, const QString &value, bool install);

// True when some entry of the browser's list holds exactly `value` (id;address).
bool isExtensionInstalled(BrowserPlatform &platform, const QString &browserKey, const QString &value);

// Makes the entry present (install) or absent; `done` gets true on success,
// also when nothing had to change. It runs later, never inside the call.
void setExtensionPolicy(BrowserPlatform &platform, const QString &browserKey, const QString &value, bool install,
                        PolicyChangeDone done);
