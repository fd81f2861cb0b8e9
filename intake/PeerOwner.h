#pragma once

#include <QHostAddress>

// Whether the process at the other end of a connection on this machine runs as
// the user who runs us.
enum class PeerOwner { Same, Other, Unknown };

// The owner of the socket whose own end is peer:peerPort and which is connected
// to our local:localPort. Unknown when the system does not tell (the socket
// already closed, another network namespace, no right to look).
PeerOwner loopbackPeerOwner(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local, quint16 localPort);
