#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// One piece of a simulated device as its layout reports it: a lit panel, or a piece
// without LEDs (a controller, a Lines connector).
struct SimPanel {
    int id = 0;
    int x = 0;
    int y = 0;
    int o = 0;
    int shapeType = 0;

    // Rhythm module (1), Shapes controller (12), Lines connector (16), controller cap
    // (19) and power connector (20) have no LEDs; every other piece lights up.
    bool hasLeds() const;
    // Edge length of the piece in layout units (a line's length; 0 for the small
    // LED-less pieces, which have no edge of their own).
    static int sideOf(int shapeType);
};

// Everything that stays fixed for one simulated device while the simulator runs.
struct SimDeviceSettings {
    QString name; // the OpenAPI "name"
    QString ip; // 127.x.y.z or 198.18.0.0/15, one address per device
    QString model; // "NL22" Light Panels, "NL29" Canvas, "NL42" Shapes, "NL52" Elements,
                   // "NL59" Lines, "NL64" Skylight or "NL69" 4D
    QString serial;
    QString firmware;
    QString instance; // mDNS service instance label
    QString host; // mDNS host label (without ".local")
    QString deviceId; // TXT "id="
    int sideLength = 150;
    int globalOrientation = 0; // degrees, 0 to 359
    QVector<SimPanel> panels;
    bool pairingMode = false;
    QStringList tokens;
    // Light Panels switched to "v2" still take "v1" records on 60221.
    bool acceptV1InV2 = true;

    bool isCanvas() const { return model == QLatin1String("NL29"); }
    // Only Light Panels take "v1" external control; every later model streams "v2".
    bool takesV1() const { return model == QLatin1String("NL22"); }
    // "Light Panels", "Canvas", "Shapes", ...
    QString kind() const;
};

// Reads the device list from a JSON file and from the --device quick forms, filling in
// what a device entry leaves out.
class SimConfig
{
public:
    bool loadFile(const QString& path);
    bool addQuickDevice(const QString& form);
    bool addDevice(const QJsonObject& entry);
    // Checks what only the whole list can show (addresses used twice).
    bool validate();

    const QVector<SimDeviceSettings>& devices() const { return m_devices; }
    QString errorString() const { return m_error; }

    static QString quickFormHelp();

private:
    bool fail(const QString& message);

    QVector<SimDeviceSettings> m_devices;
    QString m_error;
};
