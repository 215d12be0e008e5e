#pragma once

#include <memory>
#include <string>
#include <thread>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

class SimDevice;

// The Nanoleaf OpenAPI of one simulated device on <ip>:16021, as far as the tool
// uses it: pairing, the device description, effect and state writes. Every
// request is logged on the device, and the device's HTTP fault shapes the answer.
class OpenApiServer
{
public:
    explicit OpenApiServer(SimDevice& device);
    ~OpenApiServer();
    OpenApiServer(const OpenApiServer&) = delete;
    OpenApiServer& operator=(const OpenApiServer&) = delete;

    // Binds <ip>:16021 at the device's address; false (with errorString) when the
    // address cannot be bound.
    bool bind();
    // Serves at the device's address anew after it moved (a started server only).
    bool rebind();
    void start();
    void stop();
    std::string errorString() const { return m_error; }

    static constexpr int kPort = 16021;

private:
    struct Answer;
    std::unique_ptr<httplib::Server> makeServer();
    void handle(const httplib::Request& req, httplib::Response& res);
    Answer route(const httplib::Request& req);
    Answer pair();
    Answer describe();
    Answer writeEffects(const std::string& body);
    Answer writeState(const std::string& body);

    SimDevice& m_device;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    std::string m_error;
};
