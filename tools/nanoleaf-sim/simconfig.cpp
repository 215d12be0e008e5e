#include "tools/nanoleaf-sim/simconfig.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cmath>

namespace {

constexpr int kMaxPanels = 4096;
constexpr int kMaxDevices = 64;
constexpr int kMaxLabelBytes = 63; // one DNS label

QString hostLabelFrom(const QString &name)
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

// Light Panels: rows of alternating up and down triangles whose centroids sit where a
// real layout puts them (side 150, so the height is about 130).
void defaultTriangleLayout(QVector<SimPanel> &panels)
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

void defaultSquareLayout(QVector<SimPanel> &panels)
{
    const int columns = std::max(1, int(std::ceil(std::sqrt(double(panels.size())))));
    for (int i = 0; i < panels.size(); ++i) {
        panels[i].x = (i % columns) * 100 + 50;
        panels[i].y = (i / columns) * 100 + 50;
        panels[i].o = 0;
        panels[i].shapeType = 2;
    }
}

bool isLoopbackV4(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    const quint32 v = address.toIPv4Address();
    return (v >> 24) == 127 && (v & 0x00FFFFFFu) != 0 && (v & 0x00FFFFFFu) != 0x00FFFFFFu;
}

} // namespace

bool SimConfig::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool SimConfig::loadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > 4 * 1024 * 1024)
        return fail(QStringLiteral("%1 is larger than 4 MiB").arg(path));
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return fail(QStringLiteral("%1: %2 at offset %3").arg(path, error.errorString()).arg(error.offset));
    if (!doc.isObject() || !doc.object().value(QLatin1String("devices")).isArray())
        return fail(QStringLiteral("%1: expected {\"devices\": [...]}").arg(path));
    const QJsonArray list = doc.object().value(QLatin1String("devices")).toArray();
    for (const QJsonValue &entry : list) {
        if (!entry.isObject())
            return fail(QStringLiteral("%1: every device entry must be an object").arg(path));
        if (!addDevice(entry.toObject()))
            return false;
    }
    return true;
}

bool SimConfig::addQuickDevice(const QString &form)
{
    // NAME@IP[:MODEL[:ID,ID,...[:pairing]]]; the name may itself hold ':' and '@'.
    const int at = form.lastIndexOf(QLatin1Char('@'));
    if (at <= 0)
        return fail(QStringLiteral("--device \"%1\": expected NAME@IP[:MODEL[:IDS[:pairing]]]").arg(form));
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
        for (const QString &text : parts[2].split(QLatin1Char(','))) {
            bool ok = false;
            const int id = text.trimmed().toInt(&ok);
            if (!ok)
                return fail(QStringLiteral("--device \"%1\": panel id \"%2\" is not a number").arg(form, text));
            ids.append(id);
        }
        entry.insert(QStringLiteral("panels"), ids);
    }
    if (parts.size() > 3) {
        if (parts[3] != QLatin1String("pairing"))
            return fail(QStringLiteral("--device \"%1\": the last field can only be \"pairing\"").arg(form));
        entry.insert(QStringLiteral("pairing_mode"), true);
    }
    return addDevice(entry);
}

