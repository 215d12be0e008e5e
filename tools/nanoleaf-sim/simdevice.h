#pragma once

#include "tools/nanoleaf-sim/simconfig.h"
#include "tools/nanoleaf-sim/streamrecords.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

enum class SimMode { Effect, ExtControlV1, ExtControlV2, Static, Solid };
enum class HttpFault { None, Hang, Slow, NonJson, Huge, WrongTypes, Trickle };
enum class MdnsFault { None, Oversized, Truncated, BadFlags, Loop, Silent, Flood };

struct SimColour {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t w = 0;
};

// One HTTP request as the device received it.
struct SimRequest {
    std::int64_t seq = 0;
    std::int64_t timeNs = 0;
    std::string method;
    std::string target;
    std::string remote;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body; // at most kMaxStoredBody bytes of it
    std::size_t bodySize = 0;
    int status = 0; // 0 while unanswered, -1 when dropped unanswered
    std::string outcome;
    std::int64_t answeredNs = 0; // when the answer was decided; 0 before
};

// One datagram that reached one of the device's stream ports.
struct SimFrame {
    std::int64_t seq = 0;
    std::int64_t timeNs = 0;
    // When the kernel put it on the socket: CLOCK_REALTIME ns, 0 when unknown.
    std::int64_t kernelNs = 0;
    int port = 0;
    std::string from;
    std::size_t size = 0;
    std::vector<std::uint8_t> bytes; // at most kMaxStoredFrame bytes of it
    const char* status = ""; // "accepted", "ignored" or "malformed"
    std::string reason;
    const char* layout = ""; // "v1" or "v2"
    StreamDecode decoded;
    std::vector<bool> applied; // per record: a panel of this device took it
};

// What the window draws, copied out under the lock.
struct SimSnapshot {
    SimMode mode = SimMode::Effect;
    QString select; // what "effects" / "select" reports
    bool down = false; // restarting
    bool pairingMode = false;
    bool on = true;
    int brightness = 100;
    std::vector<SimColour> colours;
    std::int64_t accepted = 0;
    std::int64_t lastFrameNs = 0;
    HttpFault httpFault = HttpFault::None;
    MdnsFault mdnsFault = MdnsFault::None;
};

// The live state of one simulated device: pairing, tokens, mode, panel colours, the
// request and datagram logs and the injected faults. The HTTP, UDP and mDNS threads and
// the control interface all reach it, so every member is guarded by one mutex.
class SimDevice
{
public:
    explicit SimDevice(SimDeviceSettings settings);

    // Fixed for the simulator's lifetime; safe to read without the lock. Its ip is
    // the configured address; ip() is where the device answers now.
    const SimDeviceSettings& settings() const { return m_settings; }
    QString ip() const;
    // The device now answers at `ip` (the servers are rebound by the caller) and,
    // like a device that restarted on a new lease, shows its effect again; tokens
    // and pairing mode stay.
    void moveTo(const QString& ip);

    bool pairingMode() const;
    void setPairingMode(bool on);
    // A fresh 32-character token, remembered; empty while pairing mode is off.
    QString issueToken();
    bool hasToken(const QString& token) const;
    bool removeToken(const QString& token);

    // The answer to GET /api/v1/<token>/.
    QJsonObject description() const;
    // The same with members of the wrong JSON types.
    QJsonObject mistypedDescription() const;

    SimMode mode() const;
    void setMode(SimMode mode);
    // Selects one of the device's effects, as PUT /effects {"select": name} does;
    // false for a name it does not have.
    bool selectEffect(const QString& name);
    // What "effects" / "select" reports: the effect, or "*ExtControl*", "*Static*"
    // or "*Solid*" for the modes that show none of the device's effects.
    QString selected() const;
    // The device restarts: it answers nothing (HTTP and stream) until restarted(),
    // then shows its effect again, on, like after a power cut; tokens stay.
    void goDown();
    void restarted();
    bool down() const;
    // Shows the records' colours on the panels they name; returns how many matched.
    int showStatic(const std::vector<StreamRecord>& records);
    // Writes one member of "state" ("on", "brightness", "hue", "sat", "ct"); false when
    // the value is of the wrong type or out of range. A hue, sat or ct leaves any
    // effect or external control for that solid colour.
    bool writeState(const QString& key, const QJsonValue& value);

