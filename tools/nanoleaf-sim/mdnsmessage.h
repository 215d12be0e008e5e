#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace MdnsMessage
{

using Labels = std::vector<std::string>;

struct Question {
    Labels name;
    std::uint16_t type = 0;
    std::uint16_t qclass = 0; // as received, unicast-response bit included
};

struct Query {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::vector<Question> questions;
};

// What one device announces for its service instance.
struct Service {
    std::string instance; // "<instance>" of "<instance>._nanoleafapi._tcp.local"
    Labels serviceName; // {"_nanoleafapi", "_tcp", "local"}
    std::string host; // "<host>" of "<host>.local"
    std::array<std::uint8_t, 4> address {};
    std::uint16_t port = 0;
    std::vector<std::string> txt; // "key=value" strings, each at most 255 bytes
    std::uint32_t ttl = 10;
};

// Deliberate damage for fault tests.
enum class Damage { None, Oversized, Truncated, BadFlags, Loop };

enum : std::uint16_t {
    TypeA = 1,
    TypePtr = 12,
    TypeTxt = 16,
    TypeSrv = 33,
    TypeAny = 255,
    ClassIn = 1
};

// Reads the header and question section of a DNS query (RFC 1035 §4.1). Names may use
// compression pointers, which must point backwards; labels over 63 bytes, names over 255
// bytes, reserved label types, responses (QR set), opcodes other than 0, more than 16
// questions and anything that runs past `size` are rejected with a reason. Answer,
// authority and additional sections are not read.
bool parseQuery(const std::uint8_t* data, std::size_t size, Query& out, std::string& reason);

// Index of the first question that asks for `service` as a PTR (or ANY) record in class
// IN (or ANY), names compared case-insensitively; -1 when there is none.
int findServiceQuestion(const Query& query, const Labels& service);

// The legacy unicast answer of RFC 6762 §6.7 to `query`: its ID and questions repeated,
// Flags 0x8400, the PTR record for the service in the answer section, then SRV, TXT and
// A records in the additional section (RFC 6763 §12.1), class IN without the cache-flush
// bit (§10.2), TTL service.ttl. Names are compressed (RFC 1035 §4.1.4) except the SRV
// target, which a legacy answer must write out (RFC 6762 §18.14). `damage` spoils the
// message on purpose (see Damage).
std::vector<std::uint8_t> buildLegacyAnswer(
    const Query& query, const Service& service, Damage damage);

} // namespace MdnsMessage
