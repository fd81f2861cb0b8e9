#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

// The log on disk, so that nothing is lost when the window's view drops old
// lines: fieldpost.log in a folder, rotated to fieldpost.1.log …
// fieldpost.4.log when it would grow past its size limit, the oldest dropped.
// Lines are held in memory and go to disk in one write on flush(), which the
// owner calls on a short timer: a system call for every burst of lines showed
// in the gateway's throughput.
class LogFile
{
public:
    static constexpr qint64 DefaultMaxBytes = 10 * 1024 * 1024;
    static constexpr int KeptOldFiles = 4;
    // Held bytes beyond this go to disk at once.
    static constexpr qsizetype MaxHeldBytes = 256 * 1024;

    explicit LogFile(const QString &folder, qint64 maxBytes = DefaultMaxBytes);
    // What is still held goes to disk.
    ~LogFile();

    // Creates the folder if need be and opens the file for appending.
    bool open();
    // Takes whole lines (UTF-8, each ending in '\n'), after rotating when they
    // would take the file past the limit: the same files as writing each batch
    // at once. False when a write to disk failed.
    bool write(QByteArrayView lines);
    // Writes what is held; false when the disk did not take it.
    bool flush();
    bool holdsLines() const { return !held.isEmpty(); }

    QString path() const { return file.fileName(); }
    // Why open(), write() or flush() failed, fit for a log line.
    QString errorString() const { return error; }

private:
    bool openFile();
    bool rotate();
    bool fail(const QString &why);

    QString folder;
    qint64 maxBytes;
    QFile file;
    qint64 size = 0; // on disk and held
    QByteArray held;
    QString error;
};
