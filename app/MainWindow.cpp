#include "MainWindow.h"

#include "BrowserPlatform.h"
#include "BuildVersion.h"
#include "LogFile.h"
#include "SettingsKeys.h"
#include "SingleInstance.h"
#include "TcpListener.h"
#include "WebSocketBridge.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// Log lines gathered before they go into the file and the view at once. The
// view lays out every line it takes, so it takes them in small batches.
constexpr qsizetype maxPendingLogLines = 64;
// The view keeps the latest lines only; the log file keeps them all.
constexpr int maxLogViewLines = 10000;
// "[yyyy-MM-dd " in front of a pending line; the view shows the rest.
constexpr qsizetype logDateSize = 12;

QString logFileFailed(const QString &path, const QString &why)
{
    return QStringLiteral("Log file: cannot write %1 (%2); the log stays in this window only").arg(path, why);
}

// Makes room in the view for `incoming` lines under its maximum block count.
// The document's own trimming lays out every line it drops, which made a full
// view several times slower to append to; dropped here first, it finds none.
void dropOldestLines(QPlainTextEdit *view, qsizetype incoming)
{
    QTextDocument *document = view->document();
    const int held = document->isEmpty() ? 0 : document->blockCount();
    const qsizetype excess = held + incoming - document->maximumBlockCount();
    if (document->maximumBlockCount() <= 0 || excess <= 0)
        return;
    if (excess >= held) {
        view->clear();
        return;
    }
    QTextCursor cursor(document);
    // Inside an edit block the cursor does not lay out the line it lands on.
    cursor.beginEditBlock();
    cursor.setPosition(document->findBlockByNumber(int(excess)).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
}

// A pending line as the view shows it: "[HH:mm:ss] msg" and a line break.
void appendUndated(QString &to, const QString &line)
{
    to.append(QLatin1Char('[')).append(QStringView(line).sliced(logDateSize)).append(QLatin1Char('\n'));
}

QLabel *boldLabel(const QString &text)
{
    auto *label = new QLabel(text);
    QFont font = label->font();
    font.setWeight(QFont::Bold);
    label->setFont(font);
    return label;
}

// Read-only one-line display whose text never widens the window.
QLineEdit *displayEdit()
{
    auto *edit = new QLineEdit;
    edit->setReadOnly(true);
    edit->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return edit;
}

QPushButton *pickButton(const QString &text)
{
    auto *button = new QPushButton(text);
    button->setIcon(QIcon(QStringLiteral(":/target.png")));
    button->setIconSize(QSize(28, 27));
    // Right-to-left puts the icon after the text.
    button->setLayoutDirection(Qt::RightToLeft);
    return button;
}

QHBoxLayout *captionRow(const QString &caption, QWidget *field)
{
    auto *row = new QHBoxLayout;
    row->addWidget(boldLabel(caption));
    row->addWidget(field, 1);
    return row;
}

} // namespace

void setBadge(QLabel *label, const QString &text, const QString &colour)
{
    label->setText(text);
    label->setStyleSheet(
        QStringLiteral("QLabel { background:%1; color:white; border-radius:4px; padding:2px 8px; font-weight:bold; }")
            .arg(colour));
}

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(WindowParts{createSystemPlatform(), QLatin1String(ipcServerName),
                             QSystemTrayIcon::isSystemTrayAvailable(),
                             QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)},
                 parent)
{
}

MainWindow::MainWindow(WindowParts parts, QWidget *parent)
    : QMainWindow(parent)
    , platform(std::move(parts.platform))
    , ipcChannel(parts.channelName)
    , trayAvailable(parts.trayAvailable)
{
    setWindowTitle(titleText());
    resize(645, 720);

    buildWidgets();
    openLogFile(parts.logFolder);

    bridge = new WebSocketBridge(pluginLinkPort, this);
    tcpListener = new TcpListener(this);

    connectSignals();

    refreshPluginStatus();

    auto *restartTimer = new QTimer(this);
    connect(restartTimer, &QTimer::timeout, this, &MainWindow::updateRestartHint);
    restartTimer->start(3000);

    setupTray();
    setupIpcServer();
    onPluginConnectionChanged(false);
    bridge->listen();
    log(QStringLiteral("Ready. Connect the browser plugin."));
    startTcp();
    restoreLastSelection();
    // Hidden into a tray that is not there, the window could never be brought back.
    if (!trayAvailable)
        show();
}

