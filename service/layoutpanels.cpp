#include "service/layoutpanels.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>

namespace LayoutPanels
{

namespace
{

// Far beyond any real layout; keeps every value, and the turn applied to the
// centres later, well inside int.
constexpr double kLimit = 1e6;

// A JSON number that is whole and within [low, high].
bool wholeNumber(const QJsonValue& value, double low, double high, int* out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < low || number > high)
        return false;
    *out = static_cast<int>(number);
    return true;
}

// A piece's own rotation orders and lights nothing, so whatever a device puts
// there (a fraction, a text, nothing) never makes its layout unusable: a number
// within the bounds is kept, rounded, anything else reads as 0.
int rotation(const QJsonValue& value)
{
    const double number = value.toDouble(0);
    return std::isfinite(number) && std::fabs(number) <= kLimit
        ? static_cast<int>(std::lround(number))
        : 0;
}

bool readPanel(const QJsonValue& value, PanelModel::Panel* panel)
{
    const QJsonObject position = value.toObject();
    int id = 0;
    if (!value.isObject() || !wholeNumber(position.value("panelId"), 0, 65535, &id)
        || !wholeNumber(position.value("x"), -kLimit, kLimit, &panel->x)
        || !wholeNumber(position.value("y"), -kLimit, kLimit, &panel->y)
        || !wholeNumber(position.value("shapeType"), 0, kLimit, &panel->shapeType))
        return false;
    panel->o = rotation(position.value("o"));
    panel->id = static_cast<std::uint16_t>(id);
    return true;
}

} // namespace

Info parseInfo(const QByteArray& answer)
{
    // An answer that is no object reads as one without "model".
    const QJsonObject object = QJsonDocument::fromJson(answer).object();
    const QJsonValue model = object.value("model");
    const QJsonObject panelLayout = object.value("panelLayout").toObject();
    const QJsonValue positions = panelLayout.value("layout").toObject().value("positionData");
    if (!model.isString() || !positions.isArray())
        return {};

    Info info;
    const QJsonValue orientation = panelLayout.value("globalOrientation");
    if (!orientation.isUndefined()) {
        const QJsonValue value = orientation.toObject().value("value");
        if (!value.isDouble())
            return {};
        info.globalOrientation = value.toDouble();
    }
    const QJsonArray array = positions.toArray();
    info.panels.reserve(static_cast<std::size_t>(array.size()));
    for (const QJsonValue& position : array) {
        PanelModel::Panel panel;
        if (!readPanel(position, &panel))
            return {};
        info.panels.push_back(panel);
    }
    info.model = model.toString();
    info.ok = true;
    return info;
}

} // namespace LayoutPanels
