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
// The thread waits on its sockets and on a wake-up, so stop() and setMap() take effect at
// once; it reads at most kBurst datagrams from a socket before it turns to the next, so a
// flood on one port never starves another protocol. Nothing is allocated per datagram.
// With a listen address other than 0.0.0.0 the sockets still bind every interface where
// the system must (Linux delivers broadcasts and multicast only to such sockets) and drop
// what did not arrive on that address.
class IntakeReceiver
{
public:
    using Protocol = SourceTable::Protocol;
    static constexpr std::size_t kBurst = 64;
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

    // Called on the receiver's thread, one call at a time. A call must not call stop().
    class Sink
    {
    public:
        virtual ~Sink() = default;
        // The strip (size bytes, in map order) holds a complete frame; valid during the call.
        virtual void frame(const std::uint8_t* strip, std::size_t size) = 0;
        // A first network source became live; the last live one is gone.
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
    bool running() const { return m_thread.joinable(); }
    // Any thread.
    Counters counters() const;
    // Any thread: the sources live when the receiver last looked (after each batch of
    // datagrams and each expiry).
    std::size_t liveSources() const { return m_liveSources.load(std::memory_order_relaxed); }
    // Inside a Sink call only (the receiver's thread): the map the strip is laid out by.
    const PixelMap& map() const { return m_table.map(); }

private:
    struct Channel {
        Protocol protocol = Protocol::Ddp;
        std::uint16_t port = 0;
        Platform::Net::SocketHandle handle = -1;
        bool filter = false; // bound to every interface: drop what came to other addresses
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

    void run();
    void applyMap();
    void renewMemberships();
    bool drain(const Channel& channel);
    void handle(const Channel& channel, std::size_t size, const Platform::Net::Ipv4Endpoint& from,
        const std::array<std::uint8_t, 4>& local, std::int64_t now);
    void answerPoll(const Channel& channel, const ArtNetFormat::Packet& poll,
        const Platform::Net::Ipv4Endpoint& from, const std::array<std::uint8_t, 4>& local,
        std::int64_t now);
    void settle(const SourceTable::Outcome& outcome);
    Tally& tally(Protocol protocol) { return m_tallies[static_cast<std::size_t>(protocol)]; }

    Settings m_settings;
    Sink* m_sink = nullptr;
    std::vector<Channel> m_channels; // the bound ones
    Platform::Net::Waker m_waker;
    bool m_netStarted = false; // Net::startup() succeeded; cleanup() is owed
    std::thread m_thread;
    std::atomic<bool> m_stopping { false };

    std::mutex m_mapLock;
    PixelMap m_nextMap; // under m_mapLock
    std::atomic<bool> m_mapChanged { false };

    // The thread's own.
    SourceTable m_table;
    std::vector<std::uint8_t> m_strip;
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint16_t> m_joined; // universes whose group the E1.31 socket joined
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
