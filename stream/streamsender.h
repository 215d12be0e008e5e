#pragma once

#include "platform/socketlayer.h"
#include "stream/devicedatagram.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Sends each device's datagrams through a non-blocking IPv4 UDP socket of that
// device's own. A datagram the system does not take at once (its buffer full of
// datagrams waiting for an address nobody answers, no route) is dropped for that
// device alone; nothing ever waits, and the other devices' datagrams go out as
// always, since no device's backlog is charged to another's socket.
//
// What is kept per device lives here, in one lane per position of the layout
// (see devicedatagram.h): its socket, its destination, whether it drops. A plain
// datagram socket may be used from any thread; the calls are serialised by the
// caller (one sender per service, under its frame lock).
class StreamSender
{
public:
    // How long a device that dropped must take every datagram before it counts
    // as taking them again, in Platform::Net::monotonicTicks. Longer than the 3 s
    // after which an unanswered address lookup gives up and frees the datagrams
    // waiting on it: an address nobody answers then takes datagrams for a moment
    // every few seconds, which is not a device back.
    static constexpr std::int64_t kSettleTicks = 5 * 10000000LL;

    // A device started dropping datagrams, or takes them again.
    struct FlowChange {
        std::size_t device = 0; // its position in the layout
        Platform::Net::Ipv4Endpoint to;
        bool dropping = false;
        // When it takes them again: how many it dropped meanwhile.
        std::uint64_t dropped = 0;
    };

    StreamSender();
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    // Gives device i of a new layout the destination destinations[i]. A
    // destination served before keeps its socket and its state wherever it now
    // stands; the sockets of destinations no longer there are closed, new ones
    // opened. Called when the layout changes, never per frame.
    void setDestinations(const std::vector<DeviceDestination>& destinations);

    // Sends datagrams[0, count) (at most one per device) in that order, each
    // through its device's socket, without waiting; now is this frame's
    // Platform::Net::monotonicTicks(). A datagram for a device with no
    // destination is skipped. Returns how many went out. Allocates nothing.
    std::size_t send(const DeviceDatagram* datagrams, std::size_t count, std::int64_t now);

    // The devices that started dropping or take datagrams again in the last
    // send(), in send order, at most one entry each.
    const std::vector<FlowChange>& changes() const { return m_changes; }

private:
    struct Lane {
        bool sent = false;
        Platform::Net::Ipv4Endpoint to;
        Platform::Net::SocketHandle handle = -1; // -1: none could be opened
        bool dropping = false;
        std::int64_t lastDrop = 0;
        std::uint64_t dropped = 0;
    };

    bool m_started = false;
    std::vector<Lane> m_lanes;
    std::vector<FlowChange> m_changes;
};
