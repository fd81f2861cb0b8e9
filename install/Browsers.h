#pragma once

#include <QList>
#include <QString>

// The browsers the plugin installs into, in the order every list shows them.
struct Browser
{
    QString key;           // the policy path part, BrowserKey::…
    QString settingsGroup; // "Edge": its settings are "Edge/extensionId" and "Edge/updateUrl"
    QString commandName;   // "edge", as `fieldpost --install-plugin edge` names it
    QString fullName;      // "Microsoft Edge"
    QString shortName;     // "Edge"
};

const QList<Browser> &supportedBrowsers();
// Null for a key that is none of them.
const Browser *browserByKey(const QString &key);

// The log lines of an install or uninstall, as the buttons and the command line print them.
QString policyChangedLine(const Browser &browser, bool install);
QString policyFailedLine(const Browser &browser, bool install);
