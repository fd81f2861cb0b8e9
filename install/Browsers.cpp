#include "Browsers.h"

#include "BrowserPlatform.h"

const QList<Browser> &supportedBrowsers()
{
    static const QList<Browser> browsers = {
        {BrowserKey::edge, QStringLiteral("Edge"), QStringLiteral("edge"), QStringLiteral("Microsoft Edge"),
         QStringLiteral("Edge")},
        {BrowserKey::chrome, QStringLiteral("Chrome"), QStringLiteral("chrome"), QStringLiteral("Google Chrome"),
         QStringLiteral("Chrome")},
        {BrowserKey::chromium, QStringLiteral("Chromium"), QStringLiteral("chromium"), QStringLiteral("Chromium"),
         QStringLiteral("Chromium")},
    };
    return browsers;
}

const Browser *browserByKey(const QString &key)
{
    for (const Browser &browser : supportedBrowsers())
        if (browser.key == key)
            return &browser;
    return nullptr;
}

QString policyChangedLine(const Browser &browser, bool install)
{
    return QStringLiteral("Plugin %1 for %2. Restart %3 to apply.")
        .arg(install ? QStringLiteral("installed") : QStringLiteral("uninstalled"), browser.fullName, browser.shortName);
}

QString policyFailedLine(const Browser &browser, bool install)
{
    return QStringLiteral("Failed to %1 plugin for %2.")
        .arg(install ? QStringLiteral("install") : QStringLiteral("uninstall"), browser.shortName);
}
