#include "SingleInstance.h"

#include "ShellPlatform.h"

#include <QDir>

QString userChannelName()
{
    const QString name = QLatin1String(ipcServerName) + QLatin1Char('-') + currentUserId();
#ifdef Q_OS_UNIX
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath(name);
#endif
    return name;
}

QString quitChannelName(const QString &channelName)
{
    QString name = channelName;
    const QString ipc = QLatin1String(ipcServerName);
    const qsizetype at = name.lastIndexOf(ipc);
    if (at >= 0)
        return name.replace(at, ipc.size(), QStringLiteral("ThornvaleworksFieldpost_Quit"));
    return name + QStringLiteral("_Quit");
}
