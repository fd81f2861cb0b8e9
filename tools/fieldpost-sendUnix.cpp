#include <QtGlobal>

#include <sys/socket.h>

// Half-closes the connection: the gateway reads to the end, while this process
// still owns its socket, so that the gateway can tell whose companion it is.
bool endWriting(qintptr descriptor)
{
    return ::shutdown(int(descriptor), SHUT_WR) == 0;
}
