#pragma once

// The packets a lighting program sends to drive a strip of RGB pixels: DDP data packets
// (UDP 4048), E1.31 / sACN data packets (UDP 5568) and Art-Net ArtDmx packets (UDP 6454).
// Written from the protocols' documents, independently of any receiver. Qt-free and pure:
// each builder replaces the contents of `out` and allocates only when `out` must grow.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace LightPackets
{

using Bytes = std::vector<std::uint8_t>;
using Cid = std::array<std::uint8_t, 16>;

constexpr std::uint16_t kDdpPort = 4048;
constexpr std::uint16_t kE131Port = 5568;
constexpr std::uint16_t kArtNetPort = 6454;

constexpr std::size_t kDdpHeaderSize = 10;
constexpr std::size_t kDdpMaxData = 1440; // 480 pixels: what DDP receivers take in one packet
constexpr std::size_t kE131HeaderSize = 126; // up to and including the START code
constexpr std::size_t kArtDmxHeaderSize = 18;
constexpr std::size_t kUniverseChannels = 512;
constexpr std::uint16_t kLastE131Universe = 63999;
constexpr std::uint16_t kLastPortAddress = 0x7FFF;
constexpr std::size_t kSourceNameBytes = 63; // the 64-byte field keeps a closing NUL

// DDP version 1 data packet for the default output (id 1), data type RGB 8-bit (0x0B), no
// timecode: `length` bytes of data for the strip's byte `offset` onwards. `push` asks the
// receiver to show what it has; sequence 1-15 (0: unnumbered). Length at most kDdpMaxData.
void ddp(Bytes& out, bool push, std::uint8_t sequence, std::uint32_t offset,
    const std::uint8_t* data, std::size_t length);

// Who sends E1.31: the identity receivers key their sources by, the name they show
// (UTF-8; cut to kSourceNameBytes, never inside a character) and the priority (0-200).
struct E131Source {
    Cid cid {};
    std::string name;
    std::uint8_t priority = 100;
};

// E1.31 data packet (root vector 4, framing vector 2, no synchronization address) with
// START code 0 and `count` channel values (at most 512) for `universe` (1-63999). With
// `terminated` the options byte says the source stops sending this universe.
void e131(Bytes& out, const E131Source& source, std::uint16_t universe, std::uint8_t sequence,
    bool terminated, const std::uint8_t* channels, std::size_t count);

// ArtDmx (OpCode 0x5000, protocol version 14) for the 15-bit `portAddress`, sequence 1-255
// (0: unnumbered), physical port 0. The data length must be even and 2-512: `length`
// bytes are sent, and an odd length gets one more value 0.
void artDmx(Bytes& out, std::uint8_t sequence, std::uint16_t portAddress, const std::uint8_t* data,
    std::size_t length);

// The multicast group of an E1.31 universe: 239.255.<high byte>.<low byte>.
std::array<std::uint8_t, 4> e131Group(std::uint16_t universe);

// Reads a CID written as 32 hexadecimal digits, dashes anywhere allowed (the UUID form
// 6ba7b810-9dad-11d1-80b4-00c04fd430c8). False, and `cid` untouched, for anything else.
bool parseCid(const std::string& text, Cid& cid);

// A random version 4 UUID, for a sender that was given none.
Cid randomCid();

} // namespace LightPackets
