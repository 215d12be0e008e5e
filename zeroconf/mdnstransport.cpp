#include "zeroconf/mdnstransport.h"

#include "platform/socketlayer.h"
#include "zeroconf/logreport.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

namespace Zeroconf
{

namespace Net = Platform::Net;

namespace Detail
{

namespace
{

constexpr std::int64_t kTicksPerSecond = 10000000; // clock ticks are 100 ns

std::string WithCode(const char* message)
{
    return message + std::to_string(Net::lastError());
}

std::int64_t ScanTimeInTicks(std::int64_t scanTime)
{
    if (scanTime > std::numeric_limits<std::int64_t>::max() / kTicksPerSecond)
        return std::numeric_limits<std::int64_t>::max();
    if (scanTime < std::numeric_limits<std::int64_t>::min() / kTicksPerSecond)
        return std::numeric_limits<std::int64_t>::min();
    return scanTime * kTicksPerSecond;
}

// One wait of up to `seconds` for the socket. With a cancel flag it is made of
// slices of kCancelCheckMs, and a set flag ends it at the end of its slice
// (as a time-out): a scan can be called off without a second descriptor to wake
// it, and without changing how long its waits last otherwise.
Net::WaitResult WaitOnce(int handle, std::int64_t seconds, const std::atomic<bool>* cancel)
{
    if (cancel == nullptr)
        return Net::waitReadable(handle, seconds, 0);
    constexpr std::int64_t kSliceTicks = std::int64_t(kCancelCheckMs) * 10000;
    const std::int64_t start = Net::monotonicTicks();
    const std::int64_t limit = ScanTimeInTicks(seconds);
    for (;;) {
        const std::int64_t left = limit - (Net::monotonicTicks() - start);
        if (cancel->load() || left <= 0)
            return Net::WaitResult::Timeout;
        const std::int64_t slice = std::min(left, kSliceTicks);
        const Net::WaitResult waited
            = Net::waitReadable(handle, 0, static_cast<std::int32_t>(slice / 10));
        if (waited != Net::WaitResult::Timeout)
            return waited;
    }
}

} // namespace

bool CreateSocket(int& handle)
{
    const Net::SocketHandle created = Net::createUdpSocket();
    if (created < 0) {
        Report(0, WithCode("Failed to create socket with code "));
        return false;
    }
    if (Net::allowBroadcast(created) != 0) {
        Net::closeSocket(created);
        Report(0, WithCode("Failed to set socket option SO_BROADCAST with code "));
        return false;
    }
    // Deliberately left unbound: the first send picks an ephemeral port, and legacy
    // unicast answers (RFC 6762 6.7) come back to it rather than to port 5353.
    handle = created;
    return true;
}

bool SendQuery(int handle, const std::vector<std::uint8_t>& query)
{
    Net::Ipv4Endpoint destination;
    destination.address = { 255, 255, 255, 255 };
    destination.port = 5353;
    if (Net::sendTo(handle, query.data(), query.size(), destination) < 0) {
        Report(0, WithCode("Failed to send the query with code "));
        return false;
    }
    return true;
}

bool ReceiveReplies(int handle, std::int64_t scanTime, std::vector<RawReply>& raw)
{
    return ReceiveReplies(handle, scanTime, nullptr,
        [&raw](RawReply& datagram) { raw.push_back(std::move(datagram)); });
}

bool ReceiveReplies(int handle, std::int64_t scanTime, const std::atomic<bool>* cancel,
    const std::function<void(RawReply&)>& take)
{
    const std::int64_t start = Net::monotonicTicks();
    const std::int64_t limit = ScanTimeInTicks(scanTime);
    const auto timeIsUp = [start, limit] { return Net::monotonicTicks() - start > limit; };
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    if (timeIsUp() || cancelled())
        return true;

    // Each wait may last the whole scan time, so the collection ends between one and
    // about two scan times after the start; it never ends early on a short wait.
    for (;;) {
        const Net::WaitResult waited = WaitOnce(handle, scanTime, cancel);
        if (waited == Net::WaitResult::Error) {
            Report(0, WithCode("Failed to wait on socket with code "));
            return false;
        }
        if (cancelled())
            return true;
        if (waited == Net::WaitResult::Timeout) {
            if (timeIsUp())
                return true;
            continue;
        }

        RawReply datagram;
        datagram.bytes.assign(kMaxDatagramSize, 0);
        const Net::ReceiveResult received
            = Net::receiveFrom(handle, datagram.bytes.data(), datagram.bytes.size(), datagram.peer);
        switch (received.status) {
        case Net::ReceiveStatus::Error:
            Report(0, WithCode("Failed to receive with code "));
            return false;
        case Net::ReceiveStatus::Truncated:
            // One oversized (or hostile) datagram must not cost the answers already
            // collected, and a cut datagram is never parsed.
            Report(1,
                received.length > kMaxDatagramSize
                    ? "Dropped oversized datagram of " + std::to_string(received.length) + " bytes"
                    : "Dropped oversized datagram of more than " + std::to_string(kMaxDatagramSize)
                        + " bytes");
            break;
        case Net::ReceiveStatus::Ok:
            datagram.bytes.resize(received.length);
            take(datagram);
            break;
        }
        if (timeIsUp())
            return true;
    }
}

} // namespace Detail

bool QueryService(const std::string& name, std::int64_t scanTime, std::vector<Reply>& replies)
{
    return QueryService(name, scanTime, replies, ScanControl());
}

bool QueryService(const std::string& name, std::int64_t scanTime, std::vector<Reply>& replies,
    const ScanControl& control)
{
    replies.clear();
    const std::vector<std::uint8_t> query = Detail::BuildQuery(name);
    if (query.empty()) {
        Detail::Report(0, "Failed to encode query name");
        return false;
    }

    int handle = -1;
    if (!Detail::CreateSocket(handle))
        return false;
    // Closes the socket on every way out of this call. Should the owner's own
    // allocation fail, shared_ptr runs the deleter at once and rethrows.
    const std::shared_ptr<void> socketOwner(nullptr, [handle](void*) { Net::closeSocket(handle); });

    if (!Detail::SendQuery(handle, query))
        return false;

    // Parsed as they arrive, so what the caller drops is never stored: a burst
    // of answers costs no more memory than the answers kept.
    const bool collected
        = Detail::ReceiveReplies(handle, scanTime, control.cancel, [&](Detail::RawReply& datagram) {
              Reply reply;
              if (Detail::ParseReply(datagram, reply) && (!control.keep || control.keep(reply)))
                  replies.push_back(std::move(reply));
          });
    if (!collected)
        replies.clear();
    return collected;
}

} // namespace Zeroconf
