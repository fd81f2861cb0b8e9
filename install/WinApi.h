#pragma once

// The Windows calls of the plugin installation, in plain C++ types so that
// they build and run without Qt (the layer is checked on its own under wine).

#include <string>

namespace winapi {

// Runs reg.exe elevated ("runas") with that command line and waits for it;
// true when it ran and exited with 0. A refused prompt is false.
bool runElevatedReg(const std::wstring &arguments);

// Whether a process with that image name ("chrome.exe") runs now; letter case ignored.
bool isProcessRunning(const std::wstring &imageName);

// The window bringBrowserToFront would raise (an HWND), or null.
void *browserWindow();

// Restores and raises the first browser window found; false when there is none.
bool bringBrowserToFront();

} // namespace winapi
