// host-sim: stands in for the host lighting application. Connects to the tool's
// local host endpoint and sends colour frames the way the host does, paced on
// absolute deadlines, and reports what the tool answered. With --timestamps and
// --seq it is the load generator of the latency benchmark. With --ddp, --e131 or
// --artnet it is a lighting program on the network instead, sending a strip of pixels.

#include "sync/hostendpoint.h"
#include "sync/hostframe.h"
#include "tests/common/privatenetwork.h"
#include "tools/host-sim/framesource.h"
#include "tools/host-sim/monotonic.h"
#include "tools/host-sim/networksend.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QStringList>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr std::uint32_t kDefaultType = 1;

struct Options {
    QString socket;
    FrameSource::Pattern pattern = FrameSource::Pattern::Rainbow;
    FrameSource::Rgb solid { 255, 255, 255 };
    bool sequence = false;
    std::int64_t sequenceFrom = 0;
    double rate = 30.0;
    std::int64_t frames = 1;
    std::int32_t type = kDefaultType;
    bool switchFirst = false;
    std::int64_t switchTo = 0;
    std::uint64_t dwData = 10001;
    QString timestamps;
    int timeoutMs = 2000;
    bool quiet = false;
    NetworkRun network; // used when it has targets
};

const char* const kDescription
    = "Stands in for the host lighting application: connects to the tool's host endpoint\n"
      "and sends colour frames (message 74 with a 56-byte record of 12 entries) and\n"
      "sync-switch messages (33024), waiting for each answer as the host does.\n"
      "\n"
      "Frames are sent on absolute deadlines of the monotonic clock (frame i at\n"
      "start + i / rate), so pacing does not drift; a frame whose answer comes late is\n"
      "followed at once by the next one that is due.\n"
      "\n"
      "--timestamps FILE writes one tab-separated line per frame:\n"
      "  frame  send_ns  answer_ns  handled  result  colours  send_rt_ns\n"
      "where send_ns and answer_ns are CLOCK_MONOTONIC nanoseconds taken just before\n"
      "the request is written and just after the answer is read, colours are the\n"
      "12 entries as RRGGBB hex, comma-separated, and send_rt_ns is CLOCK_REALTIME\n"
      "taken just before the write (the clock of nanoleaf-sim's kernel receive\n"
      "stamps). With --seq, entry 0 of frame i carries the 24-bit number i + 1\n"
      "(red = bits 23..16, green 15..8, blue 7..0), which makes every frame\n"
      "recognisable in what a device receives; --seq-from N numbers from N + 1\n"
      "instead (frame column i + N), so several runs can share a device's log.\n"
      "\n"
      "With --ddp, --e131 or --artnet (each may be given more than once, and together)\n"
      "host-sim does not connect to the endpoint: it is a lighting program on the\n"
      "network, sending a strip of --pixels pixels to the addresses given, every frame\n"
      "to every one. The rainbow spreads one turn of the colour wheel over the strip\n"
      "(every pixel its own hue) and moves half a turn per second; --solid and --seq\n"
      "work as for the endpoint (--seq: pixel 0 carries the number; with --seq-all every\n"
      "pixel does, so each device's first panel shows it). DDP packets carry\n"
      "at most 480 pixels, the last of a frame with the push flag; E1.31 and Art-Net\n"
      "put 170 pixels (510 channels) in each universe from --universe on (Art-Net\n"
      "Port-Address universe - 1), in rising order. Sequence numbers: DDP 1-15 per\n"
      "packet, E1.31 and Art-Net one count per universe. At the end (one frame\n"
      "interval after the last frame), and on SIGINT or SIGTERM, E1.31 sends three\n"
      "stream-terminated packets per universe. '--e131\n"
      "multicast' sends each universe to its group 239.255.<hi>.<lo>, which reaches\n"
      "the whole network: host-sim does it only inside a private network namespace\n"
      "(netns-run). --timestamps FILE writes one line per frame with the same columns:\n"
      "frame, send_ns (before its first datagram), sent_ns (after its last), 1 when\n"
      "every datagram went out (else 0), datagrams, pixel 0 as RRGGBB, and send_rt_ns:\n"
      "CLOCK_REALTIME just before the frame's last datagram, the one that completes it.\n"
      "\n"
      "Exit status: 0 when every message was answered (every datagram sent), 1 on a\n"
      "connection or protocol failure, a missing answer or a failed send, 2 on bad\n"
      "options.";

