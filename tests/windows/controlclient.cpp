#include "controlclient.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>

namespace
{

constexpr std::size_t kMaxAnswer = 4 * 1024 * 1024;
constexpr int kWaitSeconds = 10;
constexpr int kMaxWaits = 64; // also bounds the number of reads: one read per wait

bool waitFor(SOCKET s, bool forWriting)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout;
    timeout.tv_sec = kWaitSeconds;
    timeout.tv_usec = 0;
    const int ready
        = select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &timeout);
    return ready == 1;
}

void skipSpaces(const std::string& text, std::size_t& at)
{
    while (at < text.size()
        && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t'))
        ++at;
}

// The value position after `"member":`, searching from `from`; npos when absent.
std::size_t valueOf(const std::string& json, const std::string& member, std::size_t from)
{
    const std::string key = "\"" + member + "\"";
    for (std::size_t at = json.find(key, from); at != std::string::npos;
         at = json.find(key, at + 1)) {
        std::size_t value = at + key.size();
        skipSpaces(json, value);
        if (value < json.size() && json[value] == ':') {
            ++value;
            skipSpaces(json, value);
            return value;
        }
    }
    return std::string::npos;
}

bool stringAt(const std::string& json, std::size_t at, std::string& out)
{
    if (at >= json.size() || json[at] != '"')
        return false;
    out.clear();
    for (std::size_t i = at + 1; i < json.size(); ++i) {
        if (json[i] == '"')
            return true;
        if (json[i] == '\\') {
            if (i + 1 >= json.size())
                return false;
            out += json[i];
            ++i;
        }
        out += json[i];
    }
    return false;
}

} // namespace

ControlClient::ControlClient(const std::string& address)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size())
        return;
    m_host = address.substr(0, colon);
    const std::string portText = address.substr(colon + 1);
    char* end = nullptr;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || port <= 0 || port > 65535)
        return;
    in_addr host;
    // Loopback only: the control interface never leaves the machine.
    if (inet_pton(AF_INET, m_host.c_str(), &host) != 1 || (ntohl(host.s_addr) >> 24) != 127)
        return;
    m_port = static_cast<std::uint16_t>(port);
    m_valid = true;
}

bool ControlClient::get(const std::string& path, std::string& body, std::string& error)
{
    return request("GET", path, std::string(), body, error);
}

bool ControlClient::post(
    const std::string& path, const std::string& json, std::string& body, std::string& error)
{
    return request("POST", path, json, body, error);
}

bool ControlClient::request(const std::string& method, const std::string& path,
    const std::string& json, std::string& body, std::string& error)
{
    body.clear();
    if (!m_valid) {
        error = "not a loopback HOST:PORT";
        return false;
    }
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = "socket failed with " + std::to_string(WSAGetLastError());
        return false;
    }
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    inet_pton(AF_INET, m_host.c_str(), &to.sin_addr);
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), static_cast<int>(sizeof to)) != 0) {
        error = "connect failed with " + std::to_string(WSAGetLastError());
        closesocket(s);
        return false;
    }

    std::string out
        = method + " " + path + " HTTP/1.0\r\nHost: " + m_host + "\r\nConnection: close\r\n";
    if (method == "POST")
        out += "Content-Type: application/json\r\nContent-Length: " + std::to_string(json.size())
            + "\r\n";
    out += "\r\n" + json;
    std::size_t sent = 0;
    for (int attempt = 0; sent < out.size() && attempt < kMaxWaits; ++attempt) {
        if (!waitFor(s, true))
            break;
        const int n = send(s, out.data() + sent, static_cast<int>(out.size() - sent), 0);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    if (sent != out.size()) {
        error = "send failed with " + std::to_string(WSAGetLastError());
        closesocket(s);
        return false;
    }

    std::string answer;
    char buffer[16384];
    bool closed = false;
    for (int reads = 0; !closed && reads < kMaxWaits * 16; ++reads) {
        if (!waitFor(s, false))
            break;
        const int n = recv(s, buffer, static_cast<int>(sizeof buffer), 0);
        if (n <= 0) {
            closed = n == 0;
            break;
        }
        if (answer.size() + static_cast<std::size_t>(n) > kMaxAnswer)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    closesocket(s);
    if (!closed) {
        error = "the answer did not end within bounds (" + std::to_string(answer.size())
            + " bytes read)";
        return false;
    }

    const std::size_t headerEnd = answer.find("\r\n\r\n");
    if (headerEnd == std::string::npos || answer.compare(0, 5, "HTTP/") != 0) {
        error = "not an HTTP answer";
        return false;
    }
    const std::size_t space = answer.find(' ');
    if (space == std::string::npos || space + 4 > headerEnd) {
        error = "no status line";
        return false;
    }
    body = answer.substr(headerEnd + 4);
    const std::string status = answer.substr(space + 1, 3);
    if (status != "200") {
        error = "HTTP status " + status + ": " + body;
        return false;
    }
    return true;
}

std::vector<ControlClient::Frame> ControlClient::framesFrom(const std::string& json)
{
    std::vector<Frame> frames;
    std::size_t at = valueOf(json, "frames", 0);
    if (at == std::string::npos || at >= json.size() || json[at] != '[')
        return frames;
    // Walk the array's objects, minding strings, and read each frame's own members.
    int depth = 0;
    bool inString = false;
    std::size_t objectStart = 0;
    for (std::size_t i = at + 1; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (depth == 0)
                objectStart = i;
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                break; // end of the frames array
            if (--depth == 0) {
                const std::string object = json.substr(objectStart, i - objectStart + 1);
                Frame frame;
                const std::size_t port = valueOf(object, "port", 0);
                if (port != std::string::npos)
                    frame.port = std::atoi(object.c_str() + port);
                const std::size_t bytes = valueOf(object, "bytes", 0);
                if (bytes != std::string::npos)
                    stringAt(object, bytes, frame.bytesHex);
                frames.push_back(frame);
            }
        }
    }
    return frames;
}

std::vector<std::string> ControlClient::stringMembers(
    const std::string& json, const std::string& member)
{
    std::vector<std::string> values;
    for (std::size_t at = valueOf(json, member, 0); at != std::string::npos;
         at = valueOf(json, member, at)) {
        std::string value;
        if (stringAt(json, at, value))
            values.push_back(value);
    }
    return values;
}
