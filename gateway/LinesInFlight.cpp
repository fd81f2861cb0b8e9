#include "LinesInFlight.h"

#include <algorithm>
#include <utility>

quint64 LinesInFlight::add(qint64 now, qint64 budgetMs, bool wantsClick)
{
    lines.push_back(Line{now, budgetMs, wantsClick, false, false, false});
    ++open;
    if (open > MaxOpen) {
        Line &oldest = lines.front(); // dropDone keeps the front open
        overflow.push_back({frontId, oldest.fillAnswered});
        close(oldest);
    }
    return nextId++;
}

LinesInFlight::Line *LinesInFlight::find(qint64 id)
{
    if (id < qint64(frontId) || id >= qint64(nextId))
        return nullptr;
    Line &line = lines[std::size_t(quint64(id) - frontId)];
    return line.done ? nullptr : &line;
}

void LinesInFlight::close(Line &line)
{
    line.done = true;
    --open;
    dropDone();
}

void LinesInFlight::dropDone()
{
    while (!lines.empty() && lines.front().done) {
        lines.pop_front();
        ++frontId;
    }
}

LinesInFlight::Outcome LinesInFlight::fillAnswered(qint64 now, qint64 id, bool ok)
{
    if (id < 0) {
        nextFillAnswer = std::max(nextFillAnswer, frontId);
        while (nextFillAnswer < nextId) {
            const Line &line = lines[std::size_t(nextFillAnswer - frontId)];
            if (!line.done && !line.fillAnswered)
                break;
            ++nextFillAnswer;
        }
        id = qint64(nextFillAnswer);
    }
    Line *line = find(id);
    if (!line || line->fillAnswered)
        return {};
    lastAnswer = now;
    anyAnswer = true;
    line->fillAnswered = true;
    line->filled = ok;
    if (line->wantsClick)
        return {Outcome::FillAnswered, quint64(id)};
    close(*line);
    return {Outcome::Filled, quint64(id)};
}

LinesInFlight::Outcome LinesInFlight::clickAnswered(qint64 now, qint64 id)
{
    if (id < 0) {
        nextClickAnswer = std::max(nextClickAnswer, frontId);
        while (nextClickAnswer < nextId) {
            const Line &line = lines[std::size_t(nextClickAnswer - frontId)];
            if (!line.done && line.wantsClick)
                break;
            ++nextClickAnswer;
        }
        id = qint64(nextClickAnswer);
    }
    Line *line = find(id);
    if (!line || !line->wantsClick)
        return {};
    lastAnswer = now;
    anyAnswer = true;
    const bool filled = line->filled;
    close(*line);
    return {Outcome::Clicked, quint64(id), filled};
}

std::vector<LinesInFlight::Expired> LinesInFlight::expireWhere(bool all, qint64 now)
{
    std::vector<Expired> expired;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Line &line = lines[i];
        if (!line.done && (all || line.sent + line.budget <= now)) {
            expired.push_back({frontId + i, line.fillAnswered});
            line.done = true;
            --open;
        }
    }
    dropDone();
    return expired;
}

std::vector<LinesInFlight::Expired> LinesInFlight::expire(qint64 now)
{
    const std::optional<qint64> due = nextCheck();
    if (!due || now < *due)
        return {};
    return expireWhere(false, now);
}

std::vector<LinesInFlight::Expired> LinesInFlight::expireAll()
{
    return expireWhere(true, 0);
}

std::vector<LinesInFlight::Expired> LinesInFlight::takeOverflow()
{
    return std::exchange(overflow, {});
}

std::optional<qint64> LinesInFlight::nextCheck() const
{
    if (open == 0)
        return std::nullopt;
    const Line &head = lines.front();
    const qint64 quietSince = anyAnswer ? std::max(head.sent, lastAnswer) : head.sent;
    return quietSince + head.budget;
}
