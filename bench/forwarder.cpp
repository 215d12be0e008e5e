// prismara-bench-forwarder: the floor the tool is measured against in
// bench/e2e-latency. It takes host requests on the same endpoint and wire format
// as the tool, or DDP or E1.31 datagrams as a lighting program sends them, and
// forwards each colour frame to the same devices in the same datagram layouts,
// but with nothing else: one blocking read loop, no event loop, no debug log, no
// registry, no source table. What latency it shows is what this machine's process
// wake-ups and loopback delivery cost on their own. Like the tool it keeps the
// devices independent: each device has a non-blocking socket of its own and
// gets its datagram through one sendto on it (a datagram the system does not
// take at once is dropped), in the same order as the tool's.
//
//   PRISMARA_HOST_SOCKET=/abs/path prismara-bench-forwarder --devices FILE
//   prismara-bench-forwarder --devices FILE --ddp PORT | --e131 PORT
//
// On the network it reads one sender on 127.0.0.1:PORT (the tool holds the
// protocol's own port in the same run) and decodes what a correct forwarder must:
// the packet's header checks (the tool's parsers), where its pixels lie on the
// strip (the tool's pixel map: the devices in table order, one pixel per panel,
// 170 pixels per universe from universe 1), and when a frame is complete (a DDP
// push; the strip's last universe). Then every device gets its datagram of that
// strip, built by the stream's builders. Sends only to the devices' loopback
// addresses; SIGTERM ends it.

#include "intake/ddpformat.h"
#include "intake/e131format.h"
#include "intake/pixelmap.h"
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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

    // Its share of a network strip: one pixel per panel it streams.
    std::size_t pixels() const
    {
        return v2 ? v2Ids.size() : static_cast<std::size_t>(panelNumbers);
    }
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

enum class Intake { Host, Ddp, E131 };

// The strip laid out as the tool lays it out: targets in order, one pixel per panel.
PixelMap stripMap(const std::vector<Target>& targets)
{
    std::vector<PixelMap::Device> devices;
    for (const Target& t : targets)
        devices.push_back({ std::string(), t.pixels() });
    return PixelMap(devices, 1);
}

// Every device's datagram of one strip frame, built first and then sent back to
// back, as the tool does.
void sendStrip(const std::uint8_t* strip, std::vector<Target>& targets)
{
    std::vector<int> colours[3];
    std::size_t first = 0;
    for (Target& t : targets) {
        const std::size_t n = t.pixels();
        for (int c = 0; c < 3; ++c) {
            colours[c].resize(n);
            for (std::size_t j = 0; j < n; ++j)
                colours[c][j] = strip[3 * (first + j) + static_cast<std::size_t>(c)];
        }
        first += n;
        const int entries = static_cast<int>(n);
        if (t.v2) {
            t.datagram.resize(2 + 8 * n);
            t.datagram.resize(StreamDatagram::buildV2(t.datagram.data(), t.datagram.size(), t.v2Ids,
                colours[0].data(), colours[1].data(), colours[2].data(), entries));
        } else if (t.model == StreamDatagram::Model::Canvas) {
            StreamDatagram::buildCanvas(entries, colours[0].data(), colours[1].data(),
                colours[2].data(), t.panelNumbers, t.pidArrray, t.datagram);
        } else {
            StreamDatagram::buildLight(entries, colours[0].data(), colours[1].data(),
                colours[2].data(), t.panelNumbers, t.pidArrray, t.datagram);
        }
    }
    for (const Target& t : targets)
        if (!t.datagram.empty())
            Platform::Net::sendTo(t.udp, t.datagram.data(), t.datagram.size(), t.to);
}

