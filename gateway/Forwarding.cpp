// Each received line goes to the chosen field; the plugin's answers are logged.
#include "MainWindow.h"

#include "DescribeField.h"
#include "WebSocketBridge.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSystemTrayIcon>

namespace {

// At most one "Line not filled" tray message in this long.
constexpr qint64 notFilledMessageGapMs = 5000;

} // namespace

void MainWindow::onLine(QString line)
{
    log(QStringLiteral("TCP received: \"%1\"").arg(line));
    if (destField.isEmpty()) {
        log(QStringLiteral("\u2192 No destination field selected, ignored."));
        return;
    }
    if (!bridge->isConnected()) {
        log(QStringLiteral("\u2192 Plugin not connected, ignored."));
        return;
    }
    fillDestination(line);
}

void MainWindow::fillDestination(const QString &value)
{
    const bool click = clickButtonCheck->isChecked() && !destButton.isEmpty();
    const bool pressEnter = simulateEnterCheck->isChecked();
    bridge->sendFill(destField, value, pressEnter, destButton, click, buttonClickDelayMs);

    QString line = QStringLiteral("\u2192 Sent \"%1\" to field \"%2\" (Enter: %3)")
                       .arg(value, describeField(destField),
                            pressEnter ? QStringLiteral("yes") : QStringLiteral("no"));
    if (click)
        line += QStringLiteral(" + click button \"%1\" after 0.3s").arg(describeField(destButton));
    log(line);
}

void MainWindow::onFillResult(bool ok, QString error)
{
    log(ok ? QStringLiteral("Fill OK.") : QStringLiteral("Fill FAILED: %1").arg(error));
    if (!ok)
        notifyNotFilled(error);
}

void MainWindow::onButtonClicked(bool ok, QString error)
{
    log(ok ? QStringLiteral("Button clicked.") : QStringLiteral("Button click FAILED: %1").arg(error));
    if (!ok)
        notifyNotFilled(error);
}

// Whoever stands at the scanner does not watch the log; a failure must reach them.
void MainWindow::notifyNotFilled(const QString &reason)
{
    if (!trayIcon || (lastNotFilledMessage.isValid() && lastNotFilledMessage.elapsed() < notFilledMessageGapMs))
        return;
    lastNotFilledMessage.start();
    trayIcon->showMessage(QStringLiteral("Line not filled"),
                          reason.isEmpty() ? QStringLiteral("The browser plugin gave no reason.") : reason,
                          QSystemTrayIcon::Warning, notFilledMessageGapMs);
}

void MainWindow::onTest()
{
    const QString text = testValueEdit->text();
    if (destField.isEmpty()) {
        log(QStringLiteral("Test: no destination field selected."));
        return;
    }
    if (bridge->isConnected())
        fillDestination(text);
    else
        log(QStringLiteral("Test: plugin not connected."));
}