MainWindow::~MainWindow()
{
    flushLog();
}

void MainWindow::buildWidgets()
{
    auto *central = new QWidget;
    auto *mainLayout = new QVBoxLayout(central);
    mainLayout->setContentsMargins(18, 12, 18, 12);
    mainLayout->setSpacing(9);

    // Header
    auto *header = new QWidget;
    auto *headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(2, 0, 2, 2);
    headerLayout->setSpacing(2);
    auto *titleLabel = new QLabel(titleText());
    titleLabel->setStyleSheet(QStringLiteral("font-size: 15pt; font-weight: 800; color: #ffffff;"));
    auto *subtitleLabel = new QLabel(QStringLiteral("TCP \u2192 Browser field gateway"));
    subtitleLabel->setObjectName(QStringLiteral("hint"));
    subtitleLabel->setStyleSheet(QStringLiteral("font-size: 10pt;"));
    headerLayout->addWidget(titleLabel);
    headerLayout->addWidget(subtitleLabel);
    mainLayout->addWidget(header, 0);

    // TCP group
    auto *tcpGroup = new QGroupBox(QStringLiteral("TCP Connection (Plugin)"));
    auto *tcpGrid = new QGridLayout(tcpGroup);
    tcpGrid->setContentsMargins(10, 2, 10, 2);
    tcpGrid->setVerticalSpacing(3);
    tcpGrid->setColumnStretch(1, 1);
    tcpGrid->addWidget(boldLabel(QStringLiteral("Local IP:")), 0, 0);
    tcpGrid->addWidget(new QLabel(QStringLiteral("127.0.0.1")), 0, 1);
    tcpGrid->addWidget(boldLabel(QStringLiteral("Port:")), 1, 0);
    portSpinBox = new QSpinBox;
    portSpinBox->setRange(1, 65535);
    portSpinBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    portSpinBox->setValue(QSettings().value(SettingsKey::tcpPort, SettingsDefault::tcpPort).toInt());
    resetButton = new QPushButton(QStringLiteral("Reset"));
    auto *portRow = new QHBoxLayout;
    portRow->addSpacing(2);
    portRow->addWidget(portSpinBox, 1);
    portRow->addSpacing(4);
    portRow->addWidget(resetButton);
    tcpGrid->addLayout(portRow, 1, 1);
    tcpGrid->addWidget(boldLabel(QStringLiteral("Status:")), 2, 0);
    tcpStatusLabel = new QLabel;
    tcpStatusLabel->setAlignment(Qt::AlignCenter);
    tcpStatusLabel->setMinimumHeight(24);
    tcpGrid->addWidget(tcpStatusLabel, 2, 1);

    // Plugin group
    auto *pluginGroup = new QGroupBox(QStringLiteral("Browser Plugin"));
    auto *pluginGrid = new QGridLayout(pluginGroup);
    pluginGrid->setContentsMargins(10, 3, 10, 3);
    pluginGrid->setVerticalSpacing(4);
    pluginGrid->setColumnStretch(1, 1);
    pluginGrid->addWidget(boldLabel(QStringLiteral("Status:")), 0, 0);
    pluginStatusLabel = new QLabel;
    pluginStatusLabel->setAlignment(Qt::AlignCenter);
    pluginStatusLabel->setMinimumHeight(24);
    pluginGrid->addWidget(pluginStatusLabel, 0, 1, 1, 2);

    auto browserRow = [pluginGrid](int row, const QString &caption, QLabel *&status, QPushButton *&install,
                                   QPushButton *&uninstall) {
        pluginGrid->addWidget(boldLabel(caption), row, 0);
        status = new QLabel;
        pluginGrid->addWidget(status, row, 1);
        install = new QPushButton(QStringLiteral("Install"));
        uninstall = new QPushButton(QStringLiteral("Uninstall"));
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(install);
        buttons->addWidget(uninstall);
        pluginGrid->addLayout(buttons, row, 2);
    };
    browserRow(1, QStringLiteral("Edge:"), edgeStatusLabel, edgeInstallButton, edgeUninstallButton);
    browserRow(2, QStringLiteral("Chrome:"), chromeStatusLabel, chromeInstallButton, chromeUninstallButton);

    restartHintLabel = new QLabel;
    restartHintLabel->setWordWrap(true);
    restartHintLabel->setStyleSheet(QStringLiteral("color:#e67e22; font-size:9pt; font-weight:bold;"));
    restartHintLabel->hide();
    pluginGrid->addWidget(restartHintLabel, 3, 0, 1, 3);

    auto *linkRow = new QHBoxLayout;
    linkRow->setSpacing(10);
    linkRow->addWidget(tcpGroup, 1);
    auto *linkArrow = new QLabel(QStringLiteral("\u21C4"));
    linkArrow->setAlignment(Qt::AlignCenter);
    linkArrow->setStyleSheet(QStringLiteral("font-size: 26pt; color: #4d90fe; font-weight: bold;"));
    linkRow->addWidget(linkArrow, 0);
    linkRow->addWidget(pluginGroup, 1);
    mainLayout->addLayout(linkRow, 0);

    // Destination field group
    auto *destGroup = new QGroupBox(QStringLiteral("Web browser field destination"));
    auto *destLayout = new QVBoxLayout(destGroup);
    destLayout->setContentsMargins(10, 3, 10, 3);
    destLayout->setSpacing(5);
    pickFieldButton = pickButton(QStringLiteral("Select a field in the browser "));
    destLayout->addWidget(pickFieldButton);
    destFieldEdit = displayEdit();
    destFieldEdit->setText(QStringLiteral("none"));
    destLayout->addLayout(captionRow(QStringLiteral("Destination:"), destFieldEdit));
    destUrlEdit = displayEdit();
    destLayout->addLayout(captionRow(QStringLiteral("Url:"), destUrlEdit));
    simulateEnterCheck = new QCheckBox(QStringLiteral("Simulate Enter key after filling"));
    simulateEnterCheck->setChecked(QSettings().value(SettingsKey::simulateEnter, SettingsDefault::simulateEnter).toBool());
    destLayout->addWidget(simulateEnterCheck);
    mainLayout->addWidget(destGroup, 0);

    // Button action group
    auto *buttonGroup = new QGroupBox(QStringLiteral("Web browser button action"));
    auto *buttonLayout = new QVBoxLayout(buttonGroup);
    buttonLayout->setContentsMargins(10, 3, 10, 3);
    buttonLayout->setSpacing(5);
    pickButtonButton = pickButton(QStringLiteral("Select a button in the browser "));
    buttonLayout->addWidget(pickButtonButton);
    buttonEdit = displayEdit();
    buttonEdit->setPlaceholderText(QStringLiteral("(no button selected)"));
    buttonLayout->addLayout(captionRow(QStringLiteral("Destination:"), buttonEdit));
    clickButtonCheck = new QCheckBox(QStringLiteral("Click this button after filling"));
    clickButtonCheck->setChecked(QSettings().value(SettingsKey::clickButton, SettingsDefault::clickButton).toBool());
    buttonLayout->addWidget(clickButtonCheck);
    mainLayout->addWidget(buttonGroup, 0);

    // Test group
    auto *testGroup = new QGroupBox(QStringLiteral("Test"));
    auto *testLayout = new QHBoxLayout(testGroup);
    testLayout->setContentsMargins(10, 3, 10, 3);
    testLayout->addWidget(boldLabel(QStringLiteral("Test value:")));
    testValueEdit = new QLineEdit(QStringLiteral("12345"));
    testLayout->addWidget(testValueEdit, 1);
    testButton = new QPushButton(QStringLiteral("Test (send to browser)"));
    testButton->setObjectName(QStringLiteral("accent"));
    testLayout->addWidget(testButton);
    mainLayout->addWidget(testGroup, 0);

    // Log group
    auto *logGroup = new QGroupBox(QStringLiteral("Log"));
    auto *logLayout = new QVBoxLayout(logGroup);
    logLayout->setContentsMargins(10, 3, 10, 3);
    logLayout->setSpacing(5);
    logView = new QPlainTextEdit;
    logView->setReadOnly(true);
    // Nobody can undo a read-only log; the undo stack would keep a copy of every line.
    logView->document()->setUndoRedoEnabled(false);
    // A view that never drops a line grows slower and bigger for as long as the gateway runs.
    logView->setMaximumBlockCount(maxLogViewLines);
    logLayout->addWidget(logView);
    auto *logButtons = new QHBoxLayout;
    logButtons->addStretch(1);
    copyLogButton = new QPushButton(QStringLiteral("Copy"));
    clearLogButton = new QPushButton(QStringLiteral("Clear"));
    logButtons->addWidget(copyLogButton);
    logButtons->addWidget(clearLogButton);
    logLayout->addLayout(logButtons);
    mainLayout->addWidget(logGroup, 1);

    setCentralWidget(central);
}

