#pragma once

#include "BrowserPlatform.h"
#include "PluginSource.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <memory>

class QTimer;

// The plugin's installation, as the Plugin group and the command line use it:
// each browser's state, Install and Uninstall (one at a time, with the
// event loop going on while the elevation prompt waits), the restart check
// and raising the browser.
class InstallController : public QObject
{
    Q_OBJECT
public:
    static constexpr int RestartCheckIntervalMs = 3000;

    explicit InstallController(std::unique_ptr<BrowserPlatform> platform, QObject *parent = nullptr);
    ~InstallController() override;

    // As of the last refresh.
    bool isInstalled(const QString &browserKey) const { return installed.value(browserKey); }
    // What the browser's row says: whether the plugin of that browser is
    // linked, and if not, what its policy entry does.
    QString statusText(const QString &browserKey) const;
    // Linked, or at least the policy written where the browser takes it.
    bool isHealthy(const QString &browserKey) const;
    QString statusToolTip(const QString &browserKey) const;
    static PluginSource source(const QString &browserKey);
    bool isBusy() const { return busy; }

public slots:
    // Every browser's state from the policy store; then the restart check.
    void refresh();
    void install(const QString &browserKey);
    void uninstall(const QString &browserKey);
    void setPluginConnected(bool connected);
    // The plugin versions of the browsers with a proven link, by browser key.
    void setLinkedBrowsers(const QHash<QString, QString> &versions);
    // The check runs only while someone can see its warning: every 3 s and
    // whenever something changes, and not at all otherwise.
    void setRestartCheckActive(bool active);
    void checkRestart();
    void bringBrowserToFront();

signals:
    void logMessage(QString msg);
    void statusChanged(QString browserKey, bool installed);
    void busyChanged(bool busy);
    // After the outcome was logged and the states refreshed.
    void changeFinished(QString browserKey, bool install, bool ok);
    // Empty: nothing to restart.
    void restartHintChanged(QString text);

private:
    void change(const QString &browserKey, bool install);
    void showRestartHint(const QStringList &names);

    std::unique_ptr<BrowserPlatform> platform;
    QHash<QString, bool> installed;
    QHash<QString, bool> ignored;
    QHash<QString, QString> linked;
    bool busy = false;
    bool pluginConnected = false;
    bool checkActive = false;
    bool checking = false;   // a process scan is out on another thread
    bool checkAgain = false; // and something changed since it left
    QTimer *restartTimer = nullptr;
    // Destroyed first, it waits for a scan still using the platform.
    QThreadPool scanPool;
};
