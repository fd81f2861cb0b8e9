#include "ShellPlatform.h"

#include <QWidget>

#include <windows.h>

#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

// Windows only lets the foreground thread hand over the foreground, so borrow
// its input state for the moment of the switch.
void takeForeground(QWidget *window)
{
    const HWND handle = reinterpret_cast<HWND>(window->winId());
    const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    const DWORD ownThread = GetCurrentThreadId();
    if (foregroundThread == ownThread) {
        SetForegroundWindow(handle);
        return;
    }
    AttachThreadInput(ownThread, foregroundThread, TRUE);
    BringWindowToTop(handle);
    SetForegroundWindow(handle);
    AttachThreadInput(ownThread, foregroundThread, FALSE);
}

QString currentUserId()
{
    QString id;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return id;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    wchar_t *sid = nullptr;
    if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid)) {
        id = QString::fromWCharArray(sid);
        LocalFree(sid);
    }
    CloseHandle(token);
    return id;
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

void playFailureBeep(bool)
{
    MessageBeep(MB_ICONHAND);
}

QLocalServer::SocketOptions quitChannelAccess()
{
    // No options: the pipe's default security, full access for the user and
    // the administrators, reading only for everyone else.
    return QLocalServer::NoOptions;
}