bool parseByte(const QString& text, std::uint8_t& out)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < 0 || v > 255)
        return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

// The network senders' options; 0 to go on, otherwise the exit status. Call after the
// common options are read.
int parseNetworkOptions(const QCommandLineParser& parser, Options& o)
{
    const auto fail = [](const std::string& what) {
        std::fprintf(stderr, "host-sim: %s (see --help)\n", what.c_str());
        return 2;
    };
    using Protocol = StripPackets::Protocol;
    const std::pair<const char*, Protocol> senders[]
        = { { "ddp", Protocol::Ddp }, { "e131", Protocol::E131 }, { "artnet", Protocol::ArtNet } };
    for (const auto& sender : senders) {
        for (const QString& value : parser.values(QString::fromLatin1(sender.first))) {
            NetworkTarget target;
            std::string why;
            if (!parseNetworkTarget(sender.second, value.toStdString(), target, why))
                return fail(std::string("--") + sender.first + ": " + why);
            o.network.targets.push_back(target);
        }
    }
    const char* const stripOnly[]
        = { "pixels", "universe", "priority", "source-name", "cid", "seq-all" };
    const char* const endpointOnly[] = { "socket", "switch", "type", "dwdata", "timeout" };
    if (o.network.targets.empty()) {
        for (const char* name : stripOnly)
            if (parser.isSet(QString::fromLatin1(name)))
                return fail(std::string("--") + name + " goes with --ddp, --e131 or --artnet");
        return 0;
    }
    for (const char* name : endpointOnly)
        if (parser.isSet(QString::fromLatin1(name)))
            return fail(std::string("--") + name + " is for the host endpoint, not the network");

    StripPackets::Settings& strip = o.network.strip;
    bool ok = true;
    if (parser.isSet(QStringLiteral("pixels"))) {
        const qlonglong n = parser.value(QStringLiteral("pixels")).toLongLong(&ok);
        if (!ok || n < 1 || n > 1000000)
            return fail("--pixels wants a count from 1 to 1000000");
        strip.pixels = static_cast<std::size_t>(n);
    }
    if (parser.isSet(QStringLiteral("universe"))) {
        const int n = parser.value(QStringLiteral("universe")).toInt(&ok);
        if (!ok || n < 1 || n > LightPackets::kLastE131Universe)
            return fail("--universe wants a number from 1 to 63999");
        strip.universe = static_cast<std::uint16_t>(n);
    }
    if (parser.isSet(QStringLiteral("priority"))) {
        const int n = parser.value(QStringLiteral("priority")).toInt(&ok);
        if (!ok || n < 0 || n > 200)
            return fail("--priority wants a number from 0 to 200");
        strip.source.priority = static_cast<std::uint8_t>(n);
    }
    strip.source.name = parser.isSet(QStringLiteral("source-name"))
        ? parser.value(QStringLiteral("source-name")).toStdString()
        : std::string("host-sim");
    strip.source.cid = LightPackets::randomCid();
    if (parser.isSet(QStringLiteral("cid"))
        && !LightPackets::parseCid(
            parser.value(QStringLiteral("cid")).toStdString(), strip.source.cid))
        return fail("--cid wants 32 hexadecimal digits");
    for (const NetworkTarget& target : o.network.targets) {
        StripPackets::Settings settings = strip;
        settings.protocol = target.protocol;
        const std::string problem = StripPackets::problem(settings);
        if (!problem.empty())
            return fail(target.text + ": " + problem);
        // A group reaches every host of the network; keep it inside a private one.
        if (target.multicast && !TestNetwork::inPrivateNetwork())
            return fail("--e131 multicast reaches the whole network: run host-sim inside a "
                        "private network namespace (netns-run)");
    }
    o.network.rate = o.rate;
    o.network.frames = o.frames;
    o.network.sequenceFrom = o.sequenceFrom;
    o.network.quiet = o.quiet;
    o.network.timestamps = QFile::encodeName(o.timestamps).toStdString();
    o.network.sequenceEveryPixel = parser.isSet(QStringLiteral("seq-all"));
    if (o.network.sequenceEveryPixel && !o.sequence)
        return fail("--seq-all goes with --seq");
    return 0;
}