// One lighting program's DDP or E1.31 datagrams on `handle`, for ever.
void serveNetwork(Intake intake, Platform::Net::SocketHandle handle, std::vector<Target>& targets)
{
    const PixelMap map = stripMap(targets);
    const std::uint32_t lastUniverse
        = map.startUniverse() + static_cast<std::uint32_t>(map.universeCount()) - 1;
    std::vector<std::uint8_t> strip(map.byteCount(), 0);
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        Platform::Net::PeerAddress peer;
        const Platform::Net::ReceiveResult r
            = Platform::Net::receiveFrom(handle, buffer.data(), buffer.size(), peer);
        if (r.status == Platform::Net::ReceiveStatus::Error) {
            if (Platform::Net::lastError() == EINTR)
                continue;
            return;
        }
        if (r.status != Platform::Net::ReceiveStatus::Ok)
            continue;
        bool complete = false;
        if (intake == Intake::Ddp) {
            const DdpFormat::Packet p = DdpFormat::parse(buffer.data(), r.length);
            if (p.reason != DdpFormat::Reason::None)
                continue;
            const PixelMap::Span span = map.ddpSpan(p.offset, p.length);
            std::copy_n(p.data + span.sourceOffset, span.length, strip.data() + span.stripOffset);
            complete = p.push;
        } else {
            const E131Format::Packet p = E131Format::parse(buffer.data(), r.length);
            PixelMap::Span span;
            if (p.reason != E131Format::Reason::None || p.kind != E131Format::Kind::Data
                || p.preview || p.terminated || !map.universeSpan(p.universe, p.channelCount, span))
                continue;
            std::copy_n(
                p.channels + span.sourceOffset, span.length, strip.data() + span.stripOffset);
            complete = p.universe == lastUniverse;
        }
        if (complete)
            sendStrip(strip.data(), targets);
    }
}

int usage()
{
    std::fprintf(stderr,
        "usage: PRISMARA_HOST_SOCKET=/abs/path prismara-bench-forwarder --devices FILE\n"
        "       prismara-bench-forwarder --devices FILE --ddp PORT | --e131 PORT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if ((argc != 3 && argc != 5) || std::strcmp(argv[1], "--devices") != 0)
        return usage();
    Intake intake = Intake::Host;
    long port = 0;
    if (argc == 5) {
        intake = std::strcmp(argv[3], "--ddp") == 0 ? Intake::Ddp
            : std::strcmp(argv[3], "--e131") == 0   ? Intake::E131
                                                    : Intake::Host;
        char* end = nullptr;
        port = std::strtol(argv[4], &end, 10);
        if (intake == Intake::Host || *end != '\0' || port < 1 || port > 65535)
            return usage();
    }
    std::vector<Target> targets;
    if (!loadTargets(argv[2], targets)) {
        std::fprintf(stderr, "forwarder: no usable devices in %s\n", argv[2]);
        return 1;
    }
    for (Target& t : targets) {
        t.udp = Platform::Net::createUdpSocket();
        if (t.udp < 0 || Platform::Net::setNonBlocking(t.udp) != 0) {
            std::fprintf(stderr, "forwarder: no socket: %s\n", std::strerror(errno));
            return 1;
        }
    }
    if (intake != Intake::Host) {
        const Platform::Net::SocketHandle handle = Platform::Net::createUdpSocket();
        const Platform::Net::Ipv4Endpoint local { { 127, 0, 0, 1 },
            static_cast<std::uint16_t>(port) };
        if (handle < 0 || Platform::Net::setReceiveBuffer(handle, 1 << 20) != 0
            || Platform::Net::bindUdp(handle, local) != 0) {
            std::fprintf(
                stderr, "forwarder: cannot bind 127.0.0.1:%ld: %s\n", port, std::strerror(errno));
            return 1;
        }
        std::printf("forwarder: %s on 127.0.0.1:%ld, %zu devices, %zu pixels\n",
            intake == Intake::Ddp ? "DDP" : "E1.31", port, targets.size(),
            stripMap(targets).byteCount() / PixelMap::kBytesPerPixel);
        std::fflush(stdout);
        serveNetwork(intake, handle, targets);
        Platform::Net::closeSocket(handle);
        for (const Target& t : targets)
            Platform::Net::closeSocket(t.udp);
        return 0;
    }
    const char* path = std::getenv("PRISMARA_HOST_SOCKET");
    if (path == nullptr || path[0] != '/') {
        std::fprintf(stderr, "forwarder: PRISMARA_HOST_SOCKET must be an absolute path\n");
        return 2;
    }

    sockaddr_un at {};
    at.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof at.sun_path) {
        std::fprintf(stderr, "forwarder: socket path too long\n");
        return 2;
    }
    std::strcpy(at.sun_path, path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
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
