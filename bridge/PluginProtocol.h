#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The JSON messages spoken with the browser plugin, one per text message;
// docs/plugin-protocol.md lists them with their members.

// The loopback ports a gateway takes for its plugin link: the first free one,
// so that each user of a shared computer has a link of their own. The plugin
// learns its user's port from the pairing record, through the native host.
struct PortRange
{
    quint16 first = 0;
    quint16 last = 0;
};
inline constexpr quint16 pluginLinkPort = 9000;
inline constexpr PortRange pluginLinkPorts{pluginLinkPort, 9099};
// How long pick mode lasts without a pick, in the plugin as here.
inline constexpr int pickModeLimitMs = 60000;
// How long the plugin waits after filling before it clicks the chosen button.
inline constexpr int buttonClickDelayMs = 300;

// What a pick chooses; any other kind in a "picked" counts as a field.
namespace PickKind {
inline const QString field = QStringLiteral("field");
inline const QString button = QStringLiteral("button");
} // namespace PickKind

namespace PluginType {
// From the plugin; matched exactly, letter case included.
inline constexpr char Hello[] = "hello";
inline constexpr char Fields[] = "fields";
inline constexpr char Picked[] = "picked";
inline constexpr char FillResult[] = "fillResult";
inline constexpr char ButtonClicked[] = "buttonClicked";
inline constexpr char Error[] = "error";
// Both ways: the pairing's proof. From the plugin also its own pick mode,
// started or ended from its popup.
inline constexpr char Proof[] = "proof";
inline constexpr char Keepalive[] = "keepalive";
// From the plugin: the page in front of the user, and the popup's Reset of a per-line sequence.
inline constexpr char ActivePage[] = "activePage";
inline constexpr char SequenceReset[] = "sequenceReset";
// To the plugin ("hello" as well).
inline constexpr char Scan[] = "scan";
inline constexpr char PickMode[] = "pickMode";
inline constexpr char Fill[] = "fill";
inline constexpr char Feedback[] = "feedback";
// What the destination is, for the popup: its fields' labels and where the next line goes.
inline constexpr char Destination[] = "destination";
} // namespace PluginType

// What a "feedback" asks the picking browser to play.
namespace FeedbackSound {
inline const QString none;
inline const QString failure = QStringLiteral("failure");
inline const QString success = QStringLiteral("success");
} // namespace FeedbackSound

// One incoming message with every member read, missing or mistyped members
// already replaced by their defaults. Only the members of `type` are set.
struct PluginMessage
{
    enum class Type {
        Dropped, Hello, Proof, PickMode, Keepalive, Fields, Picked, FillResult, ButtonClicked, Error, ActivePage,
        SequenceReset,
    };
    Type type = Type::Dropped;
    QString version;     // Hello
    QString instance;    // Hello: the browser's own id, as its descriptors carry it
    QString browser;     // Hello: "Edge", "Chrome" or "Chromium", as the plugin tells it
    QByteArray nonce;    // Hello: the plugin's nonce, base64 text as sent
    QByteArray proof;    // Proof: base64 text as sent
    bool enabled = false; // PickMode
    bool add = false;     // PickMode, Picked: one more field for the destination
    QString url;         // Fields, Picked, ActivePage
    QString title;       // Fields, ActivePage
    QJsonArray fields;   // Fields
    QString kind;        // Picked, PickMode
    QJsonObject field;   // Picked
    bool ok = false;     // FillResult, ButtonClicked
    QString error;       // FillResult, ButtonClicked, Error
    qint64 id = -1;      // FillResult, ButtonClicked: the fill's id; -1 from a plugin that sends none
    int failedField = -1; // FillResult of several fields: the one that failed (0-based)
};

// Anything that is not a JSON object with a known "type" comes back Dropped.
PluginMessage parsePluginMessage(QByteArrayView payload);

// The greeting sent to each connection right after its handshake, byte for byte.
QByteArray pluginHelloMessage();
// Asks the plugin for the active tab's fields; fixed text as well.
QByteArray pluginScanMessage();
// The gateway's half of the pairing's proof (LinkTrust makes both halves).
QByteArray pluginProofMessage(QByteArrayView gatewayNonce, QByteArrayView proof);
// `add` picks one more field; without it the message is as older plugins know it.
QJsonObject pluginPickModeMessage(bool enabled, const QString &kind, bool add = false);
// With an id of -1 and no flash the fill has the seven members older plugins know.
QJsonObject pluginFillMessage(const QJsonObject &target, const QString &value, bool pressEnter,
                              const QJsonObject &button, bool clickButton, int clickDelayMs, qint64 id = -1,
                              bool flash = false);
// One line into several fields of one page: all of them or none.
QJsonObject pluginFillFieldsMessage(const QJsonArray &targets, const QStringList &values, bool pressEnter,
                                    const QJsonObject &button, bool clickButton, int clickDelayMs, qint64 id,
                                    bool flash);
QJsonObject pluginDestinationMessage(const QStringList &fieldLabels, const QString &next);
// Asks the browser that picked `target` to play a sound and, with a bar text,
// to show it over the target's page.
QJsonObject pluginFeedbackMessage(const QJsonObject &target, const QString &sound, const QString &bar);
// Compact UTF-8, as every outgoing message is written.
QByteArray serializePluginMessage(const QJsonObject &message);
