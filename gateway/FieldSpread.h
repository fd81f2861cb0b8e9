#pragma once

#include "Destination.h"

#include <QChar>
#include <QDate>
#include <QString>
#include <QStringList>

#include <optional>

// How one line becomes the values of the fields of a destination.

// The stored names of the modes: "split", "gs1", "perLine".
QString fieldsModeKey(FieldsMode mode);
std::optional<FieldsMode> fieldsModeFromKey(const QString &key);

// The AIs of a text such as "01,10,17", blanks around the commas allowed. On a
// bad one `error` names it and the list is empty; otherwise `error` is cleared.
QStringList parseAis(const QString &text, QString *error);

// The values for the destination's fields, one each, or a rejection and no
// values: then nothing of the line is sent.
struct Spread
{
    QStringList values;
    QString rejection;
};

// Split: part i of the line, cut at the split separator, into field i.
// Gs1: field i gets the element of AI i; a date AI into a date input goes as
// YYYY-MM-DD, anywhere else as its digits. PerLine, or a single field: the
// line as it is.
Spread spreadLine(const QString &line, const Destination &d, QChar gs1Separator, QDate today);

// "field 2 of 3 (Batch)" for i = 1, "field 2 of 3 (no name)" for a field without a label.
QString fieldName(const Destination &d, int i);
