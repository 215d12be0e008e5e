#include "platform/socketlayer.h"
#include "platform/hotpath.h"

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // inet_ntop needs Vista or later
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <cstring>

namespace Platform
{
namespace Net
{

static_assert(sizeof(sockaddr_storage) == sizeof(PeerAddress::storage),
    "PeerAddress must hold a whole sockaddr_storage");
static_assert(alignof(sockaddr_storage) <= alignof(PeerAddress), "PeerAddress is under-aligned");

namespace
{

using FamilyField = decltype(sockaddr_storage {}.ss_family);

#ifdef _WIN32
// Receive and send buffers are at most a few hundred bytes, but Winsock takes an int
// length; never hand it more than it can express.
int clampLength(std::size_t size)
{
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}
#endif

std::int64_t clampSeconds(std::int64_t seconds)
{
    if (seconds < 0)
        return 0;
    // timeval::tv_sec is a 32-bit long on Windows.
    return seconds > INT32_MAX ? INT32_MAX : seconds;
}

template <typename SockAddr> SockAddr readAs(const PeerAddress& peer)
{
    SockAddr out;
    std::memcpy(&out, peer.storage.data(), sizeof out);
    return out;
}

template <typename SockAddr> PeerAddress storeAs(const SockAddr& address)
{
    PeerAddress peer;
    std::memcpy(peer.storage.data(), &address, sizeof address);
    return peer;
}

#ifdef _WIN32
SOCKET toNative(SocketHandle handle)
{
    return static_cast<SOCKET>(handle);
}
#endif

} // namespace

int startup()
{
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
#else
    return 0;
#endif
}

int cleanup()
{
#ifdef _WIN32
    return WSACleanup();
#else
    return 0;
#endif
}

SocketHandle createUdpSocket()
{
#ifdef _WIN32
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return -1;
    if (s >= static_cast<SOCKET>(INT_MAX)) { // keeps handle + 1 for select() defined
        ::closesocket(s);
        WSASetLastError(WSAEMFILE);
        return -1;
    }
    return static_cast<SocketHandle>(s);
#else
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    return fd < 0 ? -1 : fd;
#endif
}

int allowBroadcast(SocketHandle handle)
{
    const int enable = 1;
#ifdef _WIN32
    return ::setsockopt(toNative(handle), SOL_SOCKET, SO_BROADCAST,
               reinterpret_cast<const char*>(&enable), static_cast<int>(sizeof enable))
            == 0
        ? 0
        : -1;
#else
    return ::setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable) == 0 ? 0 : -1;
#endif
}

int setNonBlocking(SocketHandle handle)
{
#ifdef _WIN32
    u_long on = 1;
    return ::ioctlsocket(toNative(handle), FIONBIO, &on) == 0 ? 0 : -1;
#else
    const int flags = ::fcntl(handle, F_GETFL);
    return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
#endif
}

PRISMARA_HOT long long sendTo(SocketHandle handle, const std::uint8_t* data, std::size_t size,
    const Ipv4Endpoint& destination)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(destination.port);
    std::memcpy(&to.sin_addr, destination.address.data(), destination.address.size());
#ifdef _WIN32
    const int sent = ::sendto(toNative(handle), reinterpret_cast<const char*>(data),
        clampLength(size), 0, reinterpret_cast<const sockaddr*>(&to), static_cast<int>(sizeof to));
    return sent == SOCKET_ERROR ? -1 : sent;
#else
    const ssize_t sent
        = ::sendto(handle, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? -1 : static_cast<long long>(sent);
#endif
}

bool parseIpv4(const char* text, std::size_t length, std::array<std::uint8_t, 4>& address)
{
    std::array<std::uint8_t, 4> parsed {};
    std::size_t at = 0;
    for (std::size_t part = 0; part < parsed.size(); ++part) {
        if (part > 0) {
            if (at >= length || text[at] != '.')
                return false;
            ++at;
        }
        const std::size_t first = at;
        unsigned value = 0;
        while (at < length && at - first < 3 && text[at] >= '0' && text[at] <= '9')
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        const std::size_t digits = at - first;
        if (digits == 0 || value > 255 || (digits > 1 && text[first] == '0'))
            return false;
        parsed[part] = static_cast<std::uint8_t>(value);
    }
    if (at != length)
        return false;
    address = parsed;
    return true;
}

WaitResult waitReadable(SocketHandle handle, std::int64_t seconds, std::int32_t microseconds)
{
    timeval timeout;
    timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(clampSeconds(seconds));
    timeout.tv_usec = microseconds < 0 || microseconds > 999999 ? 0 : microseconds;

    fd_set readSet;
    FD_ZERO(&readSet);
#ifdef _WIN32
    const SOCKET s = toNative(handle);
    FD_SET(s, &readSet);
    // The first argument is ignored by Winsock; kept for symmetry with POSIX.
    const int result = ::select(handle + 1, &readSet, nullptr, nullptr, &timeout);
    if (result == SOCKET_ERROR)
        return WaitResult::Error;
#else
    // FD_SET on a descriptor beyond FD_SETSIZE writes outside the set.
    if (handle < 0 || handle >= FD_SETSIZE) {
        errno = EBADF;
        return WaitResult::Error;
    }
    FD_SET(handle, &readSet);
    const int result = ::select(handle + 1, &readSet, nullptr, nullptr, &timeout);
    if (result < 0)
        return errno == EINTR ? WaitResult::Timeout : WaitResult::Error;
#endif
    return result == 0 ? WaitResult::Timeout : WaitResult::Readable;
}

PRISMARA_HOT ReceiveResult receiveFrom(
    SocketHandle handle, std::uint8_t* buffer, std::size_t capacity, PeerAddress& peer)
{
    ReceiveResult result;
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
#ifdef _WIN32
    int fromLength = static_cast<int>(sizeof from);
    const int received = ::recvfrom(toNative(handle), reinterpret_cast<char*>(buffer),
        clampLength(capacity), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received == SOCKET_ERROR) {
        // Winsock consumes the datagram and fills the buffer, but does not tell
        // how long the datagram really was.
        if (WSAGetLastError() == WSAEMSGSIZE) {
            result.status = ReceiveStatus::Truncated;
            std::memcpy(peer.storage.data(), &from, sizeof from);
        }
        return result;
    }
    std::memcpy(peer.storage.data(), &from, sizeof from);
    result.status = ReceiveStatus::Ok;
    result.length = static_cast<std::size_t>(received);
    return result;
#else
    iovec part;
    part.iov_base = buffer;
    part.iov_len = capacity;
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    int flags = 0;
#ifdef __linux__
    flags |= MSG_TRUNC; // makes Linux return the datagram's real length
#endif
    const ssize_t received = ::recvmsg(handle, &message, flags);
    if (received < 0)
        return result;
    std::memcpy(peer.storage.data(), &from, sizeof from);
    const auto length = static_cast<std::size_t>(received);
    if ((message.msg_flags & MSG_TRUNC) != 0 || length > capacity) {
        result.status = ReceiveStatus::Truncated;
        result.length = length > capacity ? length : 0;
        return result;
    }
    result.status = ReceiveStatus::Ok;
    result.length = length;
    return result;
#endif
}

int closeSocket(SocketHandle handle)
{
#ifdef _WIN32
    return ::closesocket(toNative(handle));
#else
    return ::close(handle);
#endif
}

int lastError()
{
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

PRISMARA_HOT std::int64_t monotonicTicks()
{
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

AddressFamily peerFamily(const PeerAddress& peer)
{
    FamilyField family;
    std::memcpy(&family, peer.storage.data(), sizeof family);
    switch (family) {
    case AF_UNSPEC:
        return AddressFamily::Unspecified;
    case AF_INET:
        return AddressFamily::Ipv4;
    case AF_INET6:
        return AddressFamily::Ipv6;
    default:
        return AddressFamily::Other;
    }
}

std::string peerAddressToText(const PeerAddress& peer)
{
    char text[65] = {};
    switch (peerFamily(peer)) {
    case AddressFamily::Ipv4: {
        sockaddr_in address = readAs<sockaddr_in>(peer);
        if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
            return std::string();
        break;
    }
    case AddressFamily::Ipv6: {
        sockaddr_in6 address = readAs<sockaddr_in6>(peer);
        if (::inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text) == nullptr)
            return std::string();
        break;
    }
    default:
        return std::string();
    }
    return std::string(text);
}

PeerAddress makeIpv4Peer(const std::array<std::uint8_t, 4>& address, std::uint16_t port)
{
    sockaddr_in in;
    std::memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    std::memcpy(&in.sin_addr, address.data(), address.size());
    return storeAs(in);
}

namespace
{

in_addr toInAddr(const std::array<std::uint8_t, 4>& address)
{
    in_addr out;
    std::memcpy(&out, address.data(), address.size());
    return out;
}

sockaddr_in toSockaddr(const Ipv4Endpoint& endpoint)
{
    sockaddr_in out;
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(endpoint.port);
    out.sin_addr = toInAddr(endpoint.address);
    return out;
}

int setOption(SocketHandle handle, int level, int name, const void* value, std::size_t size)
{
#ifdef _WIN32
    return ::setsockopt(toNative(handle), level, name, static_cast<const char*>(value),
               static_cast<int>(size))
            == 0
        ? 0
        : -1;
#else
    return ::setsockopt(handle, level, name, value, static_cast<socklen_t>(size)) == 0 ? 0 : -1;
#endif
}

int membership(SocketHandle handle, int option, const std::array<std::uint8_t, 4>& group,
    const std::array<std::uint8_t, 4>& interfaceAddress)
{
    ip_mreq request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr = toInAddr(group);
    request.imr_interface = toInAddr(interfaceAddress);
    return setOption(handle, IPPROTO_IP, option, &request, sizeof request);
}

} // namespace

int bindUdp(SocketHandle handle, const Ipv4Endpoint& local)
{
    const int enable = 1;
    if (setOption(handle, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0)
        return -1;
    const sockaddr_in address = toSockaddr(local);
#ifdef _WIN32
    // Without this a datagram that the socket sent to a closed port makes its next receive
    // fail with WSAECONNRESET.
    BOOL report = FALSE;
    DWORD unused = 0;
    ::WSAIoctl(toNative(handle), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused,
        nullptr, nullptr);
    return ::bind(toNative(handle), reinterpret_cast<const sockaddr*>(&address),
               static_cast<int>(sizeof address))
            == 0
        ? 0
        : -1;
#else
    return ::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                            : -1;
#endif
}

bool wouldBlock(int error)
{
#ifdef _WIN32
    return error == WSAEWOULDBLOCK;
#else
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

int setReceiveTimeout(SocketHandle handle, std::int64_t microseconds)
{
    if (microseconds < 0)
        microseconds = 0;
#ifdef _WIN32
    // Milliseconds, rounded up so that a short bound does not become none.
    const std::int64_t ms = (microseconds + 999) / 1000;
    const DWORD value = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
    return setOption(handle, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
#else
    timeval value {};
    value.tv_sec = static_cast<decltype(value.tv_sec)>(clampSeconds(microseconds / 1000000));
    value.tv_usec = static_cast<decltype(value.tv_usec)>(microseconds % 1000000);
    return setOption(handle, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
#endif
}

bool receiveTimedOut(int error)
{
#ifdef _WIN32
    return error == WSAETIMEDOUT;
#else
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

void interruptReceive(SocketHandle handle)
{
#ifdef _WIN32
    ::shutdown(toNative(handle), SD_RECEIVE);
#else
    // A UDP socket is not connected, so Linux reports ENOTCONN, yet it marks the
    // receiving side shut and wakes every receive waiting in it.
    ::shutdown(handle, SHUT_RD);
#endif
}

int setReceiveBuffer(SocketHandle handle, int bytes)
{
    return setOption(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int joinMulticast(SocketHandle handle, const std::array<std::uint8_t, 4>& group,
    const std::array<std::uint8_t, 4>& interfaceAddress)
{
    return membership(handle, IP_ADD_MEMBERSHIP, group, interfaceAddress);
}

int leaveMulticast(SocketHandle handle, const std::array<std::uint8_t, 4>& group,
    const std::array<std::uint8_t, 4>& interfaceAddress)
{
    return membership(handle, IP_DROP_MEMBERSHIP, group, interfaceAddress);
}

int reportLocalAddress(SocketHandle handle)
{
#ifdef __linux__
    const int enable = 1;
    return setOption(handle, IPPROTO_IP, IP_PKTINFO, &enable, sizeof enable);
#else
    (void)handle;
    return -1;
#endif
}

PRISMARA_HOT ReceiveResult receiveFromTo(SocketHandle handle, std::uint8_t* buffer,
    std::size_t capacity, PeerAddress& peer, std::array<std::uint8_t, 4>& local)
{
    local = {};
#ifdef __linux__
    ReceiveResult result;
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    iovec part;
    part.iov_base = buffer;
    part.iov_len = capacity;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(handle, &message, MSG_TRUNC);
    if (received < 0)
        return result;
    std::memcpy(peer.storage.data(), &from, sizeof from);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            std::memcpy(local.data(), &info.ipi_spec_dst, local.size());
        }
    }
    const auto length = static_cast<std::size_t>(received);
    if ((message.msg_flags & MSG_TRUNC) != 0 || length > capacity) {
        result.status = ReceiveStatus::Truncated;
        result.length = length;
        return result;
    }
    result.status = ReceiveStatus::Ok;
    result.length = length;
    return result;
#else
    return receiveFrom(handle, buffer, capacity, peer);
#endif
}

PRISMARA_HOT bool peerIpv4(const PeerAddress& peer, Ipv4Endpoint& out)
{
    if (peerFamily(peer) != AddressFamily::Ipv4)
        return false;
    const sockaddr_in address = readAs<sockaddr_in>(peer);
    std::memcpy(out.address.data(), &address.sin_addr, out.address.size());
    out.port = ntohs(address.sin_port);
    return true;
}

int localAddressToward(const Ipv4Endpoint& peer, std::array<std::uint8_t, 4>& local)
{
    const SocketHandle handle = createUdpSocket();
    if (handle < 0)
        return -1;
    const sockaddr_in to = toSockaddr(peer);
    sockaddr_in self;
    std::memset(&self, 0, sizeof self);
#ifdef _WIN32
    int length = static_cast<int>(sizeof self);
    const bool ok = ::connect(toNative(handle), reinterpret_cast<const sockaddr*>(&to),
                        static_cast<int>(sizeof to))
            == 0
        && ::getsockname(toNative(handle), reinterpret_cast<sockaddr*>(&self), &length) == 0;
#else
    socklen_t length = sizeof self;
    const bool ok = ::connect(handle, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0
        && ::getsockname(handle, reinterpret_cast<sockaddr*>(&self), &length) == 0;
#endif
    closeSocket(handle);
    if (!ok)
        return -1;
    std::memcpy(local.data(), &self.sin_addr, local.size());
    return 0;
}

std::string errorText(int error)
{
#ifdef _WIN32
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(error) : out;
#else
    return std::strerror(error);
#endif
}

bool resolveIpv4(const std::string& host, std::array<std::uint8_t, 4>& address, std::string& error)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
#ifdef _WIN32
        error = errorText(result);
#else
        error = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
#endif
        if (found != nullptr)
            ::freeaddrinfo(found);
        return false;
    }
    sockaddr_in first;
    std::memcpy(&first, found->ai_addr, sizeof first);
    ::freeaddrinfo(found);
    std::memcpy(address.data(), &first.sin_addr, address.size());
    return true;
}

ConnectResult tryConnect(const Ipv4Endpoint& to, int timeoutMs, std::string& error)
{
    const sockaddr_in address = toSockaddr(to);
#ifdef _WIN32
    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        error = errorText(lastError());
        return ConnectResult::Error;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(handle, FIONBIO, &nonBlocking);
    int code = 0;
    if (::connect(
            handle, reinterpret_cast<const sockaddr*>(&address), static_cast<int>(sizeof address))
        != 0) {
        code = ::WSAGetLastError();
        if (code == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(handle, &writable);
            FD_SET(handle, &failed);
            timeval wait;
            wait.tv_sec = timeoutMs / 1000;
            wait.tv_usec = (timeoutMs % 1000) * 1000;
            const int ready = ::select(0, nullptr, &writable, &failed, &wait);
            if (ready == 0) {
                code = WSAETIMEDOUT;
            } else if (ready < 0) {
                code = ::WSAGetLastError();
            } else {
                int soError = 0;
                int length = static_cast<int>(sizeof soError);
                ::getsockopt(
                    handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
                code = soError;
            }
        }
    }
    ::closesocket(handle);
    const bool refused = code == WSAECONNREFUSED;
    const bool timedOut = code == WSAETIMEDOUT;
#else
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        error = std::strerror(errno);
        return ConnectResult::Error;
    }
    int code = 0;
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        code = errno;
        if (code == EINPROGRESS) {
            pollfd wait { handle, POLLOUT, 0 };
            const int ready = ::poll(&wait, 1, timeoutMs < 0 ? 0 : timeoutMs);
            if (ready == 0) {
                code = ETIMEDOUT;
            } else if (ready < 0) {
                code = errno;
            } else {
                int soError = 0;
                socklen_t length = sizeof soError;
                ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &soError, &length);
                code = soError;
            }
        }
    }
    ::close(handle);
    const bool refused = code == ECONNREFUSED;
    const bool timedOut = code == ETIMEDOUT;
#endif
    if (code == 0)
        return ConnectResult::Connected;
    error = timedOut ? std::string("no answer") : errorText(code);
    return refused ? ConnectResult::Refused
        : timedOut ? ConnectResult::TimedOut
                   : ConnectResult::Error;
}

} // namespace Net
} // namespace Platform
