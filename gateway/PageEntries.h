#pragma once

#include "Destination.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QSettings;

// A destination of its own for each page, chosen by the address of the page
// that sends the fill.

// How a pattern is held against a page address.
enum class PageMatch {
    Page,   // the same address, query and fragment aside
    Site,   // the same host, in any case
    Prefix, // the address starts with the pattern
    Regex,  // the regular expression matches somewhere in the address
};

struct PageEntry
{
    QString pattern;
    PageMatch match = PageMatch::Page;
    Destination destination;
    // From the administrator's store: used, never written back or exported.
    bool deployed = false;
};

// The stored names of the kinds: "page", "site", "prefix", "regex".
QString pageMatchKey(PageMatch match);
std::optional<PageMatch> pageMatchFromKey(const QString &key);

// The pattern a pick on `url` starts with: the address without query and
// fragment, its host, or a regular expression for that address with any
// query or fragment.
QString defaultPattern(const QString &url, PageMatch match);
// Why the pattern cannot be used, or an empty text.
QString patternError(const QString &pattern, PageMatch match);
bool pageMatches(const PageEntry &entry, const QString &url);

// The index of the entry that serves `url`, or -1. The most specific kind
// wins: Page, then Prefix (the longest first), then Regex, then Site; within
// that, the user's own entries before deployed ones, then the list's order.
int findPageEntry(const QList<PageEntry> &entries, const QString &url);

QJsonObject destinationToJson(const Destination &d);
// Members missing from `o` keep the defaults of Destination; members of the
// wrong type, an unknown mode, a bad AI or a count of fields outside
// 1..MaxFields refuse it with `error` set.
std::optional<Destination> destinationFromJson(const QJsonObject &o, QString *error);
QJsonObject pageEntryToJson(const PageEntry &e);
std::optional<PageEntry> pageEntryFromJson(const QJsonObject &o, QString *error);

// The user's entries from the settings array "pages", then those of the
// administrator's store (when given) marked deployed. An entry that cannot be
// read is left out with one log line in `skipped`.
QList<PageEntry> readPageEntries(QSettings &user, QSettings *system, QStringList *skipped);
// Replaces the user's entries with the entries that are not deployed.
void writePageEntries(QSettings &user, const QList<PageEntry> &entries);

// The most entries read from a store or a file.
inline constexpr int maxPageEntries = 1000;

// A pages file holds the user's entries, never the deployed ones.
inline constexpr int pagesFileVersion = 1;
inline constexpr qsizetype maxPagesFileBytes = 4 * 1024 * 1024;
QByteArray exportPageEntries(const QList<PageEntry> &entries);
// All or nothing: one bad entry refuses the whole file, with the reason.
std::optional<QList<PageEntry>> importPageEntries(const QByteArray &file, QString *error);
