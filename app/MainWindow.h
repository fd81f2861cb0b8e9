#pragma once

#include "FailureNotices.h"
#include "PagesDialog.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class BrowserPlatform;
class Gateway;
class InstallController;
class Logger;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QLocalServer;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QSystemTrayIcon;
class QTimer;

// What a test replaces in the window: the browser platform, the
// single-instance channel, whether the desktop has a system tray (and how to
// ask again), the log file's folder (empty: no log file), whether the log
// also goes to standard error, the question before quitting, and the file
// the Pages dialog exports to or imports from.
struct WindowParts
{
    std::unique_ptr<BrowserPlatform> platform;
    QString channelName;
    bool trayAvailable = true;
    QString logFolder;
    bool logToStderr = false;
    std::function<bool()> trayProbe;
    std::function<bool(QWidget *window)> confirmQuit;
    // How a failure sounds when no browser sounds it; the desktop's bell by default.
    std::function<void()> failureBeep;
    // A file dialog by default.
    ChoosePagesFile choosePagesFile;
};

// The program's window: a view of the gateway's core and of the plugin's
// installation. It builds the widgets, connects them to the core, and owns
// the tray, the single-instance channel and the log view.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    // The plain constructor uses the real platform, the user's channel, the
    // desktop's tray and the user's data folder; tests pass parts of their own.
    explicit MainWindow(WindowParts parts, QWidget *parent = nullptr);
    ~MainWindow() override;

    // For a tray that comes up after the program (a session's autostart).
    static constexpr int TrayWaitMs = 60000;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void onResetTcp();
    void onPick();
    void onPickButton();
    void onPluginConnectionChanged(bool connected);
    void onTest();
    void onClearLog();
    void onCopyLog();
    void onInstallEdge();
    void onUninstallEdge();
    void onInstallChrome();
    void onUninstallChrome();
    void onInstallChromium();
    void onUninstallChromium();
    void onEditRules();
    void onEditPages();
    void log(QString msg);
    void showLog();

private:
    void buildWidgets();
    void connectSignals();
    void setupTray();
    void setupIpcServer();
    void waitForTray(std::function<bool()> probe);
    void updateTcpStatus();
    void takeLogLines(const QStringList &lines);
    void moveUnshownLogToView();
    void showPluginStatus(const QString &browserKey, bool installed);
    void enableInstallButtons();
    void notifyFailure(const QString &title, const QString &reason);
    void showHeldFailures();
    void showNotice(const std::optional<FailureNotices::Notice> &notice);
    // The destination's fields and how a line spreads over them, as the core has them.
    void showFields();
    void applySplitSeparator();
    void applyFieldAis();

    Gateway *gateway = nullptr;
    InstallController *installer = nullptr;
    std::unique_ptr<Logger> logger;

    QSpinBox *portSpinBox = nullptr;
    QPushButton *resetButton = nullptr;
    QLabel *intakeAddressLabel = nullptr;
    QCheckBox *acceptRemoteCheck = nullptr;
    QPushButton *forgetPairingButton = nullptr;
    QLabel *tcpStatusLabel = nullptr;
    QLabel *pluginStatusLabel = nullptr;
    QPushButton *pickFieldButton = nullptr;
    QLabel *edgeStatusLabel = nullptr;
    QPushButton *edgeInstallButton = nullptr;
    QPushButton *edgeUninstallButton = nullptr;
    QLabel *chromeStatusLabel = nullptr;
    QPushButton *chromeInstallButton = nullptr;
    QPushButton *chromeUninstallButton = nullptr;
    QLabel *chromiumStatusLabel = nullptr;
    QPushButton *chromiumInstallButton = nullptr;
    QPushButton *chromiumUninstallButton = nullptr;
    QLabel *restartHintLabel = nullptr;
    QLineEdit *destFieldEdit = nullptr;
    QLineEdit *destUrlEdit = nullptr;
    QPushButton *addFieldButton = nullptr;
    // Shown with two fields or more: the fields, and how a line fills them.
    QWidget *severalFieldsPanel = nullptr;
    QListWidget *destFieldsList = nullptr;
    QPushButton *removeFieldButton = nullptr;
    QWidget *fieldsModeGroup = nullptr;
    QRadioButton *splitModeRadio = nullptr;
    QRadioButton *gs1ModeRadio = nullptr;
    QRadioButton *perLineModeRadio = nullptr;
    QComboBox *splitSeparatorCombo = nullptr;
    QLineEdit *fieldAisEdit = nullptr;
    QLabel *fieldAisErrorLabel = nullptr;
    QLabel *nextFieldLabel = nullptr;
    QPushButton *resetSequenceButton = nullptr;
    QCheckBox *destinationPerPageCheck = nullptr;
    QPushButton *pagesButton = nullptr;
    QCheckBox *simulateEnterCheck = nullptr;
    QPushButton *pickButtonButton = nullptr;
    QLineEdit *buttonEdit = nullptr;
    QCheckBox *clickButtonCheck = nullptr;
    QCheckBox *soundOnFailureCheck = nullptr;
    QCheckBox *soundOnSuccessCheck = nullptr;
    QCheckBox *flashFieldCheck = nullptr;
    QSpinBox *repeatWindowSpinBox = nullptr;
    QPushButton *rulesButton = nullptr;
    QLineEdit *testValueEdit = nullptr;
    QPushButton *testButton = nullptr;
    QPlainTextEdit *logView = nullptr;
    QPushButton *clearLogButton = nullptr;
    QPushButton *copyLogButton = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QLocalServer *ipcServer = nullptr;
    bool quitting = false;

    // Lines written to the log and not yet in logView: while the window is
    // hidden the latest of them wait here, since a hidden view would still
    // lay out every line nobody sees.
    QStringList unshownLog;

    // Failures come to the tray at most once in a while; those in between
    // are counted into the next message.
    FailureNotices failureNotices;
    QElapsedTimer clock;
    QTimer *heldFailureTimer = nullptr;

    QString ipcChannel;
    // Without a tray at start, the window is shown and closing it asks before quitting.
    bool trayAvailable = true;
    std::function<bool(QWidget *window)> confirmQuit;
    ChoosePagesFile choosePagesFile;
};

// Paints a status badge: white bold text on a rounded coloured background.
void setBadge(QLabel *label, const QString &text, const QString &colour);
