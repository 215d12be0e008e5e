#include "tools/host-sim/networksend.h"

#include "platform/socketlayer.h"
#include "tools/host-sim/monotonic.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

namespace Net = Platform::Net;

namespace
{

volatile std::sig_atomic_t g_stop = 0;

void stopSending(int)
{
    g_stop = 1;
}

const char* protocolName(StripPackets::Protocol protocol)
{
    switch (protocol) {
    case StripPackets::Protocol::Ddp:
        return "ddp";
    case StripPackets::Protocol::E131:
        return "e131";
    case StripPackets::Protocol::ArtNet:
        return "artnet";
    }
    return "?";
}

std::uint16_t defaultPort(StripPackets::Protocol protocol)
{
    switch (protocol) {
    case StripPackets::Protocol::Ddp:
        return LightPackets::kDdpPort;
    case StripPackets::Protocol::E131:
        return LightPackets::kE131Port;
    case StripPackets::Protocol::ArtNet:
        return LightPackets::kArtNetPort;
    }
    return 0;
}

std::string addressText(const std::array<std::uint8_t, 4>& a)
{
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "."
        + std::to_string(a[3]);
}

// One target's socket, packets and tally.
struct Sender {
    Sender(const NetworkTarget& t, const StripPackets::Settings& settings)
        : target(t)
        , packets(settings)
        , handle(Net::createUdpSocket())
    {
    }
    ~Sender() { Net::closeSocket(handle); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // lastRtNs, when given, gets the realtime clock just before the last datagram.
    void send(
        const std::vector<StripPackets::Datagram>& datagrams, std::int64_t* lastRtNs = nullptr)
    {
        for (const StripPackets::Datagram& d : datagrams) {
            const Net::Ipv4Endpoint to {
                target.multicast ? LightPackets::e131Group(d.universe) : target.address, target.port
            };
            if (lastRtNs != nullptr && &d == &datagrams.back())
                *lastRtNs = realtimeNs();
            if (Net::sendTo(handle, d.bytes.data(), d.bytes.size(), to)
                == static_cast<long long>(d.bytes.size())) {
                ++sent;
            } else {
                if (failed == 0)
                    std::fprintf(stderr, "host-sim: %s: sending to %s:%u failed: %s\n",
                        target.text.c_str(), addressText(to.address).c_str(), to.port,
                        Net::errorText(Net::lastError()).c_str());
                ++failed;
            }
        }
    }

    NetworkTarget target;
    StripPackets packets;
    Net::SocketHandle handle;
    std::int64_t sent = 0;
    std::int64_t failed = 0;
    std::int64_t terminations = 0;
};

} // namespace

bool parseNetworkTarget(StripPackets::Protocol protocol, const std::string& text,
    NetworkTarget& target, std::string& why)
{
    NetworkTarget t;
    t.protocol = protocol;
    t.port = defaultPort(protocol);
    if (protocol == StripPackets::Protocol::E131 && text == "multicast") {
        t.multicast = true;
        t.text = std::string(protocolName(protocol)) + " multicast";
        target = t;
        return true;
    }
    const std::size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    if (!Net::parseIpv4(host.data(), host.size(), t.address)) {
        why = "'" + host + "' is no IPv4 address";
        return false;
    }
    if (colon != std::string::npos) {
        const std::string port = text.substr(colon + 1);
        unsigned long value = 0;
        const bool digits = !port.empty() && port.size() <= 5
            && port.find_first_not_of("0123456789") == std::string::npos;
        if (digits)
            value = std::stoul(port);
        if (!digits || value == 0 || value > 65535) {
            why = "'" + port + "' is no port from 1 to 65535";
            return false;
        }
        t.port = static_cast<std::uint16_t>(value);
    }
    t.text = std::string(protocolName(protocol)) + " " + addressText(t.address) + ":"
        + std::to_string(t.port);
    target = t;
    return true;
}

int runNetwork(const NetworkRun& run, const FrameSource& source)
{
    if (Net::startup() != 0) {
        std::fprintf(stderr, "host-sim: the socket layer did not start\n");
        return 1;
    }
    std::vector<std::unique_ptr<Sender>> senders;
    for (const NetworkTarget& target : run.targets) {
        StripPackets::Settings settings = run.strip;
        settings.protocol = target.protocol;
        senders.push_back(std::make_unique<Sender>(target, settings));
        if (senders.back()->handle < 0) {
            std::fprintf(stderr, "host-sim: no socket for %s: %s\n", target.text.c_str(),
                Net::errorText(Net::lastError()).c_str());
            senders.clear();
            Net::cleanup();
            return 1;
        }
    }

    std::FILE* stamps = nullptr;
    if (!run.timestamps.empty()) {
        stamps = std::fopen(run.timestamps.c_str(), "w");
        if (stamps == nullptr) {
            std::fprintf(stderr, "host-sim: cannot write %s\n", run.timestamps.c_str());
            senders.clear();
            Net::cleanup();
            return 1;
        }
        std::fprintf(
            stamps, "# frame\tsend_ns\tsent_ns\tall_sent\tdatagrams\tpixel0\tsend_rt_ns\n");
    }

    g_stop = 0;
    std::signal(SIGINT, stopSending);
    std::signal(SIGTERM, stopSending);

    std::vector<std::uint8_t> strip;
    std::int64_t frames = 0, late = 0, worstLateNs = 0, firstSentNs = 0, lastSentNs = 0;
    const std::int64_t start = monotonicNs() + 1000000;
    const double periodNs = 1e9 / run.rate;
    for (std::int64_t i = 0; i < run.frames && g_stop == 0; ++i) {
        const std::int64_t due
            = start + static_cast<std::int64_t>(std::llround(static_cast<double>(i) * periodNs));
        if (monotonicNs() < due)
            sleepUntilNs(due);
        if (g_stop != 0)
            break;
        source.strip(static_cast<std::uint64_t>(i + run.sequenceFrom), run.strip.pixels, strip);
        if (run.sequenceEveryPixel)
            for (std::size_t p = 3; p < strip.size(); ++p)
                strip[p] = strip[p % 3];
        const std::int64_t sentNs = monotonicNs();
        if (i == 0)
            firstSentNs = sentNs;
        lastSentNs = sentNs;
        if (sentNs - due > static_cast<std::int64_t>(periodNs))
            ++late;
        worstLateNs = std::max(worstLateNs, sentNs - due);
        std::size_t datagrams = 0;
        std::int64_t failedBefore = 0, lastRtNs = 0;
        for (const std::unique_ptr<Sender>& s : senders) {
            const std::vector<StripPackets::Datagram>& out = s->packets.frame(strip.data());
            failedBefore += s->failed;
            s->send(out, &lastRtNs);
            datagrams += out.size();
        }
        ++frames;
        if (stamps != nullptr) {
            const std::int64_t doneNs = monotonicNs();
            std::int64_t failedAfter = 0;
            for (const std::unique_ptr<Sender>& s : senders)
                failedAfter += s->failed;
            std::fprintf(stamps,
                "%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%d\t%zu\t%02X%02X%02X\t%" PRId64 "\n",
                i + run.sequenceFrom, sentNs, doneNs, failedAfter == failedBefore ? 1 : 0,
                datagrams, strip[0], strip[1], strip[2], lastRtNs);
        }
        if (!run.quiet)
            std::printf("frame %" PRId64 ": %zu datagrams\n", i, datagrams);
    }
    // The ending (and what this program does after it) waits for the next frame's time,
    // as a sender that goes on would: a receiver forwards the last frame, too, while this
    // sender sleeps, and a measured last frame is measured like the others.
    if (frames > 0 && g_stop == 0)
        sleepUntilNs(start
            + static_cast<std::int64_t>(std::llround(static_cast<double>(frames) * periodNs)));
    // The last frame shown (or the first, when none went out) goes with the ending.
    if (strip.empty())
        source.strip(static_cast<std::uint64_t>(run.sequenceFrom), run.strip.pixels, strip);
    for (const std::unique_ptr<Sender>& s : senders) {
        const std::vector<StripPackets::Datagram>& out = s->packets.end(strip.data());
        const std::int64_t before = s->sent;
        s->send(out);
        s->terminations = s->sent - before;
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    int status = 0;
    if (stamps != nullptr && std::fclose(stamps) != 0) {
        std::fprintf(stderr, "host-sim: writing %s failed\n", run.timestamps.c_str());
        status = 1;
    }
    for (const std::unique_ptr<Sender>& s : senders) {
        std::printf("%s: frames %" PRId64 " of %" PRId64 ", datagrams sent %" PRId64
                    ", failed %" PRId64,
            s->target.text.c_str(), frames, run.frames, s->sent, s->failed);
        if (s->target.protocol == StripPackets::Protocol::E131)
            std::printf(" (%" PRId64 " of them stream-terminated)", s->terminations);
        std::printf("\n");
        if (s->failed > 0)
            status = 1;
    }
    if (frames > 0)
        printPacing(run.rate, frames, firstSentNs, lastSentNs, late, worstLateNs);
    std::fflush(stdout);
    senders.clear();
    Net::cleanup();
    return status;
}

void printPacing(double rate, std::int64_t frames, std::int64_t firstSentNs,
    std::int64_t lastSentNs, std::int64_t late, std::int64_t worstLateNs)
{
    const std::int64_t elapsed = lastSentNs - firstSentNs;
    std::printf("pacing: %.2f fps wanted, %.2f fps sent, %" PRId64
                " frames more than a period late, worst %.1f us\n",
        rate,
        frames > 1 && elapsed > 0
            ? static_cast<double>(frames - 1) * 1e9 / static_cast<double>(elapsed)
            : 0.0,
        late, static_cast<double>(worstLateNs) / 1000.0);
}
