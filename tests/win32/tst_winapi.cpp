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
    if (!ok)
        ++failures;
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    std::fflush(stdout);
}

const wchar_t *const testKey = L"Software\\Policies\\FieldpostCheck\\ExtensionInstallForcelist";
const std::wstring testKeyArg = L"HKLM\\Software\\Policies\\FieldpostCheck\\ExtensionInstallForcelist";
const std::wstring policyValue =
    L"kembcdlbgbcnnchcnbdhbmbhbejnedjf;https://updates.thornvaleworks.com/fieldpost/update.xml";

// Reads a value from the 64-bit view, the one the launched reg.exe writes.
bool readValue(const wchar_t *name, std::wstring *data)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, testKey, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                                        nullptr, buffer, &size);
    if (status != ERROR_SUCCESS)
        return false;
    *data = buffer;
    return true;
}

void registry()
{
    std::wstring data;
    const std::wstring add = L"add \"" + testKeyArg + L"\" /v 3 /t REG_SZ /d \"" + policyValue + L"\" /f";
    check(winapi::runElevatedReg(add), "elevated reg add exits with 0");
    check(readValue(L"3", &data) && data == policyValue, "added value reads back exactly");

    const std::wstring addOther = L"add \"" + testKeyArg + L"\" /v 10 /t REG_SZ /d \"other;https://o.example/u\" /f";
    check(winapi::runElevatedReg(addOther), "second value added");

    check(winapi::runElevatedReg(L"delete \"" + testKeyArg + L"\" /v 3 /f"), "elevated reg delete exits with 0");
    check(!readValue(L"3", &data), "deleted value is gone");
    check(readValue(L"10", &data) && data == L"other;https://o.example/u", "the other value is untouched");

    check(!winapi::runElevatedReg(L"delete \"" + testKeyArg + L"\" /v 3 /f"),
          "deleting a missing value fails (non-zero exit code)");
    check(!winapi::runElevatedReg(L"frobnicate /x"), "an unknown sub-command fails");
    check(winapi::runElevatedReg(L"delete \"HKLM\\Software\\Policies\\FieldpostCheck\" /f"), "clean-up");
}

void processes()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring image = path;
    image = image.substr(image.find_last_of(L"\\/") + 1);
    std::wstring upper = image, lower = image;
    for (wchar_t &c : upper)
        c = wchar_t(towupper(c));
    for (wchar_t &c : lower)
        c = wchar_t(towlower(c));

    check(winapi::isProcessRunning(image), "own process found by its image name");
    check(winapi::isProcessRunning(upper), "own process found in upper case");
    check(winapi::isProcessRunning(lower), "own process found in lower case");
    check(!winapi::isProcessRunning(image.substr(0, image.size() - 4)), "image name without .exe is not a match");
    check(!winapi::isProcessRunning(L"no-such-browser.exe"), "absent image name not found");
}

HWND makeWindow(const wchar_t *title, HWND owner, bool visible)
{
    const HWND window = CreateWindowExW(0, L"FieldpostCheckWindow", title, WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                                        owner, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (visible)
        ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

void pumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void windows()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"FieldpostCheckWindow";
    RegisterClassW(&windowClass);

    check(winapi::browserWindow() == nullptr, "no browser window at first");
    check(!winapi::bringBrowserToFront(), "nothing to raise without a browser window");

    // Created bottom to top: each new window goes on top of the last.
    const HWND edge = makeWindow(L"Start \u2014 MICROSOFT Edge", nullptr, true);
    const HWND nearMiss = makeWindow(L"Microsoft edge", nullptr, true);
    const HWND owned = makeWindow(L"Save as - Google Chrome", edge, true);
    const HWND hidden = makeWindow(L"Hidden - Google Chrome", nullptr, false);
    const HWND other = makeWindow(L"Notes", nullptr, true);
    pumpMessages();
    check(winapi::browserWindow() == edge, "the unowned, visible Edge window is found");

    ShowWindow(edge, SW_MINIMIZE);
    SetForegroundWindow(other);
    pumpMessages();
    check(IsIconic(edge) != FALSE, "Edge window minimized");
    check(winapi::bringBrowserToFront(), "bringBrowserToFront reports a window");
    pumpMessages();
    check(IsIconic(edge) == FALSE, "minimized window restored");
    check(GetForegroundWindow() == edge, "browser window is in the foreground");

    // A Chrome window above it wins by order alone.
    const HWND chrome = makeWindow(L"New Tab - Google Chrome", nullptr, true);
    SetForegroundWindow(other);
    pumpMessages();
    check(winapi::browserWindow() == chrome, "topmost matching window wins");
    check(winapi::bringBrowserToFront() && GetForegroundWindow() == chrome, "Chrome window activated");

    for (HWND window : {chrome, other, hidden, owned, nearMiss, edge})
        DestroyWindow(window);
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
