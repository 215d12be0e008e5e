#include "intake/pixelmap.h"
#include "platform/hotpath.h"

#include <algorithm>

namespace
{

// Universe and channel of byte `byte` (0-based) of pixel `pixel`, from the start universe.
void locate(std::size_t pixel, std::size_t byte, std::uint16_t start, std::uint32_t& universe,
    std::uint32_t& channel)
{
    universe = static_cast<std::uint32_t>(start + pixel / PixelMap::kPixelsPerUniverse);
    channel = static_cast<std::uint32_t>(
        pixel % PixelMap::kPixelsPerUniverse * PixelMap::kBytesPerPixel + byte + 1);
}

} // namespace

PixelMap::PixelMap(const std::vector<Device>& devices, std::uint16_t startUniverse)
    : m_startUniverse(startUniverse == 0 ? 1 : std::min(startUniverse, kLastUniverse))
{
    m_placements.reserve(devices.size());
    for (const Device& device : devices) {
        Placement p;
        p.name = device.name;
        p.firstPixel = m_pixels;
        p.pixels = device.pixels;
        locate(m_pixels, 0, m_startUniverse, p.firstUniverse, p.firstChannel);
        if (device.pixels > 0)
            locate(m_pixels + device.pixels - 1, 2, m_startUniverse, p.lastUniverse, p.lastChannel);
        m_pixels += device.pixels;
        m_placements.push_back(p);
    }
}

std::size_t PixelMap::universeCount() const
{
    return (m_pixels + kPixelsPerUniverse - 1) / kPixelsPerUniverse;
}

PRISMARA_HOT PixelMap::Span PixelMap::ddpSpan(std::uint32_t offset, std::size_t length) const
{
    Span span;
    if (offset >= byteCount())
        return span;
    const std::size_t room = byteCount() - offset;
    span.stripOffset = offset;
    span.length = length < room ? length : room;
    return span;
}

PRISMARA_HOT bool PixelMap::universeSpan(
    std::uint32_t universe, std::size_t channels, Span& span) const
{
    if (universe < m_startUniverse || universe - m_startUniverse >= universeCount())
        return false;
    const std::size_t firstPixel = (universe - m_startUniverse) * kPixelsPerUniverse;
    const std::size_t left = m_pixels - firstPixel;
    const std::size_t pixels = left < kPixelsPerUniverse ? left : kPixelsPerUniverse;
    const std::size_t bytes = pixels * kBytesPerPixel;
    span.stripOffset = firstPixel * kBytesPerPixel;
    span.sourceOffset = 0;
    span.length = channels < bytes ? channels : bytes;
    return true;
}

PRISMARA_HOT bool PixelMap::portAddressSpan(
    std::uint16_t portAddress, std::size_t channels, Span& span) const
{
    return universeSpan(std::uint32_t { portAddress } + 1, channels, span);
}

std::vector<std::string> PixelMap::report() const
{
    std::vector<std::string> lines;
    lines.reserve(m_placements.size());
    for (const Placement& p : m_placements) {
        std::string line = p.name + ": ";
        if (p.pixels == 0) {
            lines.push_back(line + "no pixels");
            continue;
        }
        line += p.pixels == 1 ? "pixel " + std::to_string(p.firstPixel + 1)
                              : "pixels " + std::to_string(p.firstPixel + 1) + "-"
                + std::to_string(p.firstPixel + p.pixels);
        line += ", universe " + std::to_string(p.firstUniverse) + " channel "
            + std::to_string(p.firstChannel) + " to universe " + std::to_string(p.lastUniverse)
            + " channel " + std::to_string(p.lastChannel);
        lines.push_back(line);
    }
    return lines;
}

std::string PixelMap::summary() const
{
    if (m_pixels == 0)
        return "no pixels";
    const std::size_t last = m_startUniverse + universeCount() - 1;
    return std::to_string(m_pixels) + (m_pixels == 1 ? " pixel" : " pixels") + ": DDP bytes 0-"
        + std::to_string(byteCount() - 1) + ", universes " + std::to_string(m_startUniverse) + "-"
        + std::to_string(last) + " (Art-Net Port-Addresses " + std::to_string(m_startUniverse - 1)
        + "-" + std::to_string(last - 1) + ")";
}
