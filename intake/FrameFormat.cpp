#include "FrameFormat.h"

const QByteArray keepAliveMarker = QByteArray::fromHex("ddfe") + "ZUNEX" + QByteArray::fromHex("01fede");
const QByteArray frameDelimiter = QByteArrayLiteral("{PAQ_Marrowlinker}");

void writeChecksumText(quint32 sum, char out[4])
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
    const int kept = length < 4 ? length : 4;
    for (int i = 0; i < 4 - kept; ++i)
        out[i] = '0';
    for (int i = 0; i < kept; ++i)
        out[4 - kept + i] = text[i];
}

QByteArray checksumText(quint32 sum)
{
    char trailer[4];
    writeChecksumText(sum, trailer);
    return QByteArray(trailer, 4);
}

quint32 payloadSum(QByteArrayView payload)
{
    quint32 sum = 0;
    for (char c : payload)
        sum += quint8(c);
    return sum;
}

QByteArray frameChecksum(QByteArrayView payload)
{
    return checksumText(payloadSum(payload));
}

QByteArray encodeFrame(QByteArrayView payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + frameTrailerSize + frameDelimiter.size());
    frame.append(payload);
    frame.append(frameChecksum(payload));
    frame.append(frameDelimiter);
    return frame;
}
