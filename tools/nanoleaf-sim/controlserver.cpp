#include "tools/nanoleaf-sim/controlserver.h"

#include "tools/nanoleaf-sim/jsontext.h"
#include "tools/nanoleaf-sim/mdnsresponder.h"
#include "tools/nanoleaf-sim/simdevice.h"

#include <httplib.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>

#include <cstdlib>

namespace
{

constexpr int kMaxDelayMs = 600000;
constexpr int kDefaultSlowMs = 1000;
// A restart answers once the device is back, so it stays well within a client's patience.
constexpr int kMaxDownMs = 8000;

void reply(httplib::Response& res, int status, const QJsonValue& body)
{
    res.status = status;
    res.set_content(JsonText::compact(body), "application/json");
}

void fail(httplib::Response& res, int status, const QString& message)
{
    reply(res, status, QJsonObject { { QStringLiteral("error"), message } });
}

bool bodyObject(const httplib::Request& req, httplib::Response& res, QJsonObject& out)
{
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        fail(res, 400, QStringLiteral("the body must be a JSON object"));
        return false;
    }
    out = doc.object();
    return true;
}

std::int64_t sinceParam(const httplib::Request& req)
{
    if (!req.has_param("since"))
        return 0;
    return std::strtoll(req.get_param_value("since").c_str(), nullptr, 10);
}

// POST /devices/<ip>/pairing: {"on": true|false}.
void setPairing(SimDevice& d, const httplib::Request& req, httplib::Response& res)
{
    QJsonObject body;
    if (!bodyObject(req, res, body))
        return;
    if (!body.value(QLatin1String("on")).isBool()) {
        fail(res, 400, QStringLiteral("expected {\"on\": true|false}"));
        return;
    }
    d.setPairingMode(body.value(QLatin1String("on")).toBool());
    reply(res, 200, d.stateJson());
}

// POST /devices/<ip>/fault: any of "http", "mdns" and "delay_ms"; what is left out
// stays as it was.
void setFault(SimDevice& d, const httplib::Request& req, httplib::Response& res)
{
    QJsonObject body;
    if (!bodyObject(req, res, body))
        return;
    HttpFault http = d.httpFault();
    MdnsFault mdns = d.mdnsFault();
    int delay = d.faultDelayMs();
    if (body.contains(QLatin1String("http"))
        && !SimDevice::httpFaultFromName(body.value(QLatin1String("http")).toString(), http)) {
        fail(res, 400,
            QStringLiteral(
                "\"http\" is one of none, hang, slow, nonjson, huge, wrongtypes, trickle"));
        return;
    }
    if (body.contains(QLatin1String("mdns"))
        && !SimDevice::mdnsFaultFromName(body.value(QLatin1String("mdns")).toString(), mdns)) {
        fail(res, 400,
            QStringLiteral("\"mdns\" is one of none, oversized, truncated, badflags, loop, "
                           "silent, flood"));
        return;
    }
    if (body.contains(QLatin1String("delay_ms"))) {
        const QJsonValue v = body.value(QLatin1String("delay_ms"));
        const double ms = v.toDouble(-1);
        if (!v.isDouble() || ms < 0 || ms > kMaxDelayMs || ms != double(int(ms))) {
            fail(res, 400,
                QStringLiteral("\"delay_ms\" is a whole number from 0 to %1").arg(kMaxDelayMs));
            return;
        }
        delay = int(ms);
    } else if (http == HttpFault::Slow && delay == 0) {
        delay = kDefaultSlowMs;
    }
    d.setFaults(http, mdns, delay);
    reply(res, 200, d.stateJson());
}

} // namespace

ControlServer::ControlServer(std::vector<SimDevice*> devices, MdnsResponder& responder)
    : m_devices(std::move(devices))
    , m_responder(responder)
    , m_server(std::make_unique<httplib::Server>())
{
    m_server->set_payload_max_length(1024 * 1024);
    routes();
}

ControlServer::~ControlServer()
{
    stop();
}

bool ControlServer::bind(const std::string& host, int port)
{
    in_addr addr {};
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127) {
        m_error = "the control interface only listens on a loopback address, not " + host;
        return false;
    }
    if (port == 0) {
        m_port = m_server->bind_to_any_port(host);
        if (m_port <= 0) {
            m_error = "cannot bind the control interface on " + host;
            return false;
        }
        return true;
    }
    if (!m_server->bind_to_port(host, port)) {
        m_error = "cannot bind the control interface on " + host + ":" + std::to_string(port);
        return false;
    }
    m_port = port;
    return true;
}

