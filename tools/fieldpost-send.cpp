// Sends text lines to a running Fieldpost the way the companion product
// does: one checksummed frame per line over TCP.

#include "FrameFormat.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>

namespace {

constexpr int connectTimeoutMs = 5000;
constexpr int writeTimeoutMs = 30000;
// How long the gateway may take to read the last lines and close.
constexpr int closeWaitMs = 5000;

void complain(const QString &text)
{
    std::fprintf(stderr, "fieldpost-send: %s\n", qPrintable(text));
}

// Lines without their line ends; a file's last line needs no line end.
QList<QByteArray> splitLines(const QByteArray &data)
{
    QList<QByteArray> lines = data.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

bool writeAll(QTcpSocket &socket, const QByteArray &bytes)
{
    if (socket.write(bytes) != bytes.size())
        return false;
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(writeTimeoutMs))
            return false;
    }
    return true;
}

} // namespace

// Ends this side of the connection and keeps the socket open (fieldpost-send{Unix,Win}.cpp).
bool endWriting(qintptr descriptor);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fieldpost-send"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends each line of the given files (or of standard input) to Fieldpost as one frame, as the companion "
        "product does. A frame is the line's bytes (UTF-8, without its line end), then four checksum "
        "characters - the sum of the line's bytes as a signed 32-bit number in upper-case hexadecimal, padded "
        "on the left with 0 to four characters or cut to its first four - then the 18 bytes "
        "\"{PAQ_Marrowlinker}\". Empty lines are skipped, since a frame needs at least one byte of text, and so "
        "are lines that contain the delimiter itself. The keep-alive marker is the 10 bytes dd fe, \"ZUNEX\", "
        "01 fe de; the receiver removes it wherever it stands."));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Host to connect to (default 127.0.0.1)."),
                                        QStringLiteral("H"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("TCP port to connect to (default %1).").arg(defaultProductPort),
                                        QStringLiteral("P"), QString::number(defaultProductPort));
    const QCommandLineOption keepAliveOption(QStringLiteral("keepalive-every"),
                                             QStringLiteral("Send a keep-alive marker after every N frames (0: never)."),
                                             QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"), QStringLiteral("Wait D ms between frames."),
                                         QStringLiteral("D"), QStringLiteral("0"));
    parser.addOptions({hostOption, portOption, keepAliveOption, delayOption});
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Files to send; standard input when none."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        complain(QStringLiteral("invalid port \"%1\"").arg(parser.value(portOption)));
        return 2;
    }
    const int keepAliveEvery = parser.value(keepAliveOption).toInt(&ok);
    if (!ok || keepAliveEvery < 0) {
        complain(QStringLiteral("invalid --keepalive-every \"%1\"").arg(parser.value(keepAliveOption)));
        return 2;
    }
    const int delayMs = parser.value(delayOption).toInt(&ok);
    if (!ok || delayMs < 0) {
        complain(QStringLiteral("invalid --delay-ms \"%1\"").arg(parser.value(delayOption)));
        return 2;
    }

    // Every input is read before connecting, so a bad file name sends nothing.
    QList<QByteArray> lines;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty()) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read standard input"));
            return 2;
        }
        lines = splitLines(in.readAll());
    }
    for (const QString &name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read %1: %2").arg(name, file.errorString()));
            return 2;
        }
        lines += splitLines(file.readAll());
    }

    QTcpSocket socket;
    const QString host = parser.value(hostOption);
    socket.connectToHost(host, quint16(port));
    if (!socket.waitForConnected(connectTimeoutMs)) {
        complain(QStringLiteral("cannot connect to %1 port %2: %3").arg(host, QString::number(port), socket.errorString()));
        return 1;
    }

    int frames = 0;
    int skipped = 0;
    for (const QByteArray &line : std::as_const(lines)) {
        if (line.isEmpty() || line.contains(frameDelimiter)) {
            ++skipped;
            continue;
        }
        if (frames > 0 && delayMs > 0)
            QThread::msleep(ulong(delayMs));
        QByteArray bytes = encodeFrame(line);
        ++frames;
        if (keepAliveEvery > 0 && frames % keepAliveEvery == 0)
            bytes += keepAliveMarker;
        if (!writeAll(socket, bytes)) {
            complain(QStringLiteral("sending failed after %1 frames: %2").arg(QString::number(frames - 1), socket.errorString()));
            return 1;
        }
    }
    // The gateway closes once it has read everything; a socket closed at once
    // would leave it unable to tell which user sent the lines, and it refuses those.
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(writeTimeoutMs)) { }
    if (socket.bytesToWrite() == 0 && endWriting(socket.socketDescriptor())) {
        while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(closeWaitMs))
            socket.readAll();
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(writeTimeoutMs);
    if (skipped > 0)
        complain(QStringLiteral("skipped %1 empty or unsendable lines").arg(skipped));
    return 0;
}
