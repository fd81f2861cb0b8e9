#pragma once

#include "BrowserPlatform.h"

#include <QString>

// The force-install entry of our plugin: identifier, ";", update address.
QString extensionPolicyValue();

// "HKEY_LOCAL_MACHINE\Software\Policies\<browserKey>\ExtensionInstallForcelist"
QString policyRegistryPath(const QString &browserKey);

// True when some entry of the browser's list holds exactly our policy value.
bool isExtensionInstalled(BrowserPlatform &platform, const QString &browserKey);

// Makes our entry present (install) or absent; true on success, also when
// nothing had to change.
bool setExtensionPolicy(BrowserPlatform &platform, const QString &browserKey, bool install);
