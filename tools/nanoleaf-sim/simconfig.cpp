#include "tools/nanoleaf-sim/simconfig.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cmath>
#include <utility>
#include <vector>

namespace
{

constexpr int kMaxPanels = 4096;
constexpr int kMaxDevices = 64;
constexpr int kMaxLabelBytes = 63; // one DNS label

QString hostLabelFrom(const QString& name)
{
    QString out;
    for (const QChar c : name) {
        const bool keep = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
        if (keep)
            out += c;
        else if (!out.endsWith(QLatin1Char('-')))
            out += QLatin1Char('-');
    }
    while (out.endsWith(QLatin1Char('-')))
        out.chop(1);
    while (out.startsWith(QLatin1Char('-')))
        out.remove(0, 1);
    return out.isEmpty() ? QStringLiteral("nanoleaf") : out.left(kMaxLabelBytes);
}

struct ModelInfo {
    const char* model;
    const char* kind;
    const char* nameWord; // a name holding it picks this model when none is given
    int sideLength; // the layout's "sideLength": the edge of its main panel
    int litShape; // shape type of its main panel
    int defaultPieces; // pieces of the default layout
    const char* serialPrefix;
    const char* firmware;
};

const ModelInfo kModels[] = {
    { "NL22", "Light Panels", nullptr, 150, 0, 0, "16", "3.3.4" },
    { "NL29", "Canvas", "Canvas", 100, 2, 0, "19", "1.4.2" },
    { "NL42", "Shapes", "Shapes", 67, 7, 10, "20", "9.6.1" },
    { "NL52", "Elements", "Elements", 134, 14, 7, "21", "9.6.1" },
    { "NL59", "Lines", "Lines", 154, 17, 11, "22", "9.6.1" },
    { "NL64", "Skylight", "Skylight", 180, 30, 4, "23", "11.1.0" },
    { "NL69", "4D", "4D", 50, 29, 20, "24", "11.1.0" },
};

const ModelInfo* modelInfo(const QString& model)
{
    for (const ModelInfo& m : kModels)
        if (model == QLatin1String(m.model))
            return &m;
    return nullptr;
}

QString modelList()
{
    QStringList out;
    for (const ModelInfo& m : kModels)
        out << QStringLiteral("\"%1\" (%2)").arg(QLatin1String(m.model), QLatin1String(m.kind));
    return out.join(QStringLiteral(", "));
}

// Light Panels: rows of alternating up and down triangles whose centroids sit where a
// real layout puts them (side 150, so the height is about 130).
void defaultTriangleLayout(QVector<SimPanel>& panels)
{
    const double side = 150.0;
    const double height = side * std::sqrt(3.0) / 2.0;
    // Rows of at most eight, filled evenly so the cluster stays compact.
    const int rows = std::max(1, (int(panels.size()) + 7) / 8);
    const int perRow = std::max(1, (int(panels.size()) + rows - 1) / rows);
    for (int i = 0; i < panels.size(); ++i) {
        const int row = i / perRow;
        const int col = i % perRow;
        const bool up = (col + row) % 2 == 0;
        panels[i].x = int(std::lround(col * side / 2.0));
        panels[i].y = int(std::lround(row * height + (up ? height / 3.0 : 2.0 * height / 3.0)));
        panels[i].o = up ? 0 : 60;
        panels[i].shapeType = 0;
    }
}

void defaultSquareLayout(QVector<SimPanel>& panels)
{
    const int columns = std::max(1, int(std::ceil(std::sqrt(double(panels.size())))));
    for (int i = 0; i < panels.size(); ++i) {
        panels[i].x = (i % columns) * 100 + 50;
        panels[i].y = (i / columns) * 100 + 50;
        panels[i].o = 0;
        panels[i].shapeType = 2;
    }
}

// Hexagons (pointy side up, edge `side`) filling rings around the first one, listed
// ring by ring as a real cluster grows; the first `skip` pieces are left alone.
void hexagonCluster(QVector<SimPanel>& panels, int skip, double side, int shapeType)
{
    static const int dirs[6][2]
        = { { 1, 0 }, { 0, 1 }, { -1, 1 }, { -1, 0 }, { 0, -1 }, { 1, -1 } };
    std::vector<std::pair<int, int>> cells { { 0, 0 } };
    for (int ring = 1; int(cells.size()) < panels.size() - skip; ++ring) {
        int q = dirs[4][0] * ring;
        int r = dirs[4][1] * ring;
        for (int d = 0; d < 6; ++d)
            for (int step = 0; step < ring; ++step) {
                cells.emplace_back(q, r);
                q += dirs[d][0];
                r += dirs[d][1];
            }
    }
    const double root3 = std::sqrt(3.0);
    for (int i = skip; i < panels.size(); ++i) {
        const auto& cell = cells[std::size_t(i - skip)];
        panels[i].x = int(std::lround(side * root3 * (cell.first + cell.second / 2.0)));
        panels[i].y = int(std::lround(side * 1.5 * cell.second));
        panels[i].o = 0;
        panels[i].shapeType = shapeType;
    }
}

// The default layout of the later models for as many pieces as `panels` holds.
void defaultModelLayout(const QString& model, QVector<SimPanel>& panels)
{
    if (panels.isEmpty())
        return;
    if (model == QLatin1String("NL42")) {
        // The controller first (no LEDs), on the lowest corner of the cluster.
        hexagonCluster(panels, 1, 67.0, 7);
        int lowest = panels.size() > 1 ? 1 : 0;
        for (int i = 2; i < panels.size(); ++i)
            if (panels[i].y < panels[lowest].y)
                lowest = i;
        panels[0].x = lowest > 0 ? panels[lowest].x : 0;
        panels[0].y = lowest > 0 ? panels[lowest].y - 67 : 0;
        panels[0].o = 0;
        panels[0].shapeType = 12;
    } else if (model == QLatin1String("NL52")) {
        hexagonCluster(panels, 0, 134.0, 14);
    } else if (model == QLatin1String("NL59")) {
        // A zigzag of lines joined by connectors (no LEDs): line, connector, line, ...
        const double len = 154.0;
        const double dx = len * std::cos(M_PI / 6.0);
        const double dy = len * std::sin(M_PI / 6.0);
        for (int i = 0; i < panels.size(); ++i) {
            const int line = i / 2;
            if (i % 2 == 0) {
                const bool rising = line % 2 == 0;
                panels[i].x = int(std::lround(dx * line + dx / 2.0));
                panels[i].y = int(std::lround(dy / 2.0));
                panels[i].o = rising ? 30 : 330;
                panels[i].shapeType = 17;
            } else {
                panels[i].x = int(std::lround(dx * (line + 1)));
                panels[i].y = line % 2 == 0 ? int(std::lround(dy)) : 0;
                panels[i].o = 0;
                panels[i].shapeType = 16;
            }
        }
    } else if (model == QLatin1String("NL64")) {
        // Square panels in a grid, the controller square (lit) first.
        const int columns = std::max(1, int(std::ceil(std::sqrt(double(panels.size())))));
        for (int i = 0; i < panels.size(); ++i) {
            panels[i].x = (i % columns) * 180 + 90;
            panels[i].y = (i / columns) * 180 + 90;
            panels[i].o = 0;
            panels[i].shapeType = i == 0 ? 31 : 30;
        }
    } else if (model == QLatin1String("NL69")) {
        // One strip of zones, left to right.
        for (int i = 0; i < panels.size(); ++i) {
            panels[i].x = i * 50 + 25;
            panels[i].y = 0;
            panels[i].o = 0;
            panels[i].shapeType = 29;
        }
    }
}

// A loopback host address, or one of 198.18.0.0/15 (set aside for benchmarks,
// never routed): a test puts those on an interface of its private network to
// have a device it can later take away, so that nothing answers for it.
bool isSimulatedV4(const QString& text)
{
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    const quint32 v = address.toIPv4Address();
    if ((v >> 17) == (0xC6120000u >> 17))
        return (v & 0x1FFFFu) != 0 && (v & 0x1FFFFu) != 0x1FFFFu;
    return (v >> 24) == 127 && (v & 0x00FFFFFFu) != 0 && (v & 0x00FFFFFFu) != 0x00FFFFFFu;
}

} // namespace

