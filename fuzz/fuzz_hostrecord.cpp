// Feeds arbitrary host messages to the intake and checks what the window relies
// on: a record is never read past cbData (the sanitizers see that: the payload has
// exactly cbData bytes), every message gets one consistent answer (handled with
// result 1 for a full record, 0 for a short one, not handled otherwise), only a
// sync switch changes the type in force, and only a frame of that type is forwarded.
//
// Input: byte 0 picks the message (74, 33024 or another), bytes 1..8 wParam,
// bytes 9..12 the window's current sync device type, byte 13 the identifier
// (even: 10001, odd: something else), the rest is the payload.

#include "fuzzcheck.h"
#include "sync/hostintake.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 14)
        return 0;
    static const std::uint32_t kMessages[] = { 74, 33024, 15, 33025 };
    std::uint64_t wParam = 0;
    std::uint32_t current = 0;
    std::memcpy(&wParam, data + 1, 8);
    std::memcpy(&current, data + 9, 4);
    const std::uint64_t dwData = data[13] % 2 ? 10001 + (std::uint64_t { data[13] } << 32) : 10001;
    const std::size_t cbData = size - 14;
    std::unique_ptr<unsigned char[]> payload(cbData ? new unsigned char[cbData] : nullptr);
    if (cbData)
        std::memcpy(payload.get(), data + 14, cbData);

    const HostIntake::Decision d = HostIntake::evaluate(
        { kMessages[data[0] % 4], wParam, dwData, std::uint32_t(cbData), payload.get() },
        std::int32_t(current));
    using A = HostIntake::Action;
    const bool taken = d.action == A::Forward || d.action == A::Drop;
    check(d.handled == (taken || d.action == A::ShortFrame));
    check(d.result == (taken ? 1 : 0));
    check(d.action == A::SyncSwitch || d.syncDeviceType == std::int32_t(current));
    check(!taken || cbData >= 56);
    check(d.action != A::Forward || d.record.syncDeviceType == std::int32_t(current));
    for (int k = 0; d.action == A::Forward && k < 12; ++k)
        check(d.red[k] >= 0 && d.red[k] <= 255 && d.green[k] >= 0 && d.blue[k] <= 255);
    return 0;
}
