#pragma once

#include "platform/socketlayer.h"
#include "stream/devicedatagram.h"
#include "stream/streamdatagram.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Lays out every device's datagram of a frame once, when the devices change, so
// that a frame only writes its colours. All datagrams share one buffer, the
// colour bytes are listed in the order they lie in it, and the batch handed to
// the sender is fixed: a frame touches a few compact arrays and nothing else.
// Devices keep their positions: datagrams and destinations name device i of
// the list laid out.
// Where each colour goes is not restated here: it is found by building each
// device's datagram with the stream's own builders, once with every colour 0
// and once more with each colour of each entry alone set, and seeing which
// bytes change. Pure: no Qt, no sockets; allocates only in layOut().
class FramePacker
{
public:
    struct Device {
        bool streamed = false; // false: no datagram at all
        StreamDatagram::Model model = StreamDatagram::Model::None; // Light or Canvas
        bool v2 = false; // the v2 datagram of v2Ids instead
        int panelNumbers = 0;
        const std::vector<int>* pidArrray = nullptr;
        const std::vector<std::uint16_t>* v2Ids = nullptr;
        bool addressOk = false; // false: built (and shown in the log) but not sent
        Platform::Net::Ipv4Endpoint to;
    };

    // Lays out frames of count host entries (at most 12) for devices, in order.
    void layOut(int count, const std::vector<Device>& devices);
    int count() const { return m_count; }
    // One per device laid out: where its datagrams go, if it is sent any.
    const std::vector<DeviceDestination>& destinations() const { return m_destinations; }

    // Writes one frame's colours (count entries each; only the low 8 bits are
    // sent) and returns the datagrams to send, in device order.
    const DeviceDatagram* pack(
        const int* red, const int* green, const int* blue, std::size_t& datagrams);

    // Device i's datagram as the last pack() left it; size 0 when it has none.
    const std::uint8_t* datagram(std::size_t i, std::size_t& size) const;

private:
    struct Slot {
        std::uint32_t offset;
        std::uint8_t entry;
        std::uint8_t channel; // 0 red, 1 green, 2 blue
    };
    struct Span {
        std::size_t at = 0;
        std::size_t size = 0;
    };

    int m_count = -1;
    std::vector<std::uint8_t> m_bytes;
    std::vector<Slot> m_slots;
    std::vector<Span> m_spans;
    std::vector<DeviceDestination> m_destinations;
    std::vector<DeviceDatagram> m_batch;
};
