#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "FrameFormat.h"

#include <deque>
#include <map>
#include <optional>
#include <vector>

// The most bytes a connection may send without a frame delimiter; twice the
// largest frame the product sends (16 MiB).
inline constexpr qsizetype maxPendingBytes = 32 * 1024 * 1024;

// A connection that opens with an HTTP request line (method, target,
// "HTTP/") is a web page's request, never the product: it is refused before
// any of its bytes become lines. The product's first frame decides it at
// the latest; this much is waited for without a decision.
inline constexpr qsizetype maxOpeningBytes = 8 * 1024;

struct FramerEvent
{
    enum Kind { Line, BadFrame, Overflow, WebRequest };
    Kind kind = Line;
    QString line;     // Line: the payload without trailer, CR and LF
    QByteArray frame; // BadFrame: the whole frame, trailer included; WebRequest: the request line
};

// What the first bytes of a connection are: an HTTP request line, the
// product's frames, or too few bytes to tell.
enum class ConnectionOpening { Undecided, WebRequest, Frames };
ConnectionOpening classifyOpening(QByteArrayView bytes, qsizetype *requestLineSize = nullptr);

// Turns one connection's byte stream into lines: feed() each chunk, then take
// the events with next() until it returns nothing.
//
// It gives what "append the chunk, remove every marker from the whole buffer
// in one pass, cut at the delimiters" gives, chunk by chunk, including a marker
// that a removal joins (one marker inside another) surviving until the next
// chunk's pass. Rather than rescan the buffer it looks only at the new bytes and
// where removals joined bytes, so a chunk costs the same however much is held.
class LineFramer
{
public:
    void feed(QByteArrayView chunk);
    // Frames are examined one at a time, as they are taken.
    std::optional<FramerEvent> next();

    // Undelimited bytes held, as the buffer of the simple scheme would hold them.
    qsizetype pendingBytes() const { return opened ? qsizetype(live) : opening.size(); }
    QByteArray pendingData() const;
    bool hasOverflowed() const { return overflowed; }

private:
    struct Span
    {
        qint64 first; // absolute position of the first byte
        qint64 end;   // one past the absolute position of the last byte
        bool operator<(const Span &o) const { return first < o.first; }
        bool operator==(const Span &o) const { return first == o.first; }
    };
    struct Window
    {
        QByteArray bytes;
        std::vector<qint64> positions;
        qsizetype split = 0; // bytes before the seam
    };

    void feedFrames(QByteArrayView chunk);
    qint64 endPos() const { return base + raw.size(); }
    bool inHole(qint64 pos, qint64 *holeEnd = nullptr, qint64 *holeStart = nullptr) const;
    Window window(qint64 seamStart, qint64 seamEnd, qsizetype reach) const;
    void findAcross(const Window &w, const QByteArray &pattern, std::vector<Span> &out) const;
    qint64 punch(qint64 first, qint64 end);
    QByteArray liveBytes(qint64 from, qint64 to) const;
    std::optional<FramerEvent> cutNextFrame();
    void checkOverflow();
    void compact();

    // Absolute positions count every byte ever appended; raw[0] is at base.
    QByteArray raw;
    qint64 base = 0;
    qint64 head = 0; // start of the bytes not yet cut into frames
    qint64 live = 0; // bytes from head to the end that are not removed
    std::map<qint64, qint64> holes;  // removed runs from head on: start -> end, never adjacent
    std::vector<Span> joinedMarkers; // markers the last pass joined; the next pass removes them
    std::deque<Span> delimiters;     // located, not cut yet, in stream order
    std::deque<FramerEvent> ready;
    bool overflowed = false;
    // Until the opening is decided its bytes wait here.
    bool opened = false;
    bool refused = false;
    QByteArray opening;
};
