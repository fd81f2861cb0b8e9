#pragma once

#include "Destination.h"
#include "LineRules.h"
#include "LinesInFlight.h"
#include "PairingRecord.h"
#include "PluginProtocol.h"
#include "PageEntries.h"
#include "WebSocketBridge.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QTimer;
class TcpListener;

// The gateway without a window: the companion product's lines in, fills out
// to the browser plugin, the choice of field and button, the options and
// their settings, and every line in flight until it is answered. A window or
// a service shows what it says through its signals and drives it through its
// slots.
class Gateway : public QObject
{
    Q_OBJECT
public:
    // How long a plain fill may go unanswered; a line with Enter or a click
    // also has the click delay and the plugin's wait for a page load.
    static constexpr qint64 FillBudgetMs = 5000;
    static constexpr qint64 PageLoadBudgetMs = 10000;

    // A port another user or program holds is tried again this often.
    static constexpr int ListenRetryMs = 5000;

    // pluginPorts: where the plugin link may listen, the first free one taken;
    // record: where this user's pairing key and ports are kept for the native host.
    explicit Gateway(PortRange pluginPorts = pluginLinkPorts, QObject *parent = nullptr,
                     QString record = PairingRecord::defaultPath());
    ~Gateway() override;

    bool isIntakeListening() const;
    int intakeClientCount() const;
    // The ports really listened on (0: not listening); a stored port of 0 lets the system choose.
    quint16 intakePort() const;
    quint16 pluginPort() const;
    // What the intake binds, for the window: "127.0.0.1" or "all addresses".
    QString intakeAddressText() const;
    bool isPluginConnected() const;
    // The proven plugin links, oldest first.
    QList<WebSocketBridge::LinkInfo> pluginLinks() const;
    // The pairing key the plugin proves itself with.
    QByteArray pairingKey() const { return pairing.key(); }
    // The port from the settings, as the intake uses it (0 to 65535).
    quint16 storedTcpPort() const;
    bool acceptRemoteCompanions() const { return acceptRemote; }
    bool simulateEnter() const { return enter; }
    bool clickButton() const { return click; }
    bool soundOnFailure() const { return failureSound; }
    bool soundOnSuccess() const { return successSound; }
    bool flashField() const { return flash; }
    int repeatWindowSeconds() const { return repeatWindow; }
    QList<LineRule> rules() const { return ruleList; }
    QChar gs1Separator() const { return separator; }
    QJsonObject destinationField() const { return destField; }
    QString destinationUrl() const { return destUrl; }
    QJsonObject button() const { return destButton; }
    // The last picked destination: its fields in order (the first is destField) and how a line spreads.
    QList<QJsonObject> destinationFields() const { return destFields; }
    FieldsMode fieldsMode() const { return mode; }
    QChar splitSeparator() const { return splitSep; }
    // Gs1: one application identifier per field, as the text the user gave ("01,10,17").
    QString fieldAisText() const { return aisText; }
    // Per line: "Next: field 2 of 3 (Batch)", or "" with one field or another mode.
    QString nextFieldText() const;
    int sequenceIdleSeconds() const { return sequenceIdle; }
    bool destinationPerPage() const { return perPage; }
    // The user's entries, then those an administrator deployed (read-only).
    QList<PageEntry> pageEntries() const { return pages; }
    // The page in front of the user, as the plugin last reported it.
    QString frontPageUrl() const { return frontUrl; }
    std::size_t linesInFlight() const { return inFlight.openCount(); }

    // Only our plugin may link: these extensions' origins are admitted.
    void setAllowedExtensionIds(const QStringList &ids);
    // How a failure sounds here when no browser of the destination is linked
    // to sound it: the desktop's bell, or nothing.
    void setLocalFailureSound(std::function<void()> play) { localFailureSound = std::move(play); }

