#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "LineFramer.h"

// The plain whole-buffer framing, the yardstick for LineFramer: after every chunk the whole buffer
// is cleared of markers and cut at the delimiters. Quadratic on long frames: tests and benchmarks only.
class ReferenceFramer
{
public:
    struct Event
    {
        bool good = true;
        QString line;     // good frame
        QByteArray frame; // bad frame
        bool operator==(const Event &o) const { return good == o.good && line == o.line && frame == o.frame; }
    };

    // The sum as a signed 32-bit number in upper-case hex, padded or cut to four characters.
    static QByteArray trailer(const QByteArray &payload)
    {
        qint32 sum = 0;
        for (char c : payload)
            sum = qint32(quint32(sum) + quint8(c));
        return QByteArray::number(sum, 16).toUpper().rightJustified(4, '0').left(4);
    }

    QList<Event> feed(const QByteArray &chunk)
    {
        QList<Event> events;
        buffer.append(chunk);
        buffer.replace(keepAliveMarker, QByteArray());
        for (;;) {
            const qsizetype at = buffer.indexOf(frameDelimiter);
            if (at < 0)
                break;
            const QByteArray frame = buffer.left(at);
            buffer.remove(0, at + frameDelimiter.size());
            if (frame.isEmpty())
                continue;
            if (frame.size() <= 4 || frame.right(4) != trailer(frame.chopped(4))) {
                events.append({false, QString(), frame});
                continue;
            }
            QByteArray text = frame.chopped(4);
            text.replace('\r', QByteArray()).replace('\n', QByteArray());
            if (!text.isEmpty())
                events.append({true, QString::fromUtf8(text), QByteArray()});
        }
        return events;
    }

    QByteArray buffer;
};
