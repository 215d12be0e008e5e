#include "service/openapiformat.h"

#include "platform/socketlayer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>

namespace OpenApiFormat
{

namespace
{

QByteArray writeCommand(const QJsonObject& command)
{
    return QJsonDocument(QJsonObject { { "write", command } }).toJson();
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A member's "value" as a whole number within [min, max].
bool wholeValue(const QJsonObject& state, const char* member, int min, int max, int& out)
{
    const QJsonValue value = state.value(QLatin1String(member)).toObject().value("value");
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number < min || number > max || number != static_cast<double>(static_cast<int>(number)))
        return false;
    out = static_cast<int>(number);
    return true;
}

QJsonObject valueOf(const QJsonValue& value)
{
    return QJsonObject { { "value", value } };
}

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

Info::V2 readV2(const QJsonValue& model, const QJsonValue& orientation, const QJsonArray& positions)
{
    if (!model.isString())
        return {};
    Info::V2 v2;
    if (!orientation.isUndefined()) {
        const QJsonValue value = orientation.toObject().value("value");
        if (!value.isDouble())
            return {};
        v2.globalOrientation = value.toDouble();
    }
    v2.panels.reserve(static_cast<std::size_t>(positions.size()));
    for (const QJsonValue& position : positions) {
        PanelModel::Panel panel;
        if (!readPanel(position, &panel))
            return {};
        v2.panels.push_back(panel);
    }
    v2.model = model.toString();
    v2.ok = true;
    return v2;
}

Scene readScene(const QJsonObject& object)
{
    const QJsonObject state = object.value("state").toObject();
    const QJsonValue on = state.value("on").toObject().value("value");
    const QJsonValue select = object.value("effects").toObject().value("select");
    Scene scene;
    if (!on.isBool() || !select.isString()
        || !wholeValue(state, "brightness", 0, 100, scene.brightness))
        return Scene();
    scene.on = on.toBool();
    scene.effect = select.toString();
    const QString mode = state.value("colorMode").toString();
    if (mode == QLatin1String("hs")) {
        scene.mode = Scene::Mode::HueSat;
        if (!wholeValue(state, "hue", 0, 360, scene.hue)
            || !wholeValue(state, "sat", 0, 100, scene.sat))
            return Scene();
    } else if (mode == QLatin1String("ct")) {
        scene.mode = Scene::Mode::Temperature;
        if (!wholeValue(state, "ct", 1, 100000, scene.ct))
            return Scene();
    }
    scene.ok = true;
    return scene;
}

} // namespace

QString pairingToken(const QByteArray& answer)
{
    // toString() gives the empty text for a value that is not a string, so a
    // numeric token counts as a refusal instead of putting "/api/v1//" into the
    // next request.
    return QJsonDocument::fromJson(answer).object().value("auth_token").toString();
}

QByteArray externalControlBody()
{
    return writeCommand(QJsonObject {
        { "command", "display" }, { "animType", "extControl" }, { "extControlVersion", "v2" } });
}

QString staticAnimData(int panelNumbers, const QVector<int>& mPidArray)
{
    QString text = QString::number(panelNumbers);
    for (int id : mPidArray)
        text += " " + QString::number(id) + " 1 255 201 29 0 12";
    return text;
}

QByteArray staticEffectBody(const QString& animData)
{
    return writeCommand(
        QJsonObject { { "command", "display" }, { "animType", "static" }, { "loop", false },
            { "animData", animData }, { "version", "2.0" }, { "palette", QJsonArray() } });
}

bool Scene::selectable() const
{
    return ok && mode == Mode::Effect && !effect.isEmpty() && !effect.startsWith(QLatin1Char('*'));
}

Scene parseScene(const QByteArray& answer)
{
    return readScene(QJsonDocument::fromJson(answer).object());
}

Info parseInfo(const QByteArray& answer)
{
    // Not an object, or a name that is no string, all read as the empty name.
    const QJsonObject object = QJsonDocument::fromJson(answer).object();
    const QString name = object.value("name").toString();
    const QJsonObject panelLayout = object.value("panelLayout").toObject();
    const QJsonValue positions = panelLayout.value("layout").toObject().value("positionData");
    // A nameless record would be listed first and shift every row below it.
    if (name.isEmpty() || !positions.isArray())
        return Info();

    Info info;
    info.ok = true;
    info.name = name;
    info.model = StreamDatagram::modelForName(info.name.toStdU16String());
    const QJsonArray array = positions.toArray();
    info.count = array.count();
    if (info.model != StreamDatagram::Model::None) {
        for (const QJsonValue& position : array) {
            const int id = position.toObject().value("panelId").toInt();
            if (info.model == StreamDatagram::Model::Canvas)
                info.pidArrray.append(id / 256);
            info.pidArrray.append(id % 256);
            info.mPidArray.append(id);
        }
    }
    info.v2 = readV2(object.value("model"), panelLayout.value("globalOrientation"), array);
    info.scene = readScene(object);
    return info;
}

QByteArray sceneText(const Scene& scene)
{
    if (!scene.ok)
        return QByteArray();
    QJsonObject state { { "on", valueOf(scene.on) }, { "brightness", valueOf(scene.brightness) },
        { "colorMode", "effect" } };
    if (scene.mode == Scene::Mode::HueSat) {
        state.insert("colorMode", "hs");
        state.insert("hue", valueOf(scene.hue));
        state.insert("sat", valueOf(scene.sat));
    } else if (scene.mode == Scene::Mode::Temperature) {
        state.insert("colorMode", "ct");
        state.insert("ct", valueOf(scene.ct));
    }
    return compact(QJsonObject {
        { "state", state }, { "effects", QJsonObject { { "select", scene.effect } } } });
}

QVector<Request> restoreRequests(const Scene& scene)
{
    QVector<Request> requests;
    if (!scene.ok)
        return requests;
    if (scene.selectable())
        requests.append({ "effects", compact(QJsonObject { { "select", scene.effect } }) });
    QJsonObject state { { "brightness", valueOf(scene.brightness) } };
    if (scene.mode == Scene::Mode::HueSat) {
        state.insert("hue", valueOf(scene.hue));
        state.insert("sat", valueOf(scene.sat));
    } else if (scene.mode == Scene::Mode::Temperature) {
        state.insert("ct", valueOf(scene.ct));
    }
    if (scene.on)
        state.insert("on", valueOf(true));
    requests.append({ "state", compact(state) });
    if (!scene.on)
        requests.append({ "state", compact(QJsonObject { { "on", valueOf(false) } }) });
    return requests;
}

bool parseSelected(const QByteArray& answer, QString& effect)
{
    // Qt 5 reads only objects and arrays at the top level; a lone string put in
    // an array stays one element, and anything more is not one string.
    const QJsonArray array = QJsonDocument::fromJson("[" + answer + "]").array();
    if (array.size() != 1 || !array.first().isString())
        return false;
    effect = array.first().toString();
    return true;
}

StreamAddress parseStreamAddress(const QByteArray& answer)
{
    const QJsonObject object = QJsonDocument::fromJson(answer).object();
    StreamAddress stream;
    const std::string address = object.value("streamControlIpAddr").toString().toStdString();
    std::array<std::uint8_t, 4> parsed {};
    if (Platform::Net::parseIpv4(address.data(), address.size(), parsed))
        stream.address = QString::fromStdString(address);
    const QJsonValue port = object.value("streamControlPort");
    const double number = port.toDouble();
    if (port.isDouble() && number >= 1 && number <= 65535
        && number == static_cast<double>(static_cast<int>(number)))
        stream.port = static_cast<int>(number);
    return stream;
}

} // namespace OpenApiFormat
