// Plugin installation rows, the restart hint and raising the browser.
#include "MainWindow.h"

#include "BrowserPlatform.h"
#include "ExtensionPolicy.h"
#include "WebSocketBridge.h"

#include <QLabel>
#include <QPushButton>
#include <QStringList>

void MainWindow::refreshPluginStatus()
{
    const auto show = [this](const QString &key, QLabel *label, QPushButton *install, QPushButton *uninstall) {
        const bool installed = isExtensionInstalled(*platform, key);
        label->setText(installed ? QStringLiteral("Installed") : QStringLiteral("Not installed"));
        label->setStyleSheet(installed ? QStringLiteral("color:#2ecc71; font-weight:bold;")
                                       : QStringLiteral("color:#e67e22; font-weight:bold;"));
        install->setEnabled(!installed);
        uninstall->setEnabled(installed);
    };
    show(BrowserKey::edge, edgeStatusLabel, edgeInstallButton, edgeUninstallButton);
    show(BrowserKey::chrome, chromeStatusLabel, chromeInstallButton, chromeUninstallButton);
    updateRestartHint();
}

void MainWindow::changePolicy(const QString &browserKey, bool install, const QString &okLine,
                              const QString &failLine)
{
    log(setExtensionPolicy(*platform, browserKey, install) ? okLine : failLine);
    refreshPluginStatus();
}

void MainWindow::onInstallEdge()
{
    changePolicy(BrowserKey::edge, true, QStringLiteral("Plugin installed for Microsoft Edge. Restart Edge to apply."),
                 QStringLiteral("Failed to install plugin for Edge."));
}

void MainWindow::onUninstallEdge()
{
    changePolicy(BrowserKey::edge, false, QStringLiteral("Plugin uninstalled for Microsoft Edge. Restart Edge to apply."),
                 QStringLiteral("Failed to uninstall plugin for Edge."));
}

void MainWindow::onInstallChrome()
{
    changePolicy(BrowserKey::chrome, true, QStringLiteral("Plugin installed for Google Chrome. Restart Chrome to apply."),
                 QStringLiteral("Failed to install plugin for Chrome."));
}

void MainWindow::onUninstallChrome()
{
    changePolicy(BrowserKey::chrome, false,
                 QStringLiteral("Plugin uninstalled for Google Chrome. Restart Chrome to apply."),
                 QStringLiteral("Failed to uninstall plugin for Chrome."));
}

void MainWindow::updateRestartHint()
{
    if (bridge->isConnected()) {
        restartHintLabel->hide();
        return;
    }
    const auto running = [this](const QString &key) {
        // The process list is only scanned when the policy entry is present.
        if (!isExtensionInstalled(*platform, key))
            return false;
        for (const QString &image : platform->browserImageNames(key))
            if (platform->isProcessRunning(image))
                return true;
        return false;
    };
    QStringList names;
    if (running(BrowserKey::edge))
        names << QStringLiteral("Microsoft Edge");
    if (running(BrowserKey::chrome))
        names << QStringLiteral("Google Chrome");

    if (names.isEmpty()) {
        restartHintLabel->hide();
        return;
    }
    restartHintLabel->setText(
        QStringLiteral("\u26A0 Please restart %1 to load the plugin.").arg(names.join(QStringLiteral(" / "))));
    restartHintLabel->show();
}

void MainWindow::bringBrowserToFront()
{
    // No browser window found: pick mode goes on without it, silently.
    platform->bringBrowserToFront();
}
