#include "platform/hoststream.h"
#include "platform/hotpath.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Platform
{

bool makeWaiting(int descriptor)
{
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0
        && ((flags & O_NONBLOCK) == 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0);
}

PRISMARA_HOT long long readWaiting(int descriptor, unsigned char* into, std::size_t capacity)
{
    for (;;) {
        const ssize_t n = ::recv(descriptor, into, capacity, 0);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

PRISMARA_HOT bool writeAllWaiting(int descriptor, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(descriptor, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void shutDown(int descriptor)
{
    ::shutdown(descriptor, SHUT_RDWR);
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}

} // namespace Platform
