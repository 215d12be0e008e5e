#include "stream/panelmodel.h"

#include <algorithm>
#include <cmath>

namespace PanelModel
{

namespace
{

struct Placed {
    long x;
    long y;
    std::uint16_t id;
};

} // namespace

Model fromModelNumber(const std::string& modelNumber)
{
    static const struct {
        const char* number;
        Model model;
    } known[] = {
        { "NL22", Model::LightPanels },
        { "NL29", Model::Canvas },
        { "NL42", Model::Shapes },
        { "NL47", Model::Shapes },
        { "NL48", Model::Shapes },
        { "NL52", Model::Elements },
        { "NL59", Model::Lines },
        { "NL64", Model::Skylight },
        { "NL69", Model::FourD },
    };
    for (const auto& entry : known) {
        if (modelNumber == entry.number)
            return entry.model;
    }
    return Model::Unknown;
}

const char* name(Model model)
{
    switch (model) {
    case Model::LightPanels:
        return "Light Panels";
    case Model::Canvas:
        return "Canvas";
    case Model::Shapes:
        return "Shapes";
    case Model::Elements:
        return "Elements";
    case Model::Lines:
        return "Lines";
    case Model::Skylight:
        return "Skylight";
    case Model::FourD:
        return "4D";
    case Model::Unknown:
        break;
    }
    return "unknown model";
}

bool streamsV2(Model model)
{
    switch (model) {
    case Model::Shapes:
    case Model::Elements:
    case Model::Lines:
    case Model::Skylight:
    case Model::FourD:
        return true;
    case Model::Unknown:
    case Model::LightPanels:
    case Model::Canvas:
        break;
    }
    return false;
}

bool hasLeds(int shapeType)
{
    switch (shapeType) {
    case 1: // Rhythm module
    case 12: // Shapes controller
    case 16: // Lines connector
    case 19: // controller cap
    case 20: // power connector
        return false;
    default:
        return true;
    }
}

std::vector<std::uint16_t> orderLitPanels(
    const std::vector<Panel>& panels, double globalOrientation)
{
    const double turn = globalOrientation * std::acos(-1.0) / 180.0;
    const double c = std::cos(turn);
    const double s = std::sin(turn);
    std::vector<Placed> placed;
    placed.reserve(panels.size());
    for (const Panel& panel : panels) {
        if (!hasLeds(panel.shapeType))
            continue;
        // Rounding takes away the noise of the turn (cos 90° is not exactly 0
        // in floating point), so pieces level before it stay level after it.
        placed.push_back({ std::lround(panel.x * c + panel.y * s),
            std::lround(-panel.x * s + panel.y * c), panel.id });
    }
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        if (a.y != b.y)
            return a.y > b.y;
        if (a.x != b.x)
            return a.x < b.x;
        return a.id < b.id;
    });
    std::vector<std::uint16_t> ids;
    ids.reserve(placed.size());
    for (const Placed& p : placed)
        ids.push_back(p.id);
    return ids;
}

int spreadEntry(int panel, int panels, int entries)
{
    return static_cast<int>(static_cast<long long>(entries) * panel / panels);
}

} // namespace PanelModel
