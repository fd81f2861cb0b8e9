// The Qt-free Windows layer under wine: the process list and the browser window
// (reg.exe is checked through the window, in tst_installwindow).
//   tst_winapi.exe shown TITLE-START WAIT-MS   is windows_app's probe instead:
// exit 0 once a visible window whose title starts so is up, 1 after WAIT-MS.
#include "WinApi.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int failures = 0, checks = 0;

void check(bool ok, const char *what)
{
    ++checks;
    failures += !ok;
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    std::fflush(stdout);
}

void processes()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring image = path;
    image = image.substr(image.find_last_of(L"\\/") + 1);
    std::wstring upper = image;
    CharUpperW(&upper[0]);
    check(winapi::isProcessRunning(image) && winapi::isProcessRunning(upper), "own process found in any letter case");
    check(!winapi::isProcessRunning(image.substr(0, image.size() - 4)) && !winapi::isProcessRunning(L"absent.exe"),
          "a name without .exe or of no process is not found");
}

void pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HWND makeWindow(const wchar_t *title, HWND owner = nullptr, bool visible = true)
{
    const HWND window = CreateWindowExW(0, L"FieldpostCheckWindow", title, WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                                        owner, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (visible)
        ShowWindow(window, SW_SHOWNORMAL);
    pump();
    return window;
}

void windows()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"FieldpostCheckWindow";
    RegisterClassW(&windowClass);
    check(winapi::browserWindow() == nullptr && !winapi::bringBrowserToFront(), "nothing to raise at first");

    // Created bottom to top: each new window goes on top of the last.
    const HWND edge = makeWindow(L"Start \u2014 MICROSOFT Edge");
    makeWindow(L"Save as - Google Chrome", edge);
    makeWindow(L"Hidden - Google Chrome", nullptr, false);
    const HWND other = makeWindow(L"Notes");
    check(winapi::browserWindow() == edge, "the unowned, visible Edge window is found");

    ShowWindow(edge, SW_MINIMIZE);
    SetForegroundWindow(other);
    pump();
    const bool minimized = IsIconic(edge) != FALSE;
    check(winapi::bringBrowserToFront(), "bringBrowserToFront reports a window");
    pump();
    check(minimized && !IsIconic(edge) && GetForegroundWindow() == edge, "minimized window restored into the foreground");

    // A Chrome window above it wins by order alone.
    const HWND chrome = makeWindow(L"New Tab - Google Chrome");
    SetForegroundWindow(other);
    pump();
    check(winapi::bringBrowserToFront() && GetForegroundWindow() == chrome, "topmost matching window activated");
}

BOOL CALLBACK titleStarts(HWND window, LPARAM start)
{
    wchar_t title[512] = {};
    const auto *text = reinterpret_cast<const wchar_t *>(start);
    return !(IsWindowVisible(window) && GetWindowTextW(window, title, 512) > 0
             && std::wcsncmp(title, text, std::wcslen(text)) == 0);
}

int shown(const wchar_t *titleStart, DWORD waitMs)
{
    // EnumWindows fails when the callback stopped it, that is on a match.
    for (const DWORD start = GetTickCount(); EnumWindows(titleStarts, LPARAM(titleStart)); Sleep(100))
        if (GetTickCount() - start >= waitMs)
            return 1;
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"shown") == 0)
        return shown(argv[2], DWORD(std::wcstoul(argv[3], nullptr, 10)));
    processes();
    windows();
    std::printf("%d of %d checks passed\n", checks - failures, checks);
    return failures == 0 ? 0 : 1;
}
