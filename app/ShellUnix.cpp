#include "ShellPlatform.h"

#include <QApplication>
#include <QWidget>

#include <cstdio>

#include <unistd.h>

// X11 and Wayland have no foreground hand-over a client may force: the
// activation request that showAndActivate already sent through Qt (an EWMH
// _NET_ACTIVE_WINDOW message on X11) is the whole of it.
void takeForeground(QWidget *)
{
}

QString currentUserId()
{
    return QString::number(getuid());
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void playFailureBeep(bool desktop)
{
    if (desktop) {
        QApplication::beep();
    } else if (stderrIsTerminal()) {
        std::fputs("\a", stderr);
        std::fflush(stderr);
    }
}

QLocalServer::SocketOptions quitChannelAccess()
{
    // root, who runs the package manager, may write to any socket anyway.
    return QLocalServer::UserAccessOption;
}
