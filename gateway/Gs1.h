#pragma once

#include <QChar>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// GS1 element strings: the application identifiers (AIs) this gateway knows,
// and a reader that checks a whole line against their formats.

struct Gs1Element
{
    QString ai;
    QString value;
};

// Every element of the line, in order, or a rejection text and no elements.
struct Gs1Reading
{
    QList<Gs1Element> elements;
    QString rejection;
};

// A leading symbology identifier must be one of GS1's; `separator` ends a
// variable-length element.
Gs1Reading readGs1(QStringView line, QChar separator);

// The value of the first `wanted` element, once the whole line has been read;
// an empty text and `rejection` set otherwise.
QString gs1Value(QStringView line, QStringView wanted, QChar separator, QString *rejection);

bool isKnownAi(QStringView ai);
// The AIs whose value is a date YYMMDD.
bool isGs1DateAi(QStringView ai);

// YYMMDD as YYYY-MM-DD. The century is the one within 49 years back and 50
// ahead of `today`; day 00 stands for the last day of the month. No value for
// anything that is not a real date.
std::optional<QString> gs1IsoDate(QStringView yymmdd, QDate today);