bool SimPanel::hasLeds() const
{
    return shapeType != 1 && shapeType != 12 && shapeType != 16 && shapeType != 19
        && shapeType != 20;
}

int SimPanel::sideOf(int shapeType)
{
    switch (shapeType) {
    case 0:
        return 150;
    case 2:
    case 3:
    case 4:
        return 100;
    case 7:
    case 9:
        return 67;
    case 8:
    case 14:
        return 134;
    case 15:
        return 34;
    case 17:
    case 18:
        return 154;
    case 29:
        return 50;
    case 30:
    case 31:
    case 32:
        return 180;
    default:
        return 0;
    }
}

QString SimDeviceSettings::kind() const
{
    const ModelInfo* info = modelInfo(model);
    return info ? QLatin1String(info->kind) : model;
}

bool SimConfig::fail(const QString& message)
{
    m_error = message;
    return false;
}

bool SimConfig::loadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > 4 * 1024 * 1024)
        return fail(QStringLiteral("%1 is larger than 4 MiB").arg(path));
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return fail(
            QStringLiteral("%1: %2 at offset %3").arg(path, error.errorString()).arg(error.offset));
    if (!doc.isObject() || !doc.object().value(QLatin1String("devices")).isArray())
        return fail(QStringLiteral("%1: expected {\"devices\": [...]}").arg(path));
    const QJsonArray list = doc.object().value(QLatin1String("devices")).toArray();
    for (const QJsonValue& entry : list) {
        if (!entry.isObject())
            return fail(QStringLiteral("%1: every device entry must be an object").arg(path));
        if (!addDevice(entry.toObject()))
            return false;
    }
    return true;
}

