#pragma once

// Where each device's pixels sit on the one strip that network sources drive: the paired,
// streamed devices in device-table order, one pixel (R, G, B bytes) per streamed panel.
// DDP addresses the strip by byte offset; E1.31 puts 170 pixels in each universe (channels
// 1-510; 511 and 512 unused, so no pixel straddles two universes) from the start universe
// on; Art-Net uses Port-Address = universe - 1. Pure: no sockets; allocates only when made.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PixelMap
{
public:
    static constexpr std::size_t kPixelsPerUniverse = 170;
    static constexpr std::size_t kBytesPerPixel = 3;
    static constexpr std::uint16_t kLastUniverse = 63999; // the last E1.31 can address

    struct Device {
        std::string name;
        std::size_t pixels = 0;
    };

    // A device's place. Pixels count from 0 here; universes and channels as senders
    // number them (channel 1 is a universe's first). A device without pixels has
    // pixels 0 and the universe and channel where its first pixel would be.
    struct Placement {
        std::string name;
        std::size_t firstPixel = 0;
        std::size_t pixels = 0;
        std::uint32_t firstUniverse = 0;
        std::uint32_t firstChannel = 0;
        std::uint32_t lastUniverse = 0;
        std::uint32_t lastChannel = 0;
    };

    // Where a packet's bytes go: `length` bytes from the packet's own offset sourceOffset
    // to the strip's byte stripOffset. Length 0: nothing of it lies on the strip.
    struct Span {
        std::size_t stripOffset = 0;
        std::size_t sourceOffset = 0;
        std::size_t length = 0;
    };

    PixelMap() = default;
    // startUniverse 0 is taken as 1, one past kLastUniverse as kLastUniverse.
    PixelMap(const std::vector<Device>& devices, std::uint16_t startUniverse);

    std::size_t byteCount() const { return m_pixels * kBytesPerPixel; }
    std::uint16_t startUniverse() const { return m_startUniverse; }
    // Universes the strip spans: startUniverse() .. startUniverse() + universeCount() - 1.
    std::size_t universeCount() const;
    const std::vector<Placement>& placements() const { return m_placements; }

    // DDP: `length` data bytes meant for strip offset `offset`, clipped to the strip.
    Span ddpSpan(std::uint32_t offset, std::size_t length) const;
    // E1.31: `channels` values (from channel 1) of `universe`. False for a universe the
    // strip does not span; otherwise the span, clipped to the universe's pixels.
    bool universeSpan(std::uint32_t universe, std::size_t channels, Span& span) const;
    // Art-Net: as universeSpan() for universe portAddress + 1.
    bool portAddressSpan(std::uint16_t portAddress, std::size_t channels, Span& span) const;

    // One line per device, e.g. "Light Panels 52:33:A1: pixels 1-9, universe 1 channel 1
    // to universe 1 channel 27" (pixels from 1 as users count them).
    std::vector<std::string> report() const;
    // The strip as a whole for all three protocols: pixels, DDP bytes, universes and
    // Art-Net Port-Addresses.
    std::string summary() const;

    // What its owner made it from (a number that changes with the devices), carried
    // along by every copy so that a strip decoded by this map can be told apart from
    // one decoded by an older one. Used by nothing here.
    std::uint64_t tag() const { return m_tag; }
    void setTag(std::uint64_t tag) { m_tag = tag; }

private:
    std::vector<Placement> m_placements;
    std::size_t m_pixels = 0;
    std::uint16_t m_startUniverse = 1;
    std::uint64_t m_tag = 0;
};
