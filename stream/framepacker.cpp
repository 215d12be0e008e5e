#include "stream/framepacker.h"
#include "platform/hotpath.h"

#include "stream/panelmodel.h"
#include "stream/v2datagram.h"

#include <algorithm>

namespace
{

// Device d's datagram for `entries` entries of these colours, built as a frame
// would be: a host frame's, or (strip) one entry per panel.
std::vector<std::uint8_t> build(const StreamDevice& d, bool strip, int entries, const int* red,
    const int* green, const int* blue)
{
    std::vector<std::uint8_t> out;
    if (!d.streamed())
        return out;
    if (d.v2) {
        // Every lit panel shows one of a host frame's 12 entries, so a host frame of
        // fewer entries has nothing to show on some of them: it is not sent.
        if (d.v2Ids.empty() || (!strip && entries < PanelModel::kHostEntries))
            return out;
        out.resize(2 + 8 * d.v2Ids.size());
        out.resize(StreamDatagram::buildV2(out.data(), out.size(), d.v2Ids, red, green, blue,
            strip ? static_cast<int>(d.v2Ids.size()) : PanelModel::kHostEntries));
        return out;
    }
    if (d.model == StreamDatagram::Model::Canvas)
        StreamDatagram::buildCanvas(entries, red, green, blue, d.panelNumbers, d.pidArrray, out);
    else if (d.model == StreamDatagram::Model::Light)
        StreamDatagram::buildLight(entries, red, green, blue, d.panelNumbers, d.pidArrray, out);
    return out;
}

} // namespace

void FramePacker::layOut(int count, const std::vector<StreamDevice>& devices)
{
    layOutFrames(false, std::max(0, std::min(count, PanelModel::kHostEntries)), devices);
}

void FramePacker::layOutStrip(const std::vector<StreamDevice>& devices)
{
    layOutFrames(true, 0, devices);
}

void FramePacker::layOutFrames(bool strip, int count, const std::vector<StreamDevice>& devices)
{
    m_count = strip ? -1 : count;
    m_bytes.clear();
    m_slots.clear();
    m_spans.assign(devices.size(), Span());
    m_batch.clear();
    m_destinations.assign(devices.size(), DeviceDestination());
    std::size_t firstPixel = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const StreamDevice& d = devices[i];
        const std::size_t pixels = d.pixels();
        const int entries = strip ? static_cast<int>(pixels) : count;
        const std::size_t base = strip ? firstPixel : 0;
        firstPixel += pixels;
        const std::vector<int> zero(static_cast<std::size_t>(entries), 0);
        const std::vector<std::uint8_t> blank
            = build(d, strip, entries, zero.data(), zero.data(), zero.data());
        m_spans[i] = Span { m_bytes.size(), blank.size() };
        if (d.streamed() && d.addressOk)
            m_destinations[i] = DeviceDestination { true, d.to };
        // Light Panels and Canvas get their host datagram even when it is empty, as
        // they always did; a v2 device, and any device in a strip frame, only with panels.
        if (m_destinations[i].sent && (blank.size() > 0 || (!strip && !d.v2)))
            m_batch.push_back({ i, nullptr, blank.size() });
        if (blank.empty())
            continue;
        // A colour byte that changes when entry e is lit belongs to entry e: lighting
        // every entry with bit b of its index set tells bit b of each byte's entry.
        for (int channel = 0; channel < 3; ++channel) {
            std::vector<std::uint32_t> entryOf(blank.size(), 0);
            std::vector<bool> coloured(blank.size(), false);
            for (int bit = -1; bit < 31 && (bit < 0 || (1 << bit) < entries); ++bit) {
                std::vector<int> lit(static_cast<std::size_t>(entries), 0);
                for (int e = 0; e < entries; ++e)
                    lit[static_cast<std::size_t>(e)] = bit < 0 || (e >> bit) & 1 ? 0xFF : 0;
                const std::vector<std::uint8_t> one
                    = build(d, strip, entries, channel == 0 ? lit.data() : zero.data(),
                        channel == 1 ? lit.data() : zero.data(),
                        channel == 2 ? lit.data() : zero.data());
                for (std::size_t b = 0; b < one.size() && b < blank.size(); ++b) {
                    if (one[b] == blank[b])
                        continue;
                    if (bit < 0)
                        coloured[b] = true;
                    else
                        entryOf[b] |= std::uint32_t { 1 } << bit;
                }
            }
            for (std::size_t b = 0; b < blank.size(); ++b)
                if (coloured[b] && entryOf[b] < static_cast<std::uint32_t>(entries))
                    m_slots.push_back(Slot { static_cast<std::uint32_t>(m_bytes.size() + b),
                        static_cast<std::uint32_t>((base + entryOf[b]) * 3 + channel) });
        }
        m_bytes.insert(m_bytes.end(), blank.begin(), blank.end());
    }
    m_stripBytes = strip ? firstPixel * 3 : 0;
    std::sort(m_slots.begin(), m_slots.end(),
        [](const Slot& a, const Slot& b) { return a.offset < b.offset; });
    for (DeviceDatagram& datagram : m_batch)
        datagram.data = m_bytes.data() + m_spans[datagram.device].at;
}

PRISMARA_HOT const DeviceDatagram* FramePacker::pack(
    const int* red, const int* green, const int* blue, std::size_t& datagrams)
{
    const int* channels[3] = { red, green, blue };
    for (int entry = 0; entry < std::max(0, m_count); ++entry)
        for (int channel = 0; channel < 3; ++channel)
            m_hostBytes[static_cast<std::size_t>(entry * 3 + channel)] = static_cast<std::uint8_t>(
                static_cast<unsigned int>(channels[channel][entry]) & 0xFFu);
    return write(m_hostBytes.data(), datagrams);
}

PRISMARA_HOT const DeviceDatagram* FramePacker::packStrip(
    const std::uint8_t* strip, std::size_t& datagrams)
{
    return write(strip, datagrams);
}

const DeviceDatagram* FramePacker::write(const std::uint8_t* source, std::size_t& datagrams)
{
    std::uint8_t* bytes = m_bytes.data();
    for (const Slot& s : m_slots)
        bytes[s.offset] = source[s.source];
    datagrams = m_batch.size();
    return m_batch.data();
}

const std::uint8_t* FramePacker::datagram(std::size_t i, std::size_t& size) const
{
    size = i < m_spans.size() ? m_spans[i].size : 0;
    return size > 0 ? m_bytes.data() + m_spans[i].at : nullptr;
}
