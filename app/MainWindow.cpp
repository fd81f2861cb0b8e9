#include "MainWindow.h"

#include "BrowserPlatform.h"
#include "Browsers.h"
#include "BuildVersion.h"
#include "DescribeField.h"
#include "Gateway.h"
#include "InstallController.h"
#include "Logger.h"
#include "NativeHost.h"
#include "PluginSource.h"
#include "RulesDialog.h"
#include "ShellPlatform.h"
#include "ShowAndActivate.h"
#include "SingleInstance.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>
#include <utility>

namespace {

// The view keeps the latest lines only; the log file keeps them all.
constexpr int maxLogViewLines = 10000;

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

bool askBeforeQuitting(QWidget *window)
{
    return QMessageBox::question(window, QStringLiteral("Quit Fieldpost?"),
                                 QStringLiteral("There is no system tray to keep Fieldpost in. Quit it? Lines from "
                                                "Marrowlinker are not filled until it is started again."))
        == QMessageBox::Yes;
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

// The split separator's named choices; any other one character is taken as typed.
const std::pair<QChar, QString> separatorNames[] = {
    {QChar(u'\t'), QStringLiteral("Tab")},
    {QChar(0x1D), QStringLiteral("GS (0x1D)")},
    {QChar(u';'), QStringLiteral(";")},
    {QChar(u','), QStringLiteral(",")},
    {QChar(u'|'), QStringLiteral("|")},
};

QString separatorText(QChar separator)
{
    for (const auto &[c, name] : separatorNames) {
        if (c == separator)
            return name;
    }
    return QString(separator);
}

std::optional<QChar> separatorFromText(const QString &text)
{
    for (const auto &[c, name] : separatorNames) {
        if (name == text)
            return c;
    }
    if (text.size() == 1)
        return text.front();
    return std::nullopt;
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
    : MainWindow(WindowParts{createSystemPlatform(), userChannelName(), QSystemTrayIcon::isSystemTrayAvailable(),
                             QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation),
                             // The desktop session's own log would otherwise keep every scanned value.
                             stderrIsTerminal(),
                             &QSystemTrayIcon::isSystemTrayAvailable, askBeforeQuitting, nullptr, nullptr},
                 parent)
{
}

MainWindow::MainWindow(WindowParts parts, QWidget *parent)
    : QMainWindow(parent)
    , logger(std::make_unique<Logger>())
    , ipcChannel(parts.channelName)
    , trayAvailable(parts.trayAvailable)
    , confirmQuit(parts.confirmQuit ? std::move(parts.confirmQuit) : askBeforeQuitting)
    , choosePagesFile(std::move(parts.choosePagesFile))
{
    setWindowTitle(titleText());
    resize(645, 720);
    logger->setMirrorToStderr(parts.logToStderr);
    connect(logger.get(), &Logger::written, this, &MainWindow::takeLogLines);

    gateway = new Gateway(pluginLinkPorts, this);
    gateway->setAllowedExtensionIds(configuredExtensionIds());
    gateway->setLocalFailureSound(parts.failureBeep ? std::move(parts.failureBeep) : [] { playFailureBeep(true); });
    installer = new InstallController(std::move(parts.platform), this);
    clock.start();
    heldFailureTimer = new QTimer(this);
    heldFailureTimer->setSingleShot(true);

    buildWidgets();
    logger->openFile(parts.logFolder);
    connectSignals();
    installer->refresh();
    setupTray();
    setupIpcServer();
    onPluginConnectionChanged(false);
    // At every start: the browsers then find this user's gateway, wherever the program now lies.
    QStringList hostLog;
    registerNativeHost(nativeHostExecutable(), configuredExtensionIds(), &hostLog);
    for (const QString &line : std::as_const(hostLog))
        log(line);
    gateway->start();
    showFields();
    // Hidden into a tray that is not there, the window could never be brought back.
    if (!trayAvailable) {
        show();
        if (parts.trayProbe)
            waitForTray(std::move(parts.trayProbe));
    }
}

MainWindow::~MainWindow()
{
    // The gateway's last lines still go to the file.
    logger->flush();
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
    intakeAddressLabel = new QLabel;
    tcpGrid->addWidget(intakeAddressLabel, 0, 1);
    tcpGrid->addWidget(boldLabel(QStringLiteral("Port:")), 1, 0);
    portSpinBox = new QSpinBox;
    portSpinBox->setRange(0, 65535);
    portSpinBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    portSpinBox->setValue(gateway->storedTcpPort());
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
    acceptRemoteCheck = new QCheckBox(QStringLiteral("Accept companions from other computers"));
    acceptRemoteCheck->setChecked(gateway->acceptRemoteCompanions());
    tcpGrid->addWidget(acceptRemoteCheck, 3, 0, 1, 2);
    // Beside the taller plugin group the rows keep their height; the space goes below them.
    tcpGrid->setRowStretch(4, 1);

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
    browserRow(3, QStringLiteral("Chromium:"), chromiumStatusLabel, chromiumInstallButton, chromiumUninstallButton);

    restartHintLabel = new QLabel;
    restartHintLabel->setWordWrap(true);
    restartHintLabel->setStyleSheet(QStringLiteral("color:#e67e22; font-size:9pt; font-weight:bold;"));
    restartHintLabel->hide();
    pluginGrid->addWidget(restartHintLabel, 4, 0, 1, 3);
    forgetPairingButton = new QPushButton(QStringLiteral("Forget paired browsers"));
    forgetPairingButton->setToolTip(QStringLiteral("A new pairing key: this user's browsers link again through it, "
                                                   "and nothing that learned the old key can."));
    pluginGrid->addWidget(forgetPairingButton, 5, 2);

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
    addFieldButton = pickButton(QStringLiteral("Add a field "));
    auto *pickRow = new QHBoxLayout;
    pickRow->addWidget(pickFieldButton, 1);
    pickRow->addWidget(addFieldButton);
    destLayout->addLayout(pickRow);
    destFieldEdit = displayEdit();
    destFieldEdit->setText(QStringLiteral("none"));
    destLayout->addLayout(captionRow(QStringLiteral("Destination:"), destFieldEdit));

    // With one field none of this takes room: the window stays as compact as before.
    severalFieldsPanel = new QWidget;
    auto *severalLayout = new QHBoxLayout(severalFieldsPanel);
    severalLayout->setContentsMargins(0, 0, 0, 0);
    auto *listColumn = new QVBoxLayout;
    destFieldsList = new QListWidget;
    // As tall as the mode part beside it, not a list's own generous height.
    destFieldsList->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
    listColumn->addWidget(destFieldsList, 1);
    removeFieldButton = new QPushButton(QStringLiteral("Remove"));
    listColumn->addWidget(removeFieldButton, 0, Qt::AlignLeft);
    severalLayout->addLayout(listColumn, 1);
    fieldsModeGroup = new QWidget;
    auto *modeGrid = new QGridLayout(fieldsModeGroup);
    modeGrid->setContentsMargins(0, 0, 0, 0);
    modeGrid->setVerticalSpacing(3);
    splitModeRadio = new QRadioButton(QStringLiteral("Split the line"));
    gs1ModeRadio = new QRadioButton(QStringLiteral("GS1 elements"));
    perLineModeRadio = new QRadioButton(QStringLiteral("One line per field"));
    splitSeparatorCombo = new QComboBox;
    splitSeparatorCombo->setEditable(true);
    splitSeparatorCombo->setInsertPolicy(QComboBox::NoInsert);
    for (const auto &[c, name] : separatorNames)
        splitSeparatorCombo->addItem(name);
    splitSeparatorCombo->setToolTip(QStringLiteral("Where the line is cut: one of these, or any one character"));
    fieldAisEdit = new QLineEdit;
    fieldAisEdit->setPlaceholderText(QStringLiteral("01,10,17"));
    fieldAisEdit->setToolTip(QStringLiteral("The application identifier of each field, in order"));
    fieldAisErrorLabel = new QLabel;
    fieldAisErrorLabel->setWordWrap(true);
    fieldAisErrorLabel->setStyleSheet(QStringLiteral("color:#c0392b; font-weight:bold;"));
    fieldAisErrorLabel->hide();
    nextFieldLabel = new QLabel;
    resetSequenceButton = new QPushButton(QStringLiteral("Reset"));
    resetSequenceButton->setToolTip(QStringLiteral("The next line goes to the first field"));
    auto *nextRow = new QHBoxLayout;
    nextRow->addWidget(nextFieldLabel, 1);
    nextRow->addWidget(resetSequenceButton);
    modeGrid->addWidget(splitModeRadio, 0, 0);
    modeGrid->addWidget(splitSeparatorCombo, 0, 1);
    modeGrid->addWidget(gs1ModeRadio, 1, 0);
    modeGrid->addWidget(fieldAisEdit, 1, 1);
    modeGrid->addWidget(fieldAisErrorLabel, 2, 0, 1, 2);
    modeGrid->addWidget(perLineModeRadio, 3, 0);
    modeGrid->addLayout(nextRow, 3, 1);
    modeGrid->setColumnStretch(1, 1);
    severalLayout->addWidget(fieldsModeGroup, 2);
    severalFieldsPanel->hide();
    destLayout->addWidget(severalFieldsPanel);

    destUrlEdit = displayEdit();
    // Beside the address, in rows that were there before: one field takes no more room than it did.
    pagesButton = new QPushButton(QStringLiteral("Pages\u2026"));
    auto *urlRow = captionRow(QStringLiteral("Url:"), destUrlEdit);
    urlRow->addWidget(pagesButton);
    destLayout->addLayout(urlRow);
    simulateEnterCheck = new QCheckBox(QStringLiteral("Simulate Enter key after filling"));
    simulateEnterCheck->setChecked(gateway->simulateEnter());
    destinationPerPageCheck = new QCheckBox(QStringLiteral("Remember a destination per page"));
    destinationPerPageCheck->setChecked(gateway->destinationPerPage());
    auto *optionRow = new QHBoxLayout;
    optionRow->addWidget(simulateEnterCheck);
    optionRow->addStretch(1);
    optionRow->addWidget(destinationPerPageCheck);
    destLayout->addLayout(optionRow);
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
    clickButtonCheck->setChecked(gateway->clickButton());
    buttonLayout->addWidget(clickButtonCheck);
    mainLayout->addWidget(buttonGroup, 0);

    // Options group: what the person at the scanner hears and sees, and what shapes each line.
    auto *optionsGroup = new QGroupBox(QStringLiteral("Options"));
    auto *optionsLayout = new QGridLayout(optionsGroup);
    optionsLayout->setContentsMargins(10, 3, 10, 3);
    optionsLayout->setVerticalSpacing(5);
    soundOnFailureCheck = new QCheckBox(QStringLiteral("Sound on failure"));
    soundOnFailureCheck->setChecked(gateway->soundOnFailure());
    soundOnSuccessCheck = new QCheckBox(QStringLiteral("Sound on success"));
    soundOnSuccessCheck->setChecked(gateway->soundOnSuccess());
    flashFieldCheck = new QCheckBox(QStringLiteral("Flash the field"));
    flashFieldCheck->setChecked(gateway->flashField());
    optionsLayout->addWidget(soundOnFailureCheck, 0, 0);
    optionsLayout->addWidget(soundOnSuccessCheck, 0, 1);
    optionsLayout->addWidget(flashFieldCheck, 0, 2);
    auto *repeatRow = new QHBoxLayout;
    repeatRow->addWidget(new QLabel(QStringLiteral("Ignore the same line again within")));
    repeatWindowSpinBox = new QSpinBox;
    repeatWindowSpinBox->setRange(0, 10);
    repeatWindowSpinBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    repeatWindowSpinBox->setValue(gateway->repeatWindowSeconds());
    repeatRow->addWidget(repeatWindowSpinBox);
    repeatRow->addWidget(new QLabel(QStringLiteral("s")));
    repeatRow->addStretch(1);
    optionsLayout->addLayout(repeatRow, 1, 0, 1, 2);
    rulesButton = new QPushButton(QStringLiteral("Rules\u2026"));
    optionsLayout->addWidget(rulesButton, 1, 2);
    mainLayout->addWidget(optionsGroup, 0);

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

    // Tests and tools find the widgets by these names, never by caption or place.
    const std::pair<QWidget *, const char *> names[] = {
        {portSpinBox, "portSpinBox"}, {resetButton, "resetButton"}, {tcpStatusLabel, "tcpStatusLabel"},
        {pluginStatusLabel, "pluginStatusLabel"}, {pickFieldButton, "pickFieldButton"},
        {edgeStatusLabel, "edgeStatusLabel"}, {edgeInstallButton, "edgeInstallButton"},
        {edgeUninstallButton, "edgeUninstallButton"}, {chromeStatusLabel, "chromeStatusLabel"},
        {chromeInstallButton, "chromeInstallButton"}, {chromeUninstallButton, "chromeUninstallButton"},
        {chromiumStatusLabel, "chromiumStatusLabel"}, {chromiumInstallButton, "chromiumInstallButton"},
        {chromiumUninstallButton, "chromiumUninstallButton"}, {restartHintLabel, "restartHintLabel"},
        {destFieldEdit, "destFieldEdit"}, {destUrlEdit, "destUrlEdit"}, {simulateEnterCheck, "simulateEnterCheck"},
        {pickButtonButton, "pickButtonButton"}, {buttonEdit, "buttonEdit"}, {clickButtonCheck, "clickButtonCheck"},
        {soundOnFailureCheck, "soundOnFailureCheck"}, {soundOnSuccessCheck, "soundOnSuccessCheck"},
        {flashFieldCheck, "flashFieldCheck"}, {repeatWindowSpinBox, "repeatWindowSpinBox"}, {rulesButton, "rulesButton"},
        {testValueEdit, "testValueEdit"}, {logView, "logView"}, {clearLogButton, "clearLogButton"},
        {copyLogButton, "copyLogButton"}, {intakeAddressLabel, "intakeAddressLabel"},
        {acceptRemoteCheck, "acceptRemoteCheck"}, {forgetPairingButton, "forgetPairingButton"},
        {addFieldButton, "addFieldButton"}, {destFieldsList, "destFieldsList"},
        {removeFieldButton, "removeFieldButton"}, {fieldsModeGroup, "fieldsModeGroup"},
        {splitModeRadio, "splitModeRadio"}, {gs1ModeRadio, "gs1ModeRadio"}, {perLineModeRadio, "perLineModeRadio"},
        {splitSeparatorCombo, "splitSeparatorCombo"}, {fieldAisEdit, "fieldAisEdit"},
        {fieldAisErrorLabel, "fieldAisErrorLabel"}, {nextFieldLabel, "nextFieldLabel"},
        {resetSequenceButton, "resetSequenceButton"}, {destinationPerPageCheck, "destinationPerPageCheck"},
        {pagesButton, "pagesButton"},
    };
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));
}

