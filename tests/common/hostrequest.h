#pragma once

// Host messages as a host application builds them, written out byte by byte here
// (not through the tool's own encoder), so a test that sends them checks the
// tool's reader as well. Qt-free: the core tests use it too. Little-endian:
//
//   request: u32 size (24 + cbData) | u32 message | u64 wParam | u64 dwData | u32 cbData | payload
//   colour record (56 bytes): 12 x (red, green, blue, 0) | i32 reserved | i32 syncDeviceType

#include <cstdint>
#include <vector>

namespace HostTest
{

using Bytes = std::vector<unsigned char>;

inline void appendLe(Bytes& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// One framed request carrying payload.
inline Bytes request(std::uint32_t message, std::uint64_t wParam = 0, std::uint64_t dwData = 10001,
    const Bytes& payload = Bytes())
{
    Bytes out;
    appendLe(out, 24 + payload.size(), 4);
    appendLe(out, message, 4);
    appendLe(out, wParam, 8);
    appendLe(out, dwData, 8);
    appendLe(out, payload.size(), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Entry k is (red + k * step, green + k * step, blue + k * step, 0), wrapping at 256.
inline Bytes colourRecord(std::int32_t syncDeviceType, unsigned char red, unsigned char green = 0,
    unsigned char blue = 0, int step = 0)
{
    Bytes out;
    for (int k = 0; k < 12; ++k) {
        for (unsigned char c : { red, green, blue })
            out.push_back(static_cast<unsigned char>(c + k * step));
        out.push_back(0);
    }
    appendLe(out, 0, 4);
    appendLe(out, static_cast<std::uint32_t>(syncDeviceType), 4);
    return out;
}

// A colour frame as the host sends it: WM_COPYDATA (74), dwData 10001.
inline Bytes colourFrame(std::int32_t syncDeviceType, unsigned char red, unsigned char green = 0,
    unsigned char blue = 0, int step = 0)
{
    return request(74, 0, 10001, colourRecord(syncDeviceType, red, green, blue, step));
}

} // namespace HostTest
