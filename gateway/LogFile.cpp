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

bool LogFile::open()
{
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create the folder"));
    // Also a folder made by an earlier version with the default rights.
    QFile::setPermissions(folder, ownerOnlyFolder);
    return openFile();
}

// Unbuffered: each batch goes to the system in one write, nothing waits in this process.
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
    if (size > 0 && size + lines.size() > maxBytes && !rotate())
        return false;
    if (file.write(lines.data(), lines.size()) != lines.size() || !file.flush())
        return fail(file.errorString());
    size += lines.size();
    return true;
}

bool LogFile::rotate()
{
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
    file.close();
    return false;
}