void MainWindow::connectSignals()
{
    connect(gateway, &Gateway::logMessage, this, &MainWindow::log);
    connect(gateway, &Gateway::pluginConnectionChanged, this, &MainWindow::onPluginConnectionChanged);
    connect(gateway, &Gateway::intakeStateChanged, this, &MainWindow::updateTcpStatus);
    connect(gateway, &Gateway::linksChanged, this, [this] {
        // A row says Linked for a browser with a proven plugin link.
        QHash<QString, QString> versions;
        for (const WebSocketBridge::LinkInfo &link : gateway->pluginLinks()) {
            for (const Browser &browser : supportedBrowsers()) {
                if (browser.shortName == link.browser)
                    versions.insert(browser.key, link.version);
            }
        }
        installer->setLinkedBrowsers(versions);
    });
    connect(gateway, &Gateway::destinationChanged, this, [this](const QString &url) {
        destUrlEdit->setText(url);
        destUrlEdit->setCursorPosition(0);
        showFields();
    });
    connect(gateway, &Gateway::destinationFieldsChanged, this, &MainWindow::showFields);
    connect(gateway, &Gateway::sequenceChanged, nextFieldLabel, &QLabel::setText);
    connect(gateway, &Gateway::buttonChanged, this, [this](const QJsonObject &field) {
        buttonEdit->setText(describeField(field));
        buttonEdit->setCursorPosition(0);
    });
    connect(gateway, &Gateway::pickModeStarted, installer, &InstallController::bringBrowserToFront);
    connect(gateway, &Gateway::picked, this, [this] { showAndActivate(this); });
    connect(gateway, &Gateway::lineNotFilled, this,
            [this](const QString &reason) { notifyFailure(QStringLiteral("Line not filled"), reason); });
    connect(gateway, &Gateway::buttonNotClicked, this,
            [this](const QString &reason) { notifyFailure(QStringLiteral("Button not clicked"), reason); });
    connect(installer, &InstallController::logMessage, this, &MainWindow::log);
    connect(installer, &InstallController::statusChanged, this, &MainWindow::showPluginStatus);
    connect(installer, &InstallController::busyChanged, this, &MainWindow::enableInstallButtons);
    connect(installer, &InstallController::restartHintChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            restartHintLabel->setText(text);
        restartHintLabel->setVisible(!text.isEmpty());
    });
    connect(heldFailureTimer, &QTimer::timeout, this, &MainWindow::showHeldFailures);

    connect(resetButton, &QPushButton::clicked, this, &MainWindow::onResetTcp);
    connect(pickFieldButton, &QPushButton::clicked, this, &MainWindow::onPick);
    connect(pickButtonButton, &QPushButton::clicked, this, &MainWindow::onPickButton);
    connect(addFieldButton, &QPushButton::clicked, gateway, &Gateway::addField);
    connect(removeFieldButton, &QPushButton::clicked, this, [this] {
        if (destFieldsList->currentRow() >= 0)
            gateway->removeField(destFieldsList->currentRow());
    });
    connect(destFieldsList, &QListWidget::currentRowChanged, this,
            [this](int row) { removeFieldButton->setEnabled(row >= 0); });
    const std::pair<QRadioButton *, FieldsMode> modes[] = {
        {splitModeRadio, FieldsMode::Split}, {gs1ModeRadio, FieldsMode::Gs1}, {perLineModeRadio, FieldsMode::PerLine}};
    for (const auto &[radio, mode] : modes) {
        connect(radio, &QRadioButton::toggled, gateway, [this, mode = mode](bool on) {
            if (on)
                gateway->setFieldsMode(mode);
        });
    }
    connect(splitSeparatorCombo, &QComboBox::activated, this, &MainWindow::applySplitSeparator);
    connect(splitSeparatorCombo->lineEdit(), &QLineEdit::editingFinished, this, &MainWindow::applySplitSeparator);
    connect(fieldAisEdit, &QLineEdit::editingFinished, this, &MainWindow::applyFieldAis);
    connect(resetSequenceButton, &QPushButton::clicked, gateway, &Gateway::resetSequence);
    connect(destinationPerPageCheck, &QCheckBox::toggled, gateway, &Gateway::setDestinationPerPage);
    connect(pagesButton, &QPushButton::clicked, this, &MainWindow::onEditPages);
    connect(testButton, &QPushButton::clicked, this, &MainWindow::onTest);
    connect(testValueEdit, &QLineEdit::returnPressed, this, &MainWindow::onTest);
    connect(clearLogButton, &QPushButton::clicked, this, &MainWindow::onClearLog);
    connect(acceptRemoteCheck, &QCheckBox::toggled, gateway, &Gateway::setAcceptRemoteCompanions);
    connect(forgetPairingButton, &QPushButton::clicked, gateway, &Gateway::forgetPairedBrowsers);
    connect(copyLogButton, &QPushButton::clicked, this, &MainWindow::onCopyLog);
    connect(simulateEnterCheck, &QCheckBox::toggled, gateway, &Gateway::setSimulateEnter);
    connect(clickButtonCheck, &QCheckBox::toggled, gateway, &Gateway::setClickButton);
    connect(soundOnFailureCheck, &QCheckBox::toggled, gateway, &Gateway::setSoundOnFailure);
    connect(soundOnSuccessCheck, &QCheckBox::toggled, gateway, &Gateway::setSoundOnSuccess);
    connect(flashFieldCheck, &QCheckBox::toggled, gateway, &Gateway::setFlashField);
    connect(repeatWindowSpinBox, &QSpinBox::valueChanged, gateway, &Gateway::setRepeatWindowSeconds);
    connect(rulesButton, &QPushButton::clicked, this, &MainWindow::onEditRules);
    connect(edgeInstallButton, &QPushButton::clicked, this, &MainWindow::onInstallEdge);
    connect(edgeUninstallButton, &QPushButton::clicked, this, &MainWindow::onUninstallEdge);
    connect(chromeInstallButton, &QPushButton::clicked, this, &MainWindow::onInstallChrome);
    connect(chromeUninstallButton, &QPushButton::clicked, this, &MainWindow::onUninstallChrome);
    connect(chromiumInstallButton, &QPushButton::clicked, this, &MainWindow::onInstallChromium);
    connect(chromiumUninstallButton, &QPushButton::clicked, this, &MainWindow::onUninstallChromium);
}

