#include "intake/sourcetable.h"
#include "platform/hotpath.h"

#include <cstring>

namespace
{

using Key = std::array<std::uint8_t, 16>;

Key addressKey(const Platform::Net::Ipv4Endpoint& from)
{
    Key key {};
    std::memcpy(key.data(), from.address.data(), from.address.size());
    key[4] = static_cast<std::uint8_t>(from.port >> 8);
    key[5] = static_cast<std::uint8_t>(from.port & 0xFF);
    return key;
}

// -20 < new - last <= 0 in signed 8-bit arithmetic: a late or repeated packet.
bool outOfOrder(std::uint8_t last, std::uint8_t next)
{
    const auto difference = static_cast<std::int8_t>(static_cast<std::uint8_t>(next - last));
    return difference <= 0 && difference > -20;
}

} // namespace

const char* SourceTable::protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Ddp:
        return "DDP";
    case Protocol::E131:
        return "E1.31";
    case Protocol::ArtNet:
        return "Art-Net";
    }
    return "?";
}

const char* SourceTable::verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Taken:
        return "taken";
    case Verdict::OutOfOrder:
        return "out of order";
    case Verdict::Preview:
        return "preview data";
    case Verdict::Terminated:
        return "stream terminated";
    case Verdict::Superseded:
        return "another source shown";
    case Verdict::OutsideMap:
        return "outside the map";
    case Verdict::TableFull:
        return "source table full";
    case Verdict::NotData:
        return "not data";
    }
    return "unknown";
}

SourceTable::SourceTable()
    : SourceTable(Limits())
{
}

SourceTable::SourceTable(const Limits& limits)
    : m_limits(limits)
{
    for (std::vector<Source>& list : m_sources)
        list.resize(m_limits.sourcesPerProtocol);
}

void SourceTable::setMap(const PixelMap& map)
{
    m_map = map;
    m_held.assign(m_map.universeCount(), Held());
    m_dirty = false;
}

PRISMARA_HOT SourceTable::Slots<SourceTable::Source> SourceTable::sources(Protocol protocol)
{
    const auto p = static_cast<std::size_t>(protocol);
    Source* first = m_sources[p].data();
    return { first, first + m_inUse[p] };
}

PRISMARA_HOT SourceTable::Slots<const SourceTable::Source> SourceTable::sources(
    Protocol protocol) const
{
    const auto p = static_cast<std::size_t>(protocol);
    const Source* first = m_sources[p].data();
    return { first, first + m_inUse[p] };
}

void SourceTable::occupy(Protocol protocol, Source& source)
{
    const auto p = static_cast<std::size_t>(protocol);
    source.used = true;
    ++m_live[p];
    const auto slot = static_cast<std::size_t>(&source - m_sources[p].data());
    if (slot >= m_inUse[p])
        m_inUse[p] = slot + 1;
}

PRISMARA_HOT std::int64_t SourceTable::lossAfter(Protocol protocol) const
{
    return protocol == Protocol::E131 ? kE131LossNs : m_limits.lossNs;
}

PRISMARA_HOT std::size_t SourceTable::liveSources(Protocol protocol) const
{
    return m_live[static_cast<std::size_t>(protocol)];
}

PRISMARA_HOT std::size_t SourceTable::liveSources() const
{
    return m_live[0] + m_live[1] + m_live[2];
}

PRISMARA_HOT SourceTable::Source* SourceTable::find(
    Protocol protocol, const Key& key, std::uint16_t region)
{
    for (Source& s : sources(protocol))
        if (s.used && s.region == region && s.key == key)
            return &s;
    return nullptr;
}

SourceTable::Source* SourceTable::room(Protocol protocol)
{
    Source* quietest = nullptr;
    for (Source& s : sources(protocol)) {
        if (!s.used)
            return &s;
        if (s.packets < kSettledPackets && (quietest == nullptr || s.lastSeen < quietest->lastSeen))
            quietest = &s;
    }
    std::vector<Source>& all = m_sources[static_cast<std::size_t>(protocol)];
    const std::size_t inUse = m_inUse[static_cast<std::size_t>(protocol)];
    return inUse < all.size() ? &all[inUse] : quietest;
}

