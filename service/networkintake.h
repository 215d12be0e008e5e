#pragma once

#include "intake/intakereceiver.h"
#include "intake/pixelmap.h"
#include "service/intakesettings.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class StreamOutput;

// Lighting programs as a source of frames: the receiver of DDP, E1.31 and Art-Net, the
// pixel map it decodes by (the stream's devices as one strip), and what the user is
// told. While a network source is live its frames are shown and the host's held; when
// the last one is gone nothing more is sent from the network and the host's frames go
// out again.
//
// What the user is told goes to the console (standard error in the tool), one line
// each: a port that cannot be bound, the protocols listening, the map whenever it
// changes (a summary, then a line per device), a first source live, the last one gone.
class NetworkIntake : private IntakeReceiver::Sink
{
public:
    using Console = std::function<void(const std::string& line)>;
    // true: the first network source is live; false: the last one is gone. Called on
    // the receiver's thread, after the stream switched over.
    using LiveChange = std::function<void(bool live)>;

    NetworkIntake(StreamOutput& output, LiveChange liveChange);
    ~NetworkIntake() override;
    NetworkIntake(const NetworkIntake&) = delete;
    NetworkIntake& operator=(const NetworkIntake&) = delete;

    // Listens as settings ask (nothing when they ask for no protocol); the protocols
    // whose port cannot be bound are left out, the others run. What the user is told
    // goes to console from now on. A receiver already running is stopped first, its
    // live sources counted as gone.
    void start(const NetworkIntakeSettings& settings, Console console);
    // Ends the receiver's thread; no call of the stream or the callbacks follows.
    void stop();

    // The devices may have changed: when the strip's devices are not those of the map
    // in force, a map made from them goes to the receiver and the console. Calls are
    // serialised here; never per frame.
    void refreshMap();

    // For a tooltip: "network intake off", "listening: DDP, E1.31 (no source)" or
    // "listening: DDP, E1.31; live: 2 sources". Any thread.
    std::string state() const;
    IntakeReceiver::Counters counters() const { return m_receiver.counters(); }

    // The lines describing map, as the console gets them.
    static std::vector<std::string> mapLines(const PixelMap& map);

private:
    void frame(const std::uint8_t* strip, std::size_t size) override;
    void sourcesLive() override;
    void sourcesGone() override;
    void say(const std::string& line) const;
    void showNetwork(bool shown);
    // m_lock held; sayGone: live sources count as gone, as when they fall silent.
    void stopLocked(bool sayGone);

    StreamOutput& m_output;
    const LiveChange m_liveChange;
    Console m_console; // set before the receiver's thread starts, never after
    IntakeReceiver m_receiver;
    // Whether the output shows network frames; on the receiver's threads (one at a
    // time) and after they are joined.
    bool m_shown = false;

    mutable std::mutex m_lock;
    bool m_started = false;
    std::string m_listening; // the protocols bound, "DDP, E1.31"
    std::uint16_t m_universe = 1;
    std::uint64_t m_mapTag = 0;
};
