#pragma once

// The DNS message format of a scan: the one query it sends and the one answer
// shape it accepts. Pure functions over bytes, no sockets.

#include "zeroconf/zeroconf.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Zeroconf
{
namespace Detail
{

// One received datagram, as collected by ReceiveReplies.
struct RawReply {
    Platform::Net::PeerAddress peer;
    std::vector<std::uint8_t> bytes; // at most 512
};

// Largest datagram that is collected; longer ones are dropped.
constexpr std::size_t kMaxDatagramSize = 512;

// The query message: 12-byte header (ID 0, Flags 0, QDCOUNT 1, other counts 0), the
// encoded name, QTYPE PTR (0x000C), QCLASS IN (0x0001, unicast-response bit clear).
// Empty when the name cannot be encoded (see EncodeName).
std::vector<std::uint8_t> BuildQuery(const std::string& name);

// Appends `name` as length-prefixed labels and a terminating zero byte. Empty labels
// (leading, trailing or doubled dots) vanish; an empty name gives the single byte 0.
// Labels of up to 255 bytes are written as they are. A label longer than 255 bytes
// does not fit its length byte: then nothing is appended (the buffer is left as it
// was) and the result is false.
bool EncodeName(const std::string& name, std::vector<std::uint8_t>& buffer);

// Reads a name of plain labels starting at `start` into `out`, dotted. Returns the
// bytes the name occupies including its terminating zero, or 0 when the name runs up
// to or past the end of `message`. Compression pointers are not followed.
std::size_t ReadName(const std::vector<std::uint8_t>& message, std::size_t start, std::string& out);

// Parses one answer of the only shape this module accepts: Flags 0x8400, the question
// repeated as plain labels with its type and class, then records whose owner names
// are pointers 0xC0 nn. The header counts are ignored; records are read to the end of
// the datagram. Returns false (with a LogSink report, except for an empty datagram)
// for anything else; `reply` is then unspecified.
bool ParseReply(const RawReply& raw, Reply& reply);

} // namespace Detail
} // namespace Zeroconf
