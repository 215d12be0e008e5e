#pragma once

#include "platform/socketlayer.h"

#include <cstdint>
#include <string>
#include <vector>

// Sends external-control datagrams through one unbound IPv4 UDP socket of its own.
// A plain datagram socket may be used from any thread, so the GUI thread, which
// receives the host's colour frames, sends without hopping threads; the calls
// are serialised by the caller's thread (one sender per service).
class StreamSender
{
public:
    StreamSender();
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    // Sends datagram (possibly empty) to ipv4:port. False when the address is not a
    // dotted IPv4 address or the send failed; nothing is retried. Allocates nothing.
    bool send(
        const std::string& ipv4, std::uint16_t port, const std::vector<std::uint8_t>& datagram);
    // Sends datagram to an address parsed beforehand (nothing is parsed per frame).
    // False when the send failed.
    bool send(const Platform::Net::Ipv4Endpoint& to, const std::vector<std::uint8_t>& datagram);

    // Sends datagrams[0, count) in that order, on Linux in one system call (see
    // Platform::Net::sendBatch). Returns how many went out. Allocates nothing.
    std::size_t sendBatch(const Platform::Net::OutgoingDatagram* datagrams, std::size_t count);

private:
    bool started = false;
    Platform::Net::SocketHandle handle = -1;
};
