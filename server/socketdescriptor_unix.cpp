#include "socketdescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon {
namespace socketdescriptor {

bool canShareListeningSocket()
{
    return true;
}

tSocketDescriptor duplicate(tSocketDescriptor descriptor)
{
    return ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
}

tSocketDescriptor acceptOne(tSocketDescriptor listening, bool* exhausted, int* error)
{
    *exhausted = false;
    for (;;) {
        const int accepted = ::accept4(int(listening), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0)
            return accepted;
        *error = errno;
        switch (errno) {
        case EINTR:
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            *exhausted = true;
            return -1;
        default:
            // EAGAIN (another thread took it), ECONNABORTED and the like.
            return -1;
        }
    }
}

void close(tSocketDescriptor descriptor)
{
    ::close(int(descriptor));
}

} // namespace socketdescriptor
} // namespace quillon
