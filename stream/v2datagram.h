#pragma once

#include "stream/panelmodel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The external-control "v2" datagram of the layout-addressed models (Shapes,
// Elements, Lines, Skylight, 4D), sent to UDP port 60222. Pure function: no
// sockets, no Qt, no allocation.
namespace StreamDatagram
{

// Writes one frame for the lit panels `ids` (in PanelModel::orderLitPanels
// order) into out and returns the number of bytes written, 2 + 8 * n for n ids.
// Big-endian: n (2 bytes), then per panel j its id (2), R, G, B of entry
// PanelModel::spreadEntry(j, n, entries), W 0, transition time 0 (2, in 100 ms
// units). red, green and blue hold `entries` entries: the 12 of a host frame, or
// one per panel (entries n: panel j shows entry j); only the low 8 bits of each
// value are sent.
//
// The transition time is 0 so that a panel takes each frame's colour at once:
// the host sets the pace, and even a 100 ms fade would leave the panels a step
// behind it at every frame.
//
// Returns 0 and writes nothing when there is no id (nothing to send) or when
// the datagram does not fit in capacity bytes.
std::size_t buildV2(std::uint8_t* out, std::size_t capacity, const std::vector<std::uint16_t>& ids,
    const int* red, const int* green, const int* blue, int entries = PanelModel::kHostEntries);

} // namespace StreamDatagram
