#include "LogFile.h"

#include <QDir>

namespace {

QString oldFileName(int generation)
{
    return QStringLiteral("fieldpost.%1.log").arg(generation);
}

// The log holds every scanned value: readable by its user only.
constexpr QFile::Permissions ownerOnlyFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

LogFile::LogFile(const QString &logFolder, qint64 limit)
    : folder(logFolder)
    , maxBytes(limit)
    , file(QDir(logFolder).filePath(QStringLiteral("fieldpost.log")))
{
}

LogFile::~LogFile()
{
    flush();
}

bool LogFile::open()
{
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create the folder"));
    // Also a folder made by an earlier version with the default rights.
    QFile::setPermissions(folder, ownerOnlyFolder);
    return openFile();
}

// Unbuffered: what is held goes to the system in one write, QFile keeps nothing of its own.
bool LogFile::openFile()
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, ownerOnlyFile))
        return fail(file.errorString());
    file.setPermissions(ownerOnlyFile);
    size = file.size();
    return true;
}

bool LogFile::write(QByteArrayView lines)
{
    if (!file.isOpen())
        return false;
    if (size > 0 && size + lines.size() > maxBytes && !rotate())
        return false;
    held.append(lines);
    size += lines.size();
    return held.size() < MaxHeldBytes || flush();
}

bool LogFile::flush()
{
    if (held.isEmpty() || !file.isOpen())
        return file.isOpen();
    const bool written = file.write(held) == held.size();
    // The capacity stays for the next batch.
    held.resize(0);
    return written || fail(file.errorString());
}

bool LogFile::rotate()
{
    // What is held belongs to the file being closed.
    if (!flush())
        return false;
    // Windows renames neither an open file nor onto an existing one.
    file.close();
    QDir dir(folder);
    dir.remove(oldFileName(KeptOldFiles));
    for (int generation = KeptOldFiles - 1; generation >= 1; --generation) {
        if (dir.exists(oldFileName(generation)) && !dir.rename(oldFileName(generation), oldFileName(generation + 1)))
            return fail(QStringLiteral("cannot rename %1").arg(oldFileName(generation)));
    }
    if (!dir.rename(QStringLiteral("fieldpost.log"), oldFileName(1)))
        return fail(QStringLiteral("cannot rename fieldpost.log"));
    return openFile();
}

bool LogFile::fail(const QString &why)
{
    error = why;
    held.clear();
    file.close();
    return false;
}
