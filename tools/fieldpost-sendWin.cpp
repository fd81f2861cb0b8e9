#include <QtGlobal>

#include <winsock2.h>

// Half-closes the connection: the gateway reads to the end, while this process
// still owns its socket, so that the gateway can tell whose companion it is.
bool endWriting(qintptr descriptor)
{
    return ::shutdown(SOCKET(descriptor), SD_SEND) == 0;
}
