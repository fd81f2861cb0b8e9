#pragma once

// `fieldpost --service`: the gateway without a window or a tray, for a
// machine nobody sits at or a service manager. Logs to standard error and
// the log file; one per user, like the window.
int runService();
