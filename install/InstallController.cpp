#include "InstallController.h"

#include "Browsers.h"
#include "ExtensionPolicy.h"

#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <utility>

InstallController::InstallController(std::unique_ptr<BrowserPlatform> p, QObject *parent)
    : QObject(parent)
    , platform(std::move(p))
    , restartTimer(new QTimer(this))
{
    scanPool.setMaxThreadCount(1);
    restartTimer->setInterval(RestartCheckIntervalMs);
    connect(restartTimer, &QTimer::timeout, this, &InstallController::checkRestart);
}

InstallController::~InstallController() = default;

PluginSource InstallController::source(const QString &browserKey)
{
    const Browser *browser = browserByKey(browserKey);
    return browser ? pluginSource(*browser) : PluginSource();
}

void InstallController::refresh()
{
    for (const Browser &browser : supportedBrowsers()) {
        const bool now = isExtensionInstalled(*platform, browser.key, pluginSource(browser).policyValue());
        installed.insert(browser.key, now);
        ignored.insert(browser.key, now && platform->ignoresOffStoreInstalls(browser.key));
        emit statusChanged(browser.key, now);
    }
    checkRestart();
}

QString InstallController::statusText(const QString &browserKey) const
{
    if (linked.contains(browserKey))
        return QStringLiteral("Linked (v%1)").arg(linked.value(browserKey));
    if (!installed.value(browserKey))
        return QStringLiteral("Not installed");
    if (ignored.value(browserKey))
        return QStringLiteral("Policy written, ignored on this PC: install from the store");
    return QStringLiteral("Policy written, waiting for the browser");
}

bool InstallController::isHealthy(const QString &browserKey) const
{
    return linked.contains(browserKey) || (installed.value(browserKey) && !ignored.value(browserKey));
}

QString InstallController::statusToolTip(const QString &browserKey) const
{
    const PluginSource source = InstallController::source(browserKey);
    QString tip = QStringLiteral("Extension id: %1\nUpdate address: %2").arg(source.extensionId, source.updateUrl);
    if (ignored.value(browserKey) && !linked.contains(browserKey)) {
        const Browser *browser = browserByKey(browserKey);
        tip += QStringLiteral("\n%1 takes force-installed extensions from outside its store only on a PC that is "
                              "managed (joined to a domain or Entra ID, or enrolled in its cloud management). "
                              "Publish the plugin in the store instead: docs/plugin-release.md.")
                   .arg(browser ? browser->fullName : browserKey);
    }
    return tip;
}

void InstallController::setLinkedBrowsers(const QHash<QString, QString> &versions)
{
    if (versions == linked)
        return;
    linked = versions;
    for (const Browser &browser : supportedBrowsers())
        emit statusChanged(browser.key, installed.value(browser.key));
}

void InstallController::install(const QString &browserKey)
{
    change(browserKey, true);
}

void InstallController::uninstall(const QString &browserKey)
{
    change(browserKey, false);
}

void InstallController::change(const QString &browserKey, bool install)
{
    const Browser *browser = browserByKey(browserKey);
    if (!browser || busy)
        return;
    busy = true;
    emit busyChanged(true);
    QPointer<InstallController> self(this);
    setExtensionPolicy(*platform, browserKey, pluginSource(*browser).policyValue(), install,
                       [self, browser, install](bool ok) {
                           if (!self)
                               return;
                           emit self->logMessage(ok ? policyChangedLine(*browser, install)
                                                    : policyFailedLine(*browser, install));
                           self->busy = false;
                           emit self->busyChanged(false);
                           self->refresh();
                           emit self->changeFinished(browser->key, install, ok);
                       });
}

void InstallController::setPluginConnected(bool connected)
{
    pluginConnected = connected;
    checkRestart();
}

void InstallController::setRestartCheckActive(bool active)
{
    checkActive = active;
    if (active) {
        restartTimer->start();
        checkRestart();
    } else {
        restartTimer->stop();
    }
}

void InstallController::checkRestart()
{
    if (!checkActive)
        return;
    if (pluginConnected) {
        emit restartHintChanged(QString());
        return;
    }
    if (checking) {
        checkAgain = true;
        return;
    }
    // Only browsers with the entry are looked for among the processes.
    QList<QPair<QString, QStringList>> candidates;
    for (const Browser &browser : supportedBrowsers()) {
        if (isExtensionInstalled(*platform, browser.key, pluginSource(browser).policyValue()))
            candidates.append({browser.fullName, platform->browserImageNames(browser.key)});
    }
    if (candidates.isEmpty()) {
        emit restartHintChanged(QString());
        return;
    }
    checking = true;
    QPointer<InstallController> self(this);
    BrowserPlatform *scanner = platform.get();
    scanPool.start([self, scanner, candidates] {
        QStringList running;
        for (const auto &[name, images] : candidates) {
            for (const QString &image : images) {
                if (scanner->isProcessRunning(image)) {
                    running << name;
                    break;
                }
            }
        }
        QMetaObject::invokeMethod(self, [self, running] {
            if (self)
                self->showRestartHint(running);
        }, Qt::QueuedConnection);
    });
}

void InstallController::showRestartHint(const QStringList &names)
{
    checking = false;
    if (std::exchange(checkAgain, false)) {
        checkRestart();
        return;
    }
    // The plugin may have linked while the processes were being looked at.
    if (pluginConnected || !checkActive || names.isEmpty()) {
        emit restartHintChanged(QString());
        return;
    }
    emit restartHintChanged(
        QStringLiteral("\u26A0 Please restart %1 to load the plugin.").arg(names.join(QStringLiteral(" / "))));
}

void InstallController::bringBrowserToFront()
{
    // No browser window found: pick mode goes on without it, silently.
    platform->bringBrowserToFront();
}
