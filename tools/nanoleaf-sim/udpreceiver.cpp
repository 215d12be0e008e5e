#include "tools/nanoleaf-sim/udpreceiver.h"

#include "tools/nanoleaf-sim/monotonicclock.h"
#include "tools/nanoleaf-sim/simdevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace
{

int bindUdp(const std::string& ip, int port, std::string& error)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Room for bursts from a benchmark, so the kernel does not drop what we log.
    const int buffer = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
#if defined(SO_TIMESTAMPNS)
    // The kernel stamps each datagram as it lands on the socket (CLOCK_REALTIME),
    // so our own wake-up does not count in a latency figure.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
#endif
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot bind UDP " + ip + ":" + std::to_string(port) + " (" + std::strerror(errno)
            + ")";
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

UdpReceiver::UdpReceiver(std::vector<SimDevice*> devices)
    : m_devices(std::move(devices))
{
}

UdpReceiver::~UdpReceiver()
{
    stop();
    closeAll();
}

bool UdpReceiver::bind()
{
    if (!m_loop.open(m_error))
        return false;
    for (SimDevice* device : m_devices) {
        for (int port : { kV1Port, kV2Port }) {
            const int fd = bindUdp(device->ip().toStdString(), port, m_error);
            if (fd < 0)
                return false;
            m_bindings.push_back(Binding { fd, port, device });
        }
    }
    return true;
}

void UdpReceiver::start()
{
    std::vector<int> fds;
    for (const Binding& b : m_bindings)
        fds.push_back(b.fd);
    m_buffer.resize(65536);
    m_loop.start(fds, [this](std::size_t i) { drain(i); });
}

void UdpReceiver::stop()
{
    m_loop.stop();
}

bool UdpReceiver::rebind(SimDevice* device)
{
    // The thread polls a fixed set of descriptors: it stops while they change.
    stop();
    bool ok = true;
    for (Binding& b : m_bindings) {
        if (b.device != device)
            continue;
        close(b.fd);
        b.fd = bindUdp(device->ip().toStdString(), b.port, m_error);
        ok = ok && b.fd >= 0;
    }
    start();
    return ok;
}

void UdpReceiver::closeAll()
{
    for (Binding& b : m_bindings) {
        if (b.fd >= 0)
            close(b.fd);
        b.fd = -1;
    }
}

void UdpReceiver::drain(std::size_t i)
{
    std::vector<std::uint8_t>& buffer = m_buffer;
    // A bounded batch, then the other sockets get their turn.
    for (int n = 0; n < 256; ++n) {
        sockaddr_in from {};
        iovec vector { buffer.data(), buffer.size() };
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message {};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(m_bindings[i].fd, &message, MSG_TRUNC);
        const std::int64_t now = monotonicNs();
        if (got < 0)
            break;
        std::int64_t kernelNs = 0;
#if defined(SCM_TIMESTAMPNS)
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts {};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                kernelNs = std::int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
            }
        }
#endif
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        const std::size_t size = std::min(std::size_t(got), buffer.size());
        m_bindings[i].device->handleDatagram(m_bindings[i].port, buffer.data(), size, now, kernelNs,
            std::string(text) + ":" + std::to_string(ntohs(from.sin_port)));
    }
}
