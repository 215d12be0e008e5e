#include "intake/intakereceiver.h"
#include "platform/hotpath.h"

#include "intake/artnetformat.h"
#include "intake/ddpformat.h"
#include "intake/e131format.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>

namespace Net = Platform::Net;

namespace
{

static_assert(DdpFormat::kReasonCount <= IntakeReceiver::kMaxReasons, "DDP reasons");
static_assert(E131Format::kReasonCount <= IntakeReceiver::kMaxReasons, "E1.31 reasons");
static_assert(ArtNetFormat::kReasonCount <= IntakeReceiver::kMaxReasons, "Art-Net reasons");

// Larger than any datagram IPv4 can carry, so that nothing is cut; DDP packets may be large.
constexpr std::size_t kBufferSize = 65536;
// Enough for a burst of full E1.31 universes while the thread is busy elsewhere.
constexpr int kReceiveBuffer = 1 << 20;
constexpr std::int64_t kSecondNs = 1'000'000'000;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isAny(const std::array<std::uint8_t, 4>& address)
{
    return address == std::array<std::uint8_t, 4> {};
}

std::uint16_t portOf(SourceTable::Protocol protocol)
{
    switch (protocol) {
    case SourceTable::Protocol::Ddp:
        return DdpFormat::kPort;
    case SourceTable::Protocol::E131:
        return E131Format::kPort;
    case SourceTable::Protocol::ArtNet:
        return ArtNetFormat::kPort;
    }
    return 0;
}

const char* rejectionText(SourceTable::Protocol protocol, std::size_t reason)
{
    switch (protocol) {
    case SourceTable::Protocol::Ddp:
        return DdpFormat::reasonText(static_cast<DdpFormat::Reason>(reason));
    case SourceTable::Protocol::E131:
        return E131Format::reasonText(static_cast<E131Format::Reason>(reason));
    case SourceTable::Protocol::ArtNet:
        return ArtNetFormat::reasonText(static_cast<ArtNetFormat::Reason>(reason));
    }
    return "?";
}

void bump(std::atomic<std::uint64_t>& counter)
{
    counter.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

std::vector<std::string> IntakeReceiver::Counters::summary() const
{
    std::vector<std::string> lines;
    for (std::size_t p = 0; p < protocols.size(); ++p) {
        const ProtocolCounters& c = protocols[p];
        if (c.received == 0)
            continue;
        const auto protocol = static_cast<Protocol>(p);
        std::uint64_t dropped = 0;
        std::string why;
        auto add = [&](std::uint64_t n, const char* text) {
            if (n == 0)
                return;
            dropped += n;
            why += (why.empty() ? "" : ", ") + std::to_string(n) + " " + text;
        };
        for (std::size_t r = 1; r < c.rejected.size(); ++r)
            add(c.rejected[r], rejectionText(protocol, r));
        for (std::size_t v = 1; v < c.verdicts.size(); ++v)
            add(c.verdicts[v], SourceTable::verdictText(static_cast<SourceTable::Verdict>(v)));
        add(c.otherAddress, "to another address");
        add(c.oversized, "oversized");
        add(c.receiveErrors, "receive errors");
        std::string line = std::string(SourceTable::protocolName(protocol)) + ": "
            + std::to_string(c.received) + " received, " + std::to_string(c.taken) + " taken";
        if (dropped > 0)
            line += ", " + std::to_string(dropped) + " dropped (" + why + ")";
        lines.push_back(line);
    }
    return lines;
}

IntakeReceiver::IntakeReceiver() = default;

IntakeReceiver::~IntakeReceiver()
{
    stop();
}

std::vector<IntakeReceiver::BindFailure> IntakeReceiver::start(
    const Settings& settings, const PixelMap& map, Sink* sink)
{
    std::vector<BindFailure> failures;
    stop();
    m_settings = settings;
    m_sink = sink;
    m_stopping = false;
    m_mapChanged = false; // `map` supersedes a setMap() made while stopped
    m_table = SourceTable({ settings.lossNs, SourceTable::Limits().sourcesPerProtocol });
    m_table.setMap(map);
    m_strip.assign(map.byteCount(), 0);
    m_pollsInWindow = 0;
    m_liveSources = 0;

    const bool wanted[] = { settings.ddp, settings.e131, settings.artNet };
    m_netStarted = Net::startup() == 0;
    std::vector<Channel> channels;
    for (int p = 0; p < SourceTable::kProtocolCount; ++p) {
        if (!wanted[p])
            continue;
        Channel channel;
        channel.protocol = static_cast<Protocol>(p);
        channel.port = portOf(channel.protocol);
        channel.handle = Net::createUdpSocket();
        if (channel.handle >= 0) {
            // Where the system tells each datagram's local address, every interface is
            // bound and the listen address checked per datagram; elsewhere it is bound.
            channel.filter
                = !isAny(settings.address) && Net::reportLocalAddress(channel.handle) == 0;
            const Net::Ipv4Endpoint local {
                channel.filter ? std::array<std::uint8_t, 4> {} : settings.address, channel.port
            };
            Net::setReceiveBuffer(channel.handle, kReceiveBuffer);
            if (Net::bindUdp(channel.handle, local) == 0) {
                channel.buffer.assign(kBufferSize, 0);
                channels.push_back(std::move(channel));
                continue;
            }
        }
        const int error = Net::lastError();
        if (channel.handle >= 0)
            Net::closeSocket(channel.handle);
        failures.push_back({ channel.protocol, channel.port, error, Net::errorText(error) });
    }
    {
        std::lock_guard<std::mutex> lock(m_mapLock);
        m_channels = std::move(channels);
        m_joined.clear();
        renewMemberships(map);
    }
    bump(m_maps);
    for (Channel& channel : m_channels)
        channel.thread = std::thread(&IntakeReceiver::listen, this, std::ref(channel));
    return failures;
}

void IntakeReceiver::setMap(const PixelMap& map)
{
    std::lock_guard<std::mutex> lock(m_mapLock);
    m_nextMap = map;
    m_mapChanged = true;
    if (m_channels.empty())
        return; // start() takes a map of its own
    renewMemberships(map);
    bump(m_maps);
}

void IntakeReceiver::stop()
{
    m_stopping = true;
    for (Channel& channel : m_channels)
        Net::interruptReceive(channel.handle);
    for (Channel& channel : m_channels)
        if (channel.thread.joinable())
            channel.thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mapLock);
        for (const Channel& channel : m_channels)
            Net::closeSocket(channel.handle);
        m_channels.clear();
        m_joined.clear();
    }
    if (m_netStarted)
        Net::cleanup();
    m_netStarted = false;
}

