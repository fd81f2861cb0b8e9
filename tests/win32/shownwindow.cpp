// Whether a visible top-level window whose title starts with a given text is
// on the desktop; the deployed-program check asks it under wine.
//   shownwindow.exe TITLE-START [WAIT-MS]
// Exits 0 as soon as one is there, 1 when none came within WAIT-MS (default 0).
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring titleStart;

BOOL CALLBACK matches(HWND window, LPARAM found)
{
    wchar_t title[512] = {};
    if (IsWindowVisible(window) && GetWindowTextW(window, title, 512) > 0
        && std::wcsncmp(title, titleStart.c_str(), titleStart.size()) == 0) {
        *reinterpret_cast<bool *>(found) = true;
        return FALSE;
    }
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 2;
    titleStart = argv[1];
    const DWORD waitMs = argc > 2 ? DWORD(std::wcstoul(argv[2], nullptr, 10)) : 0;
    const DWORD start = GetTickCount();
    for (;;) {
        bool found = false;
        EnumWindows(matches, reinterpret_cast<LPARAM>(&found));
        if (found)
            return 0;
        if (GetTickCount() - start >= waitMs)
            return 1;
        Sleep(100);
    }
}
