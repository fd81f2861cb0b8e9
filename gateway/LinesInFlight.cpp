#include "LinesInFlight.h"

#include <algorithm>
#include <utility>

quint64 LinesInFlight::add(qint64 now, qint64 budgetMs, bool wantsClick, quint64 link)
{
    lines.push_back(Line{now, budgetMs, link, wantsClick, false, false, false});
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

LinesInFlight::Outcome LinesInFlight::fillAnswered(qint64 now, qint64 id, bool ok, quint64 link)
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
    if (line && line->link != link)
        return {Outcome::OtherLink, quint64(id)};
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

LinesInFlight::Outcome LinesInFlight::clickAnswered(qint64 now, qint64 id, quint64 link)
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
    if (line && line->link != link)
        return {Outcome::OtherLink, quint64(id)};
    if (!line || !line->wantsClick)
        return {};
    lastAnswer = now;
    anyAnswer = true;
    const bool filled = line->filled;
    close(*line);
    return {Outcome::Clicked, quint64(id), filled};
}

template <typename Due>
std::vector<LinesInFlight::Expired> LinesInFlight::expireWhere(Due due)
{
    std::vector<Expired> expired;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Line &line = lines[i];
        if (!line.done && due(line)) {
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
    return expireWhere([now](const Line &line) { return line.sent + line.budget <= now; });
}

std::vector<LinesInFlight::Expired> LinesInFlight::expireAll()
{
    return expireWhere([](const Line &) { return true; });
}

std::vector<LinesInFlight::Expired> LinesInFlight::expireLink(quint64 link)
{
    return expireWhere([link](const Line &line) { return line.link == link; });
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
