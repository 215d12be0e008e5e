#pragma once

// Finds services on the local link with one DNS-SD question sent to the mDNS port,
// and turns the answers into a small structured form. Everything here is blocking
// and free of shared state; reports go only to the calling thread's LogSink.

#include "platform/socketlayer.h"
#include "zeroconf/membuf.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Zeroconf {

// One resource record of a reply. The record spans message[position, position + length).
struct ReplyRecord
{
    std::uint16_t type = 0;
    std::size_t position = 0;  // offset of the record's first byte (the 0xC0 pointer byte)
    std::size_t length = 0;    // RDLENGTH + 12: pointer, type, class, TTL, RDLENGTH, RDATA
    std::string name;          // the single label the owner pointer points at
};

struct Reply
{
    Platform::Net::PeerAddress peer;  // who sent the datagram
    std::uint16_t firstType = 0;      // TYPE after the first name (the repeated question)
    std::string firstName;            // first name of the message, dotted
    std::vector<std::uint8_t> message;
    std::vector<ReplyRecord> records;  // in message order
};

// Report channel of the module: level 0 for transport failures and an unreadable
// first name, level 1 for the other rejections. Null (no reports) on every new
// thread; the application never installs one.
using LogSinkFunction = void (*)(int level, const std::string& message);
extern thread_local LogSinkFunction LogSink;

// Sends one PTR question for `name` to 255.255.255.255:5353 and collects answers for
// `scanTime` seconds (the call returns between one and about two scan times later).
// `replies` is cleared, then filled with every answer the parser accepts, in arrival
// order, with no de-duplication. Returns false only when the query could not be built
// or a socket operation failed; `replies` is then empty. Oversized datagrams are
// dropped (reported at level 1) without ending the scan. The socket layer must have
// been started (Platform::Net::startup()).
bool QueryService(const std::string& name, std::int64_t scanTime, std::vector<Reply>& replies);

namespace Detail {

// One received datagram, as collected by ReceiveReplies.
struct RawReply
{
    Platform::Net::PeerAddress peer;
    std::vector<std::uint8_t> bytes;  // at most 512
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

// Creates the IPv4 UDP socket with broadcast allowed; closes it again on failure.
bool CreateSocket(int& handle);

// Sends the query in one datagram to 255.255.255.255:5353.
bool SendQuery(int handle, const std::vector<std::uint8_t>& query);

// Appends every datagram of at most 512 bytes received within `scanTime` seconds to
// `raw`. Returns true when the time ran out, false when waiting or receiving failed.
bool ReceiveReplies(int handle, std::int64_t scanTime, std::vector<RawReply>& raw);

}  // namespace Detail
}  // namespace Zeroconf
