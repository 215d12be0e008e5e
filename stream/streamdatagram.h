#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Wire layouts of the external-control stream. Pure functions: no sockets, no Qt.
namespace StreamDatagram
{

constexpr std::uint16_t kLightPort = 60221;
constexpr std::uint16_t kCanvasPort = 60222;

enum class Model { None, Light, Canvas };

// The model a device name asks for: "Canvas" wins over "Light" (both tests are
// case-sensitive substring tests); a name with neither word gets no datagram.
// The layout answer encodes panel ids by the same decision, so the ids sent are
// the ones the device reported.
Model modelForName(const std::u16string& name);

// Each builder writes its datagram into `datagram`, replacing what it held; its
// capacity is kept, so a buffer reused frame after frame stops allocating once it
// is large enough.
//
// One frame for a "Light" device (port 60221): count × 8 bytes, byte 0 the low 8 bits
// of panelNumbers, then one 7-byte record per panel for i < min(count, panelNumbers):
// id (pidArrray[i]), frames 1, R, G, B, W 0, transition 0; every other byte zero.
// Only the low 8 bits of each value are sent. No record at all gives an empty
// datagram. A record whose id is missing from pidArrray is not written.
void buildLight(int count, const int* red, const int* green, const int* blue, int panelNumbers,
    const std::vector<int>& pidArrray, std::vector<std::uint8_t>& datagram);

// One frame for a "Canvas" device (port 60222): count × 10 bytes, bytes 0-1 the panel
// count (high byte 0, low byte the low 8 bits of panelNumbers), then one 8-byte
// record per panel: id (pidArrray[2i], pidArrray[2i+1]), R, G, B, W 0, transition 0 0.
// Same rules as buildLight; a record whose two id bytes are not both present in
// pidArrray is not written (nothing is ever read past the list).
void buildCanvas(int count, const int* red, const int* green, const int* blue, int panelNumbers,
    const std::vector<int>& pidArrray, std::vector<std::uint8_t>& datagram);

} // namespace StreamDatagram
