#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Non-blocking UDP sockets bound at fixed loopback addresses and ports that take
// the place of the devices' stream receivers: they hold what arrives until
// drain() reads it, so senders pay the kernel's full delivery cost.
// Binding fixed ports belongs in a private network namespace (tools/netns-run).
class UdpSinks
{
public:
    struct Endpoint {
        std::string ipv4;
        std::uint16_t port;
    };

    UdpSinks() = default;
    ~UdpSinks();
    UdpSinks(const UdpSinks&) = delete;
    UdpSinks& operator=(const UdpSinks&) = delete;

    // Binds one socket per endpoint; false (and error set) when any fails.
    bool bind(const std::vector<Endpoint>& endpoints, std::string& error);
    // Reads everything waiting on every socket. Returns the number of datagrams;
    // the last one each socket held is kept in last().
    std::size_t drain();
    const std::vector<std::vector<std::uint8_t>>& last() const { return lastDatagram; }
    std::size_t size() const { return fds.size(); }

private:
    std::vector<int> fds;
    std::vector<std::vector<std::uint8_t>> lastDatagram;
};
