#include "PeerOwner.h"
#include "ProcNetTcp.h"

#include <QFile>

#include <unistd.h>

PeerOwner loopbackPeerOwner(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local, quint16 localPort)
{
    // An IPv4 client's socket is in the first table even when our end is an
    // IPv6 socket that sees it as ::ffff:127.0.0.1; a dual-stack client's in the second.
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        if (const std::optional<uint> uid = procNetTcpUid(table.readAll(), peer, peerPort, local, localPort))
            return *uid == getuid() ? PeerOwner::Same : PeerOwner::Other;
    }
    return PeerOwner::Unknown;
}
