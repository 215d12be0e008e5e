#pragma once

#include "platform/socketlayer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Devices the user gives by address (HOST[:PORT]) because the scan cannot see them:
// each name looked up and the OpenAPI port knocked on, on a thread of its own, so a
// lookup the system holds for long keeps nobody waiting past the caller's bound.
namespace AddressProbe
{

constexpr std::uint16_t kApiPort = 16021;
// More entries than anyone types; the rest are not probed.
constexpr std::size_t kMaxEntries = 32;

struct Entry {
    std::string text; // as written, e.g. "panels.local:16021"
    std::string host;
    std::uint16_t port = kApiPort;
};

// Reads "HOST" or "HOST:PORT". HOST is a dotted IPv4 address or a host name of
// letters, digits, '-', '_' and '.', 1 to 253 characters, starting with a letter or
// digit; PORT is 1 to 65535 in decimal, without sign or leading zero. Blanks around
// the whole are dropped; text keeps the rest as written. False for anything else,
// and `out` is then untouched.
bool parseEntry(const std::string& text, Entry& out);

enum class Outcome {
    Answered, // something takes connections at the address and port
    NoAnswer, // the address is known but nothing takes connections there
    Unresolved // the name did not resolve (or not in time)
};

struct Result {
    Entry entry;
    Outcome outcome = Outcome::Unresolved;
    Platform::Net::Ipv4Endpoint at; // the address found and the port; 0.0.0.0 unresolved
    std::string reason; // why not Answered
};

// One round of probes, started at construction.
class Run
{
public:
    Run(const std::vector<Entry>& entries, int connectMs);
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Waits until every entry has its result, the monotonic tick deadline passes or
    // *cancel is set (looked at every 100 ms), and gives one result per entry, in
    // order. An entry still being looked up by then is Unresolved, one still
    // connecting NoAnswer; its thread finishes on its own and its result goes nowhere.
    std::vector<Result> wait(std::int64_t deadlineTicks, const std::atomic<bool>* cancel);

private:
    struct Shared;
    std::shared_ptr<Shared> shared;
};

} // namespace AddressProbe