PRISMARA_HOT SourceTable::Verdict SourceTable::admit(
    const Arrival& arrival, std::int64_t now, Source*& source, Outcome& out)
{
    source = find(arrival.protocol, arrival.key, arrival.region);
    if (source != nullptr) {
        if (arrival.sequenced && source->sequenced
            && outOfOrder(source->lastSequence, arrival.sequence))
            return Verdict::OutOfOrder;
    } else {
        source = room(arrival.protocol);
        if (source == nullptr)
            return Verdict::TableFull;
        out.firstLive = liveSources() == 0;
        if (source->used) {
            // A probation source makes way; the count of live ones stays.
            Outcome ignored;
            remove(arrival.protocol, *source, ignored);
        }
        *source = Source();
        occupy(arrival.protocol, *source);
        source->key = arrival.key;
        source->region = arrival.region;
        source->started = now;
    }
    source->sequenced = arrival.sequenced;
    source->lastSequence = arrival.sequence;
    source->priority = arrival.priority;
    source->lastSeen = now;
    if (source->packets < kSettledPackets)
        ++source->packets;
    return Verdict::Taken;
}

void SourceTable::remove(Protocol protocol, Source& source, Outcome& out)
{
    if (protocol == Protocol::E131) {
        const std::size_t u = static_cast<std::size_t>(source.region - m_map.startUniverse());
        if (source.region >= m_map.startUniverse() && u < m_held.size() && m_held[u].pending
            && m_held[u].cid == source.key)
            m_held[u].pending = false;
    }
    const Key key = source.key;
    const auto p = static_cast<std::size_t>(protocol);
    source.used = false;
    --m_live[p];
    while (m_inUse[p] > 0 && !m_sources[p][m_inUse[p] - 1].used)
        --m_inUse[p];
    if (protocol == Protocol::E131) {
        // A sender that comes back starts unsynchronized, as a new one would.
        bool senderLeft = false;
        for (const Source& s : sources(protocol))
            senderLeft = senderLeft || (s.used && s.key == key);
        for (SyncStream& stream : m_syncStreams)
            if (!senderLeft && stream.used && stream.cid == key)
                stream.used = false;
    }
    out.allGone = liveSources() == 0;
}

PRISMARA_HOT bool SourceTable::wins(Protocol protocol, const Source& source) const
{
    const bool settled = source.packets >= kSettledPackets;
    for (const Source& other : sources(protocol)) {
        if (!other.used || &other == &source || other.region != source.region)
            continue;
        const bool otherSettled = other.packets >= kSettledPackets;
        if (otherSettled != settled) {
            if (otherSettled)
                return false;
            continue;
        }
        if (other.priority != source.priority) {
            if (other.priority > source.priority)
                return false;
            continue;
        }
        if (other.started != source.started) {
            if (other.started > source.started)
                return false;
            continue;
        }
        if (other.key > source.key)
            return false;
    }
    return true;
}

PRISMARA_HOT bool SourceTable::sendersLast(Protocol protocol, const Source& source) const
{
    for (const Source& other : sources(protocol))
        if (other.used && other.key == source.key && other.region > source.region)
            return false;
    return true;
}

PRISMARA_HOT void SourceTable::completeIfLast(Protocol protocol, const Source& source, Outcome& out)
{
    // A sender's first round does not tell which of its universes is its last: until
    // it sends one again, only the strip's last universe ends a frame (else the first
    // frame would go out once per universe, each time to every device).
    const auto lastUniverse
        = static_cast<std::uint32_t>(m_map.startUniverse() + m_map.universeCount() - 1);
    const std::uint32_t lastRegion = protocol == Protocol::ArtNet ? lastUniverse - 1 : lastUniverse;
    const bool lastKnown = source.packets > 1 || source.region == lastRegion;
    if (m_dirty && lastKnown && sendersLast(protocol, source)) {
        out.frameComplete = true;
        m_dirty = false;
    }
}