IntakeReceiver::Counters IntakeReceiver::counters() const
{
    Counters out;
    const auto read
        = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    for (std::size_t p = 0; p < m_tallies.size(); ++p) {
        const Tally& t = m_tallies[p];
        ProtocolCounters& c = out.protocols[p];
        c.received = read(t.received);
        c.taken = read(t.taken);
        c.otherAddress = read(t.otherAddress);
        c.oversized = read(t.oversized);
        c.receiveErrors = read(t.receiveErrors);
        for (std::size_t i = 0; i < c.rejected.size(); ++i)
            c.rejected[i] = read(t.rejected[i]);
        for (std::size_t i = 0; i < c.verdicts.size(); ++i)
            c.verdicts[i] = read(t.verdicts[i]);
    }
    out.frames = read(m_frames);
    out.pollReplies = read(m_pollReplies);
    out.pollsUnanswered = read(m_pollsUnanswered);
    out.joinFailures = read(m_joinFailures);
    out.maps = read(m_maps);
    return out;
}

PRISMARA_HOT std::int64_t IntakeReceiver::waitBoundUs(std::int64_t now) const
{
    // Until the next source can be lost; without one for ever, where a stop can end it.
    const std::int64_t next = m_table.nextExpiry();
    std::int64_t bound = Net::kInterruptibleReceive ? 0 : kStopBoundUs;
    if (next != SourceTable::kNever) {
        const std::int64_t until = std::max<std::int64_t>(1000, (next - now + 999) / 1000);
        bound = bound == 0 ? until : std::min(bound, until);
    }
    return bound;
}

