// The Qt-free Windows layer of the plugin installation, run under wine by
// scripts/windows-check: reg.exe through the "runas" launch, the process
// list, and the search and activation of a browser window.
#include "WinApi.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, const char *what)
{
    ++checks;
    failures += !ok;
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    std::fflush(stdout);
}

void registry()
{
    const std::wstring key = L"\"HKLM\\Software\\Policies\\FieldpostCheck\\ExtensionInstallForcelist\"";
    const std::wstring value = L"kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml";
    // Read back from the 64-bit view, the one the launched reg.exe writes.
    const auto read = [](std::wstring *data) {
        wchar_t buffer[1024] = {};
        DWORD size = sizeof(buffer);
        const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE,
                                            L"Software\\Policies\\FieldpostCheck\\ExtensionInstallForcelist", L"3",
                                            RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer, &size);
        *data = buffer;
        return status == ERROR_SUCCESS;
    };
    std::wstring data;
    check(winapi::runElevatedReg(L"add " + key + L" /v 3 /t REG_SZ /d \"" + value + L"\" /f"),
          "elevated reg add exits with 0");
    check(read(&data) && data == value, "added value reads back exactly");
    check(winapi::runElevatedReg(L"delete " + key + L" /v 3 /f"), "elevated reg delete exits with 0");
    check(!read(&data), "deleted value is gone");
    check(!winapi::runElevatedReg(L"delete " + key + L" /v 3 /f"), "deleting a missing value fails (non-zero exit)");
    check(winapi::runElevatedReg(L"delete \"HKLM\\Software\\Policies\\FieldpostCheck\" /f"), "clean-up");
}

void processes()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring image = path;
    image = image.substr(image.find_last_of(L"\\/") + 1);
    std::wstring upper = image, lower = image;
    CharUpperW(&upper[0]);
    CharLowerW(&lower[0]);
    check(winapi::isProcessRunning(image) && winapi::isProcessRunning(upper) && winapi::isProcessRunning(lower),
          "own process found by its image name in any letter case");
    check(!winapi::isProcessRunning(image.substr(0, image.size() - 4)), "image name without .exe is not a match");
    check(!winapi::isProcessRunning(L"no-such-browser.exe"), "absent image name not found");
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
    makeWindow(L"Microsoft edge");
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
    check(winapi::browserWindow() == chrome, "topmost matching window wins");
    check(winapi::bringBrowserToFront() && GetForegroundWindow() == chrome, "Chrome window activated");
}

} // namespace

int wmain()
{
    registry();
    processes();
    windows();
    std::printf("%d of %d checks passed\n", checks - failures, checks);
    return failures == 0 ? 0 : 1;
}
