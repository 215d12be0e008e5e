#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <memory>

class QProcess;

// The simulated devices the tests use, written once.
namespace Sim
{
inline const QString kLight = QStringLiteral("Light Panels 52:33:A1");
inline const QString kLightIp = QStringLiteral("127.0.0.2");
inline const QString kCanvas = QStringLiteral("Canvas 1F:2B:3C");
inline const QString kCanvasIp = QStringLiteral("127.0.0.3");
// A token devices are configured to know (a pairing in an earlier run).
inline const QString kToken = QStringLiteral("00112233445566778899aabbccddeeff");
} // namespace Sim

// Runs BUILD/bin/nanoleaf-sim for one test and drives it through its control
// interface. Every call blocks for a bounded time; a failure gives false or an empty
// value and leaves the reason in errorString(). The simulator binds fixed ports, so
// the test must run in a private network namespace (prismara_add_test ... NETNS).
class NanoleafSim
{
public:
    explicit NanoleafSim(const QJsonArray& devices = defaultDevices())
        : m_devices(devices)
    {
    }
    ~NanoleafSim() { stop(); }

    // Device entries in the simulator's configuration format.
    static QJsonObject lightPanels(const QString& ip = Sim::kLightIp,
        const QVector<int>& panels = { 82, 15, 200 }, const QString& name = Sim::kLight)
    {
        return deviceEntry(name, ip, "NL22", panels);
    }
    static QJsonObject canvas(const QString& ip = Sim::kCanvasIp,
        const QVector<int>& panels = { 1234, 7 }, const QString& name = Sim::kCanvas)
    {
        return deviceEntry(name, ip, "NL29", panels);
    }
    static QJsonArray defaultDevices() { return { lightPanels(), canvas() }; }
    // The devices with `key` set to `value` in each: ("pairing_mode", true) as after the user
    // held the button, ("tokens", [token]) as after an earlier pairing.
    static QJsonArray with(QJsonArray devices, const QString& key, const QJsonValue& value);

    void setDevices(const QJsonArray& devices) { m_devices = devices; } // before start()
    bool start(int timeoutMs = 15000);
    void stop();
    QString errorString() const { return m_error; }

    QJsonObject device(const QString& ip) { return get("/devices/" + ip); }
    QString mode(const QString& ip) { return device(ip)["mode"].toString(); }
    int framesAccepted(const QString& ip) { return device(ip).value("frames")["accepted"].toInt(); }
    bool setPairing(const QString& ip, bool on)
    {
        return call("POST", "/devices/" + ip + "/pairing", { { "on", on } });
    }
    QJsonArray requests(const QString& ip)
    {
        return get("/devices/" + ip + "/requests")["requests"].toArray();
    }
    // "METHOD path" of each request, each 32-character token written <token>
    // unless tokens are shown.
    QStringList requestLines(const QString& ip, bool hideTokens = true);
    QJsonArray frames(const QString& ip)
    {
        return get("/devices/" + ip + "/frames")["frames"].toArray();
    }
    QJsonArray mdnsQueries() { return get("/mdns/queries")["queries"].toArray(); }
    // {"http": "...", "mdns": "...", "delay_ms": N}; members left out stay as they are.
    bool setFault(const QString& ip, const QJsonObject& fault)
    {
        return call("POST", "/devices/" + ip + "/fault", fault);
    }
    bool reset() { return call("POST", "/reset", {}); }
    // The device at ip answers at `to` from now on (HTTP, stream and mDNS), showing
    // its effect again as after a restart.
    bool move(const QString& ip, const QString& to)
    {
        return call("POST", "/devices/" + ip + "/move", { { "to", to } });
    }
    // The device at ip is off the network for downMs (its OpenAPI refuses, its stream
    // and mDNS answers are ignored), then shows its effect again; returns once it is back.
    bool restart(const QString& ip, int downMs)
    {
        return call("POST", "/devices/" + ip + "/restart", { { "down_ms", downMs } });
    }
    // What the device's owner does with its app: a PUT to the device's own OpenAPI
    // (resource "effects" or "state"); the HTTP status, 0 without an answer.
    static int ownerPut(const QString& ip, const QString& resource, const QByteArray& body,
        const QString& token = Sim::kToken);
    // "mode select on|off brightness color_mode" of the device, e.g.
    // "effect Forest on 40 effect".
    QString shows(const QString& ip);
    // "PUT effects BODY" for each request from the seq-th on (bodies compact, tokens
    // left out; GET and POST lines without a body).
    QStringList requestBodies(const QString& ip, int from = 0);

private:
    static QJsonObject deviceEntry(
        const QString& name, const QString& ip, const char* model, const QVector<int>& panels);
    bool call(const QByteArray& verb, const QString& path, const QJsonObject& body,
        QJsonObject* answer = nullptr);
    QJsonObject get(const QString& path);

    QJsonArray m_devices;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_control;
    QString m_error;
};
