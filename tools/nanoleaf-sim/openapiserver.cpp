#include "tools/nanoleaf-sim/openapiserver.h"

#include "tools/nanoleaf-sim/jsontext.h"
#include "tools/nanoleaf-sim/monotonicclock.h"
#include "tools/nanoleaf-sim/simdevice.h"
#include "tools/nanoleaf-sim/streamrecords.h"

#include <httplib.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

// How long a "hang" holds a connection before giving up on it.
constexpr std::chrono::seconds kHangBound { 120 };
// A "trickle" sends one byte a second, up to this many.
constexpr std::size_t kTrickleBytes = 120;
constexpr std::size_t kHugeBodySize = 10 * 1024 * 1024;
constexpr std::size_t kMaxPayload = 1024 * 1024;

std::vector<std::string> splitPath(const std::string& path)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= path.size() && out.size() < 32) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            out.push_back(path.substr(start, end - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return out;
}

bool sameEndpoint(const sockaddr_in& a, const std::string& ip, int port)
{
    in_addr want {};
    return a.sin_family == AF_INET && inet_pton(AF_INET, ip.c_str(), &want) == 1
        && a.sin_addr.s_addr == want.s_addr && ntohs(a.sin_port) == port;
}

// Closes the connection a request came on without writing anything to it. cpp-httplib
// always answers once a handler returns, and it does not hand the socket to handlers,
// so the socket is found among the process's descriptors by its two endpoints.
bool dropConnection(
    const std::string& localIp, int localPort, const std::string& peerIp, int peerPort)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool dropped = false;
    int seen = 0;
    while (dirent* entry = readdir(dir)) {
        if (++seen > 65536)
            break;
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 0)
            continue;
        struct stat st {
        };
        if (fstat(int(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_in local {};
        sockaddr_in peer {};
        socklen_t localLen = sizeof local;
        socklen_t peerLen = sizeof peer;
        if (getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localLen) != 0
            || getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
            continue;
        if (sameEndpoint(local, localIp, localPort) && sameEndpoint(peer, peerIp, peerPort)) {
            dropped = shutdown(int(fd), SHUT_RDWR) == 0;
            break;
        }
    }
    closedir(dir);
    return dropped;
}

std::string hugeBody(const std::string& answer)
{
    // The normal answer with a padding member, so the body is still the JSON a reader
    // expects, only 10 MiB of it.
    const bool object = !answer.empty() && answer.front() == '{';
    const bool emptyObject = answer == "{}";
    std::string head = "{\"padding\":\"";
    std::string tail = "\"";
    if (object && !emptyObject)
        tail += "," + answer.substr(1);
    else
        tail += "}";
    const std::size_t fixed = head.size() + tail.size();
    const std::size_t pad = kHugeBodySize > fixed ? kHugeBodySize - fixed : 0;
    std::string out;
    out.reserve(kHugeBodySize);
    out += head;
    out.append(pad, 'x');
    out += tail;
    return out;
}

void setBody(httplib::Response& res, const std::string& text, const std::string& contentType)
{
    if (text.empty())
        return;
    // A fixed-length provider is sent as it is: a Nanoleaf device does not compress its
    // answers, while cpp-httplib would gzip a plain JSON body for QNetworkAccessManager.
    auto body = std::make_shared<std::string>(text);
    res.set_content_provider(body->size(), contentType,
        [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset < body->size())
                sink.write(body->data() + offset, std::min(length, body->size() - offset));
            return true;
        });
}

} // namespace

struct OpenApiServer::Answer {
    enum class Kind { Other, Pairing, Description };
    int status = 404;
    std::string body;
    std::string outcome;
    Kind kind = Kind::Other;
};

OpenApiServer::OpenApiServer(SimDevice& device)
    : m_device(device)
    , m_server(makeServer())
{
}

std::unique_ptr<httplib::Server> OpenApiServer::makeServer()
{
    auto server = std::make_unique<httplib::Server>();
    const auto handler
        = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Delete(".*", handler);
    server->Patch(".*", handler);
    server->Options(".*", handler);
    server->set_payload_max_length(kMaxPayload);
    return server;
}

OpenApiServer::~OpenApiServer()
{
    stop();
}

bool OpenApiServer::bind()
{
    errno = 0;
    const std::string ip = m_device.ip().toStdString();
    if (!m_server->bind_to_port(ip, kPort)) {
        m_error = "cannot bind " + ip + ":" + std::to_string(kPort) + " ("
            + (errno ? std::strerror(errno) : "address in use or not local") + ")";
        return false;
    }
    return true;
}

bool OpenApiServer::rebind()
{
    // A stopped cpp-httplib server cannot listen again: a new one takes over.
    stop();
    m_server = makeServer();
    if (!bind())
        return false;
    start();
    return true;
}

