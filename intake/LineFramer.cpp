#include "LineFramer.h"

#include <QByteArrayMatcher>

#include <algorithm>
#include <cstring>
#include <utility>

// Neither constant overlaps itself and they share no byte, so their
// occurrences never overlap: removing all markers at once is the same as one
// left-to-right pass, and a delimiter can only appear across a removal or in
// new bytes.

namespace {

// Below this much dead space compaction is not worth a copy.
constexpr qint64 compactSlack = 64 * 1024;

// RFC 9110 token characters, of which a method is made.
bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || (c && std::strchr("!#$%&'*+-.^_`|~", c));
}

} // namespace

ConnectionOpening classifyOpening(QByteArrayView bytes, qsizetype *requestLineSize)
{
    // A browser percent-encodes braces in a request target, so a frame
    // delimiter before the request line is complete means it is the product.
    const qsizetype delimiter = bytes.indexOf(QByteArrayView(frameDelimiter));
    const auto undecided = [&] {
        return delimiter >= 0 || bytes.size() > maxOpeningBytes ? ConnectionOpening::Frames
                                                                 : ConnectionOpening::Undecided;
    };
    qsizetype i = 0;
    while (i < bytes.size() && isTokenChar(bytes[i]))
        ++i;
    if (i == bytes.size())
        return undecided();
    if (i == 0 || bytes[i] != ' ')
        return ConnectionOpening::Frames;
    const qsizetype targetStart = ++i;
    while (i < bytes.size() && quint8(bytes[i]) > ' ' && bytes[i] != 0x7F)
        ++i;
    if (i == bytes.size())
        return undecided();
    if (i == targetStart || bytes[i] != ' ')
        return ConnectionOpening::Frames;
    const QByteArrayView http("HTTP/");
    const QByteArrayView version = bytes.sliced(i + 1);
    if (!http.startsWith(version.first(qMin(version.size(), http.size()))))
        return ConnectionOpening::Frames;
    if (version.size() < http.size())
        return undecided();
    if (delimiter >= 0 && delimiter < i + 1 + http.size())
        return ConnectionOpening::Frames;
    if (requestLineSize) {
        const qsizetype lineEnd = bytes.indexOf('\n', i);
        *requestLineSize = lineEnd < 0 ? bytes.size() : lineEnd;
    }
    return ConnectionOpening::WebRequest;
}

bool LineFramer::inHole(qint64 pos, qint64 *holeEnd, qint64 *holeStart) const
{
    auto it = holes.upper_bound(pos);
    if (it == holes.begin())
        return false;
    --it;
    if (pos >= it->second)
        return false;
    if (holeEnd)
        *holeEnd = it->second;
    if (holeStart)
        *holeStart = it->first;
    return true;
}

// Up to `reach` remaining bytes on each side of a removed run [seamStart, seamEnd).
LineFramer::Window LineFramer::window(qint64 seamStart, qint64 seamEnd, qsizetype reach) const
{
    Window w;
    std::vector<qint64> before;
    for (qint64 p = seamStart - 1; qsizetype(before.size()) < reach && p >= head;) {
        qint64 start;
        if (inHole(p, nullptr, &start)) {
            p = start - 1;
            continue;
        }
        before.push_back(p--);
    }
    w.positions.assign(before.rbegin(), before.rend());
    w.split = qsizetype(w.positions.size());
    const qint64 end = endPos();
    for (qint64 p = seamEnd; qsizetype(w.positions.size()) - w.split < reach && p < end;) {
        qint64 holeEnd;
        if (inHole(p, &holeEnd)) {
            p = holeEnd;
            continue;
        }
        w.positions.push_back(p++);
    }
    w.bytes.reserve(qsizetype(w.positions.size()));
    for (qint64 p : w.positions)
        w.bytes.append(raw.at(p - base));
    return w;
}

// Occurrences of `pattern` that take bytes from both sides of the window's seam.
void LineFramer::findAcross(const Window &w, const QByteArray &pattern, std::vector<Span> &out) const
{
    const qsizetype n = pattern.size();
    for (qsizetype i = std::max<qsizetype>(0, w.split - n + 1); i < w.split && i + n <= w.bytes.size(); ++i) {
        if (QByteArrayView(w.bytes).sliced(i, n) == pattern)
            out.push_back({w.positions[size_t(i)], w.positions[size_t(i + n - 1)] + 1});
    }
}

