#include <QtGlobal>

#include <csignal>
#include <limits>

#include <signal.h>

// The host runs as the browser's user, so a signal it may send reaches only
// that user's processes: another user's gateway answers EPERM.
bool processRuns(qint64 pid)
{
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() && kill(pid_t(pid), 0) == 0;
}

// A browser that went away before the reply makes the write fail rather than end the host by a signal.
void prepareStdio()
{
    std::signal(SIGPIPE, SIG_IGN);
}