void ControlServer::start()
{
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

void ControlServer::stop()
{
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

SimDevice* ControlServer::deviceAt(const std::string& ip) const
{
    for (SimDevice* device : m_devices)
        if (device->ip().toStdString() == ip)
            return device;
    return nullptr;
}

void ControlServer::routes()
{
    httplib::Server& s = *m_server;

    s.Get("/health", [](const httplib::Request&, httplib::Response& res) {
        reply(res, 200, QJsonObject { { QStringLiteral("ready"), true } });
    });

    s.Get("/devices", [this](const httplib::Request&, httplib::Response& res) {
        QJsonArray list;
        for (SimDevice* device : m_devices)
            list.append(device->stateJson());
        reply(res, 200, QJsonObject { { QStringLiteral("devices"), list } });
    });

    // Every per-device route starts with the device's address.
    const auto withDevice = [this](auto handler) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            SimDevice* device = deviceAt(req.matches[1]);
            if (!device) {
                fail(res, 404,
                    QStringLiteral("no simulated device at %1")
                        .arg(QString::fromStdString(req.matches[1])));
                return;
            }
            handler(*device, req, res);
        };
    };

    s.Get(R"(/devices/([0-9.]+))",
        withDevice([](SimDevice& d, const httplib::Request&, httplib::Response& res) {
            reply(res, 200, d.stateJson());
        }));

    s.Post(R"(/devices/([0-9.]+)/pairing)", withDevice(setPairing));

    s.Get(R"(/devices/([0-9.]+)/requests)",
        withDevice([](SimDevice& d, const httplib::Request& req, httplib::Response& res) {
            reply(res, 200,
                QJsonObject { { QStringLiteral("requests"), d.requestsJson(sinceParam(req)) } });
        }));

    s.Get(R"(/devices/([0-9.]+)/frames)",
        withDevice([](SimDevice& d, const httplib::Request& req, httplib::Response& res) {
            reply(res, 200,
                QJsonObject { { QStringLiteral("frames"), d.framesJson(sinceParam(req)) } });
        }));

    s.Get(R"(/devices/([0-9.]+)/stamps)",
        withDevice([](SimDevice& d, const httplib::Request& req, httplib::Response& res) {
            res.status = 200;
            res.set_content(d.stampsText(sinceParam(req)), "text/plain");
        }));

    s.Post(R"(/devices/([0-9.]+)/fault)", withDevice(setFault));

    s.Post(R"(/devices/([0-9.]+)/move)",
        withDevice([this](SimDevice& d, const httplib::Request& req, httplib::Response& res) {
            move(d, req, res);
        }));

    s.Post(R"(/devices/([0-9.]+)/restart)",
        withDevice([this](SimDevice& d, const httplib::Request& req, httplib::Response& res) {
            restart(d, req, res);
        }));

    s.Post("/reset", [this](const httplib::Request&, httplib::Response& res) { reset(res); });

    s.Get("/mdns/queries", [this](const httplib::Request& req, httplib::Response& res) {
        reply(res, 200,
            QJsonObject {
                { QStringLiteral("queries"), m_responder.queriesJson(sinceParam(req)) } });
    });

    s.Post("/screenshot",
        [this](const httplib::Request& req, httplib::Response& res) { screenshot(req, res); });
}

void ControlServer::move(SimDevice& d, const httplib::Request& req, httplib::Response& res)
{
    QJsonObject body;
    if (!bodyObject(req, res, body))
        return;
    const QString to = body.value(QLatin1String("to")).toString();
    in_addr addr {};
    if (inet_pton(AF_INET, to.toLatin1().constData(), &addr) != 1
        || (ntohl(addr.s_addr) >> 24) != 127) {
        fail(res, 400, QStringLiteral("expected {\"to\": \"127.x.y.z\"}"));
        return;
    }
    if (deviceAt(to.toStdString()) != nullptr) {
        fail(res, 409, QStringLiteral("a device already answers at %1").arg(to));
        return;
    }
    QString error;
    if (!m_mover) {
        fail(res, 409, QStringLiteral("devices cannot move here"));
        return;
    }
    if (!m_mover(d, to, error)) {
        fail(res, 500, error);
        return;
    }
    reply(res, 200, d.stateJson());
}

void ControlServer::restart(SimDevice& d, const httplib::Request& req, httplib::Response& res)
{
    QJsonObject body;
    if (!bodyObject(req, res, body))
        return;
    const QJsonValue v = body.value(QLatin1String("down_ms"));
    const double ms = v.toDouble(-1);
    if (!v.isDouble() || ms < 0 || ms > kMaxDownMs || ms != double(int(ms))) {
        fail(res, 400,
            QStringLiteral("expected {\"down_ms\": N}, N a whole number from 0 to %1")
                .arg(kMaxDownMs));
        return;
    }
    QString error;
    if (!m_restarter) {
        fail(res, 409, QStringLiteral("devices cannot restart here"));
        return;
    }
    if (!m_restarter(d, int(ms), error)) {
        fail(res, 500, error);
        return;
    }
    reply(res, 200, d.stateJson());
}

void ControlServer::reset(httplib::Response& res)
{
    for (SimDevice* device : m_devices) {
        QString error;
        if (m_mover && device->ip() != device->settings().ip
            && !m_mover(*device, device->settings().ip, error)) {
            fail(res, 500, error);
            return;
        }
        device->reset();
    }
    m_responder.clearLog();
    reply(res, 200, QJsonObject { { QStringLiteral("reset"), true } });
}

void ControlServer::screenshot(const httplib::Request& req, httplib::Response& res)
{
    QJsonObject body;
    if (!bodyObject(req, res, body))
        return;
    const QString path = body.value(QLatin1String("path")).toString();
    if (path.isEmpty()) {
        fail(res, 400, QStringLiteral("expected {\"path\": \"FILE.png\"}"));
        return;
    }
    if (!m_screenshot) {
        fail(res, 409, QStringLiteral("no window: start with --window"));
        return;
    }
    QString error;
    if (!m_screenshot(path, error)) {
        fail(res, 500, error);
        return;
    }
    reply(res, 200, QJsonObject { { QStringLiteral("path"), path } });
}
