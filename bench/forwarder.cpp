// prismara-bench-forwarder: the floor the tool is measured against in
// bench/e2e-latency. It takes host requests on the same endpoint and wire format
// as the tool and forwards each colour frame to the same devices in the same
// datagram layouts, but with nothing else: one blocking read loop, no event loop,
// no debug log, no registry. What latency it shows is what this machine's process
// wake-ups and loopback delivery cost on their own. Like the tool it keeps the
// devices independent: each device has a non-blocking socket of its own and
// gets its datagram through one sendto on it (a datagram the system does not
// take at once is dropped), in the same order as the tool's.
//
//   PRISMARA_HOST_SOCKET=/abs/path prismara-bench-forwarder --devices FILE
//
// Sends only to the devices' loopback addresses; SIGTERM ends it.

#include "platform/hoststream.h"
#include "platform/socketlayer.h"
#include "stream/streamdatagram.h"
#include "stream/v2datagram.h"
#include "sync/hostframe.h"
#include "sync/hostintake.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{

struct Target {
    StreamDatagram::Model model;
    bool v2 = false; // a Shapes device (NL42): v2 datagrams of its lit panels
    int panelNumbers;
    std::vector<int> pidArrray;
    std::vector<std::uint16_t> v2Ids;
    Platform::Net::Ipv4Endpoint to;
    std::vector<std::uint8_t> datagram; // reused frame after frame
    Platform::Net::SocketHandle udp = -1;
};

bool loadTargets(const char* path, std::vector<Target>& out)
{
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Name order, as the tool walks its registry.
    std::map<QString, Target> byName;
    for (const QJsonValue& v : QJsonDocument::fromJson(file.readAll())
                                   .object()
                                   .value(QStringLiteral("devices"))
                                   .toArray()) {
        const QJsonObject d = v.toObject();
        const QString name = d.value(QStringLiteral("name")).toString();
        const std::string ip = d.value(QStringLiteral("ip")).toString().toStdString();
        Target t {};
        t.model = StreamDatagram::modelForName(name.toStdU16String());
        t.v2 = t.model == StreamDatagram::Model::None
            && d.value(QStringLiteral("model")).toString() == QLatin1String("NL42");
        if (t.model == StreamDatagram::Model::None && !t.v2)
            continue;
        t.to.port = t.model == StreamDatagram::Model::Light ? StreamDatagram::kLightPort
                                                            : StreamDatagram::kCanvasPort;
        if (!Platform::Net::parseIpv4(ip.data(), ip.size(), t.to.address)
            || t.to.address[0] != 127) {
            std::fprintf(stderr, "forwarder: %s is not a loopback address\n", ip.c_str());
            return false;
        }
        bool controller = t.v2; // a Shapes layout given as ids starts with its controller
        for (const QJsonValue& p : d.value(QStringLiteral("panels")).toArray()) {
            const int id
                = p.isObject() ? p.toObject().value(QStringLiteral("id")).toInt() : p.toInt();
            if (t.v2) {
                if (!controller)
                    t.v2Ids.push_back(static_cast<std::uint16_t>(id));
                controller = false;
                continue;
            }
            if (t.model == StreamDatagram::Model::Light) {
                t.pidArrray.push_back(id % 256);
            } else {
                t.pidArrray.push_back(id / 256);
                t.pidArrray.push_back(id % 256);
            }
            ++t.panelNumbers;
        }
        if (t.v2)
            t.panelNumbers = static_cast<int>(t.v2Ids.size());
        byName[name] = t;
    }
    for (const auto& entry : byName)
        out.push_back(entry.second);
    return !out.empty();
}

void serve(int client, std::vector<Target>& targets)
{
    HostFrameReader reader;
    unsigned char chunk[16384];
    int syncDeviceType = 1;
    for (;;) {
        const ssize_t got = ::read(client, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        std::size_t at = 0;
        while (at < static_cast<std::size_t>(got)) {
            at += reader.feed(chunk + at, static_cast<std::size_t>(got) - at);
            if (reader.failed())
                return;
            if (!reader.hasRequest())
                continue;
            const HostIntake::Decision d = HostIntake::evaluate(reader.request(), syncDeviceType);
            reader.next();
            syncDeviceType = d.syncDeviceType;
            if (d.action == HostIntake::Action::Forward) {
                for (Target& t : targets) {
                    if (t.v2) {
                        t.datagram.resize(2 + 8 * t.v2Ids.size());
                        t.datagram.resize(StreamDatagram::buildV2(
                            t.datagram.data(), t.datagram.size(), t.v2Ids, d.red, d.green, d.blue));
                    } else if (t.model == StreamDatagram::Model::Canvas) {
                        StreamDatagram::buildCanvas(HostIntake::kColourEntries, d.red, d.green,
                            d.blue, t.panelNumbers, t.pidArrray, t.datagram);
                    } else {
                        StreamDatagram::buildLight(HostIntake::kColourEntries, d.red, d.green,
                            d.blue, t.panelNumbers, t.pidArrray, t.datagram);
                    }
                }
                // Built first, then sent back to back, as the tool does.
                for (const Target& t : targets)
                    Platform::Net::sendTo(t.udp, t.datagram.data(), t.datagram.size(), t.to);
            }
            const auto answer = encodeHostAnswer(d.handled, d.result);
            if (!Platform::writeAllWaiting(client, answer.data(), answer.size()))
                return;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--devices") != 0) {
        std::fprintf(stderr,
            "usage: PRISMARA_HOST_SOCKET=/abs/path prismara-bench-forwarder --devices FILE\n");
        return 2;
    }
    const char* path = std::getenv("PRISMARA_HOST_SOCKET");
    if (path == nullptr || path[0] != '/') {
        std::fprintf(stderr, "forwarder: PRISMARA_HOST_SOCKET must be an absolute path\n");
        return 2;
    }
    std::vector<Target> targets;
    if (!loadTargets(argv[2], targets)) {
        std::fprintf(stderr, "forwarder: no usable devices in %s\n", argv[2]);
        return 1;
    }

    sockaddr_un at {};
    at.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof at.sun_path) {
        std::fprintf(stderr, "forwarder: socket path too long\n");
        return 2;
    }
    std::strcpy(at.sun_path, path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    for (Target& t : targets) {
        t.udp = Platform::Net::createUdpSocket();
        if (t.udp < 0 || Platform::Net::setNonBlocking(t.udp) != 0) {
            std::fprintf(stderr, "forwarder: no socket: %s\n", std::strerror(errno));
            return 1;
        }
    }
    ::unlink(path);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0
        || ::listen(listener, 4) != 0) {
        std::fprintf(stderr, "forwarder: cannot listen on %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::printf("forwarder: listening on %s, %zu devices\n", path, targets.size());
    std::fflush(stdout);
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        serve(client, targets);
        ::close(client);
    }
    ::close(listener);
    for (const Target& t : targets)
        Platform::Net::closeSocket(t.udp);
    ::unlink(path);
    return 0;
}
