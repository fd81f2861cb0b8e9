#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// Which failures reach the person at the scanner as a message, and when: at
// most one message in a gap; the failures within it are counted into one
// message at its end ("3 lines not filled"). Time is passed in, in ms.
class FailureNotices
{
public:
    static constexpr qint64 GapMs = 5000;

    struct Notice
    {
        QString title;
        QString text;
    };

    // A failure now: its message at once, or nothing while a gap runs.
    std::optional<Notice> failed(qint64 now, const QString &title, const QString &text);
    // Ends the gap: the message that counts what came within it, if anything did.
    std::optional<Notice> gapEnded(qint64 now);
    // When the running gap ends; nothing is held before that.
    qint64 gapEndsAt() const { return lastShown + GapMs; }
    int held() const { return heldCount; }

private:
    qint64 lastShown = -GapMs;
    int heldCount = 0;
    Notice last;
};
