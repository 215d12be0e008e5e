#include "service/networkintake.h"
#include "platform/hotpath.h"

#include "service/streamoutput.h"

namespace
{

const char* const kPrefix = "prismara-nanoleaf-tool: ";

} // namespace

NetworkIntake::NetworkIntake(StreamOutput& output, LiveChange liveChange)
    : m_output(output)
    , m_liveChange(std::move(liveChange))
{
}

NetworkIntake::~NetworkIntake()
{
    stop();
}

void NetworkIntake::say(const std::string& line) const
{
    if (m_console)
        m_console(kPrefix + line);
}

std::vector<std::string> NetworkIntake::mapLines(const PixelMap& map)
{
    std::vector<std::string> lines { "pixel map: " + map.summary()
        + (map.placements().empty() ? " (no paired device is streamed yet)" : "") };
    for (const std::string& device : map.report())
        lines.push_back("  " + device);
    return lines;
}

void NetworkIntake::start(const NetworkIntakeSettings& settings, Console console)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // Asked again (a later start's --listen): the receiver starts afresh as asked.
    if (m_started)
        stopLocked(true);
    if (!settings.any())
        return;
    m_console = std::move(console);
    m_universe = settings.universe;
    PixelMap map(m_output.stripDevices(m_mapTag), m_universe);
    map.setTag(m_mapTag);
    const std::vector<IntakeReceiver::BindFailure> failures
        = m_receiver.start(settings.receiver, map, this);
    NetworkIntakeSettings bound = settings;
    for (const IntakeReceiver::BindFailure& f : failures) {
        say(std::string(SourceTable::protocolName(f.protocol)) + " not listening: UDP port "
            + std::to_string(f.port) + " cannot be bound (" + f.reason + ")");
        switch (f.protocol) {
        case IntakeReceiver::Protocol::Ddp:
            bound.receiver.ddp = false;
            break;
        case IntakeReceiver::Protocol::E131:
            bound.receiver.e131 = false;
            break;
        case IntakeReceiver::Protocol::ArtNet:
            bound.receiver.artNet = false;
            break;
        }
    }
    m_started = true;
    m_listening = bound.protocols().toStdString();
    if (!bound.any())
        return;
    const std::array<std::uint8_t, 4>& a = settings.receiver.address;
    say("listening for " + m_listening + " on "
        + (a == std::array<std::uint8_t, 4> {} ? std::string("every interface")
                                               : std::to_string(a[0]) + "." + std::to_string(a[1])
                    + "." + std::to_string(a[2]) + "." + std::to_string(a[3])));
    for (const std::string& line : mapLines(map))
        say(line);
}

void NetworkIntake::stop()
{
    std::lock_guard<std::mutex> lock(m_lock);
    stopLocked(false);
}

void NetworkIntake::stopLocked(bool sayGone)
{
    // The receiver's calls into this object never take the lock, so joining its
    // thread under it cannot wait for ever.
    const bool live = m_receiver.liveSources() > 0;
    m_receiver.stop();
    m_started = false;
    m_listening.clear();
    // Sources a restarted receiver no longer hears are gone: the host's frames go
    // out again.
    if (live && sayGone)
        sourcesGone();
}

void NetworkIntake::refreshMap()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_receiver.running())
        return;
    std::uint64_t tag = 0;
    const std::vector<PixelMap::Device> devices = m_output.stripDevices(tag);
    if (tag == m_mapTag)
        return;
    PixelMap map(devices, m_universe);
    map.setTag(tag);
    m_mapTag = tag;
    m_receiver.setMap(map);
    for (const std::string& line : mapLines(map))
        say(line);
}

std::string NetworkIntake::state() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_receiver.running())
        return "network intake off";
    const std::size_t live = m_receiver.liveSources();
    if (live == 0)
        return "listening: " + m_listening + " (no source)";
    return "listening: " + m_listening + "; live: " + std::to_string(live)
        + (live == 1 ? " source" : " sources");
}

PRISMARA_HOT void NetworkIntake::frame(const std::uint8_t* strip, std::size_t size)
{
    // A new source's first frame comes before sourcesLive(), which tells of it.
    if (!m_shown)
        showNetwork(true);
    m_output.sendStrip(strip, size, m_receiver.map().tag());
}

void NetworkIntake::showNetwork(bool shown)
{
    m_output.showNetwork(shown);
    m_shown = shown;
}

void NetworkIntake::sourcesLive()
{
    showNetwork(true);
    say("network source live: its frames are shown, host frames held");
    if (m_liveChange)
        m_liveChange(true);
}

void NetworkIntake::sourcesGone()
{
    showNetwork(false);
    say("every network source gone: nothing more sent from the network, host frames forwarded "
        "again");
    if (m_liveChange)
        m_liveChange(false);
}
