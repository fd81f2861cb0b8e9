#pragma once

#include <QByteArrayView>
#include <QHostAddress>

#include <optional>

// The uid of the socket in the text of /proc/net/tcp or /proc/net/tcp6 whose
// local end is peer:peerPort and whose remote end is local:localPort. An IPv4
// address matches its IPv4-mapped IPv6 form. Nothing when no row matches, and
// for rows of closed sockets, which show uid 0 whoever owned them.
std::optional<uint> procNetTcpUid(QByteArrayView table, const QHostAddress &peer, quint16 peerPort,
                                  const QHostAddress &local, quint16 localPort);
