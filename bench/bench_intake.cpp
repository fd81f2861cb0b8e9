// The line codec against the whole-buffer reference that the tests use as its
// yardstick, on the two shapes that matter: one huge frame arriving in small
// reads, and a flood of short frames arriving in large reads.
#include "BenchSupport.h"
#include "FrameFormat.h"
#include "LineFramer.h"
#include "ReferenceFramer.h"

#include <QCoreApplication>
#include <QList>

#include <cstdio>

namespace {

struct Outcome
{
    qint64 lines = 0;
    qint64 bad = 0;
    size_t hash = 0; // of every line's text, in order
    double seconds = 0;
    bool operator==(const Outcome &o) const { return lines == o.lines && bad == o.bad && hash == o.hash; }
};

void mix(size_t &hash, const QString &line)
{
    hash = hash * 1000003u ^ qHash(line);
}

QList<QByteArray> chunked(const QByteArray &stream, qsizetype chunk)
{
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < stream.size(); at += chunk)
        chunks.append(stream.mid(at, chunk));
    return chunks;
}

Outcome runFramer(const QList<QByteArray> &chunks)
{
    Outcome out;
    const double start = bench::nowSeconds();
    LineFramer framer;
    for (const QByteArray &chunk : chunks) {
        framer.feed(chunk);
        while (std::optional<FramerEvent> event = framer.next()) {
            if (event->kind == FramerEvent::Line) {
                ++out.lines;
                mix(out.hash, event->line);
            } else {
                ++out.bad;
            }
        }
    }
    out.seconds = bench::nowSeconds() - start;
    return out;
}

Outcome runReference(const QList<QByteArray> &chunks)
{
    Outcome out;
    const double start = bench::nowSeconds();
    ReferenceFramer reference;
    for (const QByteArray &chunk : chunks) {
        for (const ReferenceFramer::Event &event : reference.feed(chunk)) {
            if (event.good) {
                ++out.lines;
                mix(out.hash, event.line);
            } else {
                ++out.bad;
            }
        }
    }
    out.seconds = bench::nowSeconds() - start;
    return out;
}

// The best of a few runs: the machine's noise only ever adds time.
Outcome best(const QList<QByteArray> &chunks, int runs)
{
    Outcome fastest = runFramer(chunks);
    for (int i = 1; i < runs; ++i) {
        const Outcome again = runFramer(chunks);
        if (again.seconds < fastest.seconds)
            fastest = again;
    }
    return fastest;
}

// One frame of `size` payload bytes, with a keep-alive marker every MiB inside it.
QByteArray hugeFrame(qsizetype size)
{
    QByteArray payload(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        payload[i] = char('a' + i % 26);
    const QByteArray frame = encodeFrame(payload);
    QByteArray stream;
    stream.reserve(frame.size() + 20 * keepAliveMarker.size());
    for (qsizetype at = 0; at < frame.size(); at += 1024 * 1024)
        stream.append(frame.mid(at, 1024 * 1024)).append(keepAliveMarker);
    return stream;
}

// `count` short frames, a keep-alive marker after every 64th.
QByteArray shortFrames(int count)
{
    QByteArray stream;
    for (int i = 0; i < count; ++i) {
        stream.append(encodeFrame(QByteArray("ORD-") + QByteArray::number(i) + "\r\n"));
        if (i % 64 == 63)
            stream.append(keepAliveMarker);
    }
    return stream;
}

bool report(const char *name, const Outcome &framer, const Outcome &reference, qint64 streamBytes, qint64 expectedLines)
{
    const double ratio = reference.seconds / framer.seconds;
    const double mbps = double(streamBytes) / 1e6 / framer.seconds;
    std::printf("%-40s LineFramer %9.1f ms %8.0f MB/s | reference %9.1f ms %8.0f MB/s | ratio %7.1fx\n", name,
                framer.seconds * 1e3, mbps, reference.seconds * 1e3, double(streamBytes) / 1e6 / reference.seconds,
                ratio);
    if (!(framer == reference) || framer.lines != expectedLines || framer.bad != 0) {
        std::printf("  MISMATCH: LineFramer %lld lines, %lld bad; reference %lld lines, %lld bad; expected %lld lines\n",
                    qint64(framer.lines), qint64(framer.bad), qint64(reference.lines), qint64(reference.bad),
                    qint64(expectedLines));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bool same = true;

    const QByteArray huge = hugeFrame(16 * 1024 * 1024);
    const QList<QByteArray> hugeChunks = chunked(huge, 4 * 1024);
    const Outcome hugeFramer = best(hugeChunks, 3);
    const Outcome hugeReference = runReference(hugeChunks);
    same &= report("16 MiB frame in 4 KiB chunks", hugeFramer, hugeReference, huge.size(), 1);
    const double hugeRatio = hugeReference.seconds / hugeFramer.seconds;
    bench::tableRow(QStringLiteral("intake: 16 MiB frame in 4 KiB chunks"),
                    QString::asprintf("%.0f ms (%.0f\u00d7)", hugeFramer.seconds * 1e3, hugeRatio),
                    QString::asprintf("whole-buffer reference %.1f s", hugeReference.seconds),
                    QStringLiteral("\u2265 100\u00d7"), hugeRatio >= 100);

    const int count = 1000 * 1000;
    const QByteArray many = shortFrames(count);
    const QList<QByteArray> manyChunks = chunked(many, 64 * 1024);
    const Outcome manyFramer = best(manyChunks, 3);
    const Outcome manyReference = runReference(manyChunks);
    same &= report("1 M short frames in 64 KiB chunks", manyFramer, manyReference, many.size(), count);
    const double mbps = double(many.size()) / 1e6 / manyFramer.seconds;
    bench::tableRow(QStringLiteral("intake: 1 M short frames in 64 KiB chunks"), QString::asprintf("%.0f MB/s", mbps),
                    QString::asprintf("reference %.0f MB/s", double(many.size()) / 1e6 / manyReference.seconds),
                    QStringLiteral("\u2265 200 MB/s"), mbps >= 200);

    // A wrong answer makes every figure above meaningless.
    return same ? 0 : 1;
}
