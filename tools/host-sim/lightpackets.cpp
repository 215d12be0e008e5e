#include "tools/host-sim/lightpackets.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace LightPackets
{

namespace
{

void putBig16(std::uint8_t* at, std::size_t value)
{
    at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

void putBig32(std::uint8_t* at, std::uint32_t value)
{
    putBig16(at, value >> 16);
    putBig16(at + 2, value & 0xFFFF);
}

// An ACN PDU's first two bytes: flags 0x7 (length, vector and header of its own, data
// follows) over a 12-bit length that counts from this field to the packet's end.
void putFlagsAndLength(std::uint8_t* at, std::size_t length)
{
    putBig16(at, 0x7000 | (length & 0x0FFF));
}

// How many bytes of `name` fit `limit` without cutting a UTF-8 character in two.
std::size_t wholeCharacters(const std::string& name, std::size_t limit)
{
    if (name.size() <= limit)
        return name.size();
    std::size_t n = limit;
    while (n > 0 && (static_cast<std::uint8_t>(name[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

void ddp(Bytes& out, bool push, std::uint8_t sequence, std::uint32_t offset,
    const std::uint8_t* data, std::size_t length)
{
    length = std::min(length, kDdpMaxData);
    out.assign(kDdpHeaderSize + length, 0);
    out[0] = static_cast<std::uint8_t>(0x40 | (push ? 0x01 : 0x00)); // version 1
    out[1] = static_cast<std::uint8_t>(sequence & 0x0F);
    out[2] = 0x0B; // RGB, 8 bits per colour
    out[3] = 0x01; // the default output
    putBig32(&out[4], offset);
    putBig16(&out[8], length);
    if (length > 0)
        std::memcpy(&out[kDdpHeaderSize], data, length);
}

void e131(Bytes& out, const E131Source& source, std::uint16_t universe, std::uint8_t sequence,
    bool terminated, const std::uint8_t* channels, std::size_t count)
{
    static const std::uint8_t kHead[16]
        = { 0x00, 0x10, 0x00, 0x00, 'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0x00, 0x00, 0x00 };
    count = std::min(count, kUniverseChannels);
    const std::size_t size = kE131HeaderSize + count;
    out.assign(size, 0);
    std::uint8_t* p = out.data();
    std::memcpy(p, kHead, sizeof kHead);
    // Root layer.
    putFlagsAndLength(p + 16, size - 16);
    putBig32(p + 18, 0x00000004); // VECTOR_ROOT_E131_DATA
    std::memcpy(p + 22, source.cid.data(), source.cid.size());
    // Framing layer.
    putFlagsAndLength(p + 38, size - 38);
    putBig32(p + 40, 0x00000002); // VECTOR_E131_DATA_PACKET
    std::memcpy(p + 44, source.name.data(), wholeCharacters(source.name, kSourceNameBytes));
    p[108] = source.priority;
    // 109-110: synchronization address 0, no synchronization.
    p[111] = sequence;
    p[112] = terminated ? 0x40 : 0x00;
    putBig16(p + 113, universe);
    // DMP layer: one SET PROPERTY of START code + channels, from address 0 in steps of 1.
    putFlagsAndLength(p + 115, size - 115);
    p[117] = 0x02;
    p[118] = 0xA1;
    putBig16(p + 119, 0);
    putBig16(p + 121, 1);
    putBig16(p + 123, count + 1);
    p[125] = 0x00; // START code: dimmer data
    if (count > 0)
        std::memcpy(p + kE131HeaderSize, channels, count);
}

void artDmx(Bytes& out, std::uint8_t sequence, std::uint16_t portAddress, const std::uint8_t* data,
    std::size_t length)
{
    length = std::min(length, kUniverseChannels);
    const std::size_t sent = std::max<std::size_t>(2, length + (length % 2));
    out.assign(kArtDmxHeaderSize + sent, 0);
    std::uint8_t* p = out.data();
    std::memcpy(p, "Art-Net", 8); // with its NUL
    p[8] = 0x00; // OpCode 0x5000, low byte first
    p[9] = 0x50;
    putBig16(p + 10, 14); // protocol version
    p[12] = sequence;
    p[13] = 0; // physical port
    p[14] = static_cast<std::uint8_t>(portAddress & 0xFF); // SubUni: Sub-Net and Universe
    p[15] = static_cast<std::uint8_t>((portAddress >> 8) & 0x7F); // Net
    putBig16(p + 16, sent);
    if (length > 0)
        std::memcpy(p + kArtDmxHeaderSize, data, length);
}

std::array<std::uint8_t, 4> e131Group(std::uint16_t universe)
{
    return { 239, 255, static_cast<std::uint8_t>(universe >> 8),
        static_cast<std::uint8_t>(universe & 0xFF) };
}

bool parseCid(const std::string& text, Cid& cid)
{
    Cid read {};
    std::size_t digits = 0;
    for (const char c : text) {
        if (c == '-')
            continue;
        const int v = hexDigit(c);
        if (v < 0 || digits == 2 * read.size())
            return false;
        read[digits / 2] = static_cast<std::uint8_t>(read[digits / 2] << 4 | v);
        ++digits;
    }
    if (digits != 2 * read.size())
        return false;
    cid = read;
    return true;
}

Cid randomCid()
{
    std::random_device device;
    Cid cid {};
    for (std::uint8_t& b : cid)
        b = static_cast<std::uint8_t>(device() & 0xFF);
    cid[6] = static_cast<std::uint8_t>((cid[6] & 0x0F) | 0x40); // version 4
    cid[8] = static_cast<std::uint8_t>((cid[8] & 0x3F) | 0x80); // RFC 4122 variant
    return cid;
}

} // namespace LightPackets
