#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The four trailer characters for a payload byte sum: the sum read as a signed
// 32-bit number in upper-case hex, padded on the left with '0' to four
// characters or cut to its first four.
QByteArray checksumText(quint32 sum);
// The same four characters written into `out`, without allocating.
void writeChecksumText(quint32 sum, char out[4]);

// The byte sum the trailer is made from.
quint32 payloadSum(QByteArrayView payload);

// The trailer the product appends to a payload.
QByteArray frameChecksum(QByteArrayView payload);

// One frame as the product writes it: payload, trailer, delimiter.
QByteArray encodeFrame(QByteArrayView payload);
