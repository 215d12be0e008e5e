#include "tools/host-sim/framesource.h"

#include <cmath>

namespace
{

// Hue in degrees, full saturation and value.
FrameSource::Rgb hue(double degrees)
{
    degrees = std::fmod(degrees, 360.0);
    if (degrees < 0)
        degrees += 360.0;
    const double h = degrees / 60.0;
    const double x = 1.0 - std::fabs(std::fmod(h, 2.0) - 1.0);
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h)) {
    case 0:
        r = 1;
        g = x;
        break;
    case 1:
        r = x;
        g = 1;
        break;
    case 2:
        g = 1;
        b = x;
        break;
    case 3:
        g = x;
        b = 1;
        break;
    case 4:
        r = x;
        b = 1;
        break;
    default:
        r = 1;
        b = x;
        break;
    }
    const auto byte = [](double v) { return static_cast<std::uint8_t>(std::lround(v * 255.0)); };
    return FrameSource::Rgb { byte(r), byte(g), byte(b) };
}

} // namespace

FrameSource::FrameSource(Pattern pattern, Rgb solid, double rate, bool sequence)
    : m_pattern(pattern)
    , m_solid(solid)
    , m_rate(rate > 0 ? rate : 1.0)
    , m_sequence(sequence)
{
}

std::uint32_t FrameSource::sequenceNumber(std::uint64_t index)
{
    return static_cast<std::uint32_t>((index + 1) & 0xFFFFFFu);
}

// Half a turn of the colour wheel per second, whatever the frame rate.
double FrameSource::shift(std::uint64_t index) const
{
    return 180.0 * static_cast<double>(index) / m_rate;
}

FrameSource::Frame FrameSource::frame(std::uint64_t index) const
{
    Frame out {};
    const double shift = this->shift(index);
    for (int k = 0; k < HostIntake::kColourEntries; ++k)
        out[static_cast<std::size_t>(k)]
            = m_pattern == Pattern::Solid ? m_solid : hue(shift + 30.0 * k);
    if (m_sequence) {
        const std::uint32_t seq = sequenceNumber(index);
        out[0] = Rgb { static_cast<std::uint8_t>(seq >> 16), static_cast<std::uint8_t>(seq >> 8),
            static_cast<std::uint8_t>(seq) };
    }
    return out;
}

void FrameSource::strip(
    std::uint64_t index, std::size_t pixels, std::vector<std::uint8_t>& out) const
{
    out.resize(3 * pixels);
    const double shift = this->shift(index);
    for (std::size_t p = 0; p < pixels; ++p) {
        const Rgb c = m_pattern == Pattern::Solid
            ? m_solid
            : hue(shift + 360.0 * static_cast<double>(p) / static_cast<double>(pixels));
        out[3 * p] = c.r;
        out[3 * p + 1] = c.g;
        out[3 * p + 2] = c.b;
    }
    if (m_sequence && pixels > 0) {
        const std::uint32_t seq = sequenceNumber(index);
        out[0] = static_cast<std::uint8_t>(seq >> 16);
        out[1] = static_cast<std::uint8_t>(seq >> 8);
        out[2] = static_cast<std::uint8_t>(seq);
    }
}

std::vector<unsigned char> FrameSource::record(
    const Frame& frame, std::int32_t syncDeviceType, std::int32_t counter)
{
    std::vector<unsigned char> out(HostIntake::kRecordSize, 0);
    for (std::size_t k = 0; k < frame.size(); ++k) {
        out[4 * k] = frame[k].r;
        out[4 * k + 1] = frame[k].g;
        out[4 * k + 2] = frame[k].b;
    }
    const auto put = [&out](std::size_t at, std::int32_t value) {
        const auto u = static_cast<std::uint32_t>(value);
        for (std::size_t i = 0; i < 4; ++i)
            out[at + i] = static_cast<unsigned char>((u >> (8 * i)) & 0xFFu);
    };
    put(48, counter);
    put(52, syncDeviceType);
    return out;
}
