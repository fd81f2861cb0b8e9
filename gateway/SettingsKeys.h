#pragma once

#include "FrameFormat.h"

#include <QString>

// Every key of the user's settings store, and the defaults of those that have one.
namespace SettingsKey {
inline const QString tcpPort = QStringLiteral("tcpPort");
inline const QString simulateEnter = QStringLiteral("simulateEnter");
inline const QString clickButton = QStringLiteral("clickButton");
inline const QString lastDestField = QStringLiteral("lastDestField");
inline const QString lastDestUrl = QStringLiteral("lastDestUrl");
inline const QString lastButton = QStringLiteral("lastButton");
// The line rules: an array of kind, pattern and replacement (LineRules.h).
inline const QString rules = QStringLiteral("rules");
// One character that ends a variable-length GS1 element.
inline const QString gs1Separator = QStringLiteral("gs1Separator");
// A destination of several fields: how a line spreads over them (FieldSpread.h), the
// separator of Split, the AIs of Gs1 ("01,10,17"), and the pause after which a
// PerLine sequence starts again at the first field.
inline const QString fieldsMode = QStringLiteral("fieldsMode");
inline const QString splitSeparator = QStringLiteral("splitSeparator");
inline const QString fieldAIs = QStringLiteral("fieldAIs");
inline const QString sequenceIdleSeconds = QStringLiteral("sequenceIdleSeconds");
// The last destination's fields, a compact JSON array of their descriptors.
inline const QString lastDestFields = QStringLiteral("lastDestFields");
// A destination for each page: the switch, and the array of entries (PageEntries.h).
inline const QString destinationPerPage = QStringLiteral("destinationPerPage");
inline const QString pages = QStringLiteral("pages");
// Followed by the page address, exactly as the plugin reported it.
inline const QString destPrefix = QStringLiteral("dest/");
// Feedback for the person at the scanner, and the repeat window (0: off).
inline const QString soundOnFailure = QStringLiteral("soundOnFailure");
inline const QString soundOnSuccess = QStringLiteral("soundOnSuccess");
inline const QString flashField = QStringLiteral("flashField");
inline const QString repeatWindowSeconds = QStringLiteral("repeatWindowSeconds");
// The intake: every address instead of 127.0.0.1 only, and companions of
// other users of this computer (an administrator's choice, for a companion run as a service).
inline const QString acceptRemoteCompanions = QStringLiteral("acceptRemoteCompanions");
inline const QString admitOtherLocalUsers = QStringLiteral("admitOtherLocalUsers");
} // namespace SettingsKey

namespace SettingsDefault {
inline constexpr quint16 tcpPort = defaultProductPort;
inline constexpr bool simulateEnter = true;
inline constexpr bool clickButton = false;
inline constexpr bool soundOnFailure = true;
inline constexpr bool soundOnSuccess = false;
inline constexpr bool flashField = true;
inline constexpr int repeatWindowSeconds = 0;
inline constexpr int maxRepeatWindowSeconds = 10;
inline constexpr int sequenceIdleSeconds = 60;
inline constexpr bool destinationPerPage = false;
} // namespace SettingsDefault
