#pragma once

// The Windows end of the host intake: the host application's window messages (a
// WM_COPYDATA colour frame, the sync switch 33024) become a HostIntake::Message,
// and the intake's answer becomes the window procedure's result, which is what the
// host's SendMessage returns. ZelNanoleafTool::nativeEvent calls these with the MSG
// Qt hands it; the Win32 test receiver calls them from a plain window procedure.

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "sync/hostintake.h"

#include <type_traits>

namespace Platform
{

// Fills `out` from one window message and returns true when it is a host message:
// WM_COPYDATA (its COPYDATASTRUCT's dwData, cbData and lpData) or 33024 (wParam).
// Every other message, and a WM_COPYDATA without a COPYDATASTRUCT, gives false and
// leaves `out` alone. Only the COPYDATASTRUCT itself is read here; out.payload
// points at the sender's bytes as the system copied them into this process, which
// are exactly cbData long. A null lpData is passed on as an empty payload.
bool hostMessageFromWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, HostIntake::Message& out);

// Writes the answer's result into *result when the message was handled and leaves
// *result untouched otherwise; returns the handled flag. Result is Qt 5's long
// (nativeEvent) or LRESULT (a window procedure).
template <typename Result>
bool applyHostAnswer(const HostIntake::HostAnswer& answer, Result* result)
{
    static_assert(std::is_integral<Result>::value, "a message result is an integer");
    if (answer.handled && result != nullptr)
        *result = static_cast<Result>(answer.result);
    return answer.handled;
}

} // namespace Platform

#endif // _WIN32
