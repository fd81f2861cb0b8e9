#pragma once

#include <QChar>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// How one line is spread over a destination of several fields.
enum class FieldsMode {
    Split,   // cut at the split separator, part i into field i
    Gs1,     // field i gets the element of its application identifier
    PerLine, // each line fills the next field; Enter and the click after the last
};

// Where a line goes: the fields picked on one page, in order, and what follows them.
struct Destination
{
    static constexpr int MaxFields = 16;
    static constexpr QChar defaultSplitSeparator = QChar(u'\t');

    QString url;   // the page address, as the plugin reported the first pick
    QString title; // the page's title when known, for the log
    QList<QJsonObject> fields;
    FieldsMode mode = FieldsMode::Split;
    QChar splitSeparator = defaultSplitSeparator;
    QStringList ais; // Gs1: one application identifier per field
    bool pressEnter = true;
    QJsonObject button;
    bool clickButton = false;

    bool isEmpty() const { return fields.isEmpty(); }
};
