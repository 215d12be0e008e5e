#include "zeroconf/addressprobe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace AddressProbe
{

namespace
{

bool hostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '_' || c == '.';
}

bool alphanumeric(char c)
{
    return hostCharacter(c) && c != '-' && c != '_' && c != '.';
}

constexpr std::int64_t kTicksPerMs = 10000;

} // namespace

bool parseEntry(const std::string& text, Entry& out)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    const std::string trimmed = text.substr(begin, end - begin);
    const std::size_t colon = trimmed.find(':');
    const std::string host = trimmed.substr(0, colon);
    if (host.empty() || host.size() > 253 || !alphanumeric(host[0]))
        return false;
    for (char c : host)
        if (!hostCharacter(c))
            return false;
    std::uint16_t port = kApiPort;
    if (colon != std::string::npos) {
        const std::string digits = trimmed.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits[0] == '0')
            return false;
        long value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 65535)
            return false;
        port = static_cast<std::uint16_t>(value);
    }
    out.text = trimmed;
    out.host = host;
    out.port = port;
    return true;
}

struct Run::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Result> results;
    std::vector<bool> looked; // the lookup is over
    std::vector<bool> done;
};

Run::Run(const std::vector<Entry>& entries, int connectMs)
    : shared(std::make_shared<Shared>())
{
    const std::size_t n = std::min(entries.size(), kMaxEntries);
    shared->results.resize(n);
    shared->looked.assign(n, false);
    shared->done.assign(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        shared->results[i].entry = entries[i];
        shared->results[i].at.port = entries[i].port;
        shared->results[i].reason = "the name lookup took too long";
        const std::shared_ptr<Shared> state = shared;
        const Entry entry = entries[i];
        // Detached: a lookup the system holds must not hold the caller. It keeps
        // the shared state alive until it ends.
        std::thread([state, entry, i, connectMs] {
            Platform::Net::startup();
            Platform::Net::Ipv4Endpoint at;
            at.port = entry.port;
            std::string reason;
            bool resolved
                = Platform::Net::parseIpv4(entry.host.data(), entry.host.size(), at.address)
                || Platform::Net::resolveIpv4(entry.host, at.address, reason);
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->looked[i] = true;
                Result& result = state->results[i];
                result.at = at;
                if (resolved) {
                    result.outcome = Outcome::NoAnswer;
                    result.reason = "no answer in time";
                } else {
                    result.reason = reason;
                    state->done[i] = true;
                }
            }
            if (resolved) {
                const Platform::Net::ConnectResult connected
                    = Platform::Net::tryConnect(at, connectMs, reason);
                std::lock_guard<std::mutex> lock(state->mutex);
                Result& result = state->results[i];
                if (connected == Platform::Net::ConnectResult::Connected) {
                    result.outcome = Outcome::Answered;
                    result.reason.clear();
                } else {
                    result.reason = reason;
                }
                state->done[i] = true;
            }
            Platform::Net::cleanup();
            state->changed.notify_all();
        }).detach();
    }
}

std::vector<Result> Run::wait(std::int64_t deadlineTicks, const std::atomic<bool>* cancel)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    const auto allDone = [this] {
        for (bool d : shared->done)
            if (!d)
                return false;
        return true;
    };
    // Bounded by the deadline; every round looks at the cancel flag.
    while (!allDone() && !(cancel != nullptr && cancel->load())) {
        const std::int64_t left = deadlineTicks - Platform::Net::monotonicTicks();
        if (left <= 0)
            break;
        const std::int64_t ms = std::min<std::int64_t>(100, left / kTicksPerMs + 1);
        shared->changed.wait_for(lock, std::chrono::milliseconds(ms));
    }
    return shared->results;
}

} // namespace AddressProbe
