#include "Logger.h"

#include "LogFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cstdio>

namespace {

QString logFileFailed(const QString &path, const QString &why)
{
    return QStringLiteral("Log file: cannot write %1 (%2); the log stays in this window only").arg(path, why);
}

bool needsEscape(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

Logger::Logger(QObject *parent) : QObject(parent)
{
    fileTimer.setSingleShot(true);
    fileTimer.setInterval(FileFlushMs);
    connect(&fileTimer, &QTimer::timeout, this, &Logger::flushToDisk);
    // Before the window and the gateway go, in case the process ends before its destructors run.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &Logger::flushToDisk);
}

Logger::~Logger()
{
    // The file writes what it holds when it goes.
    flush();
}

QString Logger::escaped(const QString &msg)
{
    const auto first = std::find_if(msg.cbegin(), msg.cend(), [](QChar c) { return needsEscape(c.unicode()); });
    if (first == msg.cend())
        return msg;
    QString out = msg.left(first - msg.cbegin());
    for (auto it = first; it != msg.cend(); ++it) {
        const char16_t c = it->unicode();
        if (!needsEscape(c))
            out.append(*it);
        else if (c == '\n')
            out.append(QLatin1String("\\n"));
        else if (c == '\r')
            out.append(QLatin1String("\\r"));
        else if (c == '\t')
            out.append(QLatin1String("\\t"));
        else if (c < 0x100)
            out.append(QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0')));
        else
            out.append(QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0')));
    }
    return out;
}

void Logger::openFile(const QString &folder)
{
    if (folder.isEmpty())
        return;
    file = std::make_unique<LogFile>(folder);
    const QString path = QDir::toNativeSeparators(file->path());
    if (file->open()) {
        log(QStringLiteral("Log file: %1").arg(path));
    } else {
        log(logFileFailed(path, file->errorString()));
        file.reset();
    }
}

void Logger::log(const QString &msg)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != stampSecond) {
        stampSecond = now / 1000;
        stamp = QDateTime::fromMSecsSinceEpoch(stampSecond * 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    const QString text = escaped(msg);
    QString line;
    line.reserve(stamp.size() + text.size() + 3);
    line.append(QLatin1Char('[')).append(stamp).append(QLatin1String("] ")).append(text);
    if (pending.isEmpty())
        QMetaObject::invokeMethod(this, &Logger::flush, Qt::QueuedConnection);
    pending.append(std::move(line));
    // Socket reads can starve posted events for a long burst; a bounded batch
    // keeps each write short.
    if (pending.size() >= MaxBatchLines)
        flush();
}

void Logger::flush()
{
    if (pending.isEmpty())
        return;
    const QStringList lines = std::exchange(pending, QStringList());
    if (mirrorToStderr) {
        QString shown;
        for (const QString &line : lines)
            appendShown(shown, line);
        const QByteArray bytes = shown.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
    if (file) {
        QString kept;
        for (const QString &line : lines)
            kept.append(line).append(QLatin1Char('\n'));
        if (!file->write(kept.toUtf8()))
            fileFailed();
        else if (file->holdsLines() && !fileTimer.isActive())
            fileTimer.start();
    }
    emit written(lines);
}

void Logger::flushToDisk()
{
    flush();
    fileTimer.stop();
    if (file && !file->flush())
        fileFailed();
}

void Logger::fileFailed()
{
    const QString path = QDir::toNativeSeparators(file->path());
    const QString why = file->errorString();
    file.reset();
    fileTimer.stop();
    log(logFileFailed(path, why));
}
