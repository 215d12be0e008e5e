#pragma once

#include "platform/socketlayer.h"
#include "stream/devicedatagram.h"
#include "stream/streamdevice.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Lays out every device's datagram of a frame once, when the devices change, so
// that a frame only writes its colours. All datagrams share one buffer, the
// colour bytes are listed in the order they lie in it, and the batch handed to
// the sender is fixed: a frame touches a few compact arrays and nothing else.
// Devices keep their positions: datagrams and destinations name device i of
// the list laid out, and every streamed device with an address has a
// destination whichever frames are laid out, so two packers laid out for the same
// devices share one sender.
//
// Two kinds of frames:
// - host frames of `count` entries (at most 12): Light Panels and Canvas show
//   entry k on panel k, the v2 models spread the 12 entries over their lit panels;
// - strip frames: one pixel (R, G, B bytes) per panel of every streamed device, in
//   device order (StreamDevice::pixels() each), so device d shows pixels
//   [first_d, first_d + n_d) with panel j showing pixel first_d + j.
//
// Where each colour goes is not restated here: it is found by building each
// device's datagram with the stream's own builders, once with every colour 0
// and then with the entries whose index has a given bit set lit in one channel,
// which tells every colour byte's entry in a number of builds that grows with the
// logarithm of the entries. Pure: no Qt, no sockets; allocates only when laying out.
class FramePacker
{
public:
    // Lays out host frames of count entries for devices, in order.
    void layOut(int count, const std::vector<StreamDevice>& devices);
    // Lays out strip frames for devices, in order.
    void layOutStrip(const std::vector<StreamDevice>& devices);

    // The entries of the host frames laid out; -1 before or for strip frames.
    int count() const { return m_count; }
    // The bytes a strip frame holds: 3 per pixel; 0 for host frames.
    std::size_t stripBytes() const { return m_stripBytes; }
    // One per device laid out: where its datagrams go, if it is sent any.
    const std::vector<DeviceDestination>& destinations() const { return m_destinations; }

    // Writes one host frame's colours (count entries each; only the low 8 bits
    // are sent) and returns the datagrams to send, in device order.
    const DeviceDatagram* pack(
        const int* red, const int* green, const int* blue, std::size_t& datagrams);
    // Writes one strip frame (stripBytes() bytes) and returns the datagrams to send.
    const DeviceDatagram* packStrip(const std::uint8_t* strip, std::size_t& datagrams);

    // Device i's datagram as the last pack left it; size 0 when it has none.
    const std::uint8_t* datagram(std::size_t i, std::size_t& size) const;

private:
    struct Slot {
        std::uint32_t offset; // in m_bytes
        std::uint32_t source; // in the frame's bytes: 3 per entry, R G B
    };
    struct Span {
        std::size_t at = 0;
        std::size_t size = 0;
    };

    void layOutFrames(bool strip, int count, const std::vector<StreamDevice>& devices);
    const DeviceDatagram* write(const std::uint8_t* source, std::size_t& datagrams);

    int m_count = -1;
    std::size_t m_stripBytes = 0;
    std::vector<std::uint8_t> m_bytes;
    std::vector<Slot> m_slots;
    std::vector<Span> m_spans;
    std::vector<DeviceDestination> m_destinations;
    std::vector<DeviceDatagram> m_batch;
    std::array<std::uint8_t, 3 * PanelModel::kHostEntries> m_hostBytes {};
};
