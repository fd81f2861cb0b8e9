#pragma once

// The local channel through which a second start hands over to the first.
inline constexpr char ipcServerName[] = "ThornvaleworksFieldpost_IPC";
inline constexpr char ipcShowMessage[] = "SHOW";
