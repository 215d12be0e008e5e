#include "stream/streamsender.h"
#include "platform/hotpath.h"

#include <utility>

namespace Net = Platform::Net;

namespace
{

bool sameEndpoint(const Net::Ipv4Endpoint& a, const Net::Ipv4Endpoint& b)
{
    return a.address == b.address && a.port == b.port;
}

// A socket that never waits, or -1: a blocking one would hold every other
// device's datagrams up behind it.
Net::SocketHandle openLane()
{
    const Net::SocketHandle handle = Net::createUdpSocket();
    if (handle < 0)
        return -1;
    if (Net::setNonBlocking(handle) != 0) {
        Net::closeSocket(handle);
        return -1;
    }
    return handle;
}

} // namespace

StreamSender::StreamSender()
{
    m_started = Net::startup() == 0;
}

StreamSender::~StreamSender()
{
    for (const Lane& lane : m_lanes)
        if (lane.handle >= 0)
            Net::closeSocket(lane.handle);
    if (m_started)
        Net::cleanup();
}

void StreamSender::setDestinations(const std::vector<DeviceDestination>& destinations)
{
    std::vector<Lane> old = std::move(m_lanes);
    m_lanes.assign(destinations.size(), Lane());
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        if (!destinations[i].sent)
            continue;
        Lane& lane = m_lanes[i];
        for (Lane& before : old) {
            if (before.sent && sameEndpoint(before.to, destinations[i].to)) {
                lane = std::move(before);
                before = Lane();
                break;
            }
        }
        if (!lane.sent) {
            lane.sent = true;
            lane.to = destinations[i].to;
            lane.handle = m_started ? openLane() : -1;
        }
    }
    for (const Lane& gone : old)
        if (gone.handle >= 0)
            Net::closeSocket(gone.handle);
    // Room for one change per device, so that send() never allocates.
    m_changes.clear();
    m_changes.reserve(m_lanes.size());
}

PRISMARA_HOT std::size_t StreamSender::send(
    const DeviceDatagram* datagrams, std::size_t count, std::int64_t now)
{
    m_changes.clear();
    if (m_interval > 0)
        return sendPaced(datagrams, count, now);
    std::size_t sent = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const DeviceDatagram& d = datagrams[k];
        if (d.device >= m_lanes.size() || !m_lanes[d.device].sent)
            continue;
        if (transmit(d.device, d.data, d.size, now))
            ++sent;
    }
    return sent;
}

PRISMARA_HOT bool StreamSender::transmit(
    std::size_t device, const std::uint8_t* data, std::size_t size, std::int64_t now)
{
    Lane& lane = m_lanes[device];
    const long long n = lane.handle >= 0 ? Net::sendTo(lane.handle, data, size, lane.to) : -1;
    if (n >= 0 && static_cast<std::size_t>(n) == size) {
        if (lane.dropping && now - lane.lastDrop >= kSettleTicks) {
            lane.dropping = false;
            m_changes.push_back(FlowChange { device, lane.to, false, lane.dropped });
            lane.dropped = 0;
        }
        return true;
    }
    lane.lastDrop = now;
    ++lane.dropped;
    if (!lane.dropping) {
        lane.dropping = true;
        m_changes.push_back(FlowChange { device, lane.to, true, lane.dropped });
    }
    return false;
}

std::size_t StreamSender::sendPaced(
    const DeviceDatagram* datagrams, std::size_t count, std::int64_t now)
{
    std::size_t sent = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const DeviceDatagram& d = datagrams[k];
        if (d.device >= m_lanes.size() || !m_lanes[d.device].sent)
            continue;
        Lane& lane = m_lanes[d.device];
        if (now < lane.nextAllowed) {
            // Keeps its capacity: only a device's first (or a longer) datagram allocates.
            lane.kept.assign(d.data, d.data + d.size);
            lane.pending = true;
            continue;
        }
        // Counted from the send, so two datagrams are never closer than the interval.
        lane.pending = false;
        lane.nextAllowed = now + m_interval;
        if (transmit(d.device, d.data, d.size, now))
            ++sent;
    }
    return sent;
}

void StreamSender::setInterval(std::int64_t ticks)
{
    m_interval = ticks > 0 ? ticks : 0;
    if (m_interval == 0)
        for (Lane& lane : m_lanes)
            lane.pending = false;
}

std::size_t StreamSender::sendDue(std::int64_t now)
{
    m_changes.clear();
    std::size_t sent = 0;
    for (std::size_t i = 0; i < m_lanes.size(); ++i) {
        Lane& lane = m_lanes[i];
        if (!lane.pending || now < lane.nextAllowed)
            continue;
        lane.pending = false;
        lane.nextAllowed = now + m_interval;
        if (transmit(i, lane.kept.data(), lane.kept.size(), now))
            ++sent;
    }
    return sent;
}

std::int64_t StreamSender::nextDue() const
{
    std::int64_t due = kNothingDue;
    for (const Lane& lane : m_lanes)
        if (lane.pending && lane.nextAllowed < due)
            due = lane.nextAllowed;
    return due;
}
