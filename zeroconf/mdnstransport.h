#pragma once

// The scan's UDP transport: the broadcast socket, the query's send and the
// collection of answers, over platform/socketlayer.

#include "zeroconf/dnsmessage.h"

#include <cstdint>
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

} // namespace Detail
} // namespace Zeroconf