// Marks [first, end) removed, merging with neighbouring runs; returns the merged run's start.
qint64 LineFramer::punch(qint64 first, qint64 end)
{
    auto it = holes.upper_bound(first);
    if (it != holes.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= first) {
            first = prev->first;
            end = std::max(end, prev->second);
            holes.erase(prev);
        }
    }
    while (it != holes.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = holes.erase(it);
    }
    holes.emplace(first, end);
    return first;
}

QByteArray LineFramer::liveBytes(qint64 from, qint64 to) const
{
    QByteArray out;
    out.reserve(qsizetype(to - from));
    auto it = holes.lower_bound(from);
    qint64 p = from;
    while (p < to) {
        const qint64 runEnd = (it != holes.end() && it->first < to) ? it->first : to;
        out.append(raw.constData() + (p - base), qsizetype(runEnd - p));
        if (runEnd == to)
            break;
        p = it->second;
        ++it;
    }
    return out;
}

QByteArray LineFramer::pendingData() const
{
    return opened ? liveBytes(head, endPos()) : opening;
}

void LineFramer::feed(QByteArrayView chunk)
{
    if (opened) {
        feedFrames(chunk);
        return;
    }
    if (refused)
        return;
    opening.append(chunk);
    qsizetype requestLine = 0;
    switch (classifyOpening(opening, &requestLine)) {
    case ConnectionOpening::Undecided:
        return;
    case ConnectionOpening::WebRequest:
        refused = true;
        ready.push_back(FramerEvent{FramerEvent::WebRequest, QString(), opening.left(requestLine).trimmed()});
        opening = QByteArray();
        return;
    case ConnectionOpening::Frames:
        opened = true;
        feedFrames(std::exchange(opening, QByteArray()));
        return;
    }
}

