#include "intake/e131format.h"
#include "platform/hotpath.h"

#include <cstring>

namespace E131Format
{

namespace
{

constexpr std::uint8_t kIdentifier[12]
    = { 0x41, 0x53, 0x43, 0x2D, 0x45, 0x31, 0x2E, 0x31, 0x37, 0x00, 0x00, 0x00 };
constexpr std::uint32_t kRootData = 0x00000004;
constexpr std::uint32_t kRootExtended = 0x00000008;
constexpr std::uint32_t kFramingData = 0x00000002;
constexpr std::uint32_t kFramingSync = 0x00000001;
constexpr std::uint32_t kFramingDiscovery = 0x00000002;
constexpr std::size_t kRootStart = 16;
constexpr std::size_t kFramingStart = 38;
constexpr std::size_t kDmpStart = 115;
constexpr std::size_t kValuesStart = 125;
constexpr std::size_t kSyncSize = 49;
constexpr std::size_t kDiscoveryLeast = 120; // up to the universe list
constexpr std::size_t kNameSize = 64;

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t { p[0] } << 24 | std::uint32_t { p[1] } << 16 | std::uint32_t { p[2] } << 8
        | p[3];
}

// Flags & length: 0x7 in the top nibble, the layer's length from its own first byte to the
// packet's end in the low 12 bits.
bool flagsOk(const std::uint8_t* p)
{
    return (p[0] >> 4) == 0x7;
}

bool lengthIs(const std::uint8_t* p, std::size_t length)
{
    return (be16(p) & 0x0FFFu) == length;
}

} // namespace

const char* reasonText(Reason reason)
{
    switch (reason) {
    case Reason::None:
        return "data";
    case Reason::Short:
        return "shorter than its layers";
    case Reason::Preamble:
        return "preamble size not 16";
    case Reason::Postamble:
        return "postamble size not 0";
    case Reason::Identifier:
        return "not ASC-E1.17";
    case Reason::RootFlags:
        return "root layer flags";
    case Reason::RootLength:
        return "root layer length";
    case Reason::RootVector:
        return "root vector";
    case Reason::FramingFlags:
        return "framing layer flags";
    case Reason::FramingLength:
        return "framing layer length";
    case Reason::FramingVector:
        return "framing vector";
    case Reason::Priority:
        return "priority above 200";
    case Reason::Universe:
        return "universe outside 1-63999";
    case Reason::SyncAddress:
        return "sync address outside 1-63999";
    case Reason::DmpFlags:
        return "DMP layer flags";
    case Reason::DmpLength:
        return "DMP layer length";
    case Reason::DmpVector:
        return "DMP vector";
    case Reason::AddressType:
        return "address and data type";
    case Reason::FirstAddress:
        return "first property address";
    case Reason::Increment:
        return "address increment";
    case Reason::Count:
        return "property value count";
    case Reason::StartCode:
        return "START code not 0";
    case Reason::Discovery:
        return "universe discovery";
    }
    return "unknown";
}

PRISMARA_HOT Packet parse(const std::uint8_t* bytes, std::size_t size)
{
    Packet p;
    if (size < kFramingStart + 6)
        return p;
    if (be16(bytes) != 0x0010) {
        p.reason = Reason::Preamble;
        return p;
    }
    if (be16(bytes + 2) != 0x0000) {
        p.reason = Reason::Postamble;
        return p;
    }
    if (std::memcmp(bytes + 4, kIdentifier, sizeof kIdentifier) != 0) {
        p.reason = Reason::Identifier;
        return p;
    }
    if (!flagsOk(bytes + kRootStart)) {
        p.reason = Reason::RootFlags;
        return p;
    }
    if (!lengthIs(bytes + kRootStart, size - kRootStart)) {
        p.reason = Reason::RootLength;
        return p;
    }
    const std::uint32_t rootVector = be32(bytes + 18);
    if (rootVector != kRootData && rootVector != kRootExtended) {
        p.reason = Reason::RootVector;
        return p;
    }
    std::memcpy(p.cid.data(), bytes + 22, p.cid.size());
    if (!flagsOk(bytes + kFramingStart)) {
        p.reason = Reason::FramingFlags;
        return p;
    }
    if (!lengthIs(bytes + kFramingStart, size - kFramingStart)) {
        p.reason = Reason::FramingLength;
        return p;
    }
    const std::uint32_t framingVector = be32(bytes + 40);

    if (rootVector == kRootExtended) {
        if (framingVector == kFramingSync) {
            p.kind = Kind::Sync;
            if (size < kSyncSize) {
                p.reason = Reason::Short;
                return p;
            }
            p.sequence = bytes[44];
            p.syncAddress = be16(bytes + 45);
            // Two reserved bytes end the packet; nothing may follow them.
            if (size != kSyncSize)
                p.reason = Reason::FramingLength;
            else if (p.syncAddress == 0 || p.syncAddress > kLastUniverse)
                p.reason = Reason::SyncAddress;
            else
                p.reason = Reason::None;
            return p;
        }
        if (framingVector == kFramingDiscovery) {
            p.kind = Kind::Discovery;
            p.reason = size < kDiscoveryLeast ? Reason::Short : Reason::Discovery;
            return p;
        }
        p.reason = Reason::FramingVector;
        return p;
    }

    if (framingVector != kFramingData) {
        p.reason = Reason::FramingVector;
        return p;
    }
    if (size < kValuesStart + 1)
        return p;
    p.sourceName = reinterpret_cast<const char*>(bytes + 44);
    while (p.sourceNameLength < kNameSize && bytes[44 + p.sourceNameLength] != 0)
        ++p.sourceNameLength;
    p.priority = bytes[108];
    p.syncAddress = be16(bytes + 109);
    p.sequence = bytes[111];
    const std::uint8_t options = bytes[112];
    p.preview = (options & 0x80) != 0;
    p.terminated = (options & 0x40) != 0;
    p.forceSync = (options & 0x20) != 0;
    p.universe = be16(bytes + 113);
    const std::uint16_t count = be16(bytes + 123);
    if (p.priority > kHighestPriority)
        p.reason = Reason::Priority;
    else if (p.universe == 0 || p.universe > kLastUniverse)
        p.reason = Reason::Universe;
    else if (p.syncAddress > kLastUniverse)
        p.reason = Reason::SyncAddress;
    else if (!flagsOk(bytes + kDmpStart))
        p.reason = Reason::DmpFlags;
    else if (!lengthIs(bytes + kDmpStart, size - kDmpStart))
        p.reason = Reason::DmpLength;
    else if (bytes[117] != 0x02)
        p.reason = Reason::DmpVector;
    else if (bytes[118] != 0xA1)
        p.reason = Reason::AddressType;
    else if (be16(bytes + 119) != 0x0000)
        p.reason = Reason::FirstAddress;
    else if (be16(bytes + 121) != 0x0001)
        p.reason = Reason::Increment;
    else if (count < 1 || count > 513 || count != size - kValuesStart)
        p.reason = Reason::Count;
    else {
        p.startCode = bytes[kValuesStart];
        p.channels = bytes + kValuesStart + 1;
        p.channelCount = static_cast<std::uint16_t>(count - 1);
        p.reason = p.startCode == 0 ? Reason::None : Reason::StartCode;
    }
    return p;
}

std::array<std::uint8_t, 4> multicastGroup(std::uint16_t universe)
{
    return { 239, 255, static_cast<std::uint8_t>(universe >> 8),
        static_cast<std::uint8_t>(universe & 0xFF) };
}

} // namespace E131Format