// Every option: name, help text, and the value's name (none for a switch).
const char* const kOptions[][3] = {
    { "socket",
        "Endpoint name or absolute path (default: $PRISMARA_HOST_SOCKET, else "
        "prismara-nanoleaf-host; a name lies in $XDG_RUNTIME_DIR, else in "
        "/tmp/prismara-nanoleaf-<uid>).",
        "NAME" },
    { "solid", "Every entry this colour.", "R,G,B" },
    { "rainbow",
        "A rainbow across the 12 entries (or the strip), moving half a turn per second (the "
        "default).",
        nullptr },
    { "seq", "Entry 0 carries the frame's 24-bit sequence number (from 1).", nullptr },
    { "seq-all", "With --seq on a strip, every pixel carries the number, not only pixel 0.",
        nullptr },
    { "seq-from", "With --seq, number frames from N + 1 (default 0).", "N" },
    { "rate", "Frames per second (default 30).", "FPS" },
    { "duration", "Send for this long.", "SECONDS" },
    { "frames",
        "Send N frames (default 1 unless --duration is given; 0 with --switch sends only the "
        "switch).",
        "N" },
    { "type", "Sync device type in each record (default: the --switch value, else 1).", "N" },
    { "switch", "First send a sync-switch message (33024) with wParam N.", "N" },
    { "dwdata", "Identifier of the colour messages (default 10001).", "N" },
    { "timestamps", "Write per-frame send times and colours to FILE (see above).", "FILE" },
    { "timeout", "How long to wait for each answer and for the connection (default 2000).", "MS" },
    { "quiet", "Print only the summary.", nullptr },
    { "ddp", "Send the strip over DDP to HOST (port 4048 unless given).", "HOST[:PORT]" },
    { "e131",
        "Send the strip over E1.31 (sACN) to HOST (port 5568 unless given), or to each "
        "universe's multicast group with 'multicast'.",
        "HOST[:PORT]|multicast" },
    { "artnet", "Send the strip as Art-Net ArtDmx to HOST (port 6454 unless given).",
        "HOST[:PORT]" },
    { "pixels", "Pixels on the strip (default 170, one universe).", "N" },
    { "universe", "E1.31 universe of the first pixel; Art-Net Port-Address N - 1 (default 1).",
        "N" },
    { "priority", "E1.31 priority, 0-200 (default 100).", "P" },
    { "source-name", "E1.31 source name (default host-sim; cut to 63 bytes).", "TEXT" },
    { "cid", "E1.31 CID, 32 hex digits, dashes allowed (default: a new random one).", "UUID" },
};

