#pragma once

// The Windows calls of the plugin installation, in plain C++ types so that
// they build and run without Qt (the layer is checked on its own under wine).

#include <string>

namespace winapi {

// The full path of a tool in the system folder ("C:\\Windows\\System32\\reg.exe").
std::wstring systemTool(const wchar_t *name);

// Runs the system's reg.exe elevated ("runas") with that command line and
// waits for it; true when it ran and exited with 0. A refused prompt is
// false. It blocks: call it off the GUI thread.
bool runElevatedReg(const std::wstring &arguments);

// Whether a process with that image name ("chrome.exe") runs now; letter case ignored.
bool isProcessRunning(const std::wstring &imageName);

// The window bringBrowserToFront would raise (an HWND), or null.
void *browserWindow();

// Restores and raises the first browser window found; false when there is none.
bool bringBrowserToFront();

// Joined to an Active Directory domain or to Entra ID (Azure AD).
bool isManagedMachine();

} // namespace winapi
