#include "FailureNotices.h"

std::optional<FailureNotices::Notice> FailureNotices::failed(qint64 now, const QString &title, const QString &text)
{
    if (now < gapEndsAt()) {
        ++heldCount;
        last = {title, text};
        return std::nullopt;
    }
    lastShown = now;
    return Notice{title, text};
}

std::optional<FailureNotices::Notice> FailureNotices::gapEnded(qint64 now)
{
    if (heldCount == 0)
        return std::nullopt;
    lastShown = now;
    Notice notice = last;
    if (heldCount > 1)
        notice.title = QStringLiteral("%1 lines not filled").arg(heldCount);
    heldCount = 0;
    return notice;
}
