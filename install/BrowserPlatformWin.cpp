#include "BrowserPlatform.h"

#include "ExtensionPolicy.h"
#include "WinApi.h"

#include <QSettings>

namespace {

// Reads the policy key directly and changes it through an elevated reg.exe.
// The program and the reg.exe it starts are both 64-bit, so reads and writes
// address the same registry view.
class WindowsBrowserPlatform : public BrowserPlatform
{
public:
    QList<PolicyEntry> policyEntries(const QString &browserKey) override
    {
        QSettings key(policyRegistryPath(browserKey), QSettings::NativeFormat);
        QList<PolicyEntry> entries;
        for (const QString &name : key.allKeys())
            entries.append({name, key.value(name).toString()});
        return entries;
    }

    bool addPolicyEntry(const QString &browserKey, const QString &name, const QString &value) override
    {
        return winapi::runElevatedReg(regAddArguments(policyRegKeyPath(browserKey), name, value).toStdWString());
    }

    bool removePolicyEntry(const QString &browserKey, const QString &name) override
    {
        return winapi::runElevatedReg(regDeleteArguments(policyRegKeyPath(browserKey), name).toStdWString());
    }

    QStringList browserImageNames(const QString &browserKey) const override
    {
        if (browserKey == BrowserKey::edge)
            return {QStringLiteral("msedge.exe")};
        if (browserKey == BrowserKey::chrome)
            return {QStringLiteral("chrome.exe")};
        return {};
    }

    bool isProcessRunning(const QString &imageName) override
    {
        return winapi::isProcessRunning(imageName.toStdWString());
    }

    bool bringBrowserToFront() override { return winapi::bringBrowserToFront(); }
};

} // namespace

std::unique_ptr<BrowserPlatform> createSystemPlatform()
{
    return std::make_unique<WindowsBrowserPlatform>();
}