// ---- the log ------------------------------------------------------------------

void MainWindow::log(QString msg)
{
    logger->log(msg);
}

void MainWindow::takeLogLines(const QStringList &lines)
{
    unshownLog.append(lines);
    if (isVisible())
        moveUnshownLogToView();
    else if (unshownLog.size() > maxLogViewLines)
        unshownLog.remove(0, unshownLog.size() - maxLogViewLines);
}

// The view as the user sees it once the window is open: for Copy, and on showing.
void MainWindow::showLog()
{
    logger->flush();
    moveUnshownLogToView();
}

void MainWindow::moveUnshownLogToView()
{
    if (unshownLog.isEmpty())
        return;
    QString text;
    for (const QString &line : std::as_const(unshownLog))
        Logger::appendShown(text, line);
    // One paragraph per line, as if each had been appended on its own.
    text.chop(1);
    dropOldestLines(logView, unshownLog.size());
    unshownLog.clear();
    logView->appendPlainText(text);
}

void MainWindow::showEvent(QShowEvent *event)
{
    showLog();
    // The restart warning is worth a look at the processes only while it can be seen.
    installer->setRestartCheckActive(true);
    QMainWindow::showEvent(event);
}

void MainWindow::hideEvent(QHideEvent *event)
{
    installer->setRestartCheckActive(false);
    QMainWindow::hideEvent(event);
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
    logger->flush();
    unshownLog.clear();
    logView->clear();
}

