#include "sync/win32hostadapter.h"

#ifdef _WIN32

#include <cstdint>

namespace Platform
{

static_assert(WM_COPYDATA == HostIntake::kCopyData, "the intake's WM_COPYDATA number");
static_assert(WM_APP + 256 == HostIntake::kSyncSwitch, "the host's sync switch is WM_APP + 256");

bool hostMessageFromWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, HostIntake::Message& out)
{
    if (msg == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data == nullptr)
            return false;
        out.message = HostIntake::kCopyData;
        out.wParam = static_cast<std::uint64_t>(wParam);
        out.dwData = static_cast<std::uint64_t>(data->dwData);
        // The intake trusts payload to hold cbData bytes; without a buffer there are none.
        out.payload = static_cast<const unsigned char*>(data->lpData);
        out.cbData = data->lpData != nullptr ? static_cast<std::uint32_t>(data->cbData) : 0;
        return true;
    }
    if (msg == HostIntake::kSyncSwitch) {
        out.message = HostIntake::kSyncSwitch;
        out.wParam = static_cast<std::uint64_t>(wParam);
        out.dwData = 0;
        out.cbData = 0;
        out.payload = nullptr;
        return true;
    }
    return false;
}

} // namespace Platform

#endif // _WIN32