// The frames' options (pattern, numbering, rate, count, the host messages' fields); 0 to go
// on, otherwise the exit status.
int parseFrameOptions(const QCommandLineParser& parser, Options& o)
{
    const auto fail = [](const char* what) {
        std::fprintf(stderr, "host-sim: %s (see --help)\n", what);
        return 2;
    };
    const auto isSet = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&parser](const char* name) { return parser.value(QLatin1String(name)); };
    o.socket = value("socket");
    o.quiet = isSet("quiet");
    o.sequence = isSet("seq");
    o.timestamps = value("timestamps");
    if (isSet("solid") && isSet("rainbow"))
        return fail("--solid and --rainbow exclude each other");
    if (isSet("solid")) {
        const QStringList parts = value("solid").split(QLatin1Char(','));
        if (parts.size() != 3 || !parseByte(parts[0], o.solid.r) || !parseByte(parts[1], o.solid.g)
            || !parseByte(parts[2], o.solid.b))
            return fail("--solid wants R,G,B with values 0 to 255");
        o.pattern = FrameSource::Pattern::Solid;
    }
    bool ok = true;
    if (isSet("seq-from")) {
        o.sequenceFrom = value("seq-from").toLongLong(&ok);
        if (!ok || o.sequenceFrom < 0 || o.sequenceFrom >= (1 << 24))
            return fail("--seq-from wants a number from 0 to 16777215");
    }
    if (isSet("rate")) {
        o.rate = value("rate").toDouble(&ok);
        if (!ok || !(o.rate > 0) || o.rate > 100000)
            return fail("--rate wants a positive number of frames per second");
    }
    if (isSet("timeout")) {
        o.timeoutMs = value("timeout").toInt(&ok);
        if (!ok || o.timeoutMs <= 0)
            return fail("--timeout wants a positive number of milliseconds");
    }
    if (isSet("switch")) {
        o.switchFirst = true;
        o.switchTo = value("switch").toLongLong(&ok);
        if (!ok || o.switchTo < std::numeric_limits<std::int32_t>::min()
            || o.switchTo > std::numeric_limits<std::uint32_t>::max())
            return fail("--switch wants a 32-bit integer");
        o.type = static_cast<std::int32_t>(static_cast<std::uint32_t>(o.switchTo));
    }
    if (isSet("type")) {
        const qlonglong t = value("type").toLongLong(&ok);
        if (!ok || t < std::numeric_limits<std::int32_t>::min()
            || t > std::numeric_limits<std::int32_t>::max())
            return fail("--type wants a 32-bit signed integer");
        o.type = static_cast<std::int32_t>(t);
    }
    if (isSet("dwdata")) {
        o.dwData = value("dwdata").toULongLong(&ok);
        if (!ok)
            return fail("--dwdata wants an unsigned integer");
    }
    std::int64_t byDuration = -1;
    if (isSet("duration")) {
        const double seconds = value("duration").toDouble(&ok);
        if (!ok || seconds < 0 || seconds > 1e6)
            return fail("--duration wants a number of seconds");
        byDuration = static_cast<std::int64_t>(std::ceil(seconds * o.rate - 1e-9));
    }
    if (isSet("frames")) {
        o.frames = value("frames").toLongLong(&ok);
        if (!ok || o.frames < 0)
            return fail("--frames wants a count");
        if (byDuration >= 0)
            o.frames = std::min(o.frames, byDuration);
    } else if (byDuration >= 0) {
        o.frames = byDuration;
    }
    return 0;
}

// Returns 0 to go on, otherwise the exit status (-1: the help was printed).
int parseOptions(const QCoreApplication& app, Options& o)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    for (const auto& option : kOptions)
        parser.addOption(option[2] == nullptr
                ? QCommandLineOption(QString::fromLatin1(option[0]), QString::fromUtf8(option[1]))
                : QCommandLineOption(QString::fromLatin1(option[0]), QString::fromUtf8(option[1]),
                    QString::fromLatin1(option[2])));
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "host-sim: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qPrintable(parser.helpText()));
        return -1;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "host-sim: unexpected arguments (see --help)\n");
        return 2;
    }
    const int frames = parseFrameOptions(parser, o);
    return frames != 0 ? frames : parseNetworkOptions(parser, o);
}