// ---- badges, buttons ------------------------------------------------------------

void MainWindow::updateTcpStatus()
{
    intakeAddressLabel->setText(gateway->intakeAddressText());
    if (!gateway->isIntakeListening())
        setBadge(tcpStatusLabel, QStringLiteral("Stopped"), QStringLiteral("#c0392b"));
    else if (gateway->intakeClientCount() > 0)
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
    installer->setPluginConnected(connected);
}

void MainWindow::onResetTcp()
{
    gateway->restartIntake(quint16(portSpinBox->value()));
}

void MainWindow::onPick()
{
    gateway->pickField();
}

void MainWindow::onPickButton()
{
    gateway->pickButton();
}

void MainWindow::onTest()
{
    gateway->sendTest(testValueEdit->text());
}

void MainWindow::showPluginStatus(const QString &browserKey, bool installed)
{
    QLabel *label = browserKey == BrowserKey::edge     ? edgeStatusLabel
                    : browserKey == BrowserKey::chrome ? chromeStatusLabel
                                                       : chromiumStatusLabel;
    Q_UNUSED(installed);
    label->setText(installer->statusText(browserKey));
    label->setWordWrap(true);
    label->setStyleSheet(installer->isHealthy(browserKey) ? QStringLiteral("color:#2ecc71; font-weight:bold;")
                                                          : QStringLiteral("color:#e67e22; font-weight:bold;"));
    // Which entry Install writes, or finds: the id and the address from the settings.
    label->setToolTip(installer->statusToolTip(browserKey));
    enableInstallButtons();
}

