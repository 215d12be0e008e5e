#include "bench/udpsinks.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Room for a few hundred frames per device between two drains.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
// Far more than a batch between drains ever leaves behind.
constexpr int kMaxDrainPerSocket = 1000000;

} // namespace

UdpSinks::~UdpSinks()
{
    for (int fd : fds)
        ::close(fd);
}

bool UdpSinks::bind(const std::vector<Endpoint>& endpoints, std::string& error)
{
    for (const Endpoint& e : endpoints) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        fds.push_back(fd);
        int size = kReceiveBuffer;
        // As root the limit of rmem_max does not apply; otherwise take what is allowed.
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        sockaddr_in at {};
        at.sin_family = AF_INET;
        at.sin_port = htons(e.port);
        if (::inet_pton(AF_INET, e.ipv4.c_str(), &at.sin_addr) != 1
            || (ntohl(at.sin_addr.s_addr) >> 24) != 127) {
            error = "not a loopback address: " + e.ipv4;
            return false;
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            error = "bind " + e.ipv4 + ":" + std::to_string(e.port) + ": " + std::strerror(errno);
            return false;
        }
    }
    lastDatagram.assign(fds.size(), {});
    return true;
}

std::size_t UdpSinks::drain()
{
    std::size_t total = 0;
    std::uint8_t buffer[65536];
    for (std::size_t i = 0; i < fds.size(); ++i) {
        for (int n = 0; n < kMaxDrainPerSocket; ++n) {
            const ssize_t got = ::recv(fds[i], buffer, sizeof buffer, 0);
            if (got < 0)
                break;
            lastDatagram[i].assign(buffer, buffer + got);
            ++total;
        }
    }
    return total;
}
