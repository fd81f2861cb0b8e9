#pragma once

#include <QString>

// The local channel through which a second start hands over to the first.
inline constexpr char ipcServerName[] = "ThornvaleworksFieldpost_IPC";
inline constexpr char ipcShowMessage[] = "SHOW";

// The channel of the user this process runs as: the user id in its name, so
// that one user's gateway never answers (or stops) another's start; on Linux
// in the user's own runtime folder where the session has one.
QString userChannelName();

// The channel through which Setup.exe asks each user's gateway to quit before
// it replaces the program's files: "QUIT", from the user or an administrator.
inline constexpr char quitMessage[] = "QUIT";
// The quit channel that goes with a single-instance channel.
QString quitChannelName(const QString &channelName);
