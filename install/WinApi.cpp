#include "WinApi.h"

#include "BrowserWindowTitle.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <vector>

namespace {

// EnumWindows callback: stops at the first visible, unowned browser window.
BOOL CALLBACK findBrowserWindow(HWND window, LPARAM result)
{
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr)
        return TRUE;
    wchar_t buffer[browserwindow::titleBufferLength] = {};
    const int length = GetWindowTextW(window, buffer, browserwindow::titleBufferLength);
    if (length <= 0)
        return TRUE;
    const std::wstring title(buffer, size_t(length));
    if (browserwindow::isChromeTitle(title) || browserwindow::isEdgeTitle(title)) {
        *reinterpret_cast<HWND *>(result) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

namespace winapi {

bool runElevatedReg(const std::wstring &arguments)
{
    std::vector<wchar_t> parameters(arguments.begin(), arguments.end());
    parameters.push_back(L'\0');

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = L"reg.exe";
    info.lpParameters = parameters.data();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info))
        return false; // also when the user refused the elevation prompt
    if (!info.hProcess)
        return false;

    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1; // stays 1 when it cannot be read
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    return exitCode == 0;
}

bool isProcessRunning(const std::wstring &imageName)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool found = false;
    if (Process32FirstW(snapshot, &entry)) {
        do {
            if (_wcsicmp(entry.szExeFile, imageName.c_str()) == 0) {
                found = true;
                break;
            }
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return found;
}

void *browserWindow()
{
    HWND window = nullptr;
    EnumWindows(findBrowserWindow, reinterpret_cast<LPARAM>(&window));
    return window;
}

bool bringBrowserToFront()
{
    const HWND window = static_cast<HWND>(browserWindow());
    if (!window)
        return false;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);

    // Windows only lets the foreground thread hand over the foreground, so
    // borrow its input state for the moment of the switch.
    const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    const DWORD ownThread = GetCurrentThreadId();
    AttachThreadInput(ownThread, foregroundThread, TRUE);
    BringWindowToTop(window);
    SetForegroundWindow(window);
    AttachThreadInput(ownThread, foregroundThread, FALSE);
    return true;
}

} // namespace winapi
