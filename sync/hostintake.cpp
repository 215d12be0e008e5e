#include "sync/hostintake.h"
#include "platform/hotpath.h"

namespace HostIntake
{

namespace
{

std::int32_t readLe32(const unsigned char* p)
{
    const std::uint32_t v = static_cast<std::uint32_t>(p[0])
        | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16)
        | (static_cast<std::uint32_t>(p[3]) << 24);
    return static_cast<std::int32_t>(v);
}

} // namespace

PRISMARA_HOT bool decodeNanoleafData(
    const unsigned char* bytes, std::size_t cbData, nanoleafData& out)
{
    if (bytes == nullptr || cbData < kRecordSize)
        return false;
    for (int k = 0; k < kColourEntries; ++k) {
        for (int b = 0; b < 4; ++b)
            out.colour[k][b] = bytes[4 * k + b];
    }
    out.reserved = readLe32(bytes + 48);
    out.syncDeviceType = readLe32(bytes + 52);
    return true;
}

PRISMARA_HOT Decision evaluate(
    const Message& m, int currentSyncDeviceType, std::uint64_t customTypeRgb)
{
    Decision d {};
    d.action = Action::Ignore;
    d.handled = false;
    d.result = 0;
    d.syncDeviceType = currentSyncDeviceType;

    if (m.message == kSyncSwitch) {
        d.action = Action::SyncSwitch;
        d.syncDeviceType
            = static_cast<std::int32_t>(static_cast<std::uint32_t>(m.wParam & 0xFFFFFFFFu));
        return d;
    }
    if (m.message != kCopyData)
        return d;
    if (m.dwData != customTypeRgb) {
        d.action = Action::Decline;
        return d;
    }
    // A short record is answered (so the host's send call returns) with 0, which
    // tells the host the frame was not taken.
    if (!decodeNanoleafData(m.payload, m.cbData, d.record)) {
        d.action = Action::ShortFrame;
        d.handled = true;
        d.result = 0;
        return d;
    }
    d.handled = true;
    d.result = 1;
    if (d.record.syncDeviceType != currentSyncDeviceType) {
        d.action = Action::Drop;
        return d;
    }
    d.action = Action::Forward;
    for (int k = 0; k < kColourEntries; ++k) {
        d.red[k] = d.record.colour[k][0];
        d.green[k] = d.record.colour[k][1];
        d.blue[k] = d.record.colour[k][2];
    }
    return d;
}

} // namespace HostIntake