// One change at a time: while the elevation prompt waits, no button takes another.
void MainWindow::enableInstallButtons()
{
    const bool busy = installer->isBusy();
    const std::tuple<QString, QPushButton *, QPushButton *> rows[] = {
        {BrowserKey::edge, edgeInstallButton, edgeUninstallButton},
        {BrowserKey::chrome, chromeInstallButton, chromeUninstallButton},
        {BrowserKey::chromium, chromiumInstallButton, chromiumUninstallButton},
    };
    for (const auto &[key, install, uninstall] : rows) {
        install->setEnabled(!busy && !installer->isInstalled(key));
        uninstall->setEnabled(!busy && installer->isInstalled(key));
    }
}

void MainWindow::onInstallEdge()
{
    installer->install(BrowserKey::edge);
}

void MainWindow::onUninstallEdge()
{
    installer->uninstall(BrowserKey::edge);
}

void MainWindow::onInstallChrome()
{
    installer->install(BrowserKey::chrome);
}

void MainWindow::onUninstallChrome()
{
    installer->uninstall(BrowserKey::chrome);
}

void MainWindow::onInstallChromium()
{
    installer->install(BrowserKey::chromium);
}

void MainWindow::onUninstallChromium()
{
    installer->uninstall(BrowserKey::chromium);
}

