#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QString>

// The log on disk, so that nothing is lost when the window's view drops old
// lines: fieldpost.log in a folder, rotated to fieldpost.1.log …
// fieldpost.4.log when it would grow past its size limit, the oldest dropped.
class LogFile
{
public:
    static constexpr qint64 DefaultMaxBytes = 10 * 1024 * 1024;
    static constexpr int KeptOldFiles = 4;

    explicit LogFile(const QString &folder, qint64 maxBytes = DefaultMaxBytes);

    // Creates the folder if need be and opens the file for appending.
    bool open();
    // Appends whole lines (UTF-8, each ending in '\n') and flushes them, after
    // rotating when they would take the file past the limit.
    bool write(QByteArrayView lines);

    QString path() const { return file.fileName(); }
    // Why open() or write() failed, fit for a log line.
    QString errorString() const { return error; }

private:
    bool openFile();
    bool rotate();
    bool fail(const QString &why);

    QString folder;
    qint64 maxBytes;
    QFile file;
    qint64 size = 0;
    QString error;
};
