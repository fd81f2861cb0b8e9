#pragma once

// A main window for a test: its own single-instance channel, a tray, and a
// log file in the sandbox. With tests/TestMain.h's names, nothing of it
// touches the user's gateway, settings or log.
#include "BrowserPlatform.h"
#include "MainWindow.h"
#include "TestMain.h"

inline QString testLogFolder()
{
    return QDir(testSandboxPath()).filePath(QStringLiteral("log"));
}

inline WindowParts testParts(std::unique_ptr<BrowserPlatform> platform = createSystemPlatform())
{
    return {std::move(platform), testChannelName(), true, testLogFolder()};
}
