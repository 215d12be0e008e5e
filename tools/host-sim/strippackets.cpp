#include "tools/host-sim/strippackets.h"

#include <algorithm>

namespace
{

constexpr std::size_t kBytesPerPixel = 3;

std::size_t ceilDiv(std::size_t a, std::size_t b)
{
    return (a + b - 1) / b;
}

} // namespace

std::string StripPackets::problem(const Settings& settings)
{
    if (settings.pixels == 0)
        return "a strip needs a pixel at least";
    if (settings.protocol == Protocol::Ddp) {
        if (settings.pixels * kBytesPerPixel > 0xFFFFFFFFu)
            return "the strip is longer than DDP's 32-bit offsets reach";
        return {};
    }
    const std::size_t universes = ceilDiv(settings.pixels, kPixelsPerUniverse);
    const std::size_t first = settings.universe;
    const std::size_t last = first + universes - 1;
    const std::size_t top = settings.protocol == Protocol::E131
        ? LightPackets::kLastE131Universe
        : std::size_t { LightPackets::kLastPortAddress } + 1;
    if (first == 0 || last > top)
        return "universes " + std::to_string(first) + "-" + std::to_string(last)
            + " do not lie within 1-" + std::to_string(top);
    if (settings.protocol == Protocol::E131 && settings.source.priority > 200)
        return "priority " + std::to_string(settings.source.priority) + " is above 200";
    return {};
}

StripPackets::StripPackets(const Settings& settings)
    : m_settings(settings)
    , m_sequences(m_settings.protocol == Protocol::Ddp ? 0 : packetsPerFrame(), 0)
{
}

std::size_t StripPackets::packetsPerFrame() const
{
    return ceilDiv(m_settings.pixels,
        m_settings.protocol == Protocol::Ddp ? kDdpPixelsPerPacket : kPixelsPerUniverse);
}

void StripPackets::universe(
    Datagram& out, std::size_t index, const std::uint8_t* strip, bool terminated)
{
    const std::size_t first = index * kPixelsPerUniverse;
    const std::size_t pixels = std::min(kPixelsPerUniverse, m_settings.pixels - first);
    const std::uint8_t* data = strip + first * kBytesPerPixel;
    std::uint8_t& sequence = m_sequences[index];
    out.universe = static_cast<std::uint16_t>(m_settings.universe + index);
    if (m_settings.protocol == Protocol::E131) {
        LightPackets::e131(out.bytes, m_settings.source, out.universe, sequence, terminated, data,
            pixels * kBytesPerPixel);
        ++sequence;
    } else {
        // 0 would tell the receiver that this sender does not number its packets.
        sequence = static_cast<std::uint8_t>(sequence == 255 ? 1 : sequence + 1);
        LightPackets::artDmx(out.bytes, sequence, static_cast<std::uint16_t>(out.universe - 1),
            data, pixels * kBytesPerPixel);
    }
}

const std::vector<StripPackets::Datagram>& StripPackets::frame(const std::uint8_t* strip)
{
    const std::size_t packets = packetsPerFrame();
    m_out.resize(packets);
    for (std::size_t i = 0; i < packets; ++i) {
        if (m_settings.protocol != Protocol::Ddp) {
            universe(m_out[i], i, strip, false);
            continue;
        }
        const std::size_t first = i * kDdpPixelsPerPacket;
        const std::size_t pixels = std::min(kDdpPixelsPerPacket, m_settings.pixels - first);
        m_ddpSequence = static_cast<std::uint8_t>(m_ddpSequence % 15 + 1);
        m_out[i].universe = 0;
        LightPackets::ddp(m_out[i].bytes, i + 1 == packets, m_ddpSequence,
            static_cast<std::uint32_t>(first * kBytesPerPixel), strip + first * kBytesPerPixel,
            pixels * kBytesPerPixel);
    }
    return m_out;
}

const std::vector<StripPackets::Datagram>& StripPackets::end(const std::uint8_t* strip)
{
    if (m_settings.protocol != Protocol::E131) {
        m_out.clear();
        return m_out;
    }
    const std::size_t universes = packetsPerFrame();
    m_out.resize(universes * kTerminationRepeats);
    for (std::size_t round = 0; round < kTerminationRepeats; ++round)
        for (std::size_t i = 0; i < universes; ++i)
            universe(m_out[round * universes + i], i, strip, true);
    return m_out;
}