    // At most one sound in this long: a burst of failures is one alarm, not a din.
    static constexpr qint64 SoundGapMs = 1000;

public slots:
    // The plugin link, "Ready.", the intake on the stored port, the last choice.
    void start();
    // Stops the intake and listens again on `port`, which is stored.
    void restartIntake(quint16 port);
    // Picking a field starts the destination over with one field; adding picks
    // one more on the same page, up to Destination::MaxFields.
    void pickField();
    void addField();
    void pickButton();
    void removeField(int index);
    void setFieldsMode(FieldsMode fieldsMode);
    // Any one character; Tab by default.
    void setSplitSeparator(QChar separator);
    // "01,10,17": an error text (nothing changed), or "" once kept.
    QString setFieldAis(const QString &text);
    // Per line: the next line goes to the first field again.
    void resetSequence();
    void setDestinationPerPage(bool on);
    // The user's entries as the Pages dialog left them (deployed ones stay as they are).
    void setPageEntries(const QList<PageEntry> &entries);
    // A file from exportPages(): every entry replaces the user's, or an error and nothing changed.
    QString importPages(const QByteArray &file);
    QByteArray exportPages() const;
    // Sends a value typed by the user as if it had come from the product.
    void sendTest(const QString &value);
    void setSimulateEnter(bool on);
    void setClickButton(bool on);
    void setSoundOnFailure(bool on);
    void setSoundOnSuccess(bool on);
    void setFlashField(bool on);
    // 0 to 10; 0 sends every line.
    void setRepeatWindowSeconds(int seconds);
    // Stored and used from the next line on; rules with an error are left out.
    void setRules(const QList<LineRule> &rules, QChar gs1Separator);
    // The intake listens on every address (on) or on 127.0.0.1 only; it restarts at once.
    void setAcceptRemoteCompanions(bool on);
    // A new pairing key: every link closes, and this user's browsers link again
    // through the native host; a browser or program that learned the old key cannot.
    void forgetPairedBrowsers();

signals:
    void logMessage(QString msg);
    void intakeStateChanged();
    void pluginConnectionChanged(bool connected);
    // A plugin link was proven or closed (pluginLinks()).
    void linksChanged();
    void destinationChanged(QString url, QJsonObject field);
    // The fields, their mode, separator or AIs changed (destinationFields()).
    void destinationFieldsChanged();
    // Per line: where the next line goes (nextFieldText()).
    void sequenceChanged(QString next);
    void pageEntriesChanged();
    void buttonChanged(QJsonObject field);
    // The plugin was asked to pick; the window brings the browser up.
    void pickModeStarted(QString kind);
    // The user picked an element in the browser.
    void picked(QString kind);
    // Someone at the scanner must learn of these: the line is not in the
    // field, or it is but its button was not clicked.
    void lineNotFilled(QString reason);
    void buttonNotClicked(QString reason);

private slots:
    void onLine(QString line);
    void onFillResult(bool ok, QString error, qint64 id, quint64 link, int failedField);
    void onButtonClicked(bool ok, QString error, qint64 id, quint64 link);
    void onLinkClosed(quint64 link);
    void retryListening();
    void onFieldsReceived(QString url, QString title, QJsonArray fields);
    void onFieldPicked(QString kind, QString url, QJsonObject field, bool add);
    void onActivePage(QString url, QString title);
    void tellDestination();
    void onPluginConnectionChanged(bool connected);
    void checkDeadlines();

private:
    void startPicking(const QString &kind, bool add = false);
    // The proven link of the browser that picked the destination; 0, logged with
    // `prefix`, when there is none.
    quint64 destinationLink(const QString &prefix, const Destination &d);
    // The destination a line goes to: the entry of the page in front, or the last picked.
    Destination lineDestination(QString *forPage) const;
    Destination currentDestination() const;
    void deliver(const QString &value, const Destination &d, quint64 link);
    void fillField(const QString &value, const Destination &d, int step, quint64 link);
    void setDestination(const QString &url, const QJsonObject &field);
    void saveDestination();
    // The last destination's fields and options, and its page entry when each page has one.
    void fieldsChanged();
    void rememberPage();
    void setSequenceStep(int step);
    void setDestButton(const QJsonObject &field);
    void restoreLastSelection();
    void startTcp(quint16 port);
    bool listenForPlugin(bool quiet);
    // "Ready." once both servers listen; the record names this session's ports.
    void noteListening();
    // The line as the rules make it, logged; nothing when a rule rejected it.
    std::optional<QString> shaped(const QString &line);
    void reportUnanswered(const std::vector<LinesInFlight::Expired> &lines);
    void scheduleDeadlineCheck();
    // `target`: the first field of the line's destination; empty for the last picked one.
    void fail(const QString &logLine, const QString &notice, bool button, const QJsonObject &target = {});
    void sound(const QString &kind, const QString &bar, QJsonObject target = {});

    WebSocketBridge *bridge = nullptr;
    TcpListener *tcpListener = nullptr;
    PairingRecord pairing;
    QTimer *listenRetry = nullptr;
    quint16 intakeWanted = 0;
    bool acceptRemote = false;
    bool ready = false;
    QJsonObject destField;
    QString destUrl;
    QJsonObject destButton;
    QList<QJsonObject> destFields;
    FieldsMode mode = FieldsMode::Split;
    QChar splitSep = Destination::defaultSplitSeparator;
    QString aisText;
    QStringList ais;
    bool perPage = false;
    QList<PageEntry> pages;
    QString frontUrl;
    QString frontTitle;
    // Per line: the field the next line goes to, and when the last line came.
    int sequenceStep = 0;
    QString sequenceOwner; // the destination the sequence belongs to
    int sequenceIdle = 60;
    QElapsedTimer lastSequenceLine;
    // What a line of several fields, or of a per-page entry, needs when its answer comes.
    struct SentLine
    {
        QList<QJsonObject> fields;
        int field = -1; // per line: the field it went to
        bool perLine = false;
    };
    QHash<quint64, SentLine> sentLines;
    bool enter = true;
    bool click = false;
    bool failureSound = true;
    bool successSound = false;
    bool flash = true;
    int repeatWindow = 0;
    QList<LineRule> ruleList;
    QChar separator = LineRules::defaultGs1Separator;
    LineRules lineRules;
    QStringList skippedRules; // read at construction, logged at start
    QString lastSent;
    QElapsedTimer lastSentAt;
    QElapsedTimer lastSound;
    std::function<void()> localFailureSound;

    LinesInFlight inFlight;
    QElapsedTimer clock;
    QTimer *deadlineTimer = nullptr;
    qint64 checkAt = 0; // when deadlineTimer fires, on `clock`
};
