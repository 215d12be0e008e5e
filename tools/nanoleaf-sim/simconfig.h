#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// One panel of a simulated device as its layout reports it.
struct SimPanel {
    int id = 0;
    int x = 0;
    int y = 0;
    int o = 0;
    int shapeType = 0;
};

// Everything that stays fixed for one simulated device while the simulator runs.
struct SimDeviceSettings {
    QString name;        // the OpenAPI "name"
    QString ip;          // 127.x.y.z, one address per device
    QString model;       // "NL22" (Light Panels) or "NL29" (Canvas)
    QString serial;
    QString firmware;
    QString instance;    // mDNS service instance label
    QString host;        // mDNS host label (without ".local")
    QString deviceId;    // TXT "id="
    int sideLength = 150;
    QVector<SimPanel> panels;
    bool pairingMode = false;
    QStringList tokens;
    // Light Panels switched to "v2" still take "v1" records on 60221.
    bool acceptV1InV2 = true;

    bool isCanvas() const { return model == QLatin1String("NL29"); }
};

// Reads the device list from a JSON file and from the --device quick forms, filling in
// what a device entry leaves out.
class SimConfig {
public:
    bool loadFile(const QString &path);
    bool addQuickDevice(const QString &form);
    bool addDevice(const QJsonObject &entry);
    // Checks what only the whole list can show (addresses used twice).
    bool validate();

    const QVector<SimDeviceSettings> &devices() const { return m_devices; }
    QString errorString() const { return m_error; }

    static QString quickFormHelp();

private:
    bool fail(const QString &message);

    QVector<SimDeviceSettings> m_devices;
    QString m_error;
};
