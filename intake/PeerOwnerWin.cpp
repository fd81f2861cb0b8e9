#include "PeerOwner.h"

#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

namespace {

// One address family's connections with their processes; empty when the system does not give it.
std::vector<char> tcpTable(ULONG family)
{
    std::vector<char> buffer;
    DWORD size = 0;
    // The table may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD result =
            GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result == NO_ERROR)
            return buffer;
        if (result != ERROR_INSUFFICIENT_BUFFER)
            return {};
        buffer.resize(size);
    }
    return {};
}

// Ports stand in the low 16 bits of the field, in network byte order.
quint16 rowPort(DWORD field)
{
    return qFromBigEndian(quint16(field));
}

bool sameEnd(const QHostAddress &a, quint16 aPort, const QHostAddress &b, quint16 bPort)
{
    return aPort == bPort && a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

// The process of the first row of one family's table that `matches`; 0 when none does.
template<typename Table, typename Match>
DWORD findPid(ULONG family, Match matches)
{
    const std::vector<char> buffer = tcpTable(family);
    if (buffer.size() < sizeof(Table))
        return 0;
    const auto *table = reinterpret_cast<const Table *>(buffer.data());
    const auto *rows = table->table;
    const size_t held = (buffer.size() - offsetof(Table, table)) / sizeof *rows;
    for (size_t i = 0; i < std::min<size_t>(table->dwNumEntries, held); ++i) {
        if (matches(rows[i]))
            return rows[i].dwOwningPid;
    }
    return 0;
}

// The process whose connection has peer:peerPort as its own end and
// local:localPort as the other; 0 when there is none, or when it is closing,
// which the system shows as process 0.
DWORD owningPid(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local, quint16 localPort)
{
    const DWORD pid = findPid<MIB_TCPTABLE_OWNER_PID>(AF_INET, [&](const MIB_TCPROW_OWNER_PID &row) {
        return sameEnd(QHostAddress(qFromBigEndian(quint32(row.dwLocalAddr))), rowPort(row.dwLocalPort), peer, peerPort)
               && sameEnd(QHostAddress(qFromBigEndian(quint32(row.dwRemoteAddr))), rowPort(row.dwRemotePort), local,
                          localPort);
    });
    if (pid)
        return pid;
    return findPid<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, [&](const MIB_TCP6ROW_OWNER_PID &row) {
        return sameEnd(QHostAddress(row.ucLocalAddr), rowPort(row.dwLocalPort), peer, peerPort)
               && sameEnd(QHostAddress(row.ucRemoteAddr), rowPort(row.dwRemotePort), local, localPort);
    });
}

// The TOKEN_USER of a process; empty when it cannot be read.
std::vector<char> tokenUser(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    return ok ? user : std::vector<char>();
}

} // namespace

PeerOwner loopbackPeerOwner(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local, quint16 localPort)
{
    const DWORD pid = owningPid(peer, peerPort, local, localPort);
    if (pid == 0)
        return PeerOwner::Unknown;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return PeerOwner::Unknown;
    std::vector<char> theirs = tokenUser(process);
    CloseHandle(process);
    std::vector<char> ours = tokenUser(GetCurrentProcess());
    if (theirs.empty() || ours.empty())
        return PeerOwner::Unknown;
    return EqualSid(reinterpret_cast<TOKEN_USER *>(theirs.data())->User.Sid,
                    reinterpret_cast<TOKEN_USER *>(ours.data())->User.Sid)
               ? PeerOwner::Same
               : PeerOwner::Other;
}