PRISMARA_HOT void SourceTable::write(
    const PixelMap::Span& span, const std::uint8_t* data, std::uint8_t* strip)
{
    if (span.length == 0)
        return;
    std::memcpy(strip + span.stripOffset, data + span.sourceOffset, span.length);
    m_dirty = true;
}

PRISMARA_HOT SourceTable::Outcome SourceTable::takeDdp(const DdpFormat::Packet& packet,
    const Platform::Net::Ipv4Endpoint& from, std::int64_t nowNs, std::uint8_t* strip)
{
    Outcome out;
    if (packet.reason != DdpFormat::Reason::None) {
        out.verdict = Verdict::NotData;
        return out;
    }
    const PixelMap::Span span = m_map.ddpSpan(packet.offset, packet.length);
    // A push beyond the strip still ends the frame the packets before it filled in.
    if (span.length == 0 && packet.length > 0 && !packet.push) {
        out.verdict = Verdict::OutsideMap;
        return out;
    }
    Source* source = nullptr;
    out.verdict = admit({ Protocol::Ddp, addressKey(from), 0, 100, false, 0 }, nowNs, source, out);
    if (out.verdict != Verdict::Taken)
        return out;
    if (!wins(Protocol::Ddp, *source)) {
        out.verdict = Verdict::Superseded;
        return out;
    }
    write(span, packet.data, strip);
    if (packet.push) {
        out.frameComplete = true;
        m_dirty = false;
    }
    return out;
}

SourceTable::SyncStream* SourceTable::syncStream(const Key& cid, std::uint16_t address)
{
    for (SyncStream& stream : m_syncStreams)
        if (stream.used && stream.address == address && stream.cid == cid)
            return &stream;
    return nullptr;
}

PRISMARA_HOT bool SourceTable::holdForSync(const E131Format::Packet& packet, std::int64_t now)
{
    if (packet.syncAddress == 0)
        return false;
    const SyncStream* stream = syncStream(packet.cid, packet.syncAddress);
    if (stream == nullptr)
        return false; // no sync packet seen on that address yet: nothing to wait for
    if (now - stream->lastSeen < kE131LossNs)
        return true;
    return !packet.forceSync;
}

SourceTable::Outcome SourceTable::takeSync(
    const E131Format::Packet& packet, std::int64_t now, std::uint8_t* strip)
{
    Outcome out;
    SyncStream* stream = syncStream(packet.cid, packet.syncAddress);
    if (stream == nullptr) {
        stream = &m_syncStreams[0];
        for (SyncStream& s : m_syncStreams) {
            if (!s.used) {
                stream = &s;
                break;
            }
            if (s.lastSeen < stream->lastSeen)
                stream = &s;
        }
        *stream = { true, packet.cid, packet.syncAddress, now };
    }
    stream->lastSeen = now;
    for (std::size_t u = 0; u < m_held.size(); ++u) {
        Held& held = m_held[u];
        if (!held.pending || held.syncAddress != packet.syncAddress || held.cid != packet.cid)
            continue;
        PixelMap::Span span;
        m_map.universeSpan(
            static_cast<std::uint32_t>(m_map.startUniverse() + u), held.length, span);
        write(span, held.bytes.data(), strip);
        held.pending = false;
    }
    if (m_dirty) {
        out.frameComplete = true;
        m_dirty = false;
    }
    return out;
}

