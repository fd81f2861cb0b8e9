#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>

class BrowserPlatform;
class LogFile;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QLocalServer;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class TcpListener;
class WebSocketBridge;

// What a test replaces in the window: the browser platform, the
// single-instance channel, whether the desktop has a system tray, and the log
// file's folder (empty: no log file).
struct WindowParts
{
    std::unique_ptr<BrowserPlatform> platform;
    QString channelName;
    bool trayAvailable = true;
    QString logFolder;
};

// The program's only window. Its members are spread by subsystem:
// app/ (shell, log, badges, tray, single instance), gateway/ (forwarding,
// selection, persistence) and install/ (plugin installation, restart hint).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    // The plain constructor uses the real platform, the product's channel, the
    // desktop's tray and the user's data folder; tests pass parts of their own.
    explicit MainWindow(WindowParts parts, QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void onResetTcp();
    void onPick();
    void onPickButton();
    void onFieldsReceived(QString url, QString title, QJsonArray fields);
    void onFieldPicked(QString kind, QString url, QJsonObject field);
    void onLine(QString line);
    void onFillResult(bool ok, QString error);
    void onButtonClicked(bool ok, QString error);
    void onPluginConnectionChanged(bool connected);
    void onTest();
    void onClearLog();
    void onCopyLog();
    void onInstallEdge();
    void onUninstallEdge();
    void onInstallChrome();
    void onUninstallChrome();
    void log(QString msg);
    void showLog();

private:
    void buildWidgets();
    void connectSignals();
    void setupTray();
    void setupIpcServer();
    void updateTcpStatus();
    void openLogFile(const QString &folder);
    void flushLog();
    void moveUnshownLogToView();

    void startPickMode(const QString &kind);
    void fillDestination(const QString &value);
    void notifyNotFilled(const QString &reason);
    void setDestination(const QString &url, const QJsonObject &field);
    void saveDestination();
    void setDestButton(const QString &url, const QJsonObject &field);
    void restoreLastSelection();
    void startTcp();

    void refreshPluginStatus();
    void updateRestartHint();
    void bringBrowserToFront();
    void changePolicy(const QString &browserKey, bool install, const QString &okLine, const QString &failLine);

    WebSocketBridge *bridge = nullptr;
    TcpListener *tcpListener = nullptr;
    QSpinBox *portSpinBox = nullptr;
    QPushButton *resetButton = nullptr;
    QLabel *tcpStatusLabel = nullptr;
    QLabel *pluginStatusLabel = nullptr;
    QPushButton *pickFieldButton = nullptr;
    QLabel *edgeStatusLabel = nullptr;
    QPushButton *edgeInstallButton = nullptr;
    QPushButton *edgeUninstallButton = nullptr;
    QLabel *chromeStatusLabel = nullptr;
    QPushButton *chromeInstallButton = nullptr;
    QPushButton *chromeUninstallButton = nullptr;
    QLabel *restartHintLabel = nullptr;
    QLineEdit *destFieldEdit = nullptr;
    QLineEdit *destUrlEdit = nullptr;
    QCheckBox *simulateEnterCheck = nullptr;
    QPushButton *pickButtonButton = nullptr;
    QLineEdit *buttonEdit = nullptr;
    QCheckBox *clickButtonCheck = nullptr;
    QLineEdit *testValueEdit = nullptr;
    QPushButton *testButton = nullptr;
    QPlainTextEdit *logView = nullptr;
    QPushButton *clearLogButton = nullptr;
    QPushButton *copyLogButton = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QLocalServer *ipcServer = nullptr;
    bool quitting = false;
    QJsonObject destField;
    QString destUrl;
    QJsonObject destButton;

    // Log lines, with their full date, not yet in logView and the log file: a
    // burst of lines goes in with one append and one write per event-loop turn.
    QStringList pendingLog;
    // Lines in the log file, not yet in logView: the latest of them wait there
    // while the window is hidden, since a hidden view would still lay out
    // every line nobody sees.
    QStringList unshownLog;
    // "yyyy-MM-dd HH:mm:ss" of the second it was made for, so that a burst
    // formats the time once per second rather than once per line.
    QString stamp;
    qint64 stampSecond = -1;
    std::unique_ptr<LogFile> logFile; // null when there is none, or it failed

    // When the last "Line not filled" tray message was shown: a burst of
    // failures gives one message, not a stack of them.
    QElapsedTimer lastNotFilledMessage;

    std::unique_ptr<BrowserPlatform> platform;
    QString ipcChannel;
    // Without a tray at start, the window is shown and closing it quits.
    bool trayAvailable = true;
};

// Paints a status badge: white bold text on a rounded coloured background.
void setBadge(QLabel *label, const QString &text, const QString &colour);
