#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One panel entry of an external-control datagram or of a "static" animData text. With
// several frames the panel ends on the last one, so that is the colour kept here.
struct StreamRecord {
    int panelId = 0;
    int frames = 1;
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t w = 0;
    int transition = 0; // in 100 ms steps
};

// Result of decoding one datagram or text.
struct StreamDecode {
    bool ok = false;
    int count = 0; // panel count as the header states it
    std::size_t trailing = 0; // bytes after the last record (ignored)
    std::string reason; // why it was rejected
    std::vector<StreamRecord> records;
};

namespace StreamRecords
{

// "v1" datagram (Light Panels, port 60221): byte 0 is the panel count n; then n entries
// of panel id (1 byte), frame count f (1 byte) and f frames of R, G, B, W, transition
// time (1 byte each). Bytes after the n-th entry are ignored and counted in trailing.
// Rejects an empty datagram and one that ends before its n entries do.
StreamDecode decodeV1(const std::uint8_t* data, std::size_t size);

// "v2" datagram (port 60222): 2-byte panel count n (big-endian); then n entries of
// panel id (2 bytes), R, G, B, W (1 byte each), transition time (2 bytes), all
// big-endian. Bytes after the n-th entry are ignored and counted in trailing. Rejects
// a datagram shorter than 2 bytes or than its n entries need.
StreamDecode decodeV2(const std::uint8_t* data, std::size_t size);

// animData text of a "static" write: "n id f R G B W T [R G B W T ...] id f ...", decimal
// numbers separated by white space; colour values 0 to 255. Numbers after the n-th
// entry are ignored and counted in trailing. Rejects anything else.
StreamDecode parseAnimData(const std::string& text);

} // namespace StreamRecords
