#pragma once

#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <vector>

// What the device service sends to a device's OpenAPI and reads from its answers.
// Pure functions over bytes and texts: no QObject, no network.
namespace OpenApiFormat
{

// The token of a pairing answer, or the empty text when the answer is a refusal:
// not a JSON object, no "auth_token" member, a member that is not a string, or
// an empty string. A refused pairing must store nothing and send nothing.
QString pairingToken(const QByteArray& answer);

// What a device shows: the effect it has selected, on/off, brightness and its
// colour mode with the colour of a solid-colour scene.
struct Scene {
    bool ok = false;
    QString effect; // "effects" / "select"; names in asterisks are temporary
    bool on = false;
    int brightness = 0;
    enum class Mode { Effect, HueSat, Temperature };
    Mode mode = Mode::Effect;
    int hue = 0; // Mode::HueSat
    int sat = 0; // Mode::HueSat
    int ct = 0; // Mode::Temperature

    // The device streams; what it showed before is not in this answer.
    bool externalControl() const { return effect == QLatin1String("*ExtControl*"); }
    // A scene of its own the device can be told to select again: a named effect
    // in effect mode. "*Solid*", "*Static*", "*Dynamic*" and the like cannot.
    bool selectable() const;
};

// The scene of an info answer (GET /api/v1/<token>/) or of sceneText(). ok is
// false, and every other field empty, unless the answer is a JSON object whose
// "state" holds "on" / "value" as a boolean and "brightness" / "value" as a whole
// number from 0 to 100, and whose "effects" / "select" is a string. "colorMode"
// "hs" also needs "hue" / "value" (0 to 360) and "sat" / "value" (0 to 100) as
// whole numbers, "ct" needs "ct" / "value" (1 to 100000); any other colorMode, or
// none, reads as effect mode.
Scene parseScene(const QByteArray& answer);

// A scene written in the shape of the info answer, compact, so that
// parseScene() reads it back as it was; the empty text for a scene not ok.
QByteArray sceneText(const Scene& scene);

// A device's info answer (GET /api/v1/<token>/), read in one pass: the layout
// pairing records, the positions a v2 stream is built from and the scene shown.
//
// The layout: ok is false for an answer that is not a JSON object, or whose
// "name" is not a non-empty string, or whose "panelLayout" / "layout" /
// "positionData" is not an array (a missing or mistyped level included); then
// every other field, v2 and scene included, is empty. Otherwise count is the
// number of positions; for each position in order, with id its "panelId" as an
// integer (0 when missing or not a whole number), mPidArray gets id, and
// pidArrray gets id % 256 for a "Light" name, or id / 256 then id % 256 for a
// "Canvas" name. A name of neither model gets no ids at all. The model is
// StreamDatagram::modelForName's, the one the stream sender picks its datagram
// layout by, so a name holding both words is a "Canvas" here too and the ids a
// device is sent are those of its layout.
//
// v2: ok is false, and every other field of it empty, when "model" is not a
// string, "globalOrientation" is present but not an object whose "value" is a
// number, or any position is not an object whose "panelId" is a whole number
// from 0 to 65535 and whose "x", "y" and "shapeType" are whole numbers
// (shapeType not negative, x and y within ±1000000). A missing
// "globalOrientation" reads as 0. One bad position fails all of v2, so a device
// is never streamed a partial layout. A piece's own rotation "o" is used for
// nothing and decides nothing: a number within ±1000000 is read rounded,
// anything else (missing, a text) as 0. Panels keep the answer's order.
//
// scene: as parseScene() reads it.
struct Info {
    bool ok = false;
    QString name;
    StreamDatagram::Model model = StreamDatagram::Model::None;
    int count = 0;
    QVector<int> pidArrray;
    QVector<int> mPidArray;
    struct V2 {
        bool ok = false;
        QString model; // "model", e.g. "NL42"
        double globalOrientation = 0; // "panelLayout" / "globalOrientation" / "value"
        std::vector<PanelModel::Panel> panels;
    } v2;
    Scene scene;
};
Info parseInfo(const QByteArray& answer);

// Body of the request that switches a device into external control ("v2"), in
// the indented JSON form, members in alphabetical order.
QByteArray externalControlBody();

// Animation text of the static warm colour: panelNumbers, then per panel id of
// mPidArray " <id> 1 255 201 29 0 12". The count leads even when it differs from
// the number of ids.
QString staticAnimData(int panelNumbers, const QVector<int>& mPidArray);

// Body of the request that shows animData as a static effect, in the indented
// JSON form, members in alphabetical order.
QByteArray staticEffectBody(const QString& animData);

// The requests that give a device its scene back, in the order they go out, each
// a PUT with its body: {"select": effect} to "effects" for a selectable scene,
// then to "state" the brightness (with hue and sat, or ct, for a solid colour)
// and "on" true; for a scene that was off, "on" false goes last, in a request of
// its own, so that nothing written after it switches the panels on again.
struct Request {
    QByteArray resource; // "effects" or "state"
    QByteArray body; // compact JSON
};
QVector<Request> restoreRequests(const Scene& scene);

// The effect name of an answer to GET /api/v1/<token>/effects/select (a JSON
// string on its own); false for anything else.
bool parseSelected(const QByteArray& answer, QString& effect);

// Where an answer to the external-control request says the stream should go:
// "streamControlIpAddr" (a dotted IPv4 text) and "streamControlPort" (a whole
// number from 1 to 65535), each empty or 0 when missing or unusable.
struct StreamAddress {
    QString address;
    int port = 0;
};
StreamAddress parseStreamAddress(const QByteArray& answer);

} // namespace OpenApiFormat
