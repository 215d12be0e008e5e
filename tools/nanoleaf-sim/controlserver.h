#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

class MdnsResponder;
class SimDevice;

// The loopback HTTP+JSON interface through which tests and scripts watch and steer the
// simulated devices (see --help for the routes).
class ControlServer
{
public:
    using Screenshot = std::function<bool(const QString& path, QString& error)>;
    // Moves a device to another address and rebinds its servers there.
    using Mover = std::function<bool(SimDevice& device, const QString& to, QString& error)>;
    // Takes a device off the network for downMs, then brings it back as restarted.
    using Restarter = std::function<bool(SimDevice& device, int downMs, QString& error)>;

    ControlServer(std::vector<SimDevice*> devices, MdnsResponder& responder);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Set before start(); without it POST /screenshot answers 409.
    void setScreenshot(Screenshot screenshot) { m_screenshot = std::move(screenshot); }
    // Set before start(); without it POST /devices/<ip>/move answers 409.
    void setMover(Mover mover) { m_mover = std::move(mover); }
    // Set before start(); without it POST /devices/<ip>/restart answers 409.
    void setRestarter(Restarter restarter) { m_restarter = std::move(restarter); }

    // Binds a loopback address; port 0 takes any free port (see port()).
    bool bind(const std::string& host, int port);
    void start();
    void stop();
    int port() const { return m_port; }
    std::string errorString() const { return m_error; }

private:
    SimDevice* deviceAt(const std::string& ip) const;
    void routes();
    // The handlers of the routes that steer through the callbacks above.
    void move(SimDevice& device, const httplib::Request& req, httplib::Response& res);
    void restart(SimDevice& device, const httplib::Request& req, httplib::Response& res);
    void reset(httplib::Response& res);
    void screenshot(const httplib::Request& req, httplib::Response& res);

    std::vector<SimDevice*> m_devices;
    MdnsResponder& m_responder;
    Screenshot m_screenshot;
    Mover m_mover;
    Restarter m_restarter;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::string m_error;
};