void OpenApiServer::start()
{
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

void OpenApiServer::stop()
{
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

void OpenApiServer::handle(const httplib::Request& req, httplib::Response& res)
{
    SimRequest record;
    record.timeNs = monotonicNs();
    record.method = req.method;
    record.target = req.target.empty() ? req.path : req.target;
    record.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
    for (const auto& h : req.headers) {
        // cpp-httplib adds the endpoints as pseudo headers; they were not on the wire.
        if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR"
            || h.first == "LOCAL_PORT")
            continue;
        record.headers.emplace_back(h.first, h.second);
    }
    record.bodySize = req.body.size();
    record.body = req.body.substr(0, SimDevice::kMaxStoredBody);
    const std::int64_t seq = m_device.beginRequest(std::move(record));

    const HttpFault fault = m_device.httpFault();
    if (fault == HttpFault::Hang) {
        m_device.waitWhileHung(kHangBound);
        const bool dropped
            = dropConnection(m_device.ip().toStdString(), kPort, req.remote_addr, req.remote_port);
        m_device.finishRequest(
            seq, -1, dropped ? "hang: closed unanswered" : "hang: could not drop, sent 503");
        res.status = 503;
        res.set_header("Connection", "close");
        return;
    }
    if (fault == HttpFault::Trickle) {
        // The head at once, then one blank of body a second (a JSON reader skips
        // blanks), never the whole announced length: a transfer that keeps
        // progressing and never ends. Fixed length, so nothing compresses (and so
        // holds back) the bytes.
        res.status = 200;
        res.set_content_provider(kTrickleBytes + 1, "application/json",
            [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                return offset < kTrickleBytes && m_device.trickleOn(std::chrono::seconds(1))
                    && sink.write(" ", 1);
            });
        m_device.finishRequest(seq, 200, "trickle");
        return;
    }
    if (fault == HttpFault::Slow)
        m_device.sleepFor(std::chrono::milliseconds(m_device.faultDelayMs()));

    Answer answer = route(req);
    std::string contentType = "application/json";
    switch (fault) {
    case HttpFault::NonJson:
        answer.status = 200;
        answer.body
            = "<html><head><title>Nanoleaf</title></head><body>Service busy</body></html>\n";
        contentType = "text/html";
        answer.outcome += " [nonjson]";
        break;
    case HttpFault::Huge:
        answer.status = 200;
        answer.body = hugeBody(answer.body);
        answer.outcome += " [huge]";
        break;
    case HttpFault::WrongTypes:
        if (answer.status == 200 && answer.kind == Answer::Kind::Pairing) {
            answer.body = "{\"auth_token\":12345678}";
            answer.outcome += " [wrongtypes]";
        } else if (answer.status == 200 && answer.kind == Answer::Kind::Description) {
            answer.body = JsonText::compact(m_device.mistypedDescription());
            answer.outcome += " [wrongtypes]";
        }
        break;
    case HttpFault::Slow:
        answer.outcome += " [slow]";
        break;
    case HttpFault::None:
    case HttpFault::Hang:
    case HttpFault::Trickle:
        break;
    }
    res.status = answer.status;
    setBody(res, answer.body, contentType);
    m_device.finishRequest(seq, answer.status, answer.outcome);
}

OpenApiServer::Answer OpenApiServer::route(const httplib::Request& req)
{
    const std::vector<std::string> segments = splitPath(req.path);
    if (segments.size() < 3 || segments[0] != "api" || segments[1] != "v1")
        return Answer { 404, {}, "no such resource", Answer::Kind::Other };

    if (segments[2] == "new" && segments.size() == 3) {
        if (req.method != "POST")
            return Answer { 405, {}, "pairing takes POST", Answer::Kind::Other };
        return pair();
    }

    const std::string& token = segments[2];
    if (!m_device.hasToken(QString::fromStdString(token)))
        return Answer { 401, {}, "unknown token", Answer::Kind::Other };

    std::string rest;
    for (std::size_t i = 3; i < segments.size(); ++i)
        rest += (rest.empty() ? "" : "/") + segments[i];

    if ((req.method == "GET" || req.method == "HEAD") && rest.empty())
        return describe();
    if (req.method == "GET" && rest == "effects/select") {
        // A lone JSON string, as a device answers it.
        const QJsonArray wrapped { m_device.selected() };
        const std::string text = JsonText::compact(wrapped);
        return Answer { 200, text.substr(1, text.size() - 2), "select", Answer::Kind::Other };
    }
    if (req.method == "PUT" && rest == "effects")
        return writeEffects(req.body);
    if (req.method == "PUT" && rest == "state")
        return writeState(req.body);
    if (req.method == "PUT" && rest == "identify")
        return Answer { 204, {}, "identify", Answer::Kind::Other };
    return Answer { 405, {}, "method not allowed here", Answer::Kind::Other };
}

OpenApiServer::Answer OpenApiServer::pair()
{
    const QString token = m_device.issueToken();
    if (token.isEmpty())
        return Answer { 403, {}, "pairing mode off", Answer::Kind::Pairing };
    const QJsonObject body { { QStringLiteral("auth_token"), token } };
    return Answer { 200, JsonText::compact(body), "token issued", Answer::Kind::Pairing };
}

OpenApiServer::Answer OpenApiServer::describe()
{
    return Answer { 200, JsonText::compact(m_device.description()), "description",
        Answer::Kind::Description };
}

OpenApiServer::Answer OpenApiServer::writeEffects(const std::string& body)
{
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return Answer { 400, {}, "malformed JSON", Answer::Kind::Other };
    const QJsonObject request = doc.object();

    const QJsonValue select = request.value(QLatin1String("select"));
    if (!select.isUndefined()) {
        if (!select.isString())
            return Answer { 422, {}, "select is not a text", Answer::Kind::Other };
        if (!m_device.selectEffect(select.toString()))
            return Answer { 404, {}, "no effect " + select.toString().toStdString(),
                Answer::Kind::Other };
        return Answer { 204, {}, "select " + select.toString().toStdString(), Answer::Kind::Other };
    }

    const QJsonValue writeValue = request.value(QLatin1String("write"));
    if (!writeValue.isObject())
        return Answer { 422, {}, "no write", Answer::Kind::Other };
    const QJsonObject write = writeValue.toObject();
    const QString command = write.value(QLatin1String("command")).toString();
    if (command != QLatin1String("display") && command != QLatin1String("displayTemp"))
        return Answer { 422, {}, "unsupported command", Answer::Kind::Other };

    const QString animType = write.value(QLatin1String("animType")).toString();
    if (animType == QLatin1String("extControl")) {
        // Without extControlVersion the device falls back to v1, as the first API did.
        const QJsonValue versionValue = write.value(QLatin1String("extControlVersion"));
        if (!versionValue.isUndefined() && !versionValue.isString())
            return Answer { 400, {}, "extControlVersion is not a text", Answer::Kind::Other };
        const QString version = versionValue.toString(QStringLiteral("v1"));
        if (version == QLatin1String("v2")) {
            m_device.setMode(SimMode::ExtControlV2);
            if (!m_device.settings().takesV1())
                return Answer { 204, {}, "extControl v2", Answer::Kind::Other };
            // Light Panels name where their stream goes, whichever version was asked.
            const QJsonObject info { { QStringLiteral("streamControlIpAddr"), m_device.ip() },
                { QStringLiteral("streamControlPort"), 60222 },
                { QStringLiteral("streamControlProtocol"), QStringLiteral("udp") } };
            return Answer { 200, JsonText::compact(info), "extControl v2", Answer::Kind::Other };
        }
        if (version == QLatin1String("v1")) {
            if (!m_device.settings().takesV1())
                return Answer { 400, {},
                    "extControl v1 refused: " + m_device.settings().kind().toStdString()
                        + " streams v2 only",
                    Answer::Kind::Other };
            m_device.setMode(SimMode::ExtControlV1);
            const QJsonObject info { { QStringLiteral("streamControlIpAddr"), m_device.ip() },
                { QStringLiteral("streamControlPort"), 60221 },
                { QStringLiteral("streamControlProtocol"), QStringLiteral("udp") } };
            return Answer { 200, JsonText::compact(info), "extControl v1", Answer::Kind::Other };
        }
        return Answer { 400, {}, "unknown extControlVersion", Answer::Kind::Other };
    }
    if (animType == QLatin1String("static")) {
        const QJsonValue animData = write.value(QLatin1String("animData"));
        if (!animData.isString())
            return Answer { 422, {}, "static without an animData text", Answer::Kind::Other };
        const StreamDecode decoded
            = StreamRecords::parseAnimData(animData.toString().toStdString());
        if (!decoded.ok)
            return Answer { 422, {}, "static: " + decoded.reason, Answer::Kind::Other };
        const int matched = m_device.showStatic(decoded.records);
        return Answer { 204, {}, "static: " + std::to_string(matched) + " panels",
            Answer::Kind::Other };
    }
    return Answer { 422, {}, "unsupported animType", Answer::Kind::Other };
}

OpenApiServer::Answer OpenApiServer::writeState(const std::string& body)
{
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return Answer { 400, {}, "malformed JSON", Answer::Kind::Other };
    const QJsonObject request = doc.object();
    if (request.isEmpty())
        return Answer { 422, {}, "empty state write", Answer::Kind::Other };
    for (auto it = request.begin(); it != request.end(); ++it) {
        if (!m_device.writeState(it.key(), it.value()))
            return Answer { 422, {}, "bad state member " + it.key().toStdString(),
                Answer::Kind::Other };
    }
    return Answer { 204, {}, "state written", Answer::Kind::Other };
}
