#include "tools/nanoleaf-sim/socketloop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

SocketLoop::~SocketLoop()
{
    stop();
    for (int& fd : m_wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

bool SocketLoop::open(std::string& error)
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void SocketLoop::start(std::vector<int> descriptors, Handler handler)
{
    m_descriptors = std::move(descriptors);
    m_handler = std::move(handler);
    m_stop = false;
    m_thread = std::thread([this] { run(); });
}

void SocketLoop::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    const char byte = 1;
    if (write(m_wake[1], &byte, 1) < 0) {
        // The poll time-out still ends the thread.
    }
    m_thread.join();
    char drained[16];
    while (read(m_wake[0], drained, sizeof drained) > 0) {
        // Left behind, the wake-up would end every poll of a later start() at once.
    }
}

void SocketLoop::run()
{
    std::vector<pollfd> fds;
    for (int fd : m_descriptors)
        fds.push_back(pollfd { fd, POLLIN, 0 });
    fds.push_back(pollfd { m_wake[0], POLLIN, 0 });
    while (!m_stop) {
        if (poll(fds.data(), fds.size(), 500) <= 0)
            continue;
        for (std::size_t i = 0; i < m_descriptors.size(); ++i) {
            if (fds[i].revents & POLLIN)
                m_handler(i);
        }
    }
}