void MainWindow::connectSignals()
{
    connect(bridge, &WebSocketBridge::logMessage, this, &MainWindow::log);
    connect(bridge, &WebSocketBridge::pluginConnectionChanged, this, &MainWindow::onPluginConnectionChanged);
    connect(bridge, &WebSocketBridge::fieldsReceived, this, &MainWindow::onFieldsReceived);
    connect(bridge, &WebSocketBridge::fieldPicked, this, &MainWindow::onFieldPicked);
    connect(bridge, &WebSocketBridge::fillResult, this, &MainWindow::onFillResult);
    connect(bridge, &WebSocketBridge::buttonClicked, this, &MainWindow::onButtonClicked);
    connect(tcpListener, &TcpListener::logMessage, this, &MainWindow::log);
    connect(tcpListener, &TcpListener::lineReceived, this, &MainWindow::onLine);
    connect(tcpListener, &TcpListener::clientCountChanged, this, [this] { updateTcpStatus(); });
    connect(resetButton, &QPushButton::clicked, this, &MainWindow::onResetTcp);
    connect(pickFieldButton, &QPushButton::clicked, this, &MainWindow::onPick);
    connect(pickButtonButton, &QPushButton::clicked, this, &MainWindow::onPickButton);
    connect(testButton, &QPushButton::clicked, this, &MainWindow::onTest);
    connect(testValueEdit, &QLineEdit::returnPressed, this, &MainWindow::onTest);
    connect(clearLogButton, &QPushButton::clicked, this, &MainWindow::onClearLog);
    connect(copyLogButton, &QPushButton::clicked, this, &MainWindow::onCopyLog);
    connect(simulateEnterCheck, &QCheckBox::toggled, this,
            [](bool checked) { QSettings().setValue(SettingsKey::simulateEnter, checked); });
    connect(clickButtonCheck, &QCheckBox::toggled, this,
            [](bool checked) { QSettings().setValue(SettingsKey::clickButton, checked); });
    connect(edgeInstallButton, &QPushButton::clicked, this, &MainWindow::onInstallEdge);
    connect(edgeUninstallButton, &QPushButton::clicked, this, &MainWindow::onUninstallEdge);
    connect(chromeInstallButton, &QPushButton::clicked, this, &MainWindow::onInstallChrome);
    connect(chromeUninstallButton, &QPushButton::clicked, this, &MainWindow::onUninstallChrome);
}