PRISMARA_HOT void IntakeReceiver::listen(Channel& channel)
{
    // The socket's receive bound as last set; changed only when off by more than this
    // slack, so that a steady stream costs no system call besides its receives.
    constexpr std::int64_t kSlackUs = 20000;
    std::int64_t bound = 0;
    std::int64_t wanted = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            wanted = waitBoundUs(nowNs());
        }
        if ((wanted == 0) != (bound == 0) || std::abs(wanted - bound) > kSlackUs) {
            Net::setReceiveTimeout(channel.handle, wanted);
            bound = wanted;
        }
        Net::PeerAddress peer;
        std::array<std::uint8_t, 4> local {};
        const Net::ReceiveResult r = Net::receiveFromTo(
            channel.handle, channel.buffer.data(), channel.buffer.size(), peer, local);
        if (m_stopping.load())
            return;
        const bool failed
            = r.status == Net::ReceiveStatus::Error && !Net::receiveTimedOut(Net::lastError());
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (r.status != Net::ReceiveStatus::Error)
                take(channel, r, peer, local);
            else if (failed)
                bump(tally(channel.protocol).receiveErrors);
            settle(m_table.expire(nowNs()));
            m_liveSources.store(m_table.liveSources(), std::memory_order_relaxed);
        }
        // Not expected on a bound socket; never spin on it.
        if (failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void IntakeReceiver::applyMap()
{
    {
        std::lock_guard<std::mutex> lock(m_mapLock);
        m_table.setMap(m_nextMap);
    }
    m_strip.assign(m_table.map().byteCount(), 0);
}

void IntakeReceiver::renewMemberships(const PixelMap& map)
{
    const Channel* e131 = nullptr;
    for (const Channel& channel : m_channels)
        if (channel.protocol == Protocol::E131)
            e131 = &channel;
    if (e131 == nullptr)
        return;
    const std::uint32_t first = map.startUniverse();
    std::uint32_t last = first + static_cast<std::uint32_t>(map.universeCount());
    if (last > E131Format::kLastUniverse + 1u)
        last = E131Format::kLastUniverse + 1u;
    std::vector<std::uint16_t> kept;
    for (const std::uint16_t universe : m_joined) {
        if (universe >= first && universe < last)
            kept.push_back(universe);
        else
            Net::leaveMulticast(
                e131->handle, E131Format::multicastGroup(universe), m_settings.address);
    }
    for (std::uint32_t u = first; u < last; ++u) {
        const auto universe = static_cast<std::uint16_t>(u);
        bool joined = false;
        for (const std::uint16_t k : kept)
            joined = joined || k == universe;
        if (joined)
            continue;
        if (Net::joinMulticast(
                e131->handle, E131Format::multicastGroup(universe), m_settings.address)
            == 0)
            kept.push_back(universe);
        else
            bump(m_joinFailures);
    }
    m_joined.swap(kept);
}

PRISMARA_HOT void IntakeReceiver::take(const Channel& channel, const Net::ReceiveResult& r,
    const Net::PeerAddress& peer, const std::array<std::uint8_t, 4>& local)
{
    Tally& t = tally(channel.protocol);
    bump(t.received);
    if (r.status == Net::ReceiveStatus::Truncated) {
        bump(t.oversized);
        return;
    }
    // A datagram read after setMap() returned goes through the new map.
    if (m_mapChanged.load(std::memory_order_relaxed) && m_mapChanged.exchange(false))
        applyMap();
    if (channel.filter && local != m_settings.address) {
        bump(t.otherAddress);
        return;
    }
    Net::Ipv4Endpoint from;
    if (!Net::peerIpv4(peer, from)) {
        bump(t.receiveErrors);
        return;
    }
    handle(channel, r.length, from, local, nowNs());
}

PRISMARA_HOT void IntakeReceiver::handle(const Channel& channel, std::size_t size,
    const Net::Ipv4Endpoint& from, const std::array<std::uint8_t, 4>& local, std::int64_t now)
{
    Tally& t = tally(channel.protocol);
    const std::uint8_t* bytes = channel.buffer.data();
    SourceTable::Outcome outcome;
    switch (channel.protocol) {
    case Protocol::Ddp: {
        const DdpFormat::Packet packet = DdpFormat::parse(bytes, size);
        if (packet.reason != DdpFormat::Reason::None) {
            bump(t.rejected[static_cast<std::size_t>(packet.reason)]);
            return;
        }
        outcome = m_table.takeDdp(packet, from, now, m_strip.data());
        break;
    }
    case Protocol::E131: {
        const E131Format::Packet packet = E131Format::parse(bytes, size);
        if (packet.reason != E131Format::Reason::None) {
            bump(t.rejected[static_cast<std::size_t>(packet.reason)]);
            return;
        }
        outcome = m_table.takeE131(packet, now, m_strip.data());
        break;
    }
    case Protocol::ArtNet: {
        const ArtNetFormat::Packet packet = ArtNetFormat::parse(bytes, size);
        if (packet.reason != ArtNetFormat::Reason::None) {
            bump(t.rejected[static_cast<std::size_t>(packet.reason)]);
            return;
        }
        if (packet.kind == ArtNetFormat::Kind::Poll) {
            answerPoll(channel, packet, from, local, now);
            bump(t.taken); // after the answer, so that a count seen includes its reply
            return;
        }
        outcome = m_table.takeArtDmx(packet, from, now, m_strip.data());
        break;
    }
    }
    bump(t.verdicts[static_cast<std::size_t>(outcome.verdict)]);
    if (outcome.verdict == SourceTable::Verdict::Taken)
        bump(t.taken);
    settle(outcome);
}

void IntakeReceiver::answerPoll(const Channel& channel, const ArtNetFormat::Packet& poll,
    const Net::Ipv4Endpoint& from, const std::array<std::uint8_t, 4>& local, std::int64_t now)
{
    const PixelMap& map = m_table.map();
    const std::size_t first = map.startUniverse() - 1u;
    std::size_t ports = map.universeCount();
    if (first + ports > ArtNetFormat::kLastPortAddress + 1u)
        ports = ArtNetFormat::kLastPortAddress + 1u - first;
    if (poll.targeted
        && (ports == 0 || poll.targetBottom > first + ports - 1 || poll.targetTop < first))
        return;
    // Polls arrive every few seconds from each console; a flood of them must not make this
    // node a reflector.
    if (now - m_pollWindowStart >= kSecondNs) {
        m_pollWindowStart = now;
        m_pollsInWindow = 0;
    }
    if (m_pollsInWindow >= kPollAnswersPerSecond) {
        bump(m_pollsUnanswered);
        return;
    }
    ++m_pollsInWindow;
    ArtNetFormat::PollReplyInfo info;
    info.address = m_settings.address;
    if (isAny(info.address))
        info.address = local;
    if (isAny(info.address))
        Net::localAddressToward(from, info.address);
    info.shortName = m_settings.shortName.c_str();
    info.longName = m_settings.longName.c_str();
    info.firstPortAddress = static_cast<std::uint16_t>(first);
    info.portCount = ports;
    info.outputting = m_table.liveSources() > 0;
    info.replyCounter = ++m_replyCounter;
    const Net::Ipv4Endpoint to { from.address, ArtNetFormat::kPort };
    const std::size_t replies = ArtNetFormat::pollReplyCount(info.firstPortAddress, ports);
    for (std::size_t i = 0; i < replies; ++i) {
        const std::size_t size
            = ArtNetFormat::buildPollReply(m_reply.data(), m_reply.size(), info, i);
        if (size > 0
            && Net::sendTo(channel.handle, m_reply.data(), size, to)
                == static_cast<long long>(size))
            bump(m_pollReplies);
    }
}

PRISMARA_HOT void IntakeReceiver::settle(const SourceTable::Outcome& outcome)
{
    if (m_sink == nullptr)
        return;
    if (outcome.frameComplete) {
        bump(m_frames);
        m_sink->frame(m_strip.data(), m_strip.size());
    }
    if (outcome.firstLive)
        m_sink->sourcesLive();
    if (outcome.allGone)
        m_sink->sourcesGone();
}
