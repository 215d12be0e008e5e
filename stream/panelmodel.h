#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a device's model number and layout say about streaming to it. Pure
// functions: no sockets, no Qt.
namespace PanelModel
{

enum class Model { Unknown, LightPanels, Canvas, Shapes, Elements, Lines, Skylight, FourD };

// Number of colours in one host frame.
constexpr int kHostEntries = 12;

// The model of a model number as the info answer ("model") and the mDNS TXT
// record ("md=") report it: "NL22" Light Panels, "NL29" Canvas, "NL42", "NL47"
// and "NL48" Shapes (hexagons, triangles, mini triangles), "NL52" Elements,
// "NL59" Lines, "NL64" Skylight, "NL69" 4D. Exact, case-sensitive match; any
// other text is Unknown.
Model fromModelNumber(const std::string& modelNumber);

// The model's name for log lines: "Light Panels", "Canvas", "Shapes",
// "Elements", "Lines", "Skylight", "4D", or "unknown model".
const char* name(Model model);

// True for the models streamed with the v2 datagram built from their layout
// (Shapes, Elements, Lines, Skylight, 4D). Light Panels and Canvas keep the
// datagrams chosen by their device name.
bool streamsV2(Model model);

// False for the pieces that carry no LEDs and must be neither counted nor
// addressed: 1 Rhythm module, 12 Shapes controller, 16 Lines connector,
// 19 controller cap, 20 power connector. Every other shape type lights up,
// the controller squares of Canvas and Skylight included.
bool hasLeds(int shapeType);

// One entry of a layout's "positionData". x and y are the piece's centre in
// layout units, with y growing upwards as on the wall (a piece at y = 100 hangs
// above one at y = 0); o is the piece's own rotation in degrees.
struct Panel {
    std::uint16_t id = 0;
    int x = 0;
    int y = 0;
    int o = 0;
    int shapeType = 0;
};

// The ids of the pieces with LEDs, in the order host colours are laid on them.
// Each centre is first turned clockwise (as seen with y upwards) by
// globalOrientation degrees, the turn the Nanoleaf app applies to show the
// layout as it hangs, and rounded to whole units. Pieces are then ordered top
// to bottom (larger y first), then left to right (smaller x first), then by
// ascending id when two share a position, so the order never depends on the
// order of the input.
std::vector<std::uint16_t> orderLitPanels(
    const std::vector<Panel>& panels, double globalOrientation);

// The entry that lit panel `panel` of `panels` shows of a frame of `entries`:
// floor(entries * panel / panels). The 12 entries of a host frame spread evenly:
// with fewer panels some entries are skipped, with more some repeat, and no panel
// stays dark; a frame of one entry per panel shows entry j on panel j. Defined
// for 0 <= panel < panels only (no panel, no entry).
int spreadEntry(int panel, int panels, int entries);

} // namespace PanelModel