bool SimConfig::addQuickDevice(const QString& form)
{
    // NAME@IP[:MODEL[:ID,ID,...[:pairing]]]; the name may itself hold ':' and '@'.
    const int at = form.lastIndexOf(QLatin1Char('@'));
    if (at <= 0)
        return fail(
            QStringLiteral("--device \"%1\": expected NAME@IP[:MODEL[:IDS[:pairing]]]").arg(form));
    const QStringList parts = form.mid(at + 1).split(QLatin1Char(':'));
    if (parts.size() > 4)
        return fail(QStringLiteral("--device \"%1\": too many ':' fields").arg(form));
    QJsonObject entry;
    entry.insert(QStringLiteral("name"), form.left(at));
    entry.insert(QStringLiteral("ip"), parts.value(0));
    if (parts.size() > 1 && !parts[1].isEmpty())
        entry.insert(QStringLiteral("model"), parts[1]);
    if (parts.size() > 2 && !parts[2].isEmpty()) {
        QJsonArray ids;
        for (const QString& text : parts[2].split(QLatin1Char(','))) {
            bool ok = false;
            const int id = text.trimmed().toInt(&ok);
            if (!ok)
                return fail(QStringLiteral("--device \"%1\": panel id \"%2\" is not a number")
                                .arg(form, text));
            ids.append(id);
        }
        entry.insert(QStringLiteral("panels"), ids);
    }
    if (parts.size() > 3) {
        if (parts[3] != QLatin1String("pairing"))
            return fail(QStringLiteral("--device \"%1\": the last field can only be \"pairing\"")
                            .arg(form));
        entry.insert(QStringLiteral("pairing_mode"), true);
    }
    return addDevice(entry);
}

