#pragma once

// DDP, E1.31 and Art-Net packets written out field by field, for the receiver and source
// table tests (the format tests hold the byte tables these agree with). Qt-free.

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace IntakePackets
{

using Bytes = std::vector<std::uint8_t>;
using Cid = std::array<std::uint8_t, 16>;

inline void put16(Bytes& b, std::size_t at, unsigned value)
{
    b[at] = static_cast<std::uint8_t>(value >> 8);
    b[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// flags 0x40 (version 1) | 0x01 for push; data type RGB 8-bit, destination 1.
inline Bytes ddp(bool push, std::uint32_t offset, const Bytes& data)
{
    Bytes b(10 + data.size(), 0);
    b[0] = push ? 0x41 : 0x40;
    b[2] = 0x0B;
    b[3] = 0x01;
    put16(b, 4, offset >> 16);
    put16(b, 6, offset & 0xFFFF);
    put16(b, 8, static_cast<unsigned>(data.size()));
    if (!data.empty())
        std::memcpy(b.data() + 10, data.data(), data.size());
    return b;
}

// options: 0x80 preview, 0x40 stream terminated, 0x20 force synchronization.
inline Bytes e131(const Cid& cid, std::uint16_t universe, std::uint8_t sequence,
    const Bytes& channels, std::uint8_t priority = 100, std::uint8_t options = 0,
    std::uint16_t syncAddress = 0)
{
    const std::size_t size = 126 + channels.size();
    Bytes b(size, 0);
    const std::uint8_t head[]
        = { 0x00, 0x10, 0x00, 0x00, 'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0x00, 0x00, 0x00 };
    std::memcpy(b.data(), head, sizeof head);
    put16(b, 16, 0x7000 | unsigned(size - 16));
    b[21] = 0x04;
    std::memcpy(b.data() + 22, cid.data(), cid.size());
    put16(b, 38, 0x7000 | unsigned(size - 38));
    b[43] = 0x02;
    std::memcpy(b.data() + 44, "intake test", 11);
    b[108] = priority;
    put16(b, 109, syncAddress);
    b[111] = sequence;
    b[112] = options;
    put16(b, 113, universe);
    put16(b, 115, 0x7000 | unsigned(size - 115));
    b[117] = 0x02;
    b[118] = 0xA1;
    put16(b, 121, 1);
    put16(b, 123, unsigned(channels.size() + 1));
    if (!channels.empty())
        std::memcpy(b.data() + 126, channels.data(), channels.size());
    return b;
}

inline Bytes e131Sync(const Cid& cid, std::uint8_t sequence, std::uint16_t syncAddress)
{
    Bytes b = e131(cid, 1, 0, {});
    b.resize(49);
    put16(b, 16, 0x7000 | (49 - 16));
    b[21] = 0x08;
    put16(b, 38, 0x7000 | (49 - 38));
    b[43] = 0x01;
    b[44] = sequence;
    put16(b, 45, syncAddress);
    b[47] = 0;
    b[48] = 0;
    return b;
}

inline Bytes artDmx(std::uint8_t sequence, std::uint16_t portAddress, const Bytes& data)
{
    Bytes b(18 + data.size(), 0);
    std::memcpy(b.data(), "Art-Net", 8);
    b[9] = 0x50;
    b[11] = 14;
    b[12] = sequence;
    b[14] = static_cast<std::uint8_t>(portAddress & 0xFF);
    b[15] = static_cast<std::uint8_t>(portAddress >> 8);
    put16(b, 16, unsigned(data.size()));
    if (!data.empty())
        std::memcpy(b.data() + 18, data.data(), data.size());
    return b;
}

// ID, OpCode 0x2000 (low byte first), ProtVer 14, Flags, DiagPriority.
inline Bytes artPoll()
{
    return { 'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x20, 0, 14, 0, 0 };
}

} // namespace IntakePackets