void LineFramer::feedFrames(QByteArrayView chunk)
{
    if (overflowed)
        return;
    // Frames located by the previous chunk come before anything this one changes.
    while (!delimiters.empty()) {
        if (auto event = cutNextFrame())
            ready.push_back(std::move(*event));
    }
    checkOverflow();
    if (overflowed)
        return;
    if (qint64(raw.size()) - live > std::max(live, compactSlack))
        compact();

    const qint64 oldEnd = endPos();
    // Grow geometrically ourselves: a long frame in small chunks must not be
    // copied over and over as the buffer fills.
    if (raw.capacity() - raw.size() < chunk.size())
        raw.reserve(std::max(2 * raw.size(), raw.size() + chunk.size()));
    raw.append(chunk.data(), chunk.size());
    live += chunk.size();

    static const QByteArrayMatcher markerMatcher(keepAliveMarker);
    static const QByteArrayMatcher delimiterMatcher(frameDelimiter);
    const qsizetype markerReach = keepAliveMarker.size() - 1;
    const qsizetype delimiterReach = frameDelimiter.size() - 1;

    // Every marker in the whole buffer: the ones the last pass joined, the
    // ones completed by the chunk and the ones inside it.
    std::vector<Span> removals;
    removals.swap(joinedMarkers);
    findAcross(window(oldEnd, oldEnd, markerReach), keepAliveMarker, removals);
    for (qsizetype i = markerMatcher.indexIn(raw, qsizetype(oldEnd - base)); i >= 0;
         i = markerMatcher.indexIn(raw, i + keepAliveMarker.size()))
        removals.push_back({base + i, base + i + keepAliveMarker.size()});

    for (const Span &m : removals)
        punch(m.first, m.end);
    live -= qint64(removals.size()) * keepAliveMarker.size();

    // Removal joins bytes: a new marker (left for the next pass) or a delimiter
    // can only stand across one of this pass's seams.
    std::vector<qint64> seams;
    seams.reserve(removals.size());
    for (const Span &m : removals) {
        qint64 start = m.first;
        inHole(m.first, nullptr, &start);
        seams.push_back(start);
    }
    std::sort(seams.begin(), seams.end());
    seams.erase(std::unique(seams.begin(), seams.end()), seams.end());

    std::vector<Span> found;
    for (qint64 seam : seams) {
        const qint64 seamEnd = holes.at(seam);
        findAcross(window(seam, seamEnd, markerReach), keepAliveMarker, joinedMarkers);
        findAcross(window(seam, seamEnd, delimiterReach), frameDelimiter, found);
    }
    std::sort(joinedMarkers.begin(), joinedMarkers.end());
    joinedMarkers.erase(std::unique(joinedMarkers.begin(), joinedMarkers.end()), joinedMarkers.end());

    // Delimiters completed by the chunk, then those inside its unbroken runs.
    findAcross(window(oldEnd, oldEnd, delimiterReach), frameDelimiter, found);
    const qint64 end = endPos();
    qint64 p = oldEnd;
    inHole(p, &p);
    auto hole = holes.lower_bound(p);
    while (p < end) {
        const qint64 runEnd = hole != holes.end() ? hole->first : end;
        const QByteArrayView run(raw.constData() + (p - base), qsizetype(runEnd - p));
        for (qsizetype i = delimiterMatcher.indexIn(run); i >= 0;
             i = delimiterMatcher.indexIn(run, i + frameDelimiter.size()))
            found.push_back({p + i, p + i + frameDelimiter.size()});
        if (hole == holes.end())
            break;
        p = hole->second;
        ++hole;
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    delimiters.assign(found.begin(), found.end());
    if (delimiters.empty())
        checkOverflow();
}

std::optional<FramerEvent> LineFramer::next()
{
    for (;;) {
        if (!ready.empty()) {
            FramerEvent event = std::move(ready.front());
            ready.pop_front();
            return event;
        }
        if (delimiters.empty())
            return std::nullopt;
        std::optional<FramerEvent> event = cutNextFrame();
        if (delimiters.empty())
            checkOverflow();
        if (event)
            return event;
    }
}

std::optional<FramerEvent> LineFramer::cutNextFrame()
{
    const Span delimiter = delimiters.front();
    delimiters.pop_front();
    QByteArray frame;
    const bool unbroken = holes.empty() || holes.begin()->first >= delimiter.first;
    if (head == base && unbroken && 2 * (delimiter.first - base) > raw.size()) {
        // A frame that fills most of the buffer takes the buffer itself and
        // leaves it the smaller rest: a 16 MiB frame is not copied again.
        QByteArray rest = raw.mid(qsizetype(delimiter.end - base));
        frame = std::move(raw);
        frame.truncate(qsizetype(delimiter.first - base));
        raw = std::move(rest);
        base = delimiter.end;
    } else {
        frame = liveBytes(head, delimiter.first);
    }
    live -= frame.size() + frameDelimiter.size();
    head = delimiter.end;
    while (!holes.empty() && holes.begin()->first < head)
        holes.erase(holes.begin());
    // A joined marker inside the frame stays part of it.
    joinedMarkers.erase(joinedMarkers.begin(),
                        std::lower_bound(joinedMarkers.begin(), joinedMarkers.end(), Span{head, head}));

    if (frame.isEmpty())
        return std::nullopt;
    FramerEvent bad{FramerEvent::BadFrame, QString(), frame};
    if (frame.size() <= frameTrailerSize)
        return bad;
    const qsizetype payloadSize = frame.size() - frameTrailerSize;
    char expected[4];
    writeChecksumText(payloadSum(QByteArrayView(frame).first(payloadSize)), expected);
    if (QByteArrayView(frame).sliced(payloadSize) != QByteArrayView(expected, frameTrailerSize))
        return bad;
    frame.truncate(payloadSize);
    frame.removeIf([](char c) { return c == '\r' || c == '\n'; });
    if (frame.isEmpty())
        return std::nullopt;
    return FramerEvent{FramerEvent::Line, QString::fromUtf8(frame), QByteArray()};
}

void LineFramer::checkOverflow()
{
    if (overflowed || live <= maxPendingBytes)
        return;
    overflowed = true;
    raw = QByteArray();
    holes.clear();
    joinedMarkers.clear();
    delimiters.clear();
    base = head = live = 0;
    ready.push_back(FramerEvent{FramerEvent::Overflow, QString(), QByteArray()});
}

// Drops cut frames and removed bytes from memory; positions restart at 0.
void LineFramer::compact()
{
    qint64 removedBefore = 0;
    auto hole = holes.begin();
    for (Span &m : joinedMarkers) {
        for (; hole != holes.end() && hole->first < m.first; ++hole)
            removedBefore += hole->second - hole->first;
        m.first -= head + removedBefore;
        m.end = m.first + keepAliveMarker.size();
    }
    raw = liveBytes(head, endPos());
    holes.clear();
    base = head = 0;
}
