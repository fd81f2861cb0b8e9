#include "ShowAndActivate.h"

#include <QWidget>

#include <windows.h>

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
