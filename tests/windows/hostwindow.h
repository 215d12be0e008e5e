#pragma once

// A plain Win32 window that takes the host's messages the way the tool's main
// window does: each message goes through Platform::hostMessageFromWindowMessage,
// HostIntake::evaluate decides, an accepted frame of the current sync device type
// is handed to the forwarder, and Platform::applyHostAnswer turns the answer into
// the result the host's SendMessage returns. A test host asks it what happened
// through kInspect (a window message, so it works across processes).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "sync/hostintake.h"

#include <cstdint>
#include <functional>

class HostWindow
{
public:
    static constexpr const wchar_t* kClassName = L"PrismaraHostReceiver";
    static constexpr const wchar_t* kTitle = L"Prismara Nanoleaf Tool";

    // SendMessage(kInspect, what, 0) answers with one of these.
    static constexpr UINT kInspect = WM_APP + 1;
    enum Inspect : WPARAM {
        LastDecision = 0, // packDecision() of the last host message
        SyncDeviceType = 1,
        FramesForwarded = 2,
        DatagramsSent = 3, // summed over frames, as the forwarder reported
        LastPayload = 4, // the payload address the last WM_COPYDATA carried (in-process use)
        HostMessages = 5, // host messages seen
    };
    // SendMessage(kQuit) closes the window; the message loop then ends.
    static constexpr UINT kQuit = WM_APP + 2;

    // Gets the decoded colours of a frame to forward; returns the datagrams sent.
    using Forwarder = std::function<int(const HostIntake::Decision&)>;

    explicit HostWindow(Forwarder forwarder);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    bool create();
    HWND handle() const { return m_window; }

    // Runs the message loop until the window is closed or `seconds` have passed.
    // Returns false on time-out.
    bool run(unsigned seconds);

    // Bits: 0 handled, 1 forwarded, 4..7 the action, 8..15 datagrams sent for it.
    static LRESULT packDecision(const HostIntake::Decision& decision, int datagrams);
    static bool unpackHandled(LRESULT packed) { return (packed & 1) != 0; }
    static bool unpackForwarded(LRESULT packed) { return (packed & 2) != 0; }
    static HostIntake::Action unpackAction(LRESULT packed)
    {
        return static_cast<HostIntake::Action>((packed >> 4) & 0xF);
    }
    static int unpackDatagrams(LRESULT packed) { return static_cast<int>((packed >> 8) & 0xFF); }

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT handle(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

    Forwarder m_forwarder;
    HWND m_window = nullptr;
    int m_syncDeviceType = 1;
    LRESULT m_lastDecision = 0;
    std::uintptr_t m_lastPayload = 0;
    int m_framesForwarded = 0;
    int m_datagramsSent = 0;
    int m_hostMessages = 0;
    bool m_timedOut = false;
};
