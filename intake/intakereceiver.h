#pragma once

#include "intake/pixelmap.h"
#include "intake/sourcetable.h"
#include "platform/socketlayer.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Receives DDP (UDP 4048), E1.31 (5568, unicast and the multicast group of every universe
// the map spans) and Art-Net (6454, answering ArtPoll) on a thread of its own, decodes into
// one strip through a SourceTable and hands each complete frame to a Sink.
//
// Each protocol's socket has a thread of its own that blocks in the socket's receive and
// handles the datagram as soon as the system wakes it (no wait for readiness first), so a
// flood on one port never starves another protocol; the threads take the table one
// datagram at a time. stop() interrupts the receives (where the system cannot, the
// threads wait at most kStopBoundUs at a time); setMap() renews the E1.31 memberships at
// once and the table takes the map before the next datagram. Nothing is allocated per
// datagram.
// With a listen address other than 0.0.0.0 the sockets still bind every interface where
// the system must (Linux delivers broadcasts and multicast only to such sockets) and drop
// what did not arrive on that address.
class IntakeReceiver
{
public:
    using Protocol = SourceTable::Protocol;
    static constexpr std::int64_t kStopBoundUs = 200000;
    static constexpr int kPollAnswersPerSecond = 4; // beyond: counted, not answered
    static constexpr int kMaxReasons = 23; // the most reasons any format has

    struct Settings {
        bool ddp = false;
        bool e131 = false;
        bool artNet = false;
        std::array<std::uint8_t, 4> address {}; // 0.0.0.0: every interface
        std::int64_t lossNs = 5'000'000'000; // DDP and Art-Net sources
        std::string shortName = "Prismara";
        std::string longName = "Prismara Nanoleaf Tool";
    };

    // Called on a receiving thread, one call at a time. A call must not call stop().
    class Sink
    {
    public:
        virtual ~Sink() = default;
        // The strip (size bytes, in map order) holds a complete frame; valid during the call.
        virtual void frame(const std::uint8_t* strip, std::size_t size) = 0;
        // A first network source became live (told after its datagram's frame, if that
        // datagram completed one, so that the frame does not wait); the last live one
        // is gone.
        virtual void sourcesLive() { }
        virtual void sourcesGone() { }
    };

    struct BindFailure {
        Protocol protocol;
        std::uint16_t port;
        int error; // lastError()
        std::string reason; // the system's text for it
    };

    struct ProtocolCounters {
        std::uint64_t received = 0; // datagrams read from the socket
        std::uint64_t taken = 0; // verdict Taken, and ArtPolls once handled
        std::uint64_t otherAddress = 0; // arrived on a local address not listened on
        std::uint64_t oversized = 0; // longer than the 64 KiB buffer
        std::uint64_t receiveErrors = 0;
        std::array<std::uint64_t, kMaxReasons> rejected {}; // by the format's Reason
        std::array<std::uint64_t, SourceTable::kVerdictCount> verdicts {}; // Taken included
    };

    struct Counters {
        std::array<ProtocolCounters, SourceTable::kProtocolCount> protocols {};
        std::uint64_t frames = 0; // handed to the sink
        std::uint64_t pollReplies = 0; // ArtPollReply datagrams sent
        std::uint64_t pollsUnanswered = 0; // over kPollAnswersPerSecond
        std::uint64_t joinFailures = 0; // multicast groups that could not be joined
        std::uint64_t maps = 0; // maps put in force, memberships renewed (start() counts one)

        const ProtocolCounters& of(Protocol protocol) const
        {
            return protocols[static_cast<std::size_t>(protocol)];
        }
        // One line per protocol that received anything, e.g. "DDP: 12 received, 10 taken,
        // 2 dropped (1 version not 1, 1 outside the map)".
        std::vector<std::string> summary() const;
    };

    IntakeReceiver();
    ~IntakeReceiver();
    IntakeReceiver(const IntakeReceiver&) = delete;
    IntakeReceiver& operator=(const IntakeReceiver&) = delete;