// One request out, one answer back, as a blocking send does.
bool exchange(QLocalSocket& socket, const std::vector<unsigned char>& request, int timeoutMs,
    HostIntake::HostAnswer& answer, std::int64_t& answeredNs, std::int64_t* writtenRtNs = nullptr)
{
    if (writtenRtNs != nullptr)
        *writtenRtNs = realtimeNs();
    if (socket.write(
            reinterpret_cast<const char*>(request.data()), static_cast<qint64>(request.size()))
        != static_cast<qint64>(request.size()))
        return false;
    socket.flush();
    const std::int64_t deadline = monotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    while (socket.bytesToWrite() > 0) {
        const std::int64_t left = (deadline - monotonicNs()) / 1000000;
        if (left <= 0 || !socket.waitForBytesWritten(static_cast<int>(left)))
            return false;
    }
    while (socket.bytesAvailable() < static_cast<qint64>(kHostAnswerSize)) {
        const std::int64_t left = (deadline - monotonicNs()) / 1000000;
        if (left <= 0
            || !socket.waitForReadyRead(static_cast<int>(std::max<std::int64_t>(left, 1))))
            return false;
    }
    answeredNs = monotonicNs();
    unsigned char raw[kHostAnswerSize];
    if (socket.read(reinterpret_cast<char*>(raw), sizeof raw) != static_cast<qint64>(sizeof raw))
        return false;
    return decodeHostAnswer(raw, sizeof raw, answer);
}

