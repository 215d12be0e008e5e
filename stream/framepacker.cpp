#include "stream/framepacker.h"

#include "stream/panelmodel.h"
#include "stream/v2datagram.h"

#include <algorithm>

namespace
{

// The device's datagram for these colours, built as a frame would be.
std::vector<std::uint8_t> build(
    const FramePacker::Device& d, int count, const int* red, const int* green, const int* blue)
{
    std::vector<std::uint8_t> out;
    if (!d.streamed)
        return out;
    if (d.v2) {
        // Every lit panel shows one of the frame's 12 entries, so a frame of
        // fewer entries has nothing to show on some of them: it is not sent.
        if (count < PanelModel::kHostEntries || d.v2Ids == nullptr)
            return out;
        out.resize(2 + 8 * d.v2Ids->size());
        out.resize(StreamDatagram::buildV2(out.data(), out.size(), *d.v2Ids, red, green, blue));
        return out;
    }
    static const std::vector<int> none;
    const std::vector<int>& ids = d.pidArrray ? *d.pidArrray : none;
    if (d.model == StreamDatagram::Model::Canvas)
        StreamDatagram::buildCanvas(count, red, green, blue, d.panelNumbers, ids, out);
    else if (d.model == StreamDatagram::Model::Light)
        StreamDatagram::buildLight(count, red, green, blue, d.panelNumbers, ids, out);
    return out;
}

// Light and Canvas datagrams go out even when empty; a v2 datagram only with panels.
bool sent(const FramePacker::Device& d, std::size_t size)
{
    return d.streamed && d.addressOk && (!d.v2 || size > 0);
}

} // namespace

void FramePacker::layOut(int count, const std::vector<Device>& devices)
{
    m_count = std::max(0, std::min(count, PanelModel::kHostEntries));
    m_bytes.clear();
    m_slots.clear();
    m_spans.assign(devices.size(), Span());
    int zero[PanelModel::kHostEntries] = {};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::vector<std::uint8_t> blank = build(devices[i], m_count, zero, zero, zero);
        m_spans[i] = Span { m_bytes.size(), blank.size() };
        for (int entry = 0; entry < m_count && !blank.empty(); ++entry) {
            for (int channel = 0; channel < 3; ++channel) {
                int lit[PanelModel::kHostEntries] = {};
                lit[entry] = 0xFF;
                const std::vector<std::uint8_t> one
                    = build(devices[i], m_count, channel == 0 ? lit : zero,
                        channel == 1 ? lit : zero, channel == 2 ? lit : zero);
                for (std::size_t b = 0; b < one.size() && b < blank.size(); ++b)
                    if (one[b] != blank[b])
                        m_slots.push_back(Slot { static_cast<std::uint32_t>(m_bytes.size() + b),
                            static_cast<std::uint8_t>(entry), static_cast<std::uint8_t>(channel) });
            }
        }
        m_bytes.insert(m_bytes.end(), blank.begin(), blank.end());
    }
    std::sort(m_slots.begin(), m_slots.end(),
        [](const Slot& a, const Slot& b) { return a.offset < b.offset; });
    m_batch.clear();
    m_destinations.assign(devices.size(), DeviceDestination());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (!sent(devices[i], m_spans[i].size))
            continue;
        m_destinations[i] = DeviceDestination { true, devices[i].to };
        m_batch.push_back({ i, m_bytes.data() + m_spans[i].at, m_spans[i].size });
    }
}

const DeviceDatagram* FramePacker::pack(
    const int* red, const int* green, const int* blue, std::size_t& datagrams)
{
    const int* channels[3] = { red, green, blue };
    std::uint8_t* bytes = m_bytes.data();
    for (const Slot& s : m_slots)
        bytes[s.offset] = static_cast<std::uint8_t>(
            static_cast<unsigned int>(channels[s.channel][s.entry]) & 0xFFu);
    datagrams = m_batch.size();
    return m_batch.data();
}

const std::uint8_t* FramePacker::datagram(std::size_t i, std::size_t& size) const
{
    size = i < m_spans.size() ? m_spans[i].size : 0;
    return size > 0 ? m_bytes.data() + m_spans[i].at : nullptr;
}
