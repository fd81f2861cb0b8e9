#include "FrameEncoder.h"

#include "LineFramer.h"

QByteArray checksumText(quint32 sum)
{
    // The product prints the sum through a signed int, so large sums carry a minus sign.
    QByteArray text = sum >= 0x80000000u
        ? '-' + QByteArray::number(quint64(0x100000000ull - sum), 16)
        : QByteArray::number(sum, 16);
    text = text.toUpper();
    if (text.size() < 4)
        text.prepend(QByteArray(4 - text.size(), '0'));
    // The most significant digits are kept: a five-digit sum loses its lowest digit.
    text.truncate(4);
    return text;
}

QByteArray frameChecksum(QByteArrayView payload)
{
    quint32 sum = 0;
    for (char c : payload)
        sum += quint8(c);
    return checksumText(sum);
}

QByteArray encodeFrame(QByteArrayView payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + 4 + frameDelimiter.size());
    frame.append(payload);
    frame.append(frameChecksum(payload));
    frame.append(frameDelimiter);
    return frame;
}
