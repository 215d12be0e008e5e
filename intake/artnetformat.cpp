#include "intake/artnetformat.h"
#include "platform/hotpath.h"

#include <cstdio>
#include <cstring>

namespace ArtNetFormat
{

namespace
{

constexpr char kIdentifier[8] = { 'A', 'r', 't', '-', 'N', 'e', 't', '\0' };
constexpr std::uint16_t kLeastVersion = 14;
constexpr std::size_t kDmxHeader = 18;
constexpr std::size_t kPollLeast = 14;
constexpr std::size_t kPollTargetEnd = 18;
constexpr std::size_t kPollReplyLeast = 207;
constexpr std::uint8_t kTargetedFlag = 0x20;

// ArtPollReply fields.
constexpr std::size_t kIp = 10;
constexpr std::size_t kUdpPort = 14;
constexpr std::size_t kVersionInfo = 16;
constexpr std::size_t kNetSwitch = 18;
constexpr std::size_t kSubSwitch = 19;
constexpr std::size_t kOem = 20;
constexpr std::size_t kStatus1 = 23;
constexpr std::size_t kShortName = 26;
constexpr std::size_t kLongName = 44;
constexpr std::size_t kNodeReport = 108;
constexpr std::size_t kNumPorts = 172;
constexpr std::size_t kPortTypes = 174;
constexpr std::size_t kGoodOutputA = 182;
constexpr std::size_t kSwOut = 190;
constexpr std::size_t kBindIp = 207;
constexpr std::size_t kBindIndex = 211;
constexpr std::size_t kStatus2 = 212;
constexpr std::size_t kGoodOutputB = 213;

constexpr std::uint8_t kOutputDmx512 = 0x80; // PortTypes: can output, DMX512
constexpr std::uint8_t kDataOutput = 0x80; // GoodOutputA: data is being output
constexpr std::uint8_t kContinuousNoRdm = 0xC0; // GoodOutputB
constexpr std::uint8_t kFifteenBit = 0x08; // Status2
constexpr std::uint8_t kNormalLocalAddress = 0xD0; // Status1: indicators normal, set locally

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint16_t le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

// Copies at most size - 1 bytes of text and leaves the rest of the field zero.
void putText(std::uint8_t* field, std::size_t size, const char* text)
{
    for (std::size_t i = 0; text != nullptr && i + 1 < size && text[i] != '\0'; ++i)
        field[i] = static_cast<std::uint8_t>(text[i]);
}

template <std::size_t N> void getText(std::array<char, N>& out, const std::uint8_t* field)
{
    for (std::size_t i = 0; i + 1 < N && field[i] != 0; ++i)
        out[i] = static_cast<char>(field[i]);
}

struct Group {
    std::uint16_t first = 0;
    std::size_t ports = 0;
};

// Walks the groups of consecutive Port-Addresses, each of at most four sharing their top
// 11 bits; false when `index` is past the last.
bool groupAt(std::uint16_t first, std::size_t count, std::size_t index, Group& out)
{
    const std::size_t room = std::size_t { kLastPortAddress } - first + 1;
    const std::size_t ports = first > kLastPortAddress ? 0 : (count < room ? count : room);
    if (ports == 0) {
        out = { first, 0 };
        return index == 0;
    }
    std::size_t at = 0;
    for (std::size_t g = 0; at < ports; ++g) {
        const unsigned start = first + at;
        std::size_t n = 0;
        while (at + n < ports && n < kPortsPerReply && (start + n) >> 4 == start >> 4)
            ++n;
        if (g == index) {
            out = { static_cast<std::uint16_t>(start), n };
            return true;
        }
        at += n;
    }
    return false;
}

} // namespace

const char* reasonText(Reason reason)
{
    switch (reason) {
    case Reason::None:
        return "taken";
    case Reason::Short:
        return "shorter than its fields";
    case Reason::Identifier:
        return "not Art-Net";
    case Reason::OpCode:
        return "other OpCode";
    case Reason::Version:
        return "protocol version below 14";
    case Reason::Length:
        return "length odd or outside 2-512";
    case Reason::Truncated:
        return "length beyond the packet";
    }
    return "unknown";
}

PRISMARA_HOT Packet parse(const std::uint8_t* bytes, std::size_t size)
{
    Packet p;
    if (size < 10)
        return p;
    if (std::memcmp(bytes, kIdentifier, sizeof kIdentifier) != 0) {
        p.reason = Reason::Identifier;
        return p;
    }
    p.opCode = le16(bytes + 8);
    if (p.opCode == kOpDmx)
        p.kind = Kind::Dmx;
    else if (p.opCode == kOpPoll)
        p.kind = Kind::Poll;
    else {
        p.reason = Reason::OpCode;
        return p;
    }
    if (size < 12)
        return p;
    p.version = be16(bytes + 10);
    if (p.version < kLeastVersion) {
        p.reason = Reason::Version;
        return p;
    }
    if (p.kind == Kind::Poll) {
        if (size < kPollLeast)
            return p;
        p.flags = bytes[12];
        if ((p.flags & kTargetedFlag) != 0 && size >= kPollTargetEnd) {
            p.targeted = true;
            p.targetTop = be16(bytes + 14);
            p.targetBottom = be16(bytes + 16);
        }
        p.reason = Reason::None;
        return p;
    }
    if (size < kDmxHeader)
        return p;
    p.sequence = bytes[12];
    p.physical = bytes[13];
    p.portAddress = static_cast<std::uint16_t>((bytes[15] & 0x7F) << 8 | bytes[14]);
    p.length = be16(bytes + 16);
    if (p.length < 2 || p.length > 512 || p.length % 2 != 0)
        p.reason = Reason::Length;
    else if (p.length > size - kDmxHeader)
        p.reason = Reason::Truncated;
    else {
        p.reason = Reason::None;
        p.data = bytes + kDmxHeader;
    }
    return p;
}

std::size_t pollReplyCount(std::uint16_t firstPortAddress, std::size_t portCount)
{
    std::size_t n = 0;
    Group g;
    while (groupAt(firstPortAddress, portCount, n, g))
        ++n;
    return n;
}

std::size_t buildPollReply(
    std::uint8_t* out, std::size_t capacity, const PollReplyInfo& info, std::size_t index)
{
    Group g;
    if (capacity < kPollReplySize || !groupAt(info.firstPortAddress, info.portCount, index, g))
        return 0;
    std::memset(out, 0, kPollReplySize);
    std::memcpy(out, kIdentifier, sizeof kIdentifier);
    out[8] = kOpPollReply & 0xFF;
    out[9] = kOpPollReply >> 8;
    std::memcpy(out + kIp, info.address.data(), 4);
    out[kUdpPort] = kPort & 0xFF;
    out[kUdpPort + 1] = kPort >> 8;
    out[kVersionInfo + 1] = 1;
    out[kNetSwitch] = static_cast<std::uint8_t>((g.first >> 8) & 0x7F);
    out[kSubSwitch] = static_cast<std::uint8_t>((g.first >> 4) & 0x0F);
    out[kOem + 1] = 0xFF; // OemUnknown
    out[kStatus1] = kNormalLocalAddress;
    putText(out + kShortName, 18, info.shortName);
    putText(out + kLongName, 64, info.longName);
    char report[64];
    std::snprintf(report, sizeof report, "#0001 [%04u] %s", unsigned(info.replyCounter % 10000),
        info.outputting ? "Output active" : "Ready");
    putText(out + kNodeReport, 64, report);
    out[kNumPorts + 1] = static_cast<std::uint8_t>(g.ports);
    for (std::size_t i = 0; i < g.ports; ++i) {
        out[kPortTypes + i] = kOutputDmx512;
        out[kGoodOutputA + i] = info.outputting ? kDataOutput : 0;
        out[kSwOut + i] = static_cast<std::uint8_t>((g.first + i) & 0x0F);
        out[kGoodOutputB + i] = kContinuousNoRdm;
    }
    std::memcpy(out + kBindIp, info.address.data(), 4);
    out[kBindIndex] = static_cast<std::uint8_t>(index + 1);
    out[kStatus2] = kFifteenBit;
    return kPollReplySize;
}

PollReply parsePollReply(const std::uint8_t* bytes, std::size_t size)
{
    PollReply r;
    if (size < 10)
        return r;
    if (std::memcmp(bytes, kIdentifier, sizeof kIdentifier) != 0) {
        r.reason = Reason::Identifier;
        return r;
    }
    if (le16(bytes + 8) != kOpPollReply) {
        r.reason = Reason::OpCode;
        return r;
    }
    if (size < kPollReplyLeast)
        return r;
    std::memcpy(r.address.data(), bytes + kIp, 4);
    r.port = le16(bytes + kUdpPort);
    getText(r.shortName, bytes + kShortName);
    getText(r.longName, bytes + kLongName);
    const unsigned base = (bytes[kNetSwitch] & 0x7Fu) << 8 | (bytes[kSubSwitch] & 0x0Fu) << 4;
    for (std::size_t i = 0; i < kPortsPerReply; ++i) {
        if ((bytes[kPortTypes + i] & 0x80) == 0)
            continue;
        r.outputPortAddresses[r.outputs++]
            = static_cast<std::uint16_t>(base | (bytes[kSwOut + i] & 0x0Fu));
        r.outputting = r.outputting || (bytes[kGoodOutputA + i] & kDataOutput) != 0;
    }
    // BindIndex and Status2 came with later revisions; a 207-byte reply has neither.
    r.bindIndex = size > kBindIndex ? bytes[kBindIndex] : 0;
    r.fifteenBit = size > kStatus2 && (bytes[kStatus2] & kFifteenBit) != 0;
    r.reason = Reason::None;
    return r;
}

} // namespace ArtNetFormat
