#pragma once

#include "platform/socketlayer.h"
#include "stream/devicedatagram.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// Sends each device's datagrams through a non-blocking IPv4 UDP socket of that
// device's own. A datagram the system does not take at once (its buffer full of
// datagrams waiting for an address nobody answers, no route) is dropped for that
// device alone; nothing ever waits, and the other devices' datagrams go out as
// always, since no device's backlog is charged to another's socket.
//
// What is kept per device lives here, in one lane per position of the layout
// (see devicedatagram.h): its socket, its destination, whether it drops, and with
// a cap on the frame rate its pacing. A plain datagram socket may be used from any
// thread; the calls are serialised by the caller (one sender per service, under
// its frame lock).
//
// Paced (setInterval), a device gets at most one datagram per interval: one that
// comes before the device's next allowed time is kept as its pending datagram, in
// place of any kept before (the latest wins, nothing queues), and sendDue() sends
// it once that time has come, unless a newer one went out first. One that comes
// after a pause, when the time has passed, goes out at once.
class StreamSender
{
public:
    // How long a device that dropped must take every datagram before it counts
    // as taking them again, in Platform::Net::monotonicTicks. Longer than the 3 s
    // after which an unanswered address lookup gives up and frees the datagrams
    // waiting on it: an address nobody answers then takes datagrams for a moment
    // every few seconds, which is not a device back.
    static constexpr std::int64_t kSettleTicks = 5 * 10000000LL;
    // nextDue() when no datagram is pending.
    static constexpr std::int64_t kNothingDue = std::numeric_limits<std::int64_t>::max();

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
    // destination is skipped; paced, one for a device whose time has not come is
    // kept instead. Returns how many went out. Allocates nothing, except a
    // device's first pending datagram (or a longer one) after a new layout.
    std::size_t send(const DeviceDatagram* datagrams, std::size_t count, std::int64_t now);

    // At most one datagram per device every `ticks` (Platform::Net::monotonicTicks);
    // 0, the default, sends every datagram at once. Pending datagrams are forgotten
    // when pacing ends.
    void setInterval(std::int64_t ticks);
    // Sends every pending datagram whose time has come by now; returns how many
    // went out.
    std::size_t sendDue(std::int64_t now);
    // When the first pending datagram falls due; kNothingDue when none is pending.
    std::int64_t nextDue() const;

    // The devices that started dropping or take datagrams again in the last
    // send() or sendDue(), in send order, at most one entry each.
    const std::vector<FlowChange>& changes() const { return m_changes; }

private:
    struct Lane {
        bool sent = false;
        Platform::Net::Ipv4Endpoint to;
        Platform::Net::SocketHandle handle = -1; // -1: none could be opened
        bool dropping = false;
        std::int64_t lastDrop = 0;
        std::uint64_t dropped = 0;
        // Paced: the earliest time its next datagram may leave, and the latest one
        // that came before then.
        std::int64_t nextAllowed = std::numeric_limits<std::int64_t>::min();
        bool pending = false;
        std::vector<std::uint8_t> kept;
    };

    // One datagram through the lane's socket; false when it was dropped.
    bool transmit(std::size_t device, const std::uint8_t* data, std::size_t size, std::int64_t now);
    std::size_t sendPaced(const DeviceDatagram* datagrams, std::size_t count, std::int64_t now);

    bool m_started = false;
    std::int64_t m_interval = 0;
    std::vector<Lane> m_lanes;
    std::vector<FlowChange> m_changes;
};
