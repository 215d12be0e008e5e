#pragma once

// The scan's UDP transport: the broadcast socket, the query's send and the
// collection of answers, over platform/socketlayer.

#include "zeroconf/dnsmessage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace Zeroconf
{
namespace Detail
{

// Creates the IPv4 UDP socket with broadcast allowed; closes it again on failure.
bool CreateSocket(int& handle);

// Sends the query in one datagram to 255.255.255.255:5353.
bool SendQuery(int handle, const std::vector<std::uint8_t>& query);

// Appends every datagram of at most 512 bytes received within `scanTime` seconds to
// `raw`. Returns true when the time ran out, false when waiting or receiving failed.
bool ReceiveReplies(int handle, std::int64_t scanTime, std::vector<RawReply>& raw);
// Hands every such datagram to `take` as it arrives instead, and also returns true
// as soon as *cancel (when not null) is seen set; it is looked at every
// kCancelCheckMs while waiting.
bool ReceiveReplies(int handle, std::int64_t scanTime, const std::atomic<bool>* cancel,
    const std::function<void(RawReply&)>& take);

} // namespace Detail
} // namespace Zeroconf
