#include "tools/nanoleaf-sim/mdnsresponder.h"

#include "tools/nanoleaf-sim/mdnsmessage.h"
#include "tools/nanoleaf-sim/monotonicclock.h"
#include "tools/nanoleaf-sim/simdevice.h"

#include <QJsonObject>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{

constexpr std::size_t kMaxLogged = 1000;

const MdnsMessage::Labels& serviceName()
{
    static const MdnsMessage::Labels name { "_nanoleafapi", "_tcp", "local" };
    return name;
}

MdnsMessage::Damage damageFor(MdnsFault fault)
{
    switch (fault) {
    case MdnsFault::Oversized:
        return MdnsMessage::Damage::Oversized;
    case MdnsFault::Truncated:
        return MdnsMessage::Damage::Truncated;
    case MdnsFault::BadFlags:
        return MdnsMessage::Damage::BadFlags;
    case MdnsFault::Loop:
        return MdnsMessage::Damage::Loop;
    case MdnsFault::None:
    case MdnsFault::Silent:
    case MdnsFault::Flood:
        break;
    }
    return MdnsMessage::Damage::None;
}

// True for loopback and for the addresses of this machine's (or this network
// namespace's) own interfaces: the only queriers the simulator answers.
bool isLocalAddress(std::uint32_t addrNetworkOrder)
{
    if ((ntohl(addrNetworkOrder) >> 24) == 127)
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool local = false;
    int seen = 0;
    for (ifaddrs* it = list; it && !local && ++seen < 1024; it = it->ifa_next) {
        if (it->ifa_addr && it->ifa_addr->sa_family == AF_INET)
            local
                = reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr == addrNetworkOrder;
    }
    freeifaddrs(list);
    return local;
}

QString hexOf(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString out;
    for (std::uint8_t b : bytes) {
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
    }
    return out;
}

} // namespace

MdnsResponder::MdnsResponder(std::vector<SimDevice*> devices)
    : m_devices(std::move(devices))
{
}

MdnsResponder::~MdnsResponder()
{
    stop();
    closeAll();
}

bool MdnsResponder::bind()
{
    if (!m_loop.open(m_error))
        return false;
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_socket < 0) {
        m_error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any {};
    any.sin_family = AF_INET;
    any.sin_port = htons(kPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        m_error = std::string("cannot bind UDP 0.0.0.0:5353 (") + std::strerror(errno) + ")";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_sendMutex);
    for (SimDevice* device : m_devices) {
        const int fd = replySocket(device->ip().toStdString());
        if (fd < 0)
            return false;
        m_sendSockets.push_back(fd);
    }
    return true;
}

int MdnsResponder::replySocket(const std::string& ip)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in own {};
    own.sin_family = AF_INET;
    own.sin_port = 0;
    if (fd < 0 || inet_pton(AF_INET, ip.c_str(), &own.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        m_error = "cannot bind a reply socket on " + ip + " (" + std::strerror(errno) + ")";
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool MdnsResponder::rebind(SimDevice* device)
{
    std::lock_guard<std::mutex> lock(m_sendMutex);
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i] != device)
            continue;
        const int fd = replySocket(device->ip().toStdString());
        if (fd < 0)
            return false;
        close(m_sendSockets[i]);
        m_sendSockets[i] = fd;
    }
    return true;
}

void MdnsResponder::start()
{
    m_buffer.resize(9000);
    m_loop.start({ m_socket }, [this](std::size_t) { drain(); });
}

void MdnsResponder::stop()
{
    m_loop.stop();
}

void MdnsResponder::closeAll()
{
    std::lock_guard<std::mutex> lock(m_sendMutex);
    for (int& fd : m_sendSockets) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (m_socket >= 0)
        close(m_socket);
    m_socket = -1;
}

void MdnsResponder::drain()
{
    std::vector<std::uint8_t>& buffer = m_buffer;
    for (int n = 0; n < 64; ++n) {
        sockaddr_in from {};
        socklen_t fromLen = sizeof from;
        const ssize_t got = recvfrom(m_socket, buffer.data(), buffer.size(), MSG_TRUNC,
            reinterpret_cast<sockaddr*>(&from), &fromLen);
        const std::int64_t now = monotonicNs();
        if (got < 0)
            break;
        const std::size_t size = std::min(std::size_t(got), buffer.size());
        handle(buffer.data(), size, from.sin_addr.s_addr, ntohs(from.sin_port), now);
    }
}

