#include "Gateway.h"

#include "DescribeField.h"
#include "FieldSpread.h"
#include "SettingsKeys.h"
#include "TcpListener.h"
#include "WebSocketBridge.h"

#include <QCoreApplication>
#include <QDate>
#include <QJsonDocument>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <algorithm>

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

// A text with commas, as an administrator writes it in an INI file, reads as a
// list there ("01,10,17", or "," itself): it is the text again.
QString storedText(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

// The same element, whichever pick found it: a second click on a field does not add it twice.
bool sameElement(QJsonObject a, QJsonObject b)
{
    a.remove(QLatin1String("pickId"));
    b.remove(QLatin1String("pickId"));
    a.remove(QLatin1String("label"));
    b.remove(QLatin1String("label"));
    return a == b;
}

bool samePage(const QJsonObject &a, const QJsonObject &b)
{
    for (const char *key : {"instance", "origin", "path", "tabId"})
        if (a.value(QLatin1String(key)) != b.value(QLatin1String(key)))
            return false;
    return true;
}

// "field not found" for field 2 of 3 reads "field 2 of 3 (Batch) not found".
QString namedFailure(const QString &name, const QString &error)
{
    if (error.startsWith(QLatin1String("field ")))
        return name + error.mid(5);
    if (error.contains(QLatin1String("of the field")))
        return QString(error).replace(QLatin1String("the field"), name);
    return name + QStringLiteral(": ") + error;
}

QJsonArray fieldsArray(const QList<QJsonObject> &fields)
{
    QJsonArray array;
    for (const QJsonObject &field : fields)
        array.append(field);
    return array;
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
    mode = fieldsModeFromKey(settings.value(SettingsKey::fieldsMode).toString()).value_or(FieldsMode::Split);
    const QString storedSeparator = storedText(settings, SettingsKey::splitSeparator);
    splitSep = storedSeparator.size() == 1 ? storedSeparator.at(0) : Destination::defaultSplitSeparator;
    QString aisError;
    const QString storedAisText = storedText(settings, SettingsKey::fieldAIs);
    const QStringList storedAis = parseAis(storedAisText, &aisError);
    if (aisError.isEmpty()) {
        aisText = storedAisText;
        ais = storedAis;
    } else {
        skippedRules << QStringLiteral("GS1 fields: %1; the AIs are left empty.").arg(aisError);
    }
    sequenceIdle = qBound(0, settings.value(SettingsKey::sequenceIdleSeconds, SettingsDefault::sequenceIdleSeconds).toInt(),
                          24 * 3600);
    perPage = settings.value(SettingsKey::destinationPerPage, SettingsDefault::destinationPerPage).toBool();
    {
        // Entries an administrator deployed serve every user and cannot be changed here.
        QSettings system(QSettings::SystemScope, QCoreApplication::organizationName(),
                         QCoreApplication::applicationName());
        pages = readPageEntries(settings, &system, &skippedRules);
    }
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
    // A browser that links (again) learns where its lines go, for its popup.
    connect(bridge, &WebSocketBridge::linksChanged, this, &Gateway::tellDestination);
    connect(bridge, &WebSocketBridge::activePageChanged, this, &Gateway::onActivePage);
    connect(bridge, &WebSocketBridge::sequenceResetRequested, this, &Gateway::resetSequence);
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
    rememberPage();
}

void Gateway::setClickButton(bool on)
{
    keep(click, SettingsKey::clickButton, on);
    rememberPage();
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
    QString forPage;
    const Destination d = lineDestination(&forPage);
    if (d.isEmpty()) {
        emit logMessage(QStringLiteral("\u2192 No destination field selected, ignored."));
        sound(FeedbackSound::failure, QString());
        return;
    }
    if (!bridge->isConnected()) {
        emit logMessage(QStringLiteral("\u2192 Plugin not connected, ignored."));
        sound(FeedbackSound::failure, QString());
        return;
    }
    if (!forPage.isEmpty())
        emit logMessage(QStringLiteral("\u2192 For %1").arg(forPage));
    if (const quint64 link = destinationLink(QStringLiteral("\u2192 "), d))
        deliver(*value, d, link);
    else
        sound(FeedbackSound::failure, QString(), d.fields.first());
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
    QString forPage;
    const Destination d = lineDestination(&forPage);
    const quint64 link = destinationLink(QStringLiteral("Test: "), d);
    if (!link)
        return;
    if (!forPage.isEmpty())
        emit logMessage(QStringLiteral("\u2192 For %1").arg(forPage));
    if (const std::optional<QString> shapedValue = shaped(value))
        deliver(*shapedValue, d, link);
}

// A line goes to the one browser that picked its field: no other browser, of
// this user or another, ever sees it.
quint64 Gateway::destinationLink(const QString &prefix, const Destination &d)
{
    const quint64 link = bridge->linkOf(d.fields.value(0).value(QLatin1String("instance")).toString());
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

Destination Gateway::currentDestination() const
{
    Destination d;
    d.url = destUrl;
    d.fields = destFields;
    d.mode = mode;
    d.splitSeparator = splitSep;
    d.ais = ais;
    d.pressEnter = enter;
    d.button = destButton;
    d.clickButton = click;
    return d;
}

Destination Gateway::lineDestination(QString *forPage) const
{
    if (perPage && !frontUrl.isEmpty()) {
        const int entry = findPageEntry(pages, frontUrl);
        if (entry >= 0) {
            *forPage = frontTitle.isEmpty() ? frontUrl : frontTitle;
            return pages.at(entry).destination;
        }
    }
    return currentDestination();
}

void Gateway::deliver(const QString &value, const Destination &d, quint64 link)
{
    const int count = int(d.fields.size());
    if (count == 1 || d.mode == FieldsMode::PerLine) {
        int step = 0;
        if (count > 1) {
            // A sequence left half done a while ago is not what the next scan continues.
            const QString owner = d.fields.first().value(QLatin1String("pickId")).toString() + d.url;
            if (owner != sequenceOwner) {
                sequenceOwner = owner;
                setSequenceStep(0);
            } else if (sequenceStep != 0 && sequenceIdle > 0 && lastSequenceLine.isValid()
                       && lastSequenceLine.elapsed() >= qint64(sequenceIdle) * 1000) {
                emit logMessage(QStringLiteral("\u2192 No line for %1 s: back to field 1.").arg(sequenceIdle));
                setSequenceStep(0);
            }
            lastSequenceLine.start();
            step = qBound(0, sequenceStep, count - 1);
        }
        fillField(value, d, step, link);
        if (count > 1)
            setSequenceStep((step + 1) % count);
        return;
    }
    const Spread spread = spreadLine(value, d, separator, QDate::currentDate());
    if (!spread.rejection.isEmpty()) {
        fail(QStringLiteral("\u2192 Rejected: %1").arg(spread.rejection),
             QStringLiteral("Rejected: %1").arg(spread.rejection), false, d.fields.first());
        return;
    }
    const bool withClick = d.clickButton && !d.button.isEmpty();
    const qint64 budget = FillBudgetMs + (d.pressEnter || withClick ? buttonClickDelayMs + PageLoadBudgetMs : 0);
    const quint64 id = inFlight.add(clock.elapsed(), budget, withClick, link);
    sentLines.insert(id, SentLine{d.fields, -1, false});
    bridge->sendMessageTo(link, pluginFillFieldsMessage(fieldsArray(d.fields), spread.values, d.pressEnter, d.button,
                                                        withClick, buttonClickDelayMs, qint64(id), flash));
    lastSent = value;
    lastSentAt.start();

    QStringList values;
    QStringList names;
    for (int i = 0; i < count; ++i) {
        values << QStringLiteral("\"%1\"").arg(spread.values.value(i));
        names << QStringLiteral("\"%1\"").arg(describeField(d.fields.at(i)));
    }
    QString line = QStringLiteral("\u2192 Sent %1 to fields %2 (Enter: %3)")
                       .arg(values.join(QStringLiteral(", ")), names.join(QStringLiteral(", ")),
                            d.pressEnter ? QStringLiteral("yes") : QStringLiteral("no"));
    if (withClick)
        line += QStringLiteral(" + click button \"%1\" after 0.3s").arg(describeField(d.button));
    emit logMessage(line);
    reportUnanswered(inFlight.takeOverflow());
    scheduleDeadlineCheck();
}

// One field of `d`: the only one, or in a sequence the field at `step`, with
// Enter and the click after the last field only.
void Gateway::fillField(const QString &value, const Destination &d, int step, quint64 link)
{
    const int count = int(d.fields.size());
    const bool last = step == count - 1;
    const QJsonObject &field = d.fields.at(step);
    const bool pressEnter = d.pressEnter && last;
    const bool withClick = d.clickButton && !d.button.isEmpty() && last;
    const qint64 budget = FillBudgetMs + (pressEnter || withClick ? buttonClickDelayMs + PageLoadBudgetMs : 0);
    const quint64 id = inFlight.add(clock.elapsed(), budget, withClick, link);
    // Plain lines to the last picked destination, the steady stream, keep nothing beside the line in flight.
    if (count > 1 || d.fields.first() != destField)
        sentLines.insert(id, SentLine{d.fields, count > 1 ? step : -1, count > 1});
    bridge->sendFillTo(link, field, value, pressEnter, d.button, withClick, buttonClickDelayMs, qint64(id), flash);
    lastSent = value;
    lastSentAt.start();

    const QString where = count > 1 ? QStringLiteral("%1, ").arg(fieldName(d, step)) : QString();
    QString line = QStringLiteral("\u2192 Sent \"%1\" to field \"%2\" (%3Enter: %4)")
                       .arg(value, describeField(field), where, pressEnter ? QStringLiteral("yes") : QStringLiteral("no"));
    if (withClick)
        line += QStringLiteral(" + click button \"%1\" after 0.3s").arg(describeField(d.button));
    emit logMessage(line);
    reportUnanswered(inFlight.takeOverflow());
    scheduleDeadlineCheck();
}

void Gateway::onFillResult(bool ok, QString error, qint64 id, quint64 link, int failedField)
{
    // An answer from another link than the line's is no answer; a late one,
    // for a line already reported unanswered, is logged and no more.
    const LinesInFlight::Outcome outcome = inFlight.fillAnswered(clock.elapsed(), id, ok, link);
    if (outcome.kind == LinesInFlight::Outcome::OtherLink)
        return;
    QJsonObject target = destField;
    if (outcome.kind != LinesInFlight::Outcome::Unmatched) {
        // A line with a click keeps its record for the click's answer.
        const auto sent = sentLines.constFind(outcome.id);
        if (sent != sentLines.cend()) {
            const SentLine line = *sent;
            if (outcome.kind != LinesInFlight::Outcome::FillAnswered || !ok)
                sentLines.erase(sent);
            Destination d;
            d.fields = line.fields;
            target = line.fields.first();
            const int named = line.perLine ? line.field : failedField;
            if (!ok && named >= 0 && named < line.fields.size())
                error = namedFailure(fieldName(d, named), error);
            // A line that fails does not move the sequence on: the next scan is for the same field.
            if (!ok && line.perLine)
                setSequenceStep(line.field);
        }
    }
    emit logMessage(ok ? QStringLiteral("Fill OK.") : QStringLiteral("Fill FAILED: %1").arg(error));
    if (outcome.kind != LinesInFlight::Outcome::Unmatched) {
        if (!ok) {
            emit lineNotFilled(error);
            sound(FeedbackSound::failure, QStringLiteral("Not filled: %1").arg(error), target);
        } else if (outcome.kind == LinesInFlight::Outcome::Filled) {
            sound(FeedbackSound::success, QString(), target);
        }
    }
    scheduleDeadlineCheck();
}

void Gateway::onButtonClicked(bool ok, QString error, qint64 id, quint64 link)
{
    const LinesInFlight::Outcome outcome = inFlight.clickAnswered(clock.elapsed(), id, link);
    if (outcome.kind == LinesInFlight::Outcome::OtherLink)
        return;
    QJsonObject target = destField;
    if (outcome.kind != LinesInFlight::Outcome::Unmatched) {
        if (const auto sent = sentLines.constFind(outcome.id); sent != sentLines.cend()) {
            target = sent->fields.first();
            sentLines.erase(sent);
        }
    }
    emit logMessage(ok ? QStringLiteral("Button clicked.") : QStringLiteral("Button click FAILED: %1").arg(error));
    // After a failed fill the click is skipped: the fill's failure said it all.
    if (outcome.kind != LinesInFlight::Outcome::Unmatched && outcome.filled) {
        if (!ok) {
            // The line is in the field: whoever scans it again would enter it twice.
            emit buttonNotClicked(error);
            sound(FeedbackSound::failure, QStringLiteral("Button not clicked: %1").arg(error), target);
        } else {
            sound(FeedbackSound::success, QString(), target);
        }
    }
    scheduleDeadlineCheck();
}

void Gateway::reportUnanswered(const std::vector<LinesInFlight::Expired> &lines)
{
    const QString why = QStringLiteral("no browser answered");
    for (const LinesInFlight::Expired &line : lines) {
        QJsonObject target = destField;
        if (const auto sent = sentLines.constFind(line.id); sent != sentLines.cend()) {
            target = sent->fields.first();
            if (sent->perLine && !line.fillAnswered)
                setSequenceStep(sent->field);
            sentLines.erase(sent);
        }
        if (line.fillAnswered)
            fail(QStringLiteral("\u2192 Button not clicked: %1").arg(why), why, true, target);
        else
            fail(QStringLiteral("\u2192 Not filled: %1").arg(why), why, false, target);
    }
}

void Gateway::fail(const QString &logLine, const QString &notice, bool button, const QJsonObject &target)
{
    emit logMessage(logLine);
    if (button)
        emit buttonNotClicked(notice);
    else
        emit lineNotFilled(notice);
    sound(FeedbackSound::failure, QString(logLine).remove(0, 2), target);
}

// The browser that picked the field sounds it, and shows the bar over its
// page; with none of it linked, the failure sounds here.
void Gateway::sound(const QString &kind, const QString &bar, QJsonObject target)
{
    if (target.isEmpty())
        target = destField;
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
    if (const quint64 link = bridge->linkOf(target.value(QLatin1String("instance")).toString()))
        bridge->sendFeedbackTo(link, target, play, shownBar);
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

void Gateway::addField()
{
    startPicking(PickKind::field, true);
}

void Gateway::pickButton()
{
    startPicking(PickKind::button);
}

void Gateway::startPicking(const QString &kind, bool add)
{
    if (!bridge->isConnected()) {
        emit logMessage(QStringLiteral("Plugin not connected."));
        return;
    }
    bridge->setPickMode(true, kind, add);
    if (add)
        emit logMessage(QStringLiteral("Pick mode enabled \u2014 click the field to add in the browser."));
    else
        emit logMessage(QStringLiteral("Pick mode enabled \u2014 click the target %1 in the browser.").arg(kind));
    emit pickModeStarted(kind);
}

void Gateway::onFieldPicked(QString kind, QString url, QJsonObject field, bool add)
{
    if (kind == PickKind::button) {
        setDestButton(field);
        emit logMessage(QStringLiteral("Button selected: %1").arg(describeField(field)));
    } else if (add && !destFields.isEmpty()) {
        if (destFields.size() >= Destination::MaxFields) {
            emit logMessage(QStringLiteral("Field not added: a destination has at most %1 fields.")
                                .arg(Destination::MaxFields));
        } else if (!samePage(field, destField)) {
            emit logMessage(QStringLiteral("Field not added: it is on another page than the destination's fields."));
        } else if (std::any_of(destFields.cbegin(), destFields.cend(),
                               [&](const QJsonObject &f) { return sameElement(f, field); })) {
            emit logMessage(QStringLiteral("Field not added: it is one of the destination's fields already."));
        } else {
            destFields << field;
            emit logMessage(QStringLiteral("Field added: %1 (field %2 of %2)")
                                .arg(describeField(field))
                                .arg(destFields.size()));
            fieldsChanged();
        }
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
    destFields = {field};
    emit destinationChanged(url, field);
    saveDestination();
    fieldsChanged();
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

// After any change to the fields or how a line spreads over them: kept, shown,
// the sequence from the start, and the page's own entry brought up to date.
void Gateway::fieldsChanged()
{
    QSettings().setValue(SettingsKey::lastDestFields,
                         QString::fromUtf8(QJsonDocument(fieldsArray(destFields)).toJson(QJsonDocument::Compact)));
    emit destinationFieldsChanged();
    sequenceOwner.clear();
    sequenceStep = -1; // so that the step below is news to the window and the popup
    setSequenceStep(0);
    rememberPage();
}

void Gateway::removeField(int index)
{
    if (index < 0 || index >= destFields.size())
        return;
    const QJsonObject removed = destFields.takeAt(index);
    emit logMessage(QStringLiteral("Field removed: %1").arg(describeField(removed)));
    if (destFields.isEmpty()) {
        destField = QJsonObject();
        QSettings settings;
        settings.remove(SettingsKey::lastDestField);
        settings.remove(SettingsKey::lastDestUrl);
    } else if (index == 0) {
        destField = destFields.first();
        saveDestination();
    }
    emit destinationChanged(destUrl, destField);
    fieldsChanged();
}

void Gateway::setFieldsMode(FieldsMode fieldsMode)
{
    mode = fieldsMode;
    QSettings().setValue(SettingsKey::fieldsMode, fieldsModeKey(fieldsMode));
    fieldsChanged();
}

void Gateway::setSplitSeparator(QChar separatorChar)
{
    splitSep = separatorChar;
    QSettings().setValue(SettingsKey::splitSeparator, QString(separatorChar));
    fieldsChanged();
}

QString Gateway::setFieldAis(const QString &text)
{
    QString error;
    const QStringList parsed = parseAis(text, &error);
    if (!error.isEmpty())
        return error;
    aisText = text.trimmed();
    ais = parsed;
    QSettings().setValue(SettingsKey::fieldAIs, aisText);
    fieldsChanged();
    return QString();
}

QString Gateway::nextFieldText() const
{
    if (destFields.size() < 2 || mode != FieldsMode::PerLine)
        return QString();
    return QStringLiteral("Next: %1").arg(fieldName(currentDestination(), qBound(0, sequenceStep, int(destFields.size()) - 1)));
}

void Gateway::setSequenceStep(int step)
{
    if (step == sequenceStep)
        return;
    sequenceStep = step;
    emit sequenceChanged(nextFieldText());
    tellDestination();
}

void Gateway::resetSequence()
{
    lastSequenceLine.invalidate();
    if (sequenceStep == 0)
        return;
    setSequenceStep(0);
    emit logMessage(QStringLiteral("Sequence reset: the next line goes to field 1."));
}

void Gateway::tellDestination()
{
    if (destFields.isEmpty())
        return;
    const quint64 link = bridge->linkOf(destField.value(QLatin1String("instance")).toString());
    if (!link)
        return;
    QStringList labels;
    for (const QJsonObject &field : std::as_const(destFields))
        labels << field.value(QLatin1String("label")).toString();
    bridge->sendMessageTo(link, pluginDestinationMessage(labels, nextFieldText()));
}

void Gateway::onActivePage(QString url, QString title)
{
    frontUrl = url;
    frontTitle = title;
}

// ---- a destination per page ---------------------------------------------------

void Gateway::setDestinationPerPage(bool on)
{
    keep(perPage, SettingsKey::destinationPerPage, on);
    rememberPage();
}

void Gateway::rememberPage()
{
    if (!perPage || destFields.isEmpty() || destUrl.isEmpty())
        return;
    Destination current = currentDestination();
    const auto bare = [](const QString &url) { return QUrl(url).adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment); };
    if (bare(frontUrl) == bare(destUrl))
        current.title = frontTitle;
    // The user's entry that serves this page takes the pick; an administrator's stays as deployed.
    QList<PageEntry> own;
    for (const PageEntry &entry : std::as_const(pages))
        if (!entry.deployed)
            own << entry;
    const int found = findPageEntry(own, destUrl);
    if (found >= 0) {
        const QString title = own[found].destination.title;
        own[found].destination = current;
        if (current.title.isEmpty())
            own[found].destination.title = title;
    } else {
        own << PageEntry{defaultPattern(destUrl, PageMatch::Page), PageMatch::Page, current, false};
    }
    setPageEntries(own);
}

void Gateway::setPageEntries(const QList<PageEntry> &entries)
{
    QList<PageEntry> next;
    for (const PageEntry &entry : entries)
        if (!entry.deployed)
            next << entry;
    for (const PageEntry &entry : std::as_const(pages))
        if (entry.deployed)
            next << entry;
    pages = next;
    QSettings settings;
    writePageEntries(settings, pages);
    emit pageEntriesChanged();
}

QString Gateway::importPages(const QByteArray &file)
{
    QString error;
    const std::optional<QList<PageEntry>> entries = importPageEntries(file, &error);
    if (!entries) {
        emit logMessage(QStringLiteral("Pages: file refused, nothing imported (%1).").arg(error));
        return error;
    }
    setPageEntries(*entries);
    emit logMessage(QStringLiteral("Pages: %1 entries imported.").arg(entries->size()));
    return QString();
}

QByteArray Gateway::exportPages() const
{
    return exportPageEntries(pages);
}

void Gateway::setDestButton(const QJsonObject &field)
{
    destButton = field;
    emit buttonChanged(field);
    QSettings().setValue(SettingsKey::lastButton, compactJson(field));
    rememberPage();
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
        destUrl = url;
        destField = field;
        destFields = {field};
        // The other fields, when the first is still the one they were picked with.
        const QJsonArray stored = QJsonDocument::fromJson(QSettings().value(SettingsKey::lastDestFields).toString().toUtf8()).array();
        if (stored.size() > 1 && stored.size() <= Destination::MaxFields && stored.first().toObject() == field) {
            destFields.clear();
            for (const QJsonValue &value : stored)
                if (value.isObject())
                    destFields << value.toObject();
        }
        emit destinationChanged(url, field);
        emit destinationFieldsChanged();
        emit sequenceChanged(nextFieldText());
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