bool SimConfig::addDevice(const QJsonObject &entry)
{
    if (m_devices.size() >= kMaxDevices)
        return fail(QStringLiteral("at most %1 devices").arg(kMaxDevices));
    SimDeviceSettings d;
    d.name = entry.value(QLatin1String("name")).toString();
    if (d.name.isEmpty())
        return fail(QStringLiteral("a device needs a non-empty \"name\""));
    const QString where = QStringLiteral("device \"%1\"").arg(d.name);

    d.ip = entry.value(QLatin1String("ip")).toString();
    if (!isLoopbackV4(d.ip))
        return fail(QStringLiteral("%1: \"ip\" must be a loopback host address 127.x.y.z, not \"%2\"").arg(where, d.ip));

    const QString model = entry.value(QLatin1String("model")).toString();
    if (model.isEmpty())
        d.model = d.name.contains(QLatin1String("Canvas")) ? QStringLiteral("NL29") : QStringLiteral("NL22");
    else if (model == QLatin1String("NL22") || model == QLatin1String("NL29"))
        d.model = model;
    else
        return fail(QStringLiteral("%1: \"model\" must be \"NL22\" (Light Panels) or \"NL29\" (Canvas)").arg(where));
    d.sideLength = d.isCanvas() ? 100 : 150;

    const quint32 v4 = QHostAddress(d.ip).toIPv4Address();
    d.serial = entry.value(QLatin1String("serial")).toString(
        QStringLiteral("S%1%2").arg(d.isCanvas() ? QStringLiteral("19") : QStringLiteral("16"))
            .arg(v4 & 0xFFFFFu, 7, 10, QLatin1Char('0')));
    d.firmware = entry.value(QLatin1String("firmware")).toString(
        d.isCanvas() ? QStringLiteral("1.4.2") : QStringLiteral("3.3.4"));
    d.deviceId = entry.value(QLatin1String("id")).toString(
        QStringLiteral("D3:6A:%1:%2:%3:%4")
            .arg((v4 >> 24) & 0xFF, 2, 16, QLatin1Char('0'))
            .arg((v4 >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
            .arg((v4 >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
            .arg(v4 & 0xFF, 2, 16, QLatin1Char('0'))
            .toUpper());
    d.instance = entry.value(QLatin1String("instance")).toString(d.name);
    d.host = entry.value(QLatin1String("host")).toString(hostLabelFrom(d.name));
    if (d.instance.isEmpty() || d.instance.toUtf8().size() > kMaxLabelBytes)
        return fail(QStringLiteral("%1: the mDNS instance label must be 1 to 63 bytes (set \"instance\")").arg(where));
    if (d.host.isEmpty() || d.host.toUtf8().size() > kMaxLabelBytes || d.host.contains(QLatin1Char('.')))
        return fail(QStringLiteral("%1: \"host\" must be one label of 1 to 63 bytes").arg(where));

    const QJsonValue panels = entry.value(QLatin1String("panels"));
    if (!panels.isUndefined() && !panels.isArray())
        return fail(QStringLiteral("%1: \"panels\" must be an array").arg(where));
    const QJsonArray list = panels.toArray();
    if (list.size() > kMaxPanels)
        return fail(QStringLiteral("%1: at most %2 panels").arg(where).arg(kMaxPanels));
    bool explicitPositions = false;
    QSet<int> seen;
    for (const QJsonValue &p : list) {
        SimPanel panel;
        if (p.isDouble()) {
            panel.id = p.toInt(-1);
        } else if (p.isObject()) {
            const QJsonObject o = p.toObject();
            panel.id = o.value(QLatin1String("id")).toInt(-1);
            panel.x = o.value(QLatin1String("x")).toInt();
            panel.y = o.value(QLatin1String("y")).toInt();
            panel.o = o.value(QLatin1String("o")).toInt();
            explicitPositions = true;
        } else {
            return fail(QStringLiteral("%1: a panel is a number or {\"id\", \"x\", \"y\", \"o\"}").arg(where));
        }
        if (panel.id < 0 || panel.id > 65535 || p.toDouble() != std::floor(p.toDouble()))
            return fail(QStringLiteral("%1: panel ids are whole numbers from 0 to 65535").arg(where));
        if (seen.contains(panel.id))
            return fail(QStringLiteral("%1: panel id %2 appears twice").arg(where).arg(panel.id));
        seen.insert(panel.id);
        panel.shapeType = d.isCanvas() ? 2 : 0;
        d.panels.append(panel);
    }
    if (!explicitPositions) {
        if (d.isCanvas())
            defaultSquareLayout(d.panels);
        else
            defaultTriangleLayout(d.panels);
    }

    const QJsonValue pairing = entry.value(QLatin1String("pairing_mode"));
    if (!pairing.isUndefined() && !pairing.isBool())
        return fail(QStringLiteral("%1: \"pairing_mode\" must be true or false").arg(where));
    d.pairingMode = pairing.toBool(false);

    const QJsonValue tokens = entry.value(QLatin1String("tokens"));
    if (!tokens.isUndefined() && !tokens.isArray())
        return fail(QStringLiteral("%1: \"tokens\" must be an array of texts").arg(where));
    for (const QJsonValue &t : tokens.toArray()) {
        if (!t.isString() || t.toString().isEmpty() || t.toString().contains(QLatin1Char('/')))
            return fail(QStringLiteral("%1: every token must be a non-empty text without '/'").arg(where));
        d.tokens.append(t.toString());
    }
    d.acceptV1InV2 = entry.value(QLatin1String("accept_v1_in_v2")).toBool(true);

    m_devices.append(d);
    return true;
}

bool SimConfig::validate()
{
    if (m_devices.isEmpty())
        return fail(QStringLiteral("no devices: give --config FILE or --device ..."));
    QSet<QString> ips;
    QSet<QString> instances;
    for (const SimDeviceSettings &d : qAsConst(m_devices)) {
        if (ips.contains(d.ip))
            return fail(QStringLiteral("two devices share the address %1").arg(d.ip));
        ips.insert(d.ip);
        if (instances.contains(d.instance.toLower()))
            return fail(QStringLiteral("two devices share the mDNS instance \"%1\"").arg(d.instance));
        instances.insert(d.instance.toLower());
    }
    return true;
}

QString SimConfig::quickFormHelp()
{
    return QStringLiteral("NAME@IP[:MODEL[:ID,ID,...[:pairing]]]");
}
