#include "Gateway.h"

#include "DescribeField.h"
#include "SettingsKeys.h"
#include "TcpListener.h"
#include "WebSocketBridge.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSettings>
#include <QTimer>

#include <utility>

namespace {

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// An option takes effect at once and is kept for the next start.
template <typename T>
void keep(T &option, const QString &key, T value)
{
    option = value;
    QSettings().setValue(key, value);
}

// Stored text that is not a JSON object reads as "no choice".
QJsonObject parseStoredObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

Gateway::Gateway(PortRange pluginPorts, QObject *parent, QString record)
    : QObject(parent)
    , bridge(new WebSocketBridge(pluginPorts, this))
    , tcpListener(new TcpListener(this))
    , pairing(std::move(record))
    , listenRetry(new QTimer(this))
    , deadlineTimer(new QTimer(this))
{
    clock.start();
    listenRetry->setInterval(ListenRetryMs);
    connect(listenRetry, &QTimer::timeout, this, &Gateway::retryListening);
    deadlineTimer->setSingleShot(true);
    deadlineTimer->setTimerType(Qt::CoarseTimer);
    connect(deadlineTimer, &QTimer::timeout, this, &Gateway::checkDeadlines);

    QSettings settings;
    enter = settings.value(SettingsKey::simulateEnter, SettingsDefault::simulateEnter).toBool();
    click = settings.value(SettingsKey::clickButton, SettingsDefault::clickButton).toBool();
    failureSound = settings.value(SettingsKey::soundOnFailure, SettingsDefault::soundOnFailure).toBool();
    successSound = settings.value(SettingsKey::soundOnSuccess, SettingsDefault::soundOnSuccess).toBool();
    flash = settings.value(SettingsKey::flashField, SettingsDefault::flashField).toBool();
    repeatWindow = qBound(0, settings.value(SettingsKey::repeatWindowSeconds).toInt(),
                          SettingsDefault::maxRepeatWindowSeconds);
    ruleList = readRules(settings, &skippedRules);
    separator = readGs1Separator(settings);
    lineRules.setRules(ruleList, separator);
    acceptRemote = settings.value(SettingsKey::acceptRemoteCompanions, false).toBool();
    tcpListener->setAcceptRemote(acceptRemote);
    tcpListener->setAdmitOtherLocalUsers(settings.value(SettingsKey::admitOtherLocalUsers, false).toBool());

    connect(bridge, &WebSocketBridge::logMessage, this, &Gateway::logMessage);
    connect(bridge, &WebSocketBridge::pluginConnectionChanged, this, &Gateway::onPluginConnectionChanged);
    connect(bridge, &WebSocketBridge::fieldsReceived, this, &Gateway::onFieldsReceived);
    connect(bridge, &WebSocketBridge::fieldPicked, this, &Gateway::onFieldPicked);
    connect(bridge, &WebSocketBridge::fillResult, this, &Gateway::onFillResult);
    connect(bridge, &WebSocketBridge::buttonClicked, this, &Gateway::onButtonClicked);
    connect(bridge, &WebSocketBridge::linkClosed, this, &Gateway::onLinkClosed);
    connect(bridge, &WebSocketBridge::linksChanged, this, &Gateway::linksChanged);
    connect(tcpListener, &TcpListener::logMessage, this, &Gateway::logMessage);
    connect(tcpListener, &TcpListener::lineReceived, this, &Gateway::onLine);
    connect(tcpListener, &TcpListener::clientCountChanged, this, &Gateway::intakeStateChanged);
}

Gateway::~Gateway()
{
    // The native host then tells the plugin that no gateway runs, rather than a port that is gone.
    if (bridge->isListening())
        pairing.setStopped();
}

bool Gateway::isIntakeListening() const
{
    return tcpListener->isListening();
}

int Gateway::intakeClientCount() const
{
    return tcpListener->clientCount();
}

quint16 Gateway::intakePort() const
{
    return tcpListener->isListening() ? tcpListener->serverPort() : 0;
}

quint16 Gateway::pluginPort() const
{
    return bridge->listeningPort();
}

QString Gateway::intakeAddressText() const
{
    // What it would bind while it waits for its port.
    const QString bound = tcpListener->boundAddressText();
    if (!bound.isEmpty())
        return bound;
    return acceptRemote ? QStringLiteral("all addresses") : QStringLiteral("127.0.0.1");
}

bool Gateway::isPluginConnected() const
{
    return bridge->isConnected();
}

QList<WebSocketBridge::LinkInfo> Gateway::pluginLinks() const
{
    return bridge->provenLinks();
}

quint16 Gateway::storedTcpPort() const
{
    const int stored = QSettings().value(SettingsKey::tcpPort, SettingsDefault::tcpPort).toInt();
    return quint16(qBound(0, stored, 65535));
}

void Gateway::setAllowedExtensionIds(const QStringList &ids)
{
    bridge->setAllowedExtensionIds(ids);
}

void Gateway::start()
{
    // Rules an administrator deployed with a mistake: each is named once, and the others run.
    for (const QString &line : std::exchange(skippedRules, QStringList()))
        emit logMessage(line);
    QString error;
    if (!pairing.load(&error))
        emit logMessage(QStringLiteral("Pairing: cannot keep the pairing record %1 (%2); browsers cannot link.")
                            .arg(pairing.path(), error));
    bridge->setPairingKey(pairing.key());
    listenForPlugin(false);
    startTcp(storedTcpPort());
    restoreLastSelection();
}

bool Gateway::listenForPlugin(bool quiet)
{
    if (bridge->listen(true)) {
        noteListening();
        return true;
    }
    if (!quiet)
        emit logMessage(bridge->lastListenFailure() + QStringLiteral("; trying again every %1 s").arg(ListenRetryMs / 1000));
    listenRetry->start();
    return false;
}

void Gateway::startTcp(quint16 port)
{
    intakeWanted = port;
    if (tcpListener->start(port)) {
        noteListening();
    } else {
        // Another user's gateway on a shared computer may hold it, or a program that will let go.
        if (tcpListener->lastListenError() == QAbstractSocket::AddressInUseError)
            emit logMessage(QStringLiteral("TCP: port %1 is held by another user or program; trying again every %2 s")
                                .arg(port)
                                .arg(ListenRetryMs / 1000));
        listenRetry->start();
    }
    QSettings().setValue(SettingsKey::tcpPort, int(port));
    emit intakeStateChanged();
}

void Gateway::retryListening()
{
    bool waiting = !bridge->isListening() && !listenForPlugin(true);
    if (!tcpListener->isListening()) {
        if (tcpListener->start(intakeWanted, false)) {
            noteListening();
            emit intakeStateChanged();
        } else {
            waiting = true;
        }
    }
    if (!waiting)
        listenRetry->stop();
}

void Gateway::noteListening()
{
    QString error;
    if (bridge->isListening()
        && !pairing.setRunning(bridge->listeningPort(), intakePort(), QCoreApplication::applicationPid(), &error))
        emit logMessage(QStringLiteral("Pairing: cannot write %1 (%2); browsers cannot find this gateway.")
                            .arg(pairing.path(), error));
    if (ready || !bridge->isListening() || !tcpListener->isListening())
        return;
    ready = true;
    emit logMessage(QStringLiteral("Ready. Connect the browser plugin."));
}

void Gateway::setAcceptRemoteCompanions(bool on)
{
    keep(acceptRemote, SettingsKey::acceptRemoteCompanions, on);
    tcpListener->setAcceptRemote(on);
    if (tcpListener->isListening() || listenRetry->isActive())
        restartIntake(intakeWanted);
}

void Gateway::forgetPairedBrowsers()
{
    QString error;
    if (!pairing.renewKey(&error)) {
        emit logMessage(QStringLiteral("Pairing: cannot write a new key to %1 (%2); the paired browsers stay.")
                            .arg(pairing.path(), error));
        return;
    }
    noteListening();
    bridge->setPairingKey(pairing.key());
    emit logMessage(QStringLiteral("Paired browsers forgotten: this user's browsers link again with a new key."));
}

void Gateway::restartIntake(quint16 port)
{
    tcpListener->stop();
    startTcp(port);
    emit logMessage(QStringLiteral("TCP: listening restarted (Reset)."));
}

void Gateway::setSimulateEnter(bool on)
{
    keep(enter, SettingsKey::simulateEnter, on);
}

void Gateway::setClickButton(bool on)
{
    keep(click, SettingsKey::clickButton, on);
}

void Gateway::setSoundOnFailure(bool on)
{
    keep(failureSound, SettingsKey::soundOnFailure, on);
}

void Gateway::setSoundOnSuccess(bool on)
{
    keep(successSound, SettingsKey::soundOnSuccess, on);
}

void Gateway::setFlashField(bool on)
{
    keep(flash, SettingsKey::flashField, on);
}

void Gateway::setRepeatWindowSeconds(int seconds)
{
    keep(repeatWindow, SettingsKey::repeatWindowSeconds, qBound(0, seconds, SettingsDefault::maxRepeatWindowSeconds));
}

void Gateway::setRules(const QList<LineRule> &rules, QChar gs1Separator)
{
    ruleList.clear();
    for (const LineRule &rule : rules)
        if (ruleError(rule).isEmpty())
            ruleList << rule;
    separator = gs1Separator;
    lineRules.setRules(ruleList, separator);
    QSettings settings;
    writeRules(settings, ruleList);
    writeGs1Separator(settings, separator);
}

// ---- lines ------------------------------------------------------------------

void Gateway::onLine(QString line)
{
    emit logMessage(QStringLiteral("TCP received: \"%1\"").arg(line));
    const std::optional<QString> value = shaped(line);
    if (!value)
        return;
    // A code scanned twice by accident is entered once.
    if (repeatWindow > 0 && *value == lastSent && lastSentAt.isValid() && lastSentAt.elapsed() < repeatWindow * 1000) {
        emit logMessage(QStringLiteral("\u2192 Same line again within %1 s, ignored.").arg(repeatWindow));
        return;
    }
    if (destField.isEmpty()) {
        emit logMessage(QStringLiteral("\u2192 No destination field selected, ignored."));
        sound(FeedbackSound::failure, QString());
        return;
    }
    if (!bridge->isConnected()) {
        emit logMessage(QStringLiteral("\u2192 Plugin not connected, ignored."));
        sound(FeedbackSound::failure, QString());
        return;
    }
    if (const quint64 link = destinationLink(QStringLiteral("\u2192 ")))
        fillDestination(*value, link);
    else
        sound(FeedbackSound::failure, QString());
}

void Gateway::sendTest(const QString &value)
{
    if (destField.isEmpty()) {
        emit logMessage(QStringLiteral("Test: no destination field selected."));
        return;
    }
    if (!bridge->isConnected()) {
        emit logMessage(QStringLiteral("Test: plugin not connected."));
        return;
    }
    const quint64 link = destinationLink(QStringLiteral("Test: "));
    if (!link)
        return;
    if (const std::optional<QString> shapedValue = shaped(value))
        fillDestination(*shapedValue, link);
}

// A line goes to the one browser that picked its field: no other browser, of
// this user or another, ever sees it.
quint64 Gateway::destinationLink(const QString &prefix)
{
    const quint64 link = bridge->linkOf(destField.value(QLatin1String("instance")).toString());
    if (!link)
        emit logMessage(prefix + QStringLiteral("The browser that picked the field is not linked, ignored."));
    return link;
}

std::optional<QString> Gateway::shaped(const QString &line)
{
    if (lineRules.isEmpty())
        return line;
    const ShapedLine result = lineRules.apply(line);
    if (result.rejected) {
        fail(QStringLiteral("\u2192 Rejected: %1").arg(result.reason), QStringLiteral("Rejected: %1").arg(result.reason),
             false);
        return std::nullopt;
    }
    if (result.line != line)
        emit logMessage(QStringLiteral("\u2192 Shaped to \"%1\"").arg(result.line));
    return result.line;
}

void Gateway::fillDestination(const QString &value, quint64 link)
{
    const bool withClick = click && !destButton.isEmpty();
    const qint64 budget = FillBudgetMs + (enter || withClick ? buttonClickDelayMs + PageLoadBudgetMs : 0);
    const quint64 id = inFlight.add(clock.elapsed(), budget, withClick, link);
    bridge->sendFillTo(link, destField, value, enter, destButton, withClick, buttonClickDelayMs, qint64(id), flash);
    lastSent = value;
    lastSentAt.start();

    QString line = QStringLiteral("\u2192 Sent \"%1\" to field \"%2\" (Enter: %3)")
                       .arg(value, describeField(destField), enter ? QStringLiteral("yes") : QStringLiteral("no"));
    if (withClick)
        line += QStringLiteral(" + click button \"%1\" after 0.3s").arg(describeField(destButton));
    emit logMessage(line);
    reportUnanswered(inFlight.takeOverflow());
    scheduleDeadlineCheck();
}

void Gateway::onFillResult(bool ok, QString error, qint64 id, quint64 link)
{
    // An answer from another link than the line's is no answer; a late one,
    // for a line already reported unanswered, is logged and no more.
    const LinesInFlight::Outcome outcome = inFlight.fillAnswered(clock.elapsed(), id, ok, link);
    if (outcome.kind == LinesInFlight::Outcome::OtherLink)
        return;
    emit logMessage(ok ? QStringLiteral("Fill OK.") : QStringLiteral("Fill FAILED: %1").arg(error));
    if (outcome.kind != LinesInFlight::Outcome::Unmatched) {
        if (!ok) {
            emit lineNotFilled(error);
            sound(FeedbackSound::failure, QStringLiteral("Not filled: %1").arg(error));
        } else if (outcome.kind == LinesInFlight::Outcome::Filled) {
            sound(FeedbackSound::success, QString());
        }
    }
    scheduleDeadlineCheck();
}

void Gateway::onButtonClicked(bool ok, QString error, qint64 id, quint64 link)
{
    const LinesInFlight::Outcome outcome = inFlight.clickAnswered(clock.elapsed(), id, link);
    if (outcome.kind == LinesInFlight::Outcome::OtherLink)
        return;
    emit logMessage(ok ? QStringLiteral("Button clicked.") : QStringLiteral("Button click FAILED: %1").arg(error));
    // After a failed fill the click is skipped: the fill's failure said it all.
    if (outcome.kind != LinesInFlight::Outcome::Unmatched && outcome.filled) {
        if (!ok) {
            // The line is in the field: whoever scans it again would enter it twice.
            emit buttonNotClicked(error);
            sound(FeedbackSound::failure, QStringLiteral("Button not clicked: %1").arg(error));
        } else {
            sound(FeedbackSound::success, QString());
        }
    }
    scheduleDeadlineCheck();
}

void Gateway::reportUnanswered(const std::vector<LinesInFlight::Expired> &lines)
{
    const QString why = QStringLiteral("no browser answered");
    for (const LinesInFlight::Expired &line : lines) {
        if (line.fillAnswered)
            fail(QStringLiteral("\u2192 Button not clicked: %1").arg(why), why, true);
        else
            fail(QStringLiteral("\u2192 Not filled: %1").arg(why), why, false);
    }
}

void Gateway::fail(const QString &logLine, const QString &notice, bool button)
{
    emit logMessage(logLine);
    if (button)
        emit buttonNotClicked(notice);
    else
        emit lineNotFilled(notice);
    sound(FeedbackSound::failure, QString(logLine).remove(0, 2));
}

// The browser that picked the field sounds it, and shows the bar over its
// page; with none of it linked, the failure sounds here.
void Gateway::sound(const QString &kind, const QString &bar)
{
    QString play = (kind == FeedbackSound::failure ? failureSound : successSound) ? kind : QString();
    if (!play.isEmpty()) {
        if (lastSound.isValid() && lastSound.elapsed() < SoundGapMs)
            play.clear();
        else
            lastSound.start();
    }
    const QString shownBar = flash ? bar : QString();
    if (play.isEmpty() && shownBar.isEmpty())
        return;
    if (const quint64 link = bridge->linkOf(destField.value(QLatin1String("instance")).toString()))
        bridge->sendFeedbackTo(link, destField, play, shownBar);
    else if (play == FeedbackSound::failure && localFailureSound)
        localFailureSound();
}

void Gateway::checkDeadlines()
{
    reportUnanswered(inFlight.expire(clock.elapsed()));
    scheduleDeadlineCheck();
}

// Armed for the next moment a line may be given up; answers only move that
// later, unless they close the oldest line, so the timer is rarely restarted.
void Gateway::scheduleDeadlineCheck()
{
    // With nothing open the timer is left to fire for nothing: stopping and
    // starting it for every line of a steady stream costs more.
    const std::optional<qint64> due = inFlight.nextCheck();
    if (!due || (deadlineTimer->isActive() && checkAt <= *due))
        return;
    checkAt = *due;
    deadlineTimer->start(int(qMax<qint64>(0, *due - clock.elapsed())));
}

void Gateway::onLinkClosed(quint64 link)
{
    // The plugin sends nothing from before a new link: these lines are lost.
    reportUnanswered(inFlight.expireLink(link));
    scheduleDeadlineCheck();
}

void Gateway::onPluginConnectionChanged(bool connected)
{
    // With no plugin linked no answer can come: say so now rather than at the deadline.
    if (!connected) {
        reportUnanswered(inFlight.expireAll());
        scheduleDeadlineCheck();
    }
    emit pluginConnectionChanged(connected);
}

// ---- choosing the field and the button ---------------------------------------

void Gateway::pickField()
{
    startPicking(PickKind::field);
}

void Gateway::pickButton()
{
    startPicking(PickKind::button);
}

void Gateway::startPicking(const QString &kind)
{
    if (!bridge->isConnected()) {
        emit logMessage(QStringLiteral("Plugin not connected."));
        return;
    }
    bridge->setPickMode(true, kind);
    emit logMessage(QStringLiteral("Pick mode enabled \u2014 click the target %1 in the browser.").arg(kind));
    emit pickModeStarted(kind);
}

void Gateway::onFieldPicked(QString kind, QString url, QJsonObject field)
{
    if (kind == PickKind::button) {
        setDestButton(field);
        emit logMessage(QStringLiteral("Button selected: %1").arg(describeField(field)));
    } else {
        setDestination(url, field);
        emit logMessage(QStringLiteral("Field selected: %1").arg(describeField(field)));
    }
    // Another browser (or profile) may still be picking; its next ordinary
    // click would otherwise replace the choice just made.
    bridge->setPickMode(false, kind);
    emit picked(kind);
}

void Gateway::onFieldsReceived(QString url, QString title, QJsonArray fields)
{
    Q_UNUSED(title);
    if (fields.isEmpty())
        return;
    setDestination(url, fields.first().toObject());
}

void Gateway::setDestination(const QString &url, const QJsonObject &field)
{
    destUrl = url;
    destField = field;
    emit destinationChanged(url, field);
    saveDestination();
}

void Gateway::saveDestination()
{
    if (destUrl.isEmpty() || destField.isEmpty())
        return;
    const QString json = compactJson(destField);
    QSettings settings;
    settings.setValue(SettingsKey::destPrefix + destUrl, json);
    settings.setValue(SettingsKey::lastDestField, json);
    settings.setValue(SettingsKey::lastDestUrl, destUrl);
}

void Gateway::setDestButton(const QJsonObject &field)
{
    destButton = field;
    emit buttonChanged(field);
    QSettings().setValue(SettingsKey::lastButton, compactJson(field));
}

void Gateway::restoreLastSelection()
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
        emit logMessage(QStringLiteral("Last destination restored: %1").arg(describeField(field)));
    }
    if (buttonText.isEmpty())
        return;
    const QJsonObject storedButton = parseStoredObject(buttonText);
    if (!storedButton.isEmpty()) {
        setDestButton(storedButton);
        emit logMessage(QStringLiteral("Last button restored: %1").arg(describeField(storedButton)));
    }
}
