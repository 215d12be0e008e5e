#pragma once

#include "stream/panelmodel.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The parts of a device's info answer (GET /api/v1/<token>/) that its v2
// stream is built from. Pure function over bytes: no QObject, no network.
namespace LayoutPanels
{

struct Info {
    bool ok = false;
    QString model; // "model", e.g. "NL42"
    double globalOrientation = 0; // "panelLayout" / "globalOrientation" / "value"
    std::vector<PanelModel::Panel> panels; // "panelLayout" / "layout" / "positionData"
};

// Reads an info answer. ok is false, and every other field empty, when the
// answer is not a JSON object, its "model" is not a string, "panelLayout" /
// "layout" / "positionData" is not an array (a missing or mistyped level
// included), "globalOrientation" is present but not an object whose "value" is
// a number, or any position is not an object whose "panelId" is a whole number
// from 0 to 65535 and whose "x", "y" and "shapeType" are whole numbers
// (shapeType not negative, x and y within ±1000000). A missing
// "globalOrientation" reads as 0. One bad position fails the whole answer, so
// a device is never streamed a partial layout. A piece's own rotation "o" is
// used for nothing and decides nothing: a number within ±1000000 is read
// rounded, anything else (missing, a text) as 0. Panels keep the answer's order.
Info parseInfo(const QByteArray& answer);

} // namespace LayoutPanels
