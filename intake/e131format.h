#pragma once

// E1.31 (streaming ACN, "sACN") packets as lighting programs send them to UDP 5568, unicast
// or to the multicast group of their universe: data packets (DMX512 channel values for one
// universe), universe synchronization packets, and universe discovery packets.

#include <array>
#include <cstddef>
#include <cstdint>

namespace E131Format
{

constexpr std::uint16_t kPort = 5568;
constexpr std::uint16_t kLastUniverse = 63999;
constexpr std::uint8_t kHighestPriority = 200;

enum class Kind : std::uint8_t { Data, Sync, Discovery };

enum class Reason : std::uint8_t {
    None, // data to take, or a sync packet
    Short, // fewer bytes than its layers need
    Preamble, // preamble size not 0x0010
    Postamble, // postamble size not 0
    Identifier, // not "ASC-E1.17"
    RootFlags, // root layer flags not 0x7
    RootLength, // root layer length not the packet's length - 16
    RootVector, // neither data (4) nor extended (8)
    FramingFlags,
    FramingLength, // framing layer length not the packet's length - 38
    FramingVector, // not a data packet under root vector 4, nor sync / discovery under 8
    Priority, // above 200
    Universe, // outside 1-63999
    SyncAddress, // outside 0-63999 (1-63999 in a sync packet)
    DmpFlags,
    DmpLength, // DMP layer length not the packet's length - 115
    DmpVector, // not SET PROPERTY (2)
    AddressType, // address and data type not 0xA1
    FirstAddress, // first property address not 0
    Increment, // address increment not 1
    Count, // property value count outside 1-513 or not what the packet holds
    StartCode, // a valid packet whose START code is not 0 (not dimmer data)
    Discovery, // a valid universe discovery packet: nothing to take
};
constexpr int kReasonCount = 23;

// Short lower-case text for counters and logs ("START code not 0").
const char* reasonText(Reason reason);

struct Packet {
    Reason reason = Reason::Short;
    Kind kind = Kind::Data;
    std::array<std::uint8_t, 16> cid {}; // the sender's identity
    const char* sourceName = nullptr; // UTF-8 inside the parsed bytes, sourceNameLength long
    std::size_t sourceNameLength = 0;
    std::uint8_t priority = 0;
    std::uint16_t syncAddress = 0; // data: the sync universe to wait for, 0 = none
    std::uint8_t sequence = 0;
    bool preview = false; // for visualisers, not for output
    bool terminated = false; // the source stops sending this universe
    bool forceSync = false; // on loss of sync: 1 = go on unsynchronized, 0 = hold
    std::uint16_t universe = 0;
    std::uint8_t startCode = 0;
    const std::uint8_t* channels = nullptr; // channel 1 onwards, inside the parsed bytes
    std::uint16_t channelCount = 0; // 0-512
};

// Reads one E1.31 packet of `size` bytes, checking every identifier, vector, flags and
// length field and every count against the standard; each layer's length must match the
// packet's exactly. Reason None means a data packet (kind Data) with START code 0 and
// channelCount channel values, or a synchronization packet (kind Sync: cid, sequence and
// syncAddress). Discovery packets are recognised (reason Discovery). Fields read before a
// rejection are filled in. Never reads outside [bytes, bytes + size), allocates nothing,
// throws nothing.
Packet parse(const std::uint8_t* bytes, std::size_t size);

// The multicast group a universe's data is sent to: 239.255.<high byte>.<low byte>.
std::array<std::uint8_t, 4> multicastGroup(std::uint16_t universe);

} // namespace E131Format
