// Placeholder until the policy logic lands.
#include "ExtensionPolicy.h"

QString extensionPolicyValue() { return {}; }
QString policyRegistryPath(const QString &) { return {}; }
bool isExtensionInstalled(BrowserPlatform &, const QString &) { return false; }
bool setExtensionPolicy(BrowserPlatform &, const QString &, bool) { return false; }
