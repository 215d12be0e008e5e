#pragma once

// Art-Net 4 packets on UDP 6454: ArtDmx (DMX512 channel values for one 15-bit
// Port-Address) and ArtPoll in, ArtPollReply out, so that consoles list the tool as a node.

#include <array>
#include <cstddef>
#include <cstdint>

namespace ArtNetFormat
{

constexpr std::uint16_t kPort = 6454;
constexpr std::uint16_t kOpPoll = 0x2000;
constexpr std::uint16_t kOpPollReply = 0x2100;
constexpr std::uint16_t kOpDmx = 0x5000;
constexpr std::uint16_t kLastPortAddress = 0x7FFF;
constexpr std::size_t kPollReplySize = 239;
constexpr std::size_t kPortsPerReply = 4;

enum class Kind : std::uint8_t { Dmx, Poll, Other };

enum class Reason : std::uint8_t {
    None, // an ArtDmx or ArtPoll to act on
    Short, // fewer bytes than its fields
    Identifier, // not "Art-Net\0"
    OpCode, // an Art-Net packet of another kind: nothing to take
    Version, // protocol version below 14
    Length, // ArtDmx data length odd or outside 2-512
    Truncated, // ArtDmx length claims more data than the packet holds
};
constexpr int kReasonCount = 7;

// Short lower-case text for counters and logs ("other OpCode").
const char* reasonText(Reason reason);

struct Packet {
    Reason reason = Reason::Short;
    Kind kind = Kind::Other;
    std::uint16_t opCode = 0;
    std::uint16_t version = 0;
    // ArtDmx
    std::uint8_t sequence = 0; // 0: the sender does not number its packets
    std::uint8_t physical = 0; // the input port the data came from; information only
    std::uint16_t portAddress = 0; // 15 bits: Net, Sub-Net, Universe
    std::uint16_t length = 0; // channel values at `data`
    const std::uint8_t* data = nullptr; // inside the parsed bytes, not a copy
    // ArtPoll
    std::uint8_t flags = 0;
    bool targeted = false; // only nodes with a Port-Address in [targetBottom, targetTop] answer
    std::uint16_t targetTop = 0;
    std::uint16_t targetBottom = 0;
};

// Reads one Art-Net packet of `size` bytes. Reason None: an ArtDmx (OpCode 0x5000, version
// >= 14, even length 2-512, the Port-Address from SubUni and the low 7 bits of Net; bytes
// past the length ignored) or an ArtPoll (OpCode 0x2000, at least 14 bytes; its targeted
// mode when flag bit 5 is set and the range is present). Other OpCodes give reason OpCode.
// Never reads outside [bytes, bytes + size), allocates nothing, throws nothing.
Packet parse(const std::uint8_t* bytes, std::size_t size);

// What an ArtPollReply says about this node. The names are cut to 17 and 63 bytes.
struct PollReplyInfo {
    std::array<std::uint8_t, 4> address {}; // the node's IPv4 address, as the poller sees it
    const char* shortName = "";
    const char* longName = "";
    std::uint16_t firstPortAddress = 0; // of the outputs, consecutive
    std::size_t portCount = 0;
    bool outputting = false; // data is being output now
    std::uint16_t replyCounter = 0; // shown in the node report
};

// How many replies describe `portCount` outputs from firstPortAddress: at most four ports
// each, all of one reply sharing the top 11 bits of their Port-Address (Net and Sub-Net).
// One reply when there are no ports. Ports past 0x7FFF do not exist and are left out.
std::size_t pollReplyCount(std::uint16_t firstPortAddress, std::size_t portCount);

// Writes reply number `index` (0-based; its BindIndex is index + 1) of the set above into
// out[0, kPollReplySize) and returns kPollReplySize, or 0 (nothing written) when the index
// is past the set or capacity is too small. Output ports of DMX512, continuous output, RDM
// disabled, 15-bit Port-Addresses, style StNode. Pure; allocates nothing.
std::size_t buildPollReply(
    std::uint8_t* out, std::size_t capacity, const PollReplyInfo& info, std::size_t index);

// An ArtPollReply read back (as a console reads ours).
struct PollReply {
    Reason reason = Reason::Short;
    std::array<std::uint8_t, 4> address {};
    std::uint16_t port = 0;
    std::array<char, 18> shortName {}; // NUL-terminated
    std::array<char, 64> longName {};
    std::uint8_t bindIndex = 0;
    std::size_t outputs = 0; // output ports listed, in outputPortAddresses[0, outputs)
    std::array<std::uint16_t, kPortsPerReply> outputPortAddresses {};
    bool outputting = false; // any output's GoodOutputA bit 7
    bool fifteenBit = false; // Status2 bit 3
};

// Reads an ArtPollReply (at least 207 bytes, as the Art-Net document asks consumers to
// accept). Reason None on success, OpCode for another packet. Allocates nothing.
PollReply parsePollReply(const std::uint8_t* bytes, std::size_t size);

} // namespace ArtNetFormat
