#pragma once

// A minimal HTTP/1.0 client for nanoleaf-sim's control interface, over Winsock TCP,
// for the Windows test programs (no Qt for mingw-w64 here). It talks to loopback
// addresses only and bounds every answer in size and time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ControlClient
{
public:
    // `address` is "127.x.y.z:PORT". The socket layer must be started.
    explicit ControlClient(const std::string& address);

    // One request; true when an HTTP answer with status 200 came back. The body
    // lands in `body`; `error` says what went wrong otherwise.
    bool get(const std::string& path, std::string& body, std::string& error);
    bool post(
        const std::string& path, const std::string& json, std::string& body, std::string& error);

    // One datagram as GET /devices/<ip>/frames reports it.
    struct Frame {
        int port = 0;
        std::string bytesHex;
    };
    // Reads the "port" and "bytes" members of each frame of a /frames answer.
    static std::vector<Frame> framesFrom(const std::string& json);
    // Every string value of `member` in `json`, in order (no escapes are decoded).
    static std::vector<std::string> stringMembers(
        const std::string& json, const std::string& member);

private:
    bool request(const std::string& method, const std::string& path, const std::string& json,
        std::string& body, std::string& error);

    std::string m_host;
    std::uint16_t m_port = 0;
    bool m_valid = false;
};
