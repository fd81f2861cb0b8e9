#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Chromium-based browsers on Linux read managed policies from JSON files in a
// folder; a file may carry the force-install list as
// {"ExtensionInstallForcelist": ["id;address", ...]}. These functions only
// plan: they take a file's bytes and give back the new bytes.

// Policy files larger than this are not ours to read or rewrite.
constexpr qint64 maxPolicyFileSize = 1024 * 1024;

// The list's items by position; an item that is not a string reads as empty,
// so that it never matches yet keeps the positions of the others.
QStringList forcelistEntries(const QByteArray &json);

// The file with the value appended to its list (the list and the file are
// created when missing; a file that already holds the value comes back
// unchanged). Nothing when the bytes are not a JSON object or the list is not
// an array: such a file is left alone.
std::optional<QByteArray> policyFileWithEntry(const QByteArray &json, const QString &value);

// The file without the list item at that position; nothing when there is no
// such item.
std::optional<QByteArray> policyFileWithoutEntry(const QByteArray &json, int index);
