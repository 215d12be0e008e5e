#include "stream/streamsender.h"

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
                lane = before;
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

std::size_t StreamSender::send(const DeviceDatagram* datagrams, std::size_t count, std::int64_t now)
{
    m_changes.clear();
    std::size_t sent = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const DeviceDatagram& d = datagrams[k];
        if (d.device >= m_lanes.size() || !m_lanes[d.device].sent)
            continue;
        Lane& lane = m_lanes[d.device];
        const long long n
            = lane.handle >= 0 ? Net::sendTo(lane.handle, d.data, d.size, lane.to) : -1;
        if (n >= 0 && static_cast<std::size_t>(n) == d.size) {
            ++sent;
            if (lane.dropping && now - lane.lastDrop >= kSettleTicks) {
                lane.dropping = false;
                m_changes.push_back(FlowChange { d.device, lane.to, false, lane.dropped });
                lane.dropped = 0;
            }
            continue;
        }
        lane.lastDrop = now;
        ++lane.dropped;
        if (!lane.dropping) {
            lane.dropping = true;
            m_changes.push_back(FlowChange { d.device, lane.to, true, lane.dropped });
        }
    }
    return sent;
}
