// Choosing the destination field and button, keeping them across restarts,
// and the TCP port setting.
#include "MainWindow.h"

#include "DescribeField.h"
#include "SettingsKeys.h"
#include "ShowAndActivate.h"
#include "TcpListener.h"
#include "WebSocketBridge.h"

#include <QJsonDocument>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>

namespace {

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Stored text that is not a JSON object reads as "no choice".
QJsonObject parseStoredObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

void MainWindow::onPick()
{
    startPickMode(PickKind::field);
}

void MainWindow::onPickButton()
{
    startPickMode(PickKind::button);
}

void MainWindow::startPickMode(const QString &kind)
{
    if (!bridge->isConnected()) {
        log(QStringLiteral("Plugin not connected."));
        return;
    }
    bridge->setPickMode(true, kind);
    log(QStringLiteral("Pick mode enabled \u2014 click the target %1 in the browser.").arg(kind));
    bringBrowserToFront();
}

void MainWindow::onFieldPicked(QString kind, QString url, QJsonObject field)
{
    if (kind == PickKind::button) {
        setDestButton(url, field);
        log(QStringLiteral("Button selected: %1").arg(describeField(field)));
    } else {
        setDestination(url, field);
        log(QStringLiteral("Field selected: %1").arg(describeField(field)));
    }
    // Another browser (or profile) may still be picking; its next ordinary
    // click would otherwise replace the choice just made.
    bridge->setPickMode(false, kind);
    showAndActivate(this);
}

void MainWindow::onFieldsReceived(QString url, QString title, QJsonArray fields)
{
    Q_UNUSED(title);
    if (fields.isEmpty())
        return;
    setDestination(url, fields.first().toObject());
}

void MainWindow::setDestination(const QString &url, const QJsonObject &field)
{
    destUrl = url;
    destField = field;
    destFieldEdit->setText(describeField(field));
    destFieldEdit->setCursorPosition(0);
    destUrlEdit->setText(url);
    destUrlEdit->setCursorPosition(0);
    saveDestination();
}

void MainWindow::saveDestination()
{
    if (destUrl.isEmpty() || destField.isEmpty())
        return;
    const QString json = compactJson(destField);
    QSettings settings;
    settings.setValue(SettingsKey::destPrefix + destUrl, json);
    settings.setValue(SettingsKey::lastDestField, json);
    settings.setValue(SettingsKey::lastDestUrl, destUrl);
}

void MainWindow::setDestButton(const QString &url, const QJsonObject &field)
{
    Q_UNUSED(url);
    destButton = field;
    buttonEdit->setText(describeField(field));
    buttonEdit->setCursorPosition(0);
    QSettings().setValue(SettingsKey::lastButton, compactJson(field));
}

void MainWindow::restoreLastSelection()
{
    QString fieldText;
    QString url;
    QString buttonText;
    {
        QSettings settings;
        fieldText = settings.value(SettingsKey::lastDestField).toString();
        url = settings.value(SettingsKey::lastDestUrl).toString();
        buttonText = settings.value(SettingsKey::lastButton).toString();
    }
    if (fieldText.isEmpty())
        return;

    const QJsonObject field = parseStoredObject(fieldText);
    if (!field.isEmpty()) {
        setDestination(url, field);
        log(QStringLiteral("Last destination restored: %1").arg(describeField(field)));
    }
    if (buttonText.isEmpty())
        return;
    const QJsonObject button = parseStoredObject(buttonText);
    if (!button.isEmpty()) {
        setDestButton(url, button);
        log(QStringLiteral("Last button restored: %1").arg(describeField(button)));
    }
}

void MainWindow::startTcp()
{
    tcpListener->start(quint16(portSpinBox->value()));
    QSettings().setValue(SettingsKey::tcpPort, portSpinBox->value());
    updateTcpStatus();
}

void MainWindow::onResetTcp()
{
    tcpListener->stop();
    startTcp();
    log(QStringLiteral("TCP: listening restarted (Reset)."));
}
