#include "platform/hoststream.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace Platform
{

long long writeWithoutWaiting(int descriptor, const unsigned char* data, std::size_t size)
{
    const ssize_t n = ::send(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

long long readWithoutWaiting(int descriptor, unsigned char* into, std::size_t capacity)
{
    const ssize_t n = ::recv(descriptor, into, capacity, MSG_DONTWAIT);
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kNothingYet : kReadFailed;
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}

WakePipe::WakePipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read = ends[0];
        m_write = ends[1];
    }
}

WakePipe::~WakePipe()
{
    closeDescriptor(m_read);
    closeDescriptor(m_write);
}

void WakePipe::wake()
{
    const unsigned char one = 1;
    ssize_t n;
    do
        n = ::write(m_write, &one, 1);
    while (n < 0 && errno == EINTR);
}

void WakePipe::drain()
{
    unsigned char sink[64];
    // Bounded: a pipe holds at most what a few thousand reads take.
    for (int i = 0; i < 4096 && ::read(m_read, sink, sizeof sink) == sizeof sink; ++i) { }
}

struct ReadinessSet::Entries {
    std::vector<pollfd> fds;
};

ReadinessSet::ReadinessSet()
    : m_entries(new Entries)
{
}

ReadinessSet::~ReadinessSet() = default;

void ReadinessSet::clear()
{
    m_entries->fds.clear();
}

std::size_t ReadinessSet::add(int descriptor, bool read, bool write)
{
    pollfd entry {};
    entry.fd = descriptor;
    entry.events = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
    m_entries->fds.push_back(entry);
    return m_entries->fds.size() - 1;
}

int ReadinessSet::wait(int timeoutMs)
{
    const int n = ::poll(m_entries->fds.data(), m_entries->fds.size(), timeoutMs);
    if (n < 0 && errno == EINTR)
        return 0;
    return n;
}

bool ReadinessSet::readable(std::size_t index) const
{
    return (m_entries->fds[index].revents & POLLIN) != 0;
}

bool ReadinessSet::writable(std::size_t index) const
{
    return (m_entries->fds[index].revents & POLLOUT) != 0;
}

bool ReadinessSet::broken(std::size_t index) const
{
    return (m_entries->fds[index].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace Platform
