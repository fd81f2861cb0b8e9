#include "BrowserPlatform.h"

#include "ExtensionPolicy.h"
#include "WinApi.h"

#include <QSettings>
#include <QThread>

#include <memory>

namespace {

// The elevation prompt and reg.exe run on a thread of their own: the GUI
// thread goes on serving lines until `done` is handed the outcome.
void runRegOffThread(const QString &arguments, PolicyChangeDone done)
{
    auto ok = std::make_shared<bool>(false);
    QThread *thread = QThread::create([ok, arguments] { *ok = winapi::runElevatedReg(arguments.toStdWString()); });
    QObject::connect(thread, &QThread::finished, thread, [thread, ok, done = std::move(done)] {
        thread->deleteLater();
        done(*ok);
    });
    thread->start();
}

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

    void addPolicyEntry(const QString &browserKey, const QString &name, const QString &value,
                        PolicyChangeDone done) override
    {
        runRegOffThread(regAddArguments(policyRegKeyPath(browserKey), name, value), std::move(done));
    }

    void removePolicyEntry(const QString &browserKey, const QString &name, PolicyChangeDone done) override
    {
        runRegOffThread(regDeleteArguments(policyRegKeyPath(browserKey), name), std::move(done));
    }

    QStringList browserImageNames(const QString &browserKey) const override
    {
        if (browserKey == BrowserKey::edge)
            return {QStringLiteral("msedge.exe")};
        if (browserKey == BrowserKey::chrome || browserKey == BrowserKey::chromium)
            return {QStringLiteral("chrome.exe")};
        return {};
    }

    bool isProcessRunning(const QString &imageName) override
    {
        return winapi::isProcessRunning(imageName.toStdWString());
    }

    bool bringBrowserToFront() override { return winapi::bringBrowserToFront(); }

    bool ignoresOffStoreInstalls(const QString &browserKey) override
    {
        if (browserKey == BrowserKey::chromium)
            return false;
        // Chrome also takes the entries on a PC enrolled in its cloud management.
        if (browserKey == BrowserKey::chrome
            && !QSettings(QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Policies\\Google\\Chrome"), QSettings::NativeFormat)
                    .value(QStringLiteral("CloudManagementEnrollmentToken"))
                    .toString()
                    .isEmpty())
            return false;
        return !winapi::isManagedMachine();
    }
};

} // namespace

std::unique_ptr<BrowserPlatform> createSystemPlatform()
{
    return std::make_unique<WindowsBrowserPlatform>();
}
