// Feeds arbitrary host messages to the intake and checks what the window relies
// on: a colour record is read only when all 56 bytes are there, never past
// cbData; every message gets exactly one of the documented answers; forwarded
// colours are the record's bytes.
//
// Input: byte 0 picks the message (74, 33024 or another), bytes 1..8 wParam,
// bytes 9..12 the window's current sync device type, byte 13 the identifier
// (even: 10001, odd: something else), the rest is the payload.

#include "sync/hostintake.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

std::uint64_t le(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kHeader = 14;
    if (size < kHeader)
        return 0;
    static const std::uint32_t kMessages[]
        = { HostIntake::kCopyData, HostIntake::kSyncSwitch, 15, 33025 };
    const std::uint32_t message = kMessages[data[0] % 4];
    const std::uint64_t wParam = le(data + 1, 8);
    const int current = static_cast<std::int32_t>(static_cast<std::uint32_t>(le(data + 9, 4)));
    const std::uint64_t dwData
        = (data[13] % 2 == 0) ? 10001 : 10001 + (std::uint64_t { data[13] } << 32);

    // Exactly cbData bytes of its own, so a sanitizer sees any read past them.
    const std::size_t cbData = size - kHeader;
    std::unique_ptr<unsigned char[]> payload(cbData ? new unsigned char[cbData] : nullptr);
    if (cbData)
        std::memcpy(payload.get(), data + kHeader, cbData);

    HostIntake::nanoleafData record {};
    check(HostIntake::decodeNanoleafData(payload.get(), cbData, record)
        == (cbData >= HostIntake::kRecordSize));

    const HostIntake::Message m { message, wParam, dwData, static_cast<std::uint32_t>(cbData),
        payload.get() };
    const HostIntake::Decision d = HostIntake::evaluate(m, current);
    using HostIntake::Action;
    if (message == HostIntake::kSyncSwitch) {
        check(d.action == Action::SyncSwitch && !d.handled);
        check(d.syncDeviceType == static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam)));
        return 0;
    }
    check(d.syncDeviceType == current);
    if (message != HostIntake::kCopyData) {
        check(d.action == Action::Ignore && !d.handled);
        return 0;
    }
    if (dwData != 10001) {
        check(d.action == Action::Decline && !d.handled && d.result == 0);
        return 0;
    }
    if (cbData < HostIntake::kRecordSize) {
        check(d.action == Action::ShortFrame && d.handled && d.result == 0);
        return 0;
    }
    check(d.handled && d.result == 1);
    check(d.record.syncDeviceType == record.syncDeviceType);
    check((d.action == Action::Forward) == (record.syncDeviceType == current));
    check(d.action == Action::Forward || d.action == Action::Drop);
    if (d.action == Action::Forward) {
        for (int k = 0; k < HostIntake::kColourEntries; ++k) {
            check(d.red[k] == payload[4 * k] && d.green[k] == payload[4 * k + 1]
                && d.blue[k] == payload[4 * k + 2]);
            check(d.red[k] >= 0 && d.red[k] <= 255);
        }
    }
    return 0;
}
