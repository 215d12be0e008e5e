#include "service/streamsender.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
using SocketHandle = SOCKET;
const std::intptr_t kNoSocket = static_cast<std::intptr_t>(INVALID_SOCKET);
void closeHandle(std::intptr_t handle) { closesocket(static_cast<SOCKET>(handle)); }
bool startSockets()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
void stopSockets() { WSACleanup(); }
} // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
using SocketHandle = int;
const std::intptr_t kNoSocket = -1;
void closeHandle(std::intptr_t handle) { ::close(static_cast<int>(handle)); }
bool startSockets() { return true; }
void stopSockets() {}
} // namespace
#endif

StreamSender::StreamSender()
    : handle(kNoSocket)
{
    if (!startSockets())
        return;
    const auto created = ::socket(AF_INET, SOCK_DGRAM, 0);
#ifdef _WIN32
    handle = created == INVALID_SOCKET ? kNoSocket : static_cast<std::intptr_t>(created);
#else
    handle = created < 0 ? kNoSocket : created;
#endif
}

StreamSender::~StreamSender()
{
    if (handle != kNoSocket)
        closeHandle(handle);
    stopSockets();
}

bool StreamSender::send(const std::string& ipv4, std::uint16_t port,
                        const std::vector<std::uint8_t>& datagram)
{
    if (handle == kNoSocket)
        return false;
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, ipv4.c_str(), &to.sin_addr) != 1)
        return false;
    const char* data = reinterpret_cast<const char*>(datagram.data());
    const auto sent = ::sendto(static_cast<SocketHandle>(handle), data,
                               static_cast<int>(datagram.size()), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent >= 0 && static_cast<std::size_t>(sent) == datagram.size();
}