PRISMARA_HOT SourceTable::Outcome SourceTable::takeE131(
    const E131Format::Packet& packet, std::int64_t nowNs, std::uint8_t* strip)
{
    Outcome out;
    if (packet.reason != E131Format::Reason::None) {
        out.verdict = Verdict::NotData;
        return out;
    }
    if (packet.kind == E131Format::Kind::Sync)
        return takeSync(packet, nowNs, strip);
    if (packet.preview) {
        out.verdict = Verdict::Preview;
        return out;
    }
    PixelMap::Span span;
    if (!m_map.universeSpan(packet.universe, packet.channelCount, span)) {
        out.verdict = Verdict::OutsideMap;
        return out;
    }
    if (packet.terminated) {
        out.verdict = Verdict::Terminated;
        Source* source = find(Protocol::E131, packet.cid, packet.universe);
        if (source != nullptr && !outOfOrder(source->lastSequence, packet.sequence))
            remove(Protocol::E131, *source, out);
        return out;
    }
    Source* source = nullptr;
    out.verdict = admit(
        { Protocol::E131, packet.cid, packet.universe, packet.priority, true, packet.sequence },
        nowNs, source, out);
    if (out.verdict != Verdict::Taken)
        return out;
    if (!wins(Protocol::E131, *source)) {
        out.verdict = Verdict::Superseded;
        completeIfLast(Protocol::E131, *source, out);
        return out;
    }
    Held& held = m_held[packet.universe - m_map.startUniverse()];
    if (holdForSync(packet, nowNs)) {
        held.pending = true;
        held.cid = packet.cid;
        held.syncAddress = packet.syncAddress;
        held.length = span.length;
        std::memcpy(held.bytes.data(), packet.channels, span.length);
        return out;
    }
    held.pending = false;
    write(span, packet.channels, strip);
    completeIfLast(Protocol::E131, *source, out);
    return out;
}

PRISMARA_HOT SourceTable::Outcome SourceTable::takeArtDmx(const ArtNetFormat::Packet& packet,
    const Platform::Net::Ipv4Endpoint& from, std::int64_t nowNs, std::uint8_t* strip)
{
    Outcome out;
    if (packet.reason != ArtNetFormat::Reason::None || packet.kind != ArtNetFormat::Kind::Dmx) {
        out.verdict = Verdict::NotData;
        return out;
    }
    PixelMap::Span span;
    if (!m_map.portAddressSpan(packet.portAddress, packet.length, span)) {
        out.verdict = Verdict::OutsideMap;
        return out;
    }
    Source* source = nullptr;
    out.verdict = admit({ Protocol::ArtNet, addressKey(from), packet.portAddress, 100,
                            packet.sequence != 0, packet.sequence },
        nowNs, source, out);
    if (out.verdict != Verdict::Taken)
        return out;
    if (!wins(Protocol::ArtNet, *source)) {
        out.verdict = Verdict::Superseded;
        completeIfLast(Protocol::ArtNet, *source, out);
        return out;
    }
    write(span, packet.data, strip);
    completeIfLast(Protocol::ArtNet, *source, out);
    return out;
}

PRISMARA_HOT SourceTable::Outcome SourceTable::expire(std::int64_t nowNs)
{
    Outcome out;
    const bool wasLive = liveSources() > 0;
    if (!wasLive)
        return out;
    for (int p = 0; p < kProtocolCount; ++p) {
        const auto protocol = static_cast<Protocol>(p);
        const std::int64_t loss = lossAfter(protocol);
        for (Source& s : sources(protocol))
            if (s.used && nowNs - s.lastSeen >= loss)
                remove(protocol, s, out);
    }
    out.allGone = liveSources() == 0;
    return out;
}

PRISMARA_HOT std::int64_t SourceTable::nextExpiry() const
{
    std::int64_t next = kNever;
    for (int p = 0; p < kProtocolCount; ++p) {
        const auto protocol = static_cast<Protocol>(p);
        for (const Source& s : sources(protocol))
            if (s.used && s.lastSeen + lossAfter(protocol) < next)
                next = s.lastSeen + lossAfter(protocol);
    }
    return next;
}
