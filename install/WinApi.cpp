#include "WinApi.h"

#include "BrowserWindowTitle.h"

#include <windows.h>

#include <lm.h>
#include <objbase.h>
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

std::wstring systemTool(const wchar_t *name)
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::wstring(folder, length) + L"\\" + name;
}

bool runElevatedReg(const std::wstring &arguments)
{
    // Never a reg.exe that happens to stand first on the search path.
    const std::wstring reg = systemTool(L"reg.exe");
    if (reg.empty())
        return false;
    std::vector<wchar_t> parameters(arguments.begin(), arguments.end());
    parameters.push_back(L'\0');

    // The shell's elevation needs COM on the thread that asks for it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = reg.c_str();
    info.lpParameters = parameters.data();
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info) && info.hProcess; // false also when the prompt was refused
    DWORD exitCode = 1; // stays 1 when it cannot be read
    if (started) {
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &exitCode);
        CloseHandle(info.hProcess);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return started && exitCode == 0;
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

bool isManagedMachine()
{
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    if (NetGetJoinInformation(nullptr, &name, &status) == NERR_Success) {
        NetApiBufferFree(name);
        if (status == NetSetupDomainName)
            return true;
    }
    // Entra ID joins: the call exists from Windows 10 on and is not in every SDK's headers.
    struct JoinInfo
    {
        int joinType; // 1: device joined
    };
    using GetJoin = HRESULT(WINAPI *)(LPCWSTR, JoinInfo **);
    using FreeJoin = VOID(WINAPI *)(JoinInfo *);
    HMODULE netapi = LoadLibraryW(L"netapi32.dll");
    if (!netapi)
        return false;
    const auto getJoin = reinterpret_cast<GetJoin>(reinterpret_cast<void *>(GetProcAddress(netapi, "NetGetAadJoinInformation")));
    const auto freeJoin = reinterpret_cast<FreeJoin>(reinterpret_cast<void *>(GetProcAddress(netapi, "NetFreeAadJoinInformation")));
    bool joined = false;
    JoinInfo *info = nullptr;
    if (getJoin && freeJoin && SUCCEEDED(getJoin(nullptr, &info)) && info) {
        joined = info->joinType == 1;
        freeJoin(info);
    }
    FreeLibrary(netapi);
    return joined;
}

} // namespace winapi
