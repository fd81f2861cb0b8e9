#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>
#include <vector>

// The fills sent to the browser and not yet answered, without timers: the
// caller passes the time in milliseconds and asks when to look again.
//
// A browser serves fills in order, so one that is slow but answering is not
// lost: a line counts as unanswered only once the browser has fallen silent,
// that is when no answer came within the oldest open line's budget since it
// was sent or since the last answer, whichever is later. Then every line
// sent longer ago than its own budget is unanswered at once.
class LinesInFlight
{
public:
    // Beyond this many open lines the oldest is given up as unanswered.
    static constexpr std::size_t MaxOpen = 100000;

    struct Outcome
    {
        enum Kind {
            Unmatched,       // no open line had this answer coming (late, or twice)
            OtherLink,       // the line is open, but went to another link: not an answer
            Filled,          // the fill answered; nothing else awaited
            FillAnswered,    // the fill answered; its click is still to come
            Clicked,         // the click answered
        };
        Kind kind = Unmatched;
        quint64 id = 0;
        bool filled = false; // Clicked: the fill before the click succeeded
    };

    struct Expired
    {
        quint64 id = 0;
        bool fillAnswered = false; // then only its click went unanswered
    };

    // A fill just sent on `link` (the plugin link it went to); its id.
    quint64 add(qint64 now, qint64 budgetMs, bool wantsClick, quint64 link = 0);
    // Answers with the fill's id, or -1 from a plugin without ids, which
    // answers in order: the oldest line still waiting for that answer. An
    // answer counts only from the link its fill went to.
    Outcome fillAnswered(qint64 now, qint64 id, bool ok = true, quint64 link = 0);
    Outcome clickAnswered(qint64 now, qint64 id, quint64 link = 0);

    // Lines given up on by now (see above), oldest first.
    std::vector<Expired> expire(qint64 now);
    // Every open line, when no answer can come any more (no browser linked).
    std::vector<Expired> expireAll();
    // The open lines sent on a link that has closed.
    std::vector<Expired> expireLink(quint64 link);
    // Lines given up because MaxOpen was passed, since the last call.
    std::vector<Expired> takeOverflow();
    // When expire() may next give something up; none while nothing is open.
    std::optional<qint64> nextCheck() const;

    std::size_t openCount() const { return open; }

private:
    struct Line
    {
        qint64 sent = 0;
        qint64 budget = 0;
        quint64 link = 0;
        bool wantsClick = false;
        bool fillAnswered = false;
        bool filled = false;
        bool done = false;
    };

    Line *find(qint64 id);
    void close(Line &line);
    void dropDone();
    template <typename Due>
    std::vector<Expired> expireWhere(Due due);

    std::deque<Line> lines; // by id, from frontId on
    quint64 frontId = 1;
    quint64 nextId = 1;
    std::size_t open = 0;
    // Cursors for answers without an id: every line before them has that answer.
    quint64 nextFillAnswer = 1;
    quint64 nextClickAnswer = 1;
    qint64 lastAnswer = 0;
    bool anyAnswer = false;
    std::vector<Expired> overflow;
};
