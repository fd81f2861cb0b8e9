#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class LogFile;

// Where every log line goes: stamped with its date and time, into the log
// file, optionally onto standard error, and out to whoever shows the log.
// Lines are gathered and handed on once per event-loop turn (or every
// MaxBatchLines), so a burst costs one step, not one per line; the file then
// takes them to disk within FileFlushMs, on quitting and on destruction, so a
// crash loses at most that much of the file, never of the view.
class Logger : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxBatchLines = 64;
    static constexpr int FileFlushMs = 200;
    // "[yyyy-MM-dd " in front of every written line; a view shows the rest.
    static constexpr qsizetype DateSize = 12;

    explicit Logger(QObject *parent = nullptr);
    ~Logger() override;

    // Opens fieldpost.log in that folder and logs its path, or one line saying
    // why not; the log then goes on without a file.
    void openFile(const QString &folder);
    void setMirrorToStderr(bool mirror) { mirrorToStderr = mirror; }

    // The text as it is logged: control characters escaped, so that no value
    // can break a line or forge one.
    static QString escaped(const QString &msg);
    // A written line as a view and standard error show it, "[HH:mm:ss] msg", and a line break.
    static void appendShown(QString &to, const QString &line)
    {
        to.append(QLatin1Char('[')).append(QStringView(line).sliced(DateSize)).append(QLatin1Char('\n'));
    }

public slots:
    void log(const QString &msg);
    // Hands on the gathered lines; the file's share may wait for its timer.
    void flush();
    // Also puts what the file holds on disk.
    void flushToDisk();

signals:
    // Lines just written, "[yyyy-MM-dd HH:mm:ss] msg" each, oldest first.
    void written(const QStringList &lines);

private:
    void fileFailed();

    QStringList pending;
    // The stamp of the second it was made for: a burst formats the time once per second.
    QString stamp;
    qint64 stampSecond = -1;
    bool mirrorToStderr = false;
    std::unique_ptr<LogFile> file; // null when there is none, or it failed
    QTimer fileTimer;
};