void MainWindow::openLogFile(const QString &folder)
{
    if (folder.isEmpty())
        return;
    logFile = std::make_unique<LogFile>(folder);
    const QString path = QDir::toNativeSeparators(logFile->path());
    if (logFile->open()) {
        log(QStringLiteral("Log file: %1").arg(path));
    } else {
        log(logFileFailed(path, logFile->errorString()));
        logFile.reset();
    }
}

void MainWindow::log(QString msg)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != stampSecond) {
        stampSecond = now / 1000;
        stamp = QDateTime::fromMSecsSinceEpoch(stampSecond * 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    QString line;
    line.reserve(stamp.size() + msg.size() + 3);
    line.append(QLatin1Char('[')).append(stamp).append(QLatin1String("] ")).append(msg);
    if (pendingLog.isEmpty())
        QMetaObject::invokeMethod(this, &MainWindow::flushLog, Qt::QueuedConnection);
    pendingLog.append(std::move(line));
    // Socket reads can starve posted events for a long burst; a bounded batch
    // keeps each append short.
    if (pendingLog.size() >= maxPendingLogLines)
        flushLog();
}

void MainWindow::flushLog()
{
    if (!pendingLog.isEmpty()) {
        // Standard error gets what the view shows, "[HH:mm:ss] msg"; the file the full date.
        QString shown;
        QString kept;
        for (const QString &line : std::as_const(pendingLog)) {
            appendUndated(shown, line);
            if (logFile)
                kept.append(line).append(QLatin1Char('\n'));
        }
        // A gateway started from a terminal or by a service manager, where nobody
        // looks at the window, still shows its log on standard error.
        const QByteArray mirrored = shown.toUtf8();
        std::fwrite(mirrored.constData(), 1, size_t(mirrored.size()), stderr);
        std::fflush(stderr);
        unshownLog.append(std::move(pendingLog));
        pendingLog.clear();
        if (logFile && !logFile->write(kept.toUtf8())) {
            const QString path = QDir::toNativeSeparators(logFile->path());
            const QString why = logFile->errorString();
            logFile.reset();
            log(logFileFailed(path, why));
        }
    }
    if (isVisible())
        moveUnshownLogToView();
    else if (unshownLog.size() > maxLogViewLines)
        unshownLog.remove(0, unshownLog.size() - maxLogViewLines);
}

// The view as the user sees it once the window is open: for Copy, and on showing.
void MainWindow::showLog()
{
    flushLog();
    moveUnshownLogToView();
}

void MainWindow::moveUnshownLogToView()
{
    if (unshownLog.isEmpty())
        return;
    QString text;
    for (const QString &line : std::as_const(unshownLog))
        appendUndated(text, line);
    // One paragraph per line, as if each had been appended on its own.
    text.chop(1);
    dropOldestLines(logView, unshownLog.size());
    unshownLog.clear();
    logView->appendPlainText(text);
}

void MainWindow::showEvent(QShowEvent *event)
{
    showLog();
    QMainWindow::showEvent(event);
}

void MainWindow::onCopyLog()
{
    showLog();
    QGuiApplication::clipboard()->setText(logView->toPlainText(), QClipboard::Clipboard);
    log(QStringLiteral("Log copied to clipboard."));
}

void MainWindow::onClearLog()
{
    // Lines not yet shown still belong in the log file.
    flushLog();
    unshownLog.clear();
    logView->clear();
}

void MainWindow::updateTcpStatus()
{
    if (!tcpListener->isListening())
        setBadge(tcpStatusLabel, QStringLiteral("Stopped"), QStringLiteral("#c0392b"));
    else if (tcpListener->clientCount() > 0)
        setBadge(tcpStatusLabel, QStringLiteral("Connected"), QStringLiteral("#1e8449"));
    else
        setBadge(tcpStatusLabel, QStringLiteral("Listening (waiting)"), QStringLiteral("#b9770e"));
}

void MainWindow::onPluginConnectionChanged(bool connected)
{
    if (connected)
        setBadge(pluginStatusLabel, QStringLiteral("Connected"), QStringLiteral("#1e8449"));
    else
        setBadge(pluginStatusLabel, QStringLiteral("Disconnected"), QStringLiteral("#c0392b"));
    updateRestartHint();
}
