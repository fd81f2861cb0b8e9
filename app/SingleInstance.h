#pragma once

#include <QString>

// The local channel through which a second start hands over to the first.
inline constexpr char ipcServerName[] = "ThornvaleworksFieldpost_IPC";
inline constexpr char ipcShowMessage[] = "SHOW";

// The channel of the user this process runs as: the user id in its name, so
// that one user's gateway never answers (or stops) another's start; on Linux
// in the user's own runtime folder where the session has one.
QString userChannelName();