std::int64_t percentile(const std::vector<std::int64_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto rank
        = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

void writeColours(std::FILE* out, const FrameSource::Frame& frame)
{
    for (std::size_t k = 0; k < frame.size(); ++k)
        std::fprintf(out, "%s%02X%02X%02X", k ? "," : "", frame[k].r, frame[k].g, frame[k].b);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("host-sim"));

    Options o;
    const int parsed = parseOptions(app, o);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    if (!o.network.targets.empty())
        return runNetwork(o.network, FrameSource(o.pattern, o.solid, o.rate, o.sequence));

    std::FILE* stamps = nullptr;
    if (!o.timestamps.isEmpty()) {
        stamps = std::fopen(QFile::encodeName(o.timestamps).constData(), "w");
        if (stamps == nullptr) {
            std::fprintf(stderr, "host-sim: cannot write %s\n", qPrintable(o.timestamps));
            return 1;
        }
        std::fprintf(stamps, "# frame\tsend_ns\tanswer_ns\thandled\tresult\tcolours\tsend_rt_ns\n");
    }

    const QString name = QFile::decodeName(
        hostEndpointPath(QFile::encodeName(o.socket).toStdString()).path.c_str());
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(o.timeoutMs)) {
        std::fprintf(stderr, "host-sim: cannot connect to %s: %s\n", qPrintable(name),
            qPrintable(socket.errorString()));
        if (stamps)
            std::fclose(stamps);
        return 1;
    }

    int status = 0;
    HostIntake::HostAnswer answer {};
    std::int64_t answeredNs = 0;

    if (o.switchFirst) {
        const HostIntake::Message m { HostIntake::kSyncSwitch,
            static_cast<std::uint64_t>(o.switchTo), 0, 0, nullptr };
        const std::int64_t sentNs = monotonicNs();
        if (!exchange(socket, encodeHostRequest(m), o.timeoutMs, answer, answeredNs)) {
            std::fprintf(stderr, "host-sim: no answer to the sync switch\n");
            status = 1;
        } else if (!o.quiet) {
            std::printf("switch %" PRId64 ": handled %d result %" PRId64 " (%.1f us)\n", o.switchTo,
                answer.handled ? 1 : 0, answer.result,
                static_cast<double>(answeredNs - sentNs) / 1000.0);
        }
    }

    const FrameSource source(o.pattern, o.solid, o.rate, o.sequence);
    std::vector<std::int64_t> roundTrips;
    roundTrips.reserve(static_cast<std::size_t>(std::min<std::int64_t>(o.frames, 10000000)));
    std::int64_t sent = 0, handled = 0, notHandled = 0, resultOne = 0, resultZero = 0,
                 resultOther = 0;
    std::int64_t late = 0, worstLateNs = 0, firstSentNs = 0, lastSentNs = 0;
    const std::int64_t start = monotonicNs() + 1000000;
    const double periodNs = 1e9 / o.rate;

    for (std::int64_t i = 0; status == 0 && i < o.frames; ++i) {
        const std::int64_t due
            = start + static_cast<std::int64_t>(std::llround(static_cast<double>(i) * periodNs));
        if (monotonicNs() < due)
            sleepUntilNs(due);
        const FrameSource::Frame frame
            = source.frame(static_cast<std::uint64_t>(i + o.sequenceFrom));
        const std::vector<unsigned char> record = FrameSource::record(
            frame, o.type, static_cast<std::int32_t>(static_cast<std::uint32_t>(i)));
        const HostIntake::Message m { HostIntake::kCopyData, 0, o.dwData,
            static_cast<std::uint32_t>(record.size()), record.data() };
        const std::vector<unsigned char> request = encodeHostRequest(m);

        const std::int64_t sentNs = monotonicNs();
        if (i == 0)
            firstSentNs = sentNs;
        lastSentNs = sentNs;
        const std::int64_t lateNs = sentNs - due;
        if (lateNs > static_cast<std::int64_t>(periodNs))
            ++late;
        worstLateNs = std::max(worstLateNs, lateNs);
        std::int64_t sentRtNs = 0;
        if (!exchange(socket, request, o.timeoutMs, answer, answeredNs, &sentRtNs)) {
            std::fprintf(stderr, "host-sim: no answer to frame %" PRId64 " (%s)\n", i,
                socket.state() == QLocalSocket::ConnectedState ? "timed out" : "connection closed");
            status = 1;
            break;
        }
        ++sent;
        roundTrips.push_back(answeredNs - sentNs);
        (answer.handled ? handled : notHandled) += 1;
        if (answer.result == 1)
            ++resultOne;
        else if (answer.result == 0)
            ++resultZero;
        else
            ++resultOther;
        if (!o.quiet)
            std::printf("frame %" PRId64 ": handled %d result %" PRId64 " (%.1f us)\n", i,
                answer.handled ? 1 : 0, answer.result,
                static_cast<double>(answeredNs - sentNs) / 1000.0);
        if (stamps) {
            std::fprintf(stamps, "%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%d\t%" PRId64 "\t",
                i + o.sequenceFrom, sentNs, answeredNs, answer.handled ? 1 : 0, answer.result);
            writeColours(stamps, frame);
            std::fprintf(stamps, "\t%" PRId64 "\n", sentRtNs);
        }
    }
    if (stamps && std::fclose(stamps) != 0) {
        std::fprintf(stderr, "host-sim: writing %s failed\n", qPrintable(o.timestamps));
        status = 1;
    }

    std::sort(roundTrips.begin(), roundTrips.end());
    std::printf("frames sent %" PRId64 " of %" PRId64 ", handled %" PRId64 ", not handled %" PRId64
                ", result 1: %" PRId64 ", result 0: %" PRId64 ", other results: %" PRId64 "\n",
        sent, o.frames, handled, notHandled, resultOne, resultZero, resultOther);
    if (!roundTrips.empty()) {
        std::printf("round trip p50 %.1f us, p99 %.1f us, max %.1f us\n",
            static_cast<double>(percentile(roundTrips, 50)) / 1000.0,
            static_cast<double>(percentile(roundTrips, 99)) / 1000.0,
            static_cast<double>(roundTrips.back()) / 1000.0);
        printPacing(o.rate, sent, firstSentNs, lastSentNs, late, worstLateNs);
    }
    socket.disconnectFromServer();
    return status;
}
