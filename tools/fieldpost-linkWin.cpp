#include <QtGlobal>

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

// A process this user may open and that has not ended yet.
bool processRuns(qint64 pid)
{
    if (pid <= 0 || pid > qint64(MAXDWORD))
        return false;
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// In text mode a length byte 0x1A would read as the end of input and 0x0A would be written as 0x0D 0x0A.
void prepareStdio()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}
