#include "hostwindow.h"

#include "sync/win32hostadapter.h"

#include <utility>

namespace
{

constexpr UINT_PTR kLifetimeTimer = 1;

} // namespace

HostWindow::HostWindow(Forwarder forwarder)
    : m_forwarder(std::move(forwarder))
{
}

HostWindow::~HostWindow()
{
    if (m_window != nullptr)
        DestroyWindow(m_window);
}

bool HostWindow::create()
{
    WNDCLASSEXW windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &HostWindow::windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    // A top-level window, as the tool's main window is: the host finds it by
    // FindWindowW, which does not see message-only windows.
    m_window = CreateWindowExW(0, kClassName, kTitle, WS_OVERLAPPED, 0, 0, 400, 600, nullptr,
        nullptr, windowClass.hInstance, this);
    return m_window != nullptr;
}

bool HostWindow::run(unsigned seconds)
{
    if (m_window == nullptr)
        return false;
    SetTimer(m_window, kLifetimeTimer, seconds * 1000u, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return !m_timedOut;
}

LRESULT HostWindow::packDecision(const HostIntake::Decision& decision, int datagrams)
{
    LRESULT packed = 0;
    if (decision.handled)
        packed |= 1;
    if (decision.action == HostIntake::Action::Forward)
        packed |= 2;
    packed |= (static_cast<LRESULT>(decision.action) & 0xF) << 4;
    packed |= (static_cast<LRESULT>(datagrams) & 0xFF) << 8;
    return packed;
}

LRESULT CALLBACK HostWindow::windowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(
            window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(window, msg, wParam, lParam);
    return self->handle(window, msg, wParam, lParam);
}

LRESULT HostWindow::handle(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case kInspect:
        switch (wParam) {
        case LastDecision:
            return m_lastDecision;
        case SyncDeviceType:
            return m_syncDeviceType;
        case FramesForwarded:
            return m_framesForwarded;
        case DatagramsSent:
            return m_datagramsSent;
        case LastPayload:
            return static_cast<LRESULT>(m_lastPayload);
        case HostMessages:
            return m_hostMessages;
        default:
            return -1;
        }
    case kQuit:
        DestroyWindow(window);
        return 0;
    case WM_TIMER:
        if (wParam == kLifetimeTimer) {
            m_timedOut = true;
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_DESTROY:
        KillTimer(window, kLifetimeTimer);
        m_window = nullptr;
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }

    HostIntake::Message message {};
    if (Platform::hostMessageFromWindowMessage(msg, wParam, lParam, message)) {
        ++m_hostMessages;
        if (message.message == HostIntake::kCopyData)
            m_lastPayload = reinterpret_cast<std::uintptr_t>(message.payload);
        const HostIntake::Decision decision = HostIntake::evaluate(message, m_syncDeviceType);
        if (decision.action == HostIntake::Action::SyncSwitch)
            m_syncDeviceType = decision.syncDeviceType;
        int datagrams = 0;
        if (decision.action == HostIntake::Action::Forward) {
            ++m_framesForwarded;
            datagrams = m_forwarder ? m_forwarder(decision) : 0;
            m_datagramsSent += datagrams;
        }
        m_lastDecision = packDecision(decision, datagrams);
        LRESULT result = 0;
        if (Platform::applyHostAnswer(
                HostIntake::HostAnswer { decision.handled, decision.result }, &result))
            return result;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}
