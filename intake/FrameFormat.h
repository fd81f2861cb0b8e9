#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// What the companion product puts on the wire: frames of payload, a four-character
// checksum trailer and the delimiter, with keep-alive markers anywhere between.

// The product's keep-alive marker, removed wherever it stands in the stream.
extern const QByteArray keepAliveMarker;
// Ends every frame.
extern const QByteArray frameDelimiter;
// The checksum trailer's length, in characters.
inline constexpr qsizetype frameTrailerSize = 4;
// The port the product connects to unless the user chose another.
inline constexpr quint16 defaultProductPort = 20296;

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
