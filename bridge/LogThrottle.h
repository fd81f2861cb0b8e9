#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>
#include <utility>

// A flood of the same event (a program knocking with wrong proofs) costs at
// most one log line per interval; the next line says how many were held back.
class LogThrottle
{
public:
    explicit LogThrottle(qint64 intervalMs = 60000) : interval(intervalMs) { }

    // The line to log now, or nothing while the last one is younger than the interval.
    std::optional<QString> take(qint64 nowMs, const QString &line)
    {
        if (logged && nowMs - lastLogged < interval) {
            ++held;
            return std::nullopt;
        }
        logged = true;
        lastLogged = nowMs;
        const int before = std::exchange(held, 0);
        if (before == 0)
            return line;
        return line + QStringLiteral(" (and %1 more since the last such line)").arg(before);
    }

private:
    qint64 interval;
    qint64 lastLogged = 0;
    bool logged = false;
    int held = 0;
};
