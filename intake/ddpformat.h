#pragma once

// DDP (Distributed Display Protocol) packets as lighting programs send them to UDP 4048:
// a 10-byte header (14 with a timecode), then R, G, B bytes for a stretch of the strip.

#include <cstddef>
#include <cstdint>

namespace DdpFormat
{

constexpr std::uint16_t kPort = 4048;

enum class Reason : std::uint8_t {
    None, // a data packet
    Short, // fewer bytes than its header
    Version, // version bits other than 01
    Reply, // a reply: no data for the strip
    Query, // a query: no data for the strip
    Storage, // asks to show stored data; there is none
    DataType, // not RGB 8-bit
    Destination, // an id other than the display's (1) or all devices (255)
    Truncated, // the length field claims more data than the packet holds
};
constexpr int kReasonCount = 9;

// Short lower-case text for counters and logs ("version not 1").
const char* reasonText(Reason reason);

struct Packet {
    Reason reason = Reason::Short;
    bool push = false; // the frame is complete: show it
    bool hasTimecode = false;
    std::uint8_t sequence = 0; // 1-15; 0 = not used by the sender
    std::uint8_t dataType = 0;
    std::uint8_t destination = 0;
    std::uint32_t offset = 0; // where `data` goes, in bytes from the strip's start
    std::uint16_t length = 0; // bytes at `data`
    std::uint32_t timecode = 0;
    const std::uint8_t* data = nullptr; // inside the parsed bytes, not a copy
};

// Reads one DDP packet of `size` bytes. A packet with reason None carries `length` bytes of
// RGB data for the default display (id 1) or all devices (id 255), version 1, data type
// 0x0B (RGB 8-bit), 0x01 or 0 (undefined, which senders use for RGB 8-bit); the fields
// read before a rejection are filled in. Bytes past the stated length are ignored. Never
// reads outside [bytes, bytes + size), allocates nothing, throws nothing.
Packet parse(const std::uint8_t* bytes, std::size_t size);

} // namespace DdpFormat
