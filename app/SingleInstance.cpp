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
