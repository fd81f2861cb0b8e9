#include "FrameEncoder.h"

#include "LineFramer.h"

QByteArray checksumText(quint32 sum)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    // The product prints the sum through a signed int, so large sums carry a minus sign.
    char text[9];
    int length = 0;
    quint32 magnitude = sum;
    if (sum >= 0x80000000u) {
        text[length++] = '-';
        magnitude = 0u - sum;
    }
    char reversed[8];
    int digits = 0;
    do {
        reversed[digits++] = hexDigits[magnitude & 0xF];
        magnitude >>= 4;
    } while (magnitude);
    while (digits)
        text[length++] = reversed[--digits];

    // Padded on the left to four; a longer text keeps its most significant four,
    // so a five-digit sum loses its lowest digit. Built in place: this runs per frame.
    char trailer[4] = {'0', '0', '0', '0'};
    const int kept = length < 4 ? length : 4;
    for (int i = 0; i < kept; ++i)
        trailer[4 - (length < 4 ? length : 4) + i] = text[i];
    return QByteArray(trailer, 4);
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
