#include "intake/ddpformat.h"
#include "platform/hotpath.h"

namespace DdpFormat
{

namespace
{

constexpr std::size_t kHeader = 10;
constexpr std::size_t kTimecode = 4;
constexpr std::uint8_t kVersionMask = 0xC0;
constexpr std::uint8_t kVersion1 = 0x40;
constexpr std::uint8_t kTimecodeFlag = 0x10;
constexpr std::uint8_t kStorageFlag = 0x08;
constexpr std::uint8_t kReplyFlag = 0x04;
constexpr std::uint8_t kQueryFlag = 0x02;
constexpr std::uint8_t kPushFlag = 0x01;

// 246 control, 250 config, 251 status, 254 DMX transit carry no pixels; 0 is reserved and
// 2-245 name outputs of a multi-output receiver, which this one is not.
bool forTheStrip(std::uint8_t id)
{
    return id == 1 || id == 255;
}

bool rgb8(std::uint8_t type)
{
    return type == 0x0B || type == 0x01 || type == 0x00;
}

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t { p[0] } << 24 | std::uint32_t { p[1] } << 16 | std::uint32_t { p[2] } << 8
        | p[3];
}

} // namespace

const char* reasonText(Reason reason)
{
    switch (reason) {
    case Reason::None:
        return "data";
    case Reason::Short:
        return "shorter than its header";
    case Reason::Version:
        return "version not 1";
    case Reason::Reply:
        return "reply";
    case Reason::Query:
        return "query";
    case Reason::Storage:
        return "storage request";
    case Reason::DataType:
        return "data type not RGB 8-bit";
    case Reason::Destination:
        return "destination not the display";
    case Reason::Truncated:
        return "length beyond the packet";
    }
    return "unknown";
}

PRISMARA_HOT Packet parse(const std::uint8_t* bytes, std::size_t size)
{
    Packet p;
    if (size < kHeader)
        return p;
    const std::uint8_t flags = bytes[0];
    p.push = (flags & kPushFlag) != 0;
    p.hasTimecode = (flags & kTimecodeFlag) != 0;
    p.sequence = bytes[1] & 0x0F;
    p.dataType = bytes[2];
    p.destination = bytes[3];
    p.offset = be32(bytes + 4);
    p.length = static_cast<std::uint16_t>(bytes[8] << 8 | bytes[9]);
    const std::size_t header = p.hasTimecode ? kHeader + kTimecode : kHeader;
    if (size < header)
        return p;
    if (p.hasTimecode)
        p.timecode = be32(bytes + kHeader);
    if ((flags & kVersionMask) != kVersion1)
        p.reason = Reason::Version;
    else if ((flags & kReplyFlag) != 0)
        p.reason = Reason::Reply;
    else if ((flags & kQueryFlag) != 0)
        p.reason = Reason::Query;
    else if ((flags & kStorageFlag) != 0)
        p.reason = Reason::Storage;
    else if (!rgb8(p.dataType))
        p.reason = Reason::DataType;
    else if (!forTheStrip(p.destination))
        p.reason = Reason::Destination;
    else if (p.length > size - header)
        p.reason = Reason::Truncated;
    else {
        p.reason = Reason::None;
        p.data = bytes + header;
    }
    return p;
}

} // namespace DdpFormat
