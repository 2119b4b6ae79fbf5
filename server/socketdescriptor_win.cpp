#include "socketdescriptor.h"

#include <winsock2.h>

namespace quillon {
namespace socketdescriptor {

// One socket's notifications go to one thread's window (WSAAsyncSelect):
// the listener accepts and hands connections to the I/O threads.
bool canShareListeningSocket()
{
    return false;
}

tSocketDescriptor duplicate(tSocketDescriptor)
{
    return -1;
}

tSocketDescriptor acceptOne(tSocketDescriptor, bool* exhausted, int* error)
{
    *exhausted = false;
    *error = 0;
    return -1;
}

void close(tSocketDescriptor descriptor)
{
    ::closesocket(SOCKET(descriptor));
}

} // namespace socketdescriptor
} // namespace quillon