    // Opens the enabled protocols' sockets and starts the thread (when any socket opened).
    // Returns the ports that could not be bound; the others run. The sink must outlive
    // stop(). Call on a stopped receiver only.
    std::vector<BindFailure> start(const Settings& settings, const PixelMap& map, Sink* sink);
    // Any thread: datagrams read after it returns go through `map`; E1.31 memberships
    // are renewed.
    void setMap(const PixelMap& map);
    // Ends the thread and closes the sockets; returns when the thread has ended.
    void stop();
    bool running() const { return !m_channels.empty(); }
    // Any thread.
    Counters counters() const;
    // Any thread: the sources live when the receiver last looked (after each batch of
    // datagrams and each expiry).
    std::size_t liveSources() const { return m_liveSources.load(std::memory_order_relaxed); }
    // Inside a Sink call only: the map the strip is laid out by.
    const PixelMap& map() const { return m_table.map(); }

private:
    struct Channel {
        Protocol protocol = Protocol::Ddp;
        std::uint16_t port = 0;
        Platform::Net::SocketHandle handle = -1;
        bool filter = false; // bound to every interface: drop what came to other addresses
        std::thread thread;
        std::vector<std::uint8_t> buffer;
    };

    struct Tally {
        std::atomic<std::uint64_t> received { 0 };
        std::atomic<std::uint64_t> taken { 0 };
        std::atomic<std::uint64_t> otherAddress { 0 };
        std::atomic<std::uint64_t> oversized { 0 };
        std::atomic<std::uint64_t> receiveErrors { 0 };
        std::array<std::atomic<std::uint64_t>, kMaxReasons> rejected {};
        std::array<std::atomic<std::uint64_t>, SourceTable::kVerdictCount> verdicts {};
    };

    void listen(Channel& channel);
    std::int64_t waitBoundUs(std::int64_t now) const;
    void applyMap();
    void renewMemberships(const PixelMap& map);
    void take(const Channel& channel, const Platform::Net::ReceiveResult& r,
        const Platform::Net::PeerAddress& peer, const std::array<std::uint8_t, 4>& local);
    void handle(const Channel& channel, std::size_t size, const Platform::Net::Ipv4Endpoint& from,
        const std::array<std::uint8_t, 4>& local, std::int64_t now);
    void answerPoll(const Channel& channel, const ArtNetFormat::Packet& poll,
        const Platform::Net::Ipv4Endpoint& from, const std::array<std::uint8_t, 4>& local,
        std::int64_t now);
    void settle(const SourceTable::Outcome& outcome);
    Tally& tally(Protocol protocol) { return m_tallies[static_cast<std::size_t>(protocol)]; }

    Settings m_settings;
    Sink* m_sink = nullptr;
    // The bound ones; their threads start once all are in, so the vector never moves them.
    std::vector<Channel> m_channels;
    bool m_netStarted = false; // Net::startup() succeeded; cleanup() is owed
    std::atomic<bool> m_stopping { false };

    std::mutex m_mapLock;
    PixelMap m_nextMap; // under m_mapLock
    std::vector<std::uint16_t> m_joined; // under m_mapLock: groups the E1.31 socket joined
    std::atomic<bool> m_mapChanged { false };

    // The receiving threads take turns under m_lock.
    std::mutex m_lock;
    SourceTable m_table;
    std::vector<std::uint8_t> m_strip;
    std::array<std::uint8_t, ArtNetFormat::kPollReplySize> m_reply {};
    std::int64_t m_pollWindowStart = 0;
    int m_pollsInWindow = 0;
    std::uint16_t m_replyCounter = 0;

    std::array<Tally, SourceTable::kProtocolCount> m_tallies;
    std::atomic<std::uint64_t> m_frames { 0 };
    std::atomic<std::uint64_t> m_pollReplies { 0 };
    std::atomic<std::uint64_t> m_pollsUnanswered { 0 };
    std::atomic<std::uint64_t> m_joinFailures { 0 };
    std::atomic<std::uint64_t> m_maps { 0 };
    std::atomic<std::size_t> m_liveSources { 0 };
};