void MdnsResponder::handle(const std::uint8_t* data, std::size_t size, std::uint32_t fromAddr,
    std::uint16_t fromPort, std::int64_t timeNs)
{
    LoggedQuery entry;
    entry.timeNs = timeNs;
    char text[INET_ADDRSTRLEN] = {};
    in_addr addr {};
    addr.s_addr = fromAddr;
    inet_ntop(AF_INET, &addr, text, sizeof text);
    entry.from = std::string(text) + ":" + std::to_string(fromPort);
    entry.size = size;
    entry.bytes.assign(data, data + std::min<std::size_t>(size, 512));

    MdnsMessage::Query query;
    std::string reason;
    if (!MdnsMessage::parseQuery(data, size, query, reason)) {
        entry.outcome = "ignored: " + reason;
        log(std::move(entry));
        return;
    }
    const int question = MdnsMessage::findServiceQuestion(query, serviceName());
    if (question < 0) {
        entry.outcome = "ignored: no question for _nanoleafapi._tcp.local";
        log(std::move(entry));
        return;
    }
    if (fromPort == kPort) {
        entry.outcome = "ignored: multicast querier (source port 5353) is not answered";
        log(std::move(entry));
        return;
    }
    if (!isLocalAddress(fromAddr)) {
        entry.outcome = "ignored: querier is not on this machine";
        log(std::move(entry));
        return;
    }

    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(fromPort);
    to.sin_addr.s_addr = fromAddr;
    std::lock_guard<std::mutex> lock(m_sendMutex);
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        SimDevice* device = m_devices[i];
        const MdnsFault fault = device->mdnsFault();
        if (fault == MdnsFault::Silent || device->down())
            continue;
        const SimDeviceSettings& s = device->settings();
        MdnsMessage::Service service;
        service.instance = s.instance.toStdString();
        service.serviceName = serviceName();
        service.host = s.host.toStdString();
        in_addr own {};
        inet_pton(AF_INET, device->ip().toStdString().c_str(), &own);
        std::memcpy(service.address.data(), &own.s_addr, 4);
        service.port = 16021;
        service.txt = { "id=" + s.deviceId.toStdString(), "md=" + s.model.toStdString(),
            "srcvers=" + s.firmware.toStdString() };
        service.ttl = 10;
        // A flood is kFloodReplies answers, each for an instance of its own.
        const int answers = fault == MdnsFault::Flood ? kFloodReplies : 1;
        for (int n = 0; n < answers; ++n) {
            if (fault == MdnsFault::Flood) {
                service.instance = s.instance.toStdString() + " #" + std::to_string(n + 1);
                // A pause now and then, so the querier's receive buffer keeps up and
                // every answer arrives.
                if (n > 0 && n % 32 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const std::vector<std::uint8_t> reply
                = MdnsMessage::buildLegacyAnswer(query, service, damageFor(fault));
            if (sendto(m_sendSockets[i], reply.data(), reply.size(), 0,
                    reinterpret_cast<sockaddr*>(&to), sizeof to)
                == ssize_t(reply.size())) {
                ++entry.answered;
                device->countMdnsReply();
            }
        }
    }
    entry.outcome = "answered";
    log(std::move(entry));
}

void MdnsResponder::log(LoggedQuery entry)
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    entry.seq = m_nextSeq++;
    m_log.push_back(std::move(entry));
    while (m_log.size() > kMaxLogged)
        m_log.pop_front();
}

void MdnsResponder::clearLog()
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_log.clear();
}

QJsonArray MdnsResponder::queriesJson(std::int64_t since) const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    QJsonArray out;
    for (const LoggedQuery& q : m_log) {
        if (q.seq <= since)
            continue;
        out.append(QJsonObject { { QStringLiteral("seq"), double(q.seq) },
            { QStringLiteral("time_ns"), QString::number(q.timeNs) },
            { QStringLiteral("from"), QString::fromStdString(q.from) },
            { QStringLiteral("size"), double(q.size) }, { QStringLiteral("bytes"), hexOf(q.bytes) },
            { QStringLiteral("answered"), q.answered },
            { QStringLiteral("outcome"), QString::fromStdString(q.outcome) } });
    }
    return out;
}