bool SimConfig::addDevice(const QJsonObject& entry)
{
    if (m_devices.size() >= kMaxDevices)
        return fail(QStringLiteral("at most %1 devices").arg(kMaxDevices));
    SimDeviceSettings d;
    d.name = entry.value(QLatin1String("name")).toString();
    if (d.name.isEmpty())
        return fail(QStringLiteral("a device needs a non-empty \"name\""));
    const QString where = QStringLiteral("device \"%1\"").arg(d.name);

    d.ip = entry.value(QLatin1String("ip")).toString();
    if (!isSimulatedV4(d.ip))
        return fail(QStringLiteral("%1: \"ip\" must be a loopback host address 127.x.y.z or one "
                                   "of 198.18.0.0/15, not \"%2\"")
                        .arg(where, d.ip));

    const QString model = entry.value(QLatin1String("model")).toString();
    d.model = QStringLiteral("NL22");
    if (!model.isEmpty()) {
        if (!modelInfo(model))
            return fail(QStringLiteral("%1: \"model\" must be one of %2").arg(where, modelList()));
        d.model = model;
    } else {
        for (const ModelInfo& m : kModels)
            if (m.nameWord && d.name.contains(QLatin1String(m.nameWord))) {
                d.model = QLatin1String(m.model);
                break;
            }
    }
    const ModelInfo& info = *modelInfo(d.model);
    d.sideLength = info.sideLength;
    const QJsonValue orientation = entry.value(QLatin1String("global_orientation"));
    if (!orientation.isUndefined()
        && (!orientation.isDouble() || orientation.toInt(-1) < 0 || orientation.toInt(-1) > 359
            || orientation.toDouble() != std::floor(orientation.toDouble())))
        return fail(
            QStringLiteral("%1: \"global_orientation\" is a whole number of degrees from 0 to 359")
                .arg(where));
    d.globalOrientation = orientation.toInt(0);

    const quint32 v4 = QHostAddress(d.ip).toIPv4Address();
    d.serial = entry.value(QLatin1String("serial"))
                   .toString(QStringLiteral("S%1%2")
                                 .arg(QLatin1String(info.serialPrefix))
                                 .arg(v4 & 0xFFFFFu, 7, 10, QLatin1Char('0')));
    d.firmware = entry.value(QLatin1String("firmware")).toString(QLatin1String(info.firmware));
    d.deviceId = entry.value(QLatin1String("id"))
                     .toString(QStringLiteral("D3:6A:%1:%2:%3:%4")
                                   .arg((v4 >> 24) & 0xFF, 2, 16, QLatin1Char('0'))
                                   .arg((v4 >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
                                   .arg((v4 >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
                                   .arg(v4 & 0xFF, 2, 16, QLatin1Char('0'))
                                   .toUpper());
    d.instance = entry.value(QLatin1String("instance")).toString(d.name);
    d.host = entry.value(QLatin1String("host")).toString(hostLabelFrom(d.name));
    if (d.instance.isEmpty() || d.instance.toUtf8().size() > kMaxLabelBytes)
        return fail(
            QStringLiteral("%1: the mDNS instance label must be 1 to 63 bytes (set \"instance\")")
                .arg(where));
    if (d.host.isEmpty() || d.host.toUtf8().size() > kMaxLabelBytes
        || d.host.contains(QLatin1Char('.')))
        return fail(QStringLiteral("%1: \"host\" must be one label of 1 to 63 bytes").arg(where));

    const QJsonValue panels = entry.value(QLatin1String("panels"));
    if (!panels.isUndefined() && !panels.isArray())
        return fail(QStringLiteral("%1: \"panels\" must be an array").arg(where));
    const QJsonArray list = panels.toArray();
    if (list.size() > kMaxPanels)
        return fail(QStringLiteral("%1: at most %2 panels").arg(where).arg(kMaxPanels));
    bool explicitPositions = false;
    QSet<int> seen;
    for (const QJsonValue& p : list) {
        SimPanel panel;
        if (p.isDouble()) {
            panel.id = p.toInt(-1);
        } else if (p.isObject()) {
            const QJsonObject o = p.toObject();
            panel.id = o.value(QLatin1String("id")).toInt(-1);
            panel.x = o.value(QLatin1String("x")).toInt();
            panel.y = o.value(QLatin1String("y")).toInt();
            panel.o = o.value(QLatin1String("o")).toInt();
            panel.shapeType = o.value(QLatin1String("shapeType")).toInt(info.litShape);
            if (panel.shapeType < 0 || panel.shapeType > 255)
                return fail(
                    QStringLiteral("%1: \"shapeType\" is a number from 0 to 255").arg(where));
            explicitPositions = true;
        } else {
            return fail(QStringLiteral(
                "%1: a panel is a number or {\"id\", \"x\", \"y\", \"o\", \"shapeType\"}")
                            .arg(where));
        }
        if (panel.id < 0 || panel.id > 65535 || p.toDouble() != std::floor(p.toDouble()))
            return fail(
                QStringLiteral("%1: panel ids are whole numbers from 0 to 65535").arg(where));
        if (seen.contains(panel.id))
            return fail(QStringLiteral("%1: panel id %2 appears twice").arg(where).arg(panel.id));
        seen.insert(panel.id);
        if (!p.isObject())
            panel.shapeType = info.litShape;
        d.panels.append(panel);
    }
    if (panels.isUndefined() && info.defaultPieces > 0) {
        // Ids as a real device hands them out: spread over 16 bits, none below 256.
        for (int i = 0; i < info.defaultPieces; ++i) {
            SimPanel panel;
            panel.id = int((4133u + 9973u * unsigned(i) + (v4 & 0xFFu) * 257u) % 65000u) + 256;
            d.panels.append(panel);
        }
    }
    if (!explicitPositions) {
        if (d.isCanvas())
            defaultSquareLayout(d.panels);
        else if (d.takesV1())
            defaultTriangleLayout(d.panels);
        else
            defaultModelLayout(d.model, d.panels);
    }

    const QJsonValue pairing = entry.value(QLatin1String("pairing_mode"));
    if (!pairing.isUndefined() && !pairing.isBool())
        return fail(QStringLiteral("%1: \"pairing_mode\" must be true or false").arg(where));
    d.pairingMode = pairing.toBool(false);

    const QJsonValue tokens = entry.value(QLatin1String("tokens"));
    if (!tokens.isUndefined() && !tokens.isArray())
        return fail(QStringLiteral("%1: \"tokens\" must be an array of texts").arg(where));
    for (const QJsonValue& t : tokens.toArray()) {
        if (!t.isString() || t.toString().isEmpty() || t.toString().contains(QLatin1Char('/')))
            return fail(
                QStringLiteral("%1: every token must be a non-empty text without '/'").arg(where));
        d.tokens.append(t.toString());
    }
    d.acceptV1InV2 = d.takesV1() && entry.value(QLatin1String("accept_v1_in_v2")).toBool(true);

    m_devices.append(d);
    return true;
}

bool SimConfig::validate()
{
    if (m_devices.isEmpty())
        return fail(QStringLiteral("no devices: give --config FILE or --device ..."));
    QSet<QString> ips;
    QSet<QString> instances;
    for (const SimDeviceSettings& d : qAsConst(m_devices)) {
        if (ips.contains(d.ip))
            return fail(QStringLiteral("two devices share the address %1").arg(d.ip));
        ips.insert(d.ip);
        if (instances.contains(d.instance.toLower()))
            return fail(
                QStringLiteral("two devices share the mDNS instance \"%1\"").arg(d.instance));
        instances.insert(d.instance.toLower());
    }
    return true;
}

QString SimConfig::quickFormHelp()
{
    return QStringLiteral("NAME@IP[:MODEL[:ID,ID,...[:pairing]]]");
}