// The dialog leaves the window usable meanwhile; its rules count from the next line on.
void MainWindow::onEditRules()
{
    auto *dialog = new RulesDialog(gateway->rules(), gateway->gs1Separator(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, gateway,
            [this, dialog] { gateway->setRules(dialog->rules(), dialog->gs1Separator()); });
    dialog->open();
}

void MainWindow::onEditPages()
{
    auto *dialog = new PagesDialog(gateway, choosePagesFile, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

// ---- the destination's fields -------------------------------------------------

void MainWindow::showFields()
{
    const QList<QJsonObject> fields = gateway->destinationFields();
    destFieldEdit->setText(describeFields(fields));
    destFieldEdit->setCursorPosition(0);

    const int selected = destFieldsList->currentRow();
    destFieldsList->clear();
    for (qsizetype i = 0; i < fields.size(); ++i)
        destFieldsList->addItem(QStringLiteral("%1. %2").arg(i + 1).arg(describeField(fields.at(i))));
    if (selected >= 0 && selected < destFieldsList->count())
        destFieldsList->setCurrentRow(selected);
    removeFieldButton->setEnabled(destFieldsList->currentRow() >= 0);
    severalFieldsPanel->setVisible(fields.size() >= 2);

    const FieldsMode mode = gateway->fieldsMode();
    // The others of the exclusive set go off by themselves, and only a radio turned on asks the core.
    QRadioButton *modeRadio = mode == FieldsMode::Gs1       ? gs1ModeRadio
                              : mode == FieldsMode::PerLine ? perLineModeRadio
                                                            : splitModeRadio;
    {
        const QSignalBlocker quiet(modeRadio);
        modeRadio->setChecked(true);
    }
    splitSeparatorCombo->setEnabled(mode == FieldsMode::Split);
    if (!splitSeparatorCombo->lineEdit()->hasFocus()) {
        const QSignalBlocker quiet(splitSeparatorCombo);
        splitSeparatorCombo->setCurrentText(separatorText(gateway->splitSeparator()));
    }
    fieldAisEdit->setEnabled(mode == FieldsMode::Gs1);
    // Text the core refused stays for correction until it is taken.
    if (fieldAisErrorLabel->isHidden() && !fieldAisEdit->hasFocus())
        fieldAisEdit->setText(gateway->fieldAisText());
    nextFieldLabel->setText(gateway->nextFieldText());
    nextFieldLabel->setEnabled(mode == FieldsMode::PerLine);
    resetSequenceButton->setEnabled(mode == FieldsMode::PerLine);

    const QSignalBlocker quiet(destinationPerPageCheck);
    destinationPerPageCheck->setChecked(gateway->destinationPerPage());
}

// A text that names no one character goes back to the separator in use.
void MainWindow::applySplitSeparator()
{
    if (const std::optional<QChar> separator = separatorFromText(splitSeparatorCombo->currentText()))
        gateway->setSplitSeparator(*separator);
    const QSignalBlocker quiet(splitSeparatorCombo);
    splitSeparatorCombo->setCurrentText(separatorText(gateway->splitSeparator()));
}

void MainWindow::applyFieldAis()
{
    const QString error = gateway->setFieldAis(fieldAisEdit->text());
    fieldAisErrorLabel->setText(error);
    fieldAisErrorLabel->setVisible(!error.isEmpty());
    if (error.isEmpty())
        fieldAisEdit->setText(gateway->fieldAisText());
}

// ---- failures in the tray -----------------------------------------------------

// Whoever stands at the scanner does not watch the log; a failure must reach
// them, but a burst of failures makes one message that counts them.
void MainWindow::notifyFailure(const QString &title, const QString &reason)
{
    const QString text = reason.isEmpty() ? QStringLiteral("The browser plugin gave no reason.") : reason;
    showNotice(failureNotices.failed(clock.elapsed(), title, text));
    if (failureNotices.held() > 0 && !heldFailureTimer->isActive())
        heldFailureTimer->start(int(qMax<qint64>(0, failureNotices.gapEndsAt() - clock.elapsed())));
}

void MainWindow::showHeldFailures()
{
    showNotice(failureNotices.gapEnded(clock.elapsed()));
}

void MainWindow::showNotice(const std::optional<FailureNotices::Notice> &notice)
{
    if (notice && trayIcon)
        trayIcon->showMessage(notice->title, notice->text, QSystemTrayIcon::Warning, FailureNotices::GapMs);
}
