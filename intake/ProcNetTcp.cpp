#include "ProcNetTcp.h"

#include <array>
#include <cstring>

namespace {

// An address in its IPv6 form (IPv4 mapped) and a port, so that rows of both
// tables compare alike.
struct Endpoint
{
    Q_IPV6ADDR address{};
    quint16 port = 0;
    bool operator==(const Endpoint &o) const
    {
        return port == o.port && std::memcmp(address.c, o.address.c, sizeof address.c) == 0;
    }
    bool operator!=(const Endpoint &o) const { return !(*this == o); }
};

bool hexNumber(QByteArrayView digits, quint32 *value)
{
    quint32 v = 0;
    for (char c : digits) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
        if (d < 0)
            return false;
        v = v << 4 | quint32(d);
    }
    *value = v;
    return true;
}

// "0100007F:A112" or 32 hex digits, a colon and a 4-digit port.
std::optional<Endpoint> parseEndpoint(QByteArrayView field)
{
    const qsizetype colon = field.indexOf(':');
    if ((colon != 8 && colon != 32) || field.size() != colon + 5)
        return std::nullopt;
    Endpoint e;
    quint32 port = 0;
    if (!hexNumber(field.sliced(colon + 1), &port))
        return std::nullopt;
    e.port = quint16(port);
    if (colon == 8)
        e.address.c[10] = e.address.c[11] = 0xff;
    for (qsizetype i = 0; i < colon; i += 8) {
        quint32 word = 0;
        if (!hexNumber(field.sliced(i, 8), &word))
            return std::nullopt;
        // The kernel prints each 32-bit word of the address as a number read
        // from its network-order bytes in host order.
        std::memcpy(e.address.c + (colon == 8 ? 12 : i / 2), &word, sizeof word);
    }
    return e;
}

std::optional<uint> rowUid(QByteArrayView line, const Endpoint &peer, const Endpoint &local)
{
    // sl, local, remote, st, tx:rx, tr:when, retrnsmt, uid, timeout, inode
    std::array<QByteArrayView, 10> fields;
    size_t n = 0;
    for (qsizetype i = 0; i < line.size() && n < fields.size();) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        if (i > start)
            fields[n++] = line.sliced(start, i - start);
    }
    if (n < fields.size() || parseEndpoint(fields[1]) != peer || parseEndpoint(fields[2]) != local)
        return std::nullopt;
    bool uidOk = false, inodeOk = false;
    const uint uid = fields[7].toUInt(&uidOk);
    const qulonglong inode = fields[9].toULongLong(&inodeOk);
    if (!uidOk || !inodeOk || inode == 0)
        return std::nullopt;
    return uid;
}

} // namespace

std::optional<uint> procNetTcpUid(QByteArrayView table, const QHostAddress &peer, quint16 peerPort,
                                  const QHostAddress &local, quint16 localPort)
{
    // toIPv6Address gives an IPv4 address in its mapped form, as the rows are read.
    const Endpoint peerEnd{peer.toIPv6Address(), peerPort};
    const Endpoint localEnd{local.toIPv6Address(), localPort};
    for (qsizetype start = 0; start < table.size();) {
        qsizetype end = table.indexOf('\n', start);
        if (end < 0)
            end = table.size();
        if (const std::optional<uint> uid = rowUid(table.sliced(start, end - start), peerEnd, localEnd))
            return uid;
        start = end + 1;
    }
    return std::nullopt;
}