    // Judges, applies and logs one datagram received on `port`.
    void handleDatagram(int port, const std::uint8_t* data, std::size_t size, std::int64_t timeNs,
        std::int64_t kernelNs, const std::string& from);

    std::int64_t beginRequest(SimRequest request);
    void finishRequest(std::int64_t seq, int status, const std::string& outcome);
    QJsonArray requestsJson(std::int64_t since) const;
    QJsonArray framesJson(std::int64_t since) const;
    // The same datagrams in brief, one tab-separated line each:
    // seq, kernel receive ns (CLOCK_REALTIME, 0 when unknown), time_ns, status,
    // and the colour of the first record as a 24-bit number (-1 without records).
    std::string stampsText(std::int64_t since) const;

    HttpFault httpFault() const;
    int faultDelayMs() const;
    MdnsFault mdnsFault() const;
    void setFaults(HttpFault http, MdnsFault mdns, int delayMs);
    // Blocks while the "hang" fault holds, up to `bound`; a fault change, a reset or
    // the shutdown releases it early.
    void waitWhileHung(std::chrono::milliseconds bound);
    // Sleeps for `step` while the "trickle" fault holds; false once a fault change, a
    // reset or the shutdown has ended it.
    bool trickleOn(std::chrono::milliseconds step);
    // Sleeps for `delay` unless the simulator shuts down first.
    void sleepFor(std::chrono::milliseconds delay);
    void shutdown();

    void countMdnsReply();
    // Back to the state the configuration describes; logs and faults are cleared.
    void reset();
    QJsonObject stateJson() const;
    SimSnapshot snapshot() const;
    // Grows with every change the window shows.
    std::uint64_t version() const { return m_version.load(); }

    static const char* modeName(SimMode mode);
    static const char* httpFaultName(HttpFault fault);
    static const char* mdnsFaultName(MdnsFault fault);
    static bool httpFaultFromName(const QString& name, HttpFault& out);
    static bool mdnsFaultFromName(const QString& name, MdnsFault& out);

    static constexpr std::size_t kMaxStoredBody = 64 * 1024;
    static constexpr std::size_t kMaxStoredFrame = 4096;

private:
    void resetLocked();
    QString selectedLocked() const;
    // The panels in the solid colour of hue / sat or ct.
    void showSolidLocked();
    void touch() { ++m_version; }

    const SimDeviceSettings m_settings;
    mutable std::mutex m_mutex;
    QString m_ip;
    std::condition_variable m_wake;

    bool m_pairingMode = false;
    QStringList m_tokens;
    SimMode m_mode = SimMode::Effect;
    QString m_effect;
    bool m_down = false;
    QString m_colorMode; // "effect", "hs" or "ct"
    bool m_on = true;
    int m_brightness = 100;
    int m_hue = 0;
    int m_sat = 0;
    int m_ct = 4000;
    std::vector<SimColour> m_colours;

    std::deque<SimRequest> m_requests;
    std::deque<SimFrame> m_frames;
    std::int64_t m_nextRequestSeq = 1;
    std::int64_t m_nextFrameSeq = 1;
    std::int64_t m_accepted = 0;
    std::int64_t m_ignored = 0;
    std::int64_t m_malformed = 0;
    std::int64_t m_lastFrameNs = 0;
    std::int64_t m_mdnsReplies = 0;

    HttpFault m_httpFault = HttpFault::None;
    MdnsFault m_mdnsFault = MdnsFault::None;
    int m_delayMs = 0;
    std::uint64_t m_resetGeneration = 0;
    bool m_shutdown = false;

    std::atomic<std::uint64_t> m_version { 1 };
};
