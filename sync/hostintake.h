#pragma once

#include <cstddef>
#include <cstdint>

// What the tool does with one message from the host lighting application: a
// colour frame (WM_COPYDATA carrying a nanoleafData record) or a switch of the
// mirrored source. Pure decisions; the window logs, forwards and emits.
namespace HostIntake
{

constexpr std::uint32_t kCopyData = 74; // WM_COPYDATA
constexpr std::uint32_t kSyncSwitch = 33024; // 0x8100, WM_APP + 256
constexpr std::size_t kRecordSize = 56;
constexpr int kColourEntries = 12;

// The host's frame record.
struct nanoleafData {
    // Entry k: red, green, blue and an unused fourth byte.
    std::uint8_t colour[kColourEntries][4];
    std::int32_t reserved; // offset 48, only logged
    std::int32_t syncDeviceType; // offset 52
};
static_assert(sizeof(nanoleafData) == kRecordSize, "the record mirrors the host's 56 bytes");

// Decodes the 56-byte little-endian record at bytes[0..cbData). Returns false,
// leaving out untouched, when fewer than 56 bytes are given (or bytes is null);
// bytes beyond the 56th are ignored. Never reads past cbData.
bool decodeNanoleafData(const unsigned char* bytes, std::size_t cbData, nanoleafData& out);

// One native message as the host sent it. payload holds cbData bytes and may
// be null when cbData is 0.
struct Message {
    std::uint32_t message;
    std::uint64_t wParam;
    std::uint64_t dwData;
    std::uint32_t cbData;
    const unsigned char* payload;
};

// What goes back to the host: the handled flag and the result of its send call.
struct HostAnswer {
    bool handled;
    std::int64_t result;
};

enum class Action {
    Ignore, // not a host message
    Decline, // WM_COPYDATA for someone else: left to default processing
    Forward, // colour frame of the mirrored source: send it to the panels
    Drop, // colour frame of another source: accepted, not sent
    ShortFrame, // colour frame with fewer than 56 bytes: accepted, answered 0, not sent
    SyncSwitch, // the host chose another source
};

struct Decision {
    Action action;
    bool handled;
    std::int64_t result;
    int syncDeviceType; // the type in force after the message: the new one for SyncSwitch
    nanoleafData record; // decoded for Forward and Drop
    int red[kColourEntries];
    int green[kColourEntries];
    int blue[kColourEntries];
};

Decision evaluate(const Message& m, int currentSyncDeviceType, std::uint64_t customTypeRgb = 10001);

} // namespace HostIntake
