#pragma once

// Thin IPv4 datagram socket layer for the discovery scan and the UDP stream. It hides
// the differences between Winsock 2.2 and BSD sockets so that the code above it
// compiles unchanged for Windows (mingw-w64) and Linux. No system header leaks out
// of here, and no other file of the program includes one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform
{
namespace Net
{

// A socket handle; negative means "no socket". Winsock handles are small values that
// fit an int, which is how the discovery code has always held them.
using SocketHandle = int;

// Image of the platform's 128-byte sockaddr_storage, exactly as a receive call
// filled it. Its first 16 bits are the address family in host order.
struct PeerAddress {
    alignas(8) std::array<unsigned char, 128> storage {};
};

enum class AddressFamily { Unspecified, Ipv4, Ipv6, Other };

struct Ipv4Endpoint {
    std::array<std::uint8_t, 4> address {}; // in wire order: {127, 0, 0, 1}
    std::uint16_t port = 0; // host order
};

enum class WaitResult { Readable, Timeout, Error };

enum class ReceiveStatus {
    Ok,
    // The datagram did not fit the buffer and was consumed. `length` is its real
    // length when the platform tells it (Linux), otherwise 0 (Winsock).
    Truncated,
    Error
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Error;
    std::size_t length = 0;
};

// Winsock start-up (version 2.2) / clean-up; both succeed with 0 on POSIX.
// Returns the platform's result code, 0 on success.
int startup();
int cleanup();

// Creates an IPv4 UDP socket; negative on failure (see lastError()).
SocketHandle createUdpSocket();

// Sets SO_BROADCAST to 1. Returns 0 on success, negative on failure.
int allowBroadcast(SocketHandle handle);

// Makes every later call on the socket return at once instead of waiting
// (O_NONBLOCK; FIONBIO on Winsock): a send the system cannot take now fails with
// EAGAIN / WSAEWOULDBLOCK. Returns 0 on success, negative on failure.
int setNonBlocking(SocketHandle handle);

// Sends one datagram. Returns the byte count sent, negative on failure.
long long sendTo(SocketHandle handle, const std::uint8_t* data, std::size_t size,
    const Ipv4Endpoint& destination);

// Reads text[0, length) as a dotted IPv4 address ("192.168.1.20") into `address`,
// in wire order. Accepts what inet_pton(AF_INET) accepts: exactly four decimal
// parts of 0 to 255, without signs, blanks or leading zeros. Returns false and
// leaves `address` alone for anything else. Pure: no system call, no allocation.
bool parseIpv4(const char* text, std::size_t length, std::array<std::uint8_t, 4>& address);

// Waits until the socket is readable. An interrupted wait counts as a time-out so
// that the caller simply checks its own deadline and waits again.
WaitResult waitReadable(SocketHandle handle, std::int64_t seconds, std::int32_t microseconds);

// Receives one datagram into buffer[0, capacity) and the sender into `peer`.
ReceiveResult receiveFrom(
    SocketHandle handle, std::uint8_t* buffer, std::size_t capacity, PeerAddress& peer);

int closeSocket(SocketHandle handle);

// errno on POSIX, WSAGetLastError() on Windows.
int lastError();

// Monotonic clock in ticks of 100 ns; only differences are meaningful.
std::int64_t monotonicTicks();

AddressFamily peerFamily(const PeerAddress& peer);

// Dotted decimal for IPv4, standard text form for IPv6, empty for anything else.
std::string peerAddressToText(const PeerAddress& peer);

// Builds a peer the way a receive call would fill it (for callers that fabricate
// replies, e.g. tests and replay tools). `port` is in host order.
PeerAddress makeIpv4Peer(const std::array<std::uint8_t, 4>& address, std::uint16_t port);

// --- Receiving on fixed ports: the network intake's sockets ---

// Binds to `local` (0.0.0.0: every interface) with SO_REUSEADDR set first, so that other
// receivers of the same port (sACN tools, a second instance) can share it. Returns 0, or
// negative on failure (see lastError()).
int bindUdp(SocketHandle handle, const Ipv4Endpoint& local);

// Whether a lastError() code means that a non-blocking call had nothing to do.
bool wouldBlock(int error);

// Bounds every later blocking receive on the socket to `microseconds` (0: no bound); a
// receive that times out fails with an error that receiveTimedOut() recognises. Returns 0,
// or negative on failure.
int setReceiveTimeout(SocketHandle handle, std::int64_t microseconds);
bool receiveTimedOut(int error);

// Whether interruptReceive() ends a receive another thread is blocked in (Linux). Elsewhere
// a receiving thread that must notice a stop bounds its waits with setReceiveTimeout().
#ifdef __linux__
constexpr bool kInterruptibleReceive = true;
#else
constexpr bool kInterruptibleReceive = false;
#endif
// Shuts the socket's receiving side: a receive blocked in it, and every later one, returns
// at once (with 0 bytes on Linux). Any thread; the handle must still be open.
void interruptReceive(SocketHandle handle);

// Asks for a receive buffer of `bytes` (the system may grant less). 0 or negative.
int setReceiveBuffer(SocketHandle handle, int bytes);

// Joins or leaves the IPv4 multicast group on the interface that holds `interfaceAddress`
// (0.0.0.0: the interface the system picks). Returns 0, or negative on failure.
int joinMulticast(SocketHandle handle, const std::array<std::uint8_t, 4>& group,
    const std::array<std::uint8_t, 4>& interfaceAddress);
int leaveMulticast(SocketHandle handle, const std::array<std::uint8_t, 4>& group,
    const std::array<std::uint8_t, 4>& interfaceAddress);

// Has receiveFromTo() report the local address each datagram was taken on (Linux). Returns
// 0, or negative where the platform cannot tell (then `local` stays 0.0.0.0).
int reportLocalAddress(SocketHandle handle);

// receiveFrom(), and the local address the datagram came in on, in wire order: the
// destination of a unicast datagram, the receiving interface's address for a broadcast or
// multicast one; 0.0.0.0 when unknown. Allocates nothing.
ReceiveResult receiveFromTo(SocketHandle handle, std::uint8_t* buffer, std::size_t capacity,
    PeerAddress& peer, std::array<std::uint8_t, 4>& local);

// The sender of an IPv4 datagram as address and port; false (and `out` untouched) for any
// other family. Allocates nothing.
bool peerIpv4(const PeerAddress& peer, Ipv4Endpoint& out);

// The local address the system would send from toward `peer` (asked of a UDP socket
// connected to it; nothing is sent). Returns 0, or negative on failure.
int localAddressToward(const Ipv4Endpoint& peer, std::array<std::uint8_t, 4>& local);

// The system's text for an error code of lastError().
std::string errorText(int error);

// --- Devices given by address ---

// Looks host up as the system does (hosts file, DNS, mDNS where configured) and gives
// its first IPv4 address, in wire order. Blocks for as long as the system's lookup
// takes; the caller bounds that by waiting on a thread of its own. On failure returns
// false with the system's reason in `error`.
bool resolveIpv4(const std::string& host, std::array<std::uint8_t, 4>& address, std::string& error);

enum class ConnectResult { Connected, Refused, TimedOut, Error };

// Opens a TCP connection to `to` and closes it again: whether something takes
// connections there. Waits at most timeoutMs; `error` gets the system's reason for
// anything but Connected.
ConnectResult tryConnect(const Ipv4Endpoint& to, int timeoutMs, std::string& error);

} // namespace Net
} // namespace Platform
