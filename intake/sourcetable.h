#pragma once

#include "intake/artnetformat.h"
#include "intake/ddpformat.h"
#include "intake/e131format.h"
#include "intake/pixelmap.h"
#include "platform/socketlayer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// The one place that decides which network data is shown. It keeps the live sources of all
// three protocols and writes what wins straight into the caller's strip through the pixel
// map, then says when the strip holds a frame to send.
//
// - E1.31 sources are keyed by CID and universe, DDP ones by sender address and port,
//   Art-Net ones by sender address, port and Port-Address. A region (a universe, an Art-Net
//   Port-Address, or the whole strip for DDP) shows one source: the settled one before one
//   still on probation, then the highest priority (E1.31; the others count as 100), then
//   the newest. A source is settled once it has sent kSettledPackets packets in order, so
//   a stray or forged packet never takes a region from a running show.
// - Packets 1-20 behind the last one taken from their source (a signed 8-bit difference)
//   are out of order and dropped: E1.31 always, Art-Net unless the sequence is 0.
// - E1.31 sources are lost 2.5 s after their last packet, at once on a stream-terminated
//   packet (whose data is not shown); DDP and Art-Net ones after Limits::lossNs. Preview
//   data is never shown.
// - E1.31 universe synchronization: data naming a sync address on which a sync packet of
//   its sender has arrived in the last 2.5 s is held until the next one. When those stop,
//   data with force-sync 0 stays held until they resume; with 1 it is shown at once.
// - A frame is complete on a DDP push, when a universe arrives that is its sender's highest
//   on the strip (E1.31, Art-Net), or when a sync packet releases held data.
// - Each protocol keeps at most Limits::sourcesPerProtocol sources. When full, a newcomer
//   replaces the quietest source still on probation; settled ones are never displaced, and
//   with no room the newcomer is refused (verdict TableFull).
//
// Pure: the clock is passed in (monotonic nanoseconds), nothing is allocated after setMap()
// and nothing here is thread-safe; its owner serialises calls.
class SourceTable
{
public:
    enum class Protocol : std::uint8_t { Ddp, E131, ArtNet };
    static constexpr int kProtocolCount = 3;
    static const char* protocolName(Protocol protocol);

    enum class Verdict : std::uint8_t {
        Taken, // written to the strip, or held for a push or sync
        OutOfOrder,
        Preview,
        Terminated, // a stream-terminated packet: its source is gone
        Superseded, // another source shows in that region
        OutsideMap, // nothing of it lies on the strip
        TableFull,
        NotData, // the packet was a rejected one or no data packet
    };
    static constexpr int kVerdictCount = 8;
    static const char* verdictText(Verdict verdict);

    static constexpr std::int64_t kE131LossNs = 2'500'000'000;
    static constexpr std::uint32_t kSettledPackets = 3;
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    struct Limits {
        std::int64_t lossNs = 5'000'000'000; // DDP and Art-Net
        std::size_t sourcesPerProtocol = 64;
    };

    struct Outcome {
        Verdict verdict = Verdict::Taken;
        bool frameComplete = false; // the strip holds a frame: send it now
        bool firstLive = false; // a source appeared where none was live
        bool allGone = false; // the last live source is gone
    };

    SourceTable();
    explicit SourceTable(const Limits& limits);

    // Takes a new map: keeps the sources (so a changed device list does not read as a
    // lost network), drops held data. The strip passed afterwards holds map.byteCount()
    // bytes.
    void setMap(const PixelMap& map);
    const PixelMap& map() const { return m_map; }

    // Each takes a packet its parser accepted (reason None; others give NotData) that
    // arrived at nowNs, never earlier than the last call's.
    Outcome takeDdp(const DdpFormat::Packet& packet, const Platform::Net::Ipv4Endpoint& from,
        std::int64_t nowNs, std::uint8_t* strip);
    Outcome takeE131(const E131Format::Packet& packet, std::int64_t nowNs, std::uint8_t* strip);
    Outcome takeArtDmx(const ArtNetFormat::Packet& packet, const Platform::Net::Ipv4Endpoint& from,
        std::int64_t nowNs, std::uint8_t* strip);

    // Drops the sources that have been silent too long; allGone when that was the last.
    Outcome expire(std::int64_t nowNs);
    // When the next source will be lost if nothing arrives (kNever when none is live).
    std::int64_t nextExpiry() const;

    std::size_t liveSources() const;
    std::size_t liveSources(Protocol protocol) const;

private:
    using Key = std::array<std::uint8_t, 16>;

    struct Source {
        bool used = false;
        bool sequenced = false;
        std::uint8_t lastSequence = 0;
        std::uint8_t priority = 100;
        std::uint16_t region = 0;
        std::uint32_t packets = 0;
        Key key {};
        std::int64_t started = 0;
        std::int64_t lastSeen = 0;
    };

    struct Arrival {
        Protocol protocol;
        Key key;
        std::uint16_t region;
        std::uint8_t priority;
        bool sequenced;
        std::uint8_t sequence;
    };

    struct Held {
        bool pending = false;
        Key cid {};
        std::uint16_t syncAddress = 0;
        std::size_t length = 0;
        std::array<std::uint8_t, PixelMap::kPixelsPerUniverse * PixelMap::kBytesPerPixel> bytes {};
    };

    struct SyncStream {
        bool used = false;
        Key cid {};
        std::uint16_t address = 0;
        std::int64_t lastSeen = 0;
    };

    // The slots up to the last one in use: every walk stops there, so that a datagram
    // touches the few sources that are live, not the whole table.
    template <typename T> struct Slots {
        T* first;
        T* last;
        T* begin() const { return first; }
        T* end() const { return last; }
    };
    Slots<Source> sources(Protocol protocol);
    Slots<const Source> sources(Protocol protocol) const;
    void occupy(Protocol protocol, Source& source);
    std::int64_t lossAfter(Protocol protocol) const;
    Source* find(Protocol protocol, const Key& key, std::uint16_t region);
    Source* room(Protocol protocol);
    Verdict admit(const Arrival& arrival, std::int64_t now, Source*& source, Outcome& out);
    void remove(Protocol protocol, Source& source, Outcome& out);
    bool wins(Protocol protocol, const Source& source) const;
    bool sendersLast(Protocol protocol, const Source& source) const;
    void completeIfLast(Protocol protocol, const Source& source, Outcome& out);
    void write(const PixelMap::Span& span, const std::uint8_t* data, std::uint8_t* strip);
    SyncStream* syncStream(const Key& cid, std::uint16_t address);
    bool holdForSync(const E131Format::Packet& packet, std::int64_t now);
    Outcome takeSync(const E131Format::Packet& packet, std::int64_t now, std::uint8_t* strip);

    Limits m_limits;
    PixelMap m_map;
    std::array<std::vector<Source>, kProtocolCount> m_sources;
    std::array<std::size_t, kProtocolCount> m_inUse {}; // one past the last slot in use
    std::array<std::size_t, kProtocolCount> m_live {};
    std::array<SyncStream, 16> m_syncStreams {};
    std::vector<Held> m_held; // one per universe of the map
    bool m_dirty = false; // the strip changed since the last complete frame
};
