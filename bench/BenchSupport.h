#pragma once

// What the benchmarks share: a clock, figures from samples, the process's
// memory, and a plain blocking WebSocket client that runs on its own thread so
// that the servers under test have the event loop to themselves.
#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QString>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace bench {

// One row of the table scripts/bench prints at the end: the figure, what was
// measured, the baseline measured in the same run, the target and its verdict.
// Rows go to standard output marked for the script; the rest is detail.
inline void tableRow(const QString &figure, const QString &measured, const QString &baseline, const QString &target,
                     bool met)
{
    std::printf("ROW|%s|%s|%s|%s|%s\n", qPrintable(figure), qPrintable(measured), qPrintable(baseline),
                qPrintable(target), met ? "met" : "MISSED");
    std::fflush(stdout);
}

inline double nowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The value below which `fraction` of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t rank = std::min(samples.size() - 1, size_t(fraction * double(samples.size())));
    return samples[rank];
}

// Resident and peak resident memory of this process, in KiB.
inline long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// A blocking loopback TCP connection with Nagle off, usable from any thread.
class RawSocket
{
public:
    RawSocket() = default;
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    ~RawSocket() { close(); }

    bool connectTo(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    bool writeAll(const char *data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }
    bool writeAll(const QByteArray &bytes) { return writeAll(bytes.constData(), size_t(bytes.size())); }

    // Exactly `size` bytes, from what was read ahead first.
    bool readExactly(char *out, size_t size)
    {
        while (size > 0) {
            if (start == end && !fill())
                return false;
            const size_t take = std::min(size, end - start);
            std::memcpy(out, ahead.data() + start, take);
            start += take;
            out += take;
            size -= take;
        }
        return true;
    }

    // The bytes up to and including `terminator`.
    bool readUntil(const QByteArray &terminator, QByteArray &out)
    {
        out.clear();
        char c;
        while (!out.endsWith(terminator)) {
            if (!readExactly(&c, 1))
                return false;
            out.append(c);
        }
        return true;
    }

    // Reads give up after `seconds` without a byte.
    bool setReceiveTimeout(int seconds)
    {
        timeval limit{seconds, 0};
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
    }

    void shutdownWrite() { ::shutdown(fd, SHUT_WR); }

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    bool fill()
    {
        ahead.resize(256 * 1024);
        const ssize_t n = ::recv(fd, ahead.data(), ahead.size(), 0);
        if (n <= 0)
            return false;
        start = 0;
        end = size_t(n);
        return true;
    }

    int fd = -1;
    std::vector<char> ahead;
    size_t start = 0;
    size_t end = 0;
};

// The client half of RFC 6455 over a RawSocket: a plugin as the servers see it.
class WsClient
{
public:
    bool open(quint16 port)
    {
        if (!socket.connectTo(port))
            return false;
        const QByteArray request = QByteArrayLiteral("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                     "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                                     "Sec-WebSocket-Version: 13\r\n\r\n");
        QByteArray head;
        return socket.writeAll(request) && socket.readUntil("\r\n\r\n", head) && head.startsWith("HTTP/1.1 101");
    }

    // A masked text frame, as a browser sends it; build once, send many times.
    static QByteArray textFrame(const QByteArray &payload)
    {
        QByteArray frame;
        frame.append(char(0x81));
        const quint64 size = quint64(payload.size());
        if (size <= 125) {
            frame.append(char(0x80 | size));
        } else if (size <= 0xFFFF) {
            frame.append(char(0x80 | 126));
            uchar length[2];
            qToBigEndian<quint16>(quint16(size), length);
            frame.append(reinterpret_cast<const char *>(length), 2);
        } else {
            frame.append(char(0x80 | 127));
            uchar length[8];
            qToBigEndian<quint64>(size, length);
            frame.append(reinterpret_cast<const char *>(length), 8);
        }
        const char mask[4] = {0x37, char(0xfa), 0x21, 0x3d};
        frame.append(mask, 4);
        for (qsizetype i = 0; i < payload.size(); ++i)
            frame.append(char(payload[i] ^ mask[i & 3]));
        return frame;
    }

    bool send(const QByteArray &frame) { return socket.writeAll(frame); }

    // The plugin's side of the pairing, after the greeting: a hello with a
    // nonce, the gateway's proof checked, this one's sent.
    bool prove(const QByteArray &key, quint16 port, const QByteArray &instance = "bench")
    {
        const QByteArray nc = QByteArray(16, 'b').toBase64();
        QByteArray reply;
        if (!send(textFrame("{\"type\":\"hello\",\"version\":\"bench\",\"instance\":\"" + instance
                            + "\",\"nonce\":\"" + nc + "\"}"))
            || !receive(reply) || !reply.contains("\"proof\""))
            return false;
        const QJsonObject proof = QJsonDocument::fromJson(reply).object();
        const QByteArray ng = proof.value(QLatin1String("nonce")).toString().toLatin1();
        const auto mac = [&](const char *role) {
            return QMessageAuthenticationCode::hash(QByteArray(role) + '|' + nc + '|' + ng + '|' + QByteArray::number(port),
                                                    key, QCryptographicHash::Sha256).toBase64();
        };
        if (proof.value(QLatin1String("proof")).toString().toLatin1() != mac("gateway"))
            return false;
        return send(textFrame("{\"type\":\"proof\",\"proof\":\"" + mac("plugin") + "\"}"));
    }

    // The payload of the next text frame from the server; false when the link is gone.
    bool receive(QByteArray &payload)
    {
        for (;;) {
            uchar head[2];
            if (!socket.readExactly(reinterpret_cast<char *>(head), 2))
                return false;
            quint64 size = head[1] & 0x7F;
            if (size == 126) {
                uchar length[2];
                if (!socket.readExactly(reinterpret_cast<char *>(length), 2))
                    return false;
                size = qFromBigEndian<quint16>(length);
            } else if (size == 127) {
                uchar length[8];
                if (!socket.readExactly(reinterpret_cast<char *>(length), 8))
                    return false;
                size = qFromBigEndian<quint64>(length);
            }
            payload.resize(qsizetype(size));
            if (!socket.readExactly(payload.data(), size_t(size)))
                return false;
            if ((head[0] & 0x0F) == 0x1)
                return true;
        }
    }

    RawSocket socket;
};

} // namespace bench
