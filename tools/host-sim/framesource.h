#pragma once

#include "sync/hostintake.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The colours host-sim sends: one frame of twelve entries per index.
class FrameSource
{
public:
    struct Rgb {
        std::uint8_t r, g, b;
    };
    using Frame = std::array<Rgb, HostIntake::kColourEntries>;

    enum class Pattern { Solid, Rainbow };

    FrameSource(Pattern pattern, Rgb solid, double rate, bool sequence);

    // Frame `index` (from 0). With sequence numbers, entry 0 carries index + 1
    // as a 24-bit number (red = bits 23..16, green = 15..8, blue = 7..0), so every
    // frame is unique and can be recognised in what a device receives.
    Frame frame(std::uint64_t index) const;

    static std::uint32_t sequenceNumber(std::uint64_t index);

    // Frame `index` for a strip of `pixels` pixels, R, G, B each, into `out`: the rainbow
    // spreads one turn of the colour wheel over the strip (every pixel its own hue) and
    // moves as frame() does; with sequence numbers pixel 0 carries them as entry 0 does.
    void strip(std::uint64_t index, std::size_t pixels, std::vector<std::uint8_t>& out) const;

    // The 56-byte record as the host sends it.
    static std::vector<unsigned char> record(
        const Frame& frame, std::int32_t syncDeviceType, std::int32_t counter);

private:
    double shift(std::uint64_t index) const;

    Pattern m_pattern;
    Rgb m_solid;
    double m_rate;
    bool m_sequence;
};
