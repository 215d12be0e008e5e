// The Win32 host adapter: which window messages become host messages and with
// which fields, how the intake's answer becomes the message result, and, through a
// real window, that a short WM_COPYDATA record is never read past its cbData bytes
// (the payload ends at a PAGE_NOACCESS page: an over-read is an access violation).

#include "wincheck.h"

#include "sync/win32hostadapter.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

WinCheck* g_check = nullptr;
int g_syncDeviceType = 1;
HostIntake::Decision g_last {};

LONG WINAPI reportCrash(EXCEPTION_POINTERS* info)
{
    g_check->check(false, "no read past a host payload",
        "exception " + std::to_string(info->ExceptionRecord->ExceptionCode));
    std::exit(g_check->finish());
}

// The tool's window procedure in small: adapter, intake, answer.
LRESULT CALLBACK hostWindow(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HostIntake::Message m {};
    if (!Platform::hostMessageFromWindowMessage(msg, wParam, lParam, m))
        return DefWindowProcW(window, msg, wParam, lParam);
    g_last = HostIntake::evaluate(m, g_syncDeviceType);
    LRESULT result = 0;
    if (!Platform::applyHostAnswer(
            HostIntake::HostAnswer { g_last.handled, g_last.result }, &result))
        return DefWindowProcW(window, msg, wParam, lParam);
    return result;
}

// `bytes` placed so that they end where readable memory ends.
const std::uint8_t* guarded(const Bytes& bytes)
{
    const std::size_t page = 65536;
    auto* base = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (base == nullptr || !VirtualProtect(base + page, page, PAGE_NOACCESS, &previous))
        return nullptr;
    std::memcpy(base + page - bytes.size(), bytes.data(), bytes.size());
    return base + page - bytes.size();
}

void windowMessages(WinCheck& t)
{
    std::uint8_t bytes[56] = {};
    struct Row {
        const char* name;
        UINT msg;
        WPARAM wParam;
        bool withStruct, withData;
        ULONG_PTR dwData;
        bool isHost;
        std::uint32_t cbDataOut;
    };
    const Row rows[] = {
        { "WM_COPYDATA colour frame", WM_COPYDATA, 0x1234, true, true, 10001, true, 56 },
        { "WM_COPYDATA, 64-bit dwData", WM_COPYDATA, 0, true, true, 0x100002711ull, true, 56 },
        { "WM_COPYDATA without lpData", WM_COPYDATA, 0, true, false, 10001, true, 0 },
        { "WM_COPYDATA without COPYDATASTRUCT", WM_COPYDATA, 0, false, false, 0, false, 0 },
        { "sync switch 33024, 64-bit wParam", 33024, 0x100000002ull, false, false, 0, true, 0 },
        { "WM_NULL", WM_NULL, 0, false, false, 0, false, 0 },
        { "WM_APP + 257", WM_APP + 257, 3, false, false, 0, false, 0 },
    };
    for (const Row& row : rows) {
        COPYDATASTRUCT data { row.dwData, 56, row.withData ? bytes : nullptr };
        HostIntake::Message out {};
        out.message = 0xDEAD;
        const std::string name = row.name;
        const bool isHost = Platform::hostMessageFromWindowMessage(
            row.msg, row.wParam, row.withStruct ? reinterpret_cast<LPARAM>(&data) : 0, out);
        if (!t.equal(isHost, row.isHost, name + ": a host message") || !isHost) {
            t.equal(out.message, std::uint32_t(0xDEAD), name + ": output left alone");
            continue;
        }
        t.equal(out.message, std::uint32_t(row.msg), name + ": message");
        t.equal(out.wParam, std::uint64_t(row.wParam), name + ": wParam");
        t.equal(out.dwData, std::uint64_t(row.withStruct ? row.dwData : 0), name + ": dwData");
        t.equal(out.cbData, row.cbDataOut, name + ": cbData");
        t.check(out.payload == (row.withData ? bytes : nullptr), name + ": payload");
    }
    long qtResult = 77;
    t.equal(Platform::applyHostAnswer(HostIntake::HostAnswer { false, 1 }, &qtResult), false,
        "not handled: Qt's result left alone");
    t.equal(qtResult, 77L, "not handled: result 77 kept");
}

void throughAWindow(WinCheck& t)
{
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = hostWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PrismaraHostReceiver";
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, L"PrismaraHostReceiver", L"Prismara Nanoleaf Tool",
        WS_OVERLAPPED, 0, 0, 400, 600, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!t.check(window != nullptr, "a window of our own"))
        return;
    Bytes full(56, 0);
    for (std::size_t i = 0; i < 48; ++i)
        full[i] = static_cast<std::uint8_t>(i + 1);
    full[52] = 1; // sync device type 1
    for (std::size_t cbData : { 1, 47, 55, 56 }) {
        const std::string name = "WM_COPYDATA, cbData " + std::to_string(cbData);
        COPYDATASTRUCT data { 10001, DWORD(cbData),
            const_cast<std::uint8_t*>(guarded(Bytes(full.begin(), full.begin() + long(cbData)))) };
        if (!t.check(data.lpData != nullptr, name + ": guard page"))
            continue;
        const LRESULT result
            = SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        t.equal(result, LRESULT(cbData == 56 ? 1 : 0), name + ": SendMessage result");
    }
    t.equal(g_last.action, HostIntake::Action::Forward, "the whole record is forwarded");
    t.equal(
        g_last.red[0] * 10000 + g_last.green[0] * 100 + g_last.blue[0], 10203, "entry 0 colour");
    t.equal(g_last.blue[11], 47, "entry 11 blue (the byte before offset 48)");
    t.equal(SendMessageW(window, 33024, 3, 0), LRESULT(0), "sync switch: SendMessage gives 0");
    DestroyWindow(window);
}

} // namespace

int main()
{
    WinCheck t("tst_win_hostadapter");
    g_check = &t;
    SetUnhandledExceptionFilter(reportCrash);
    windowMessages(t);
    throughAWindow(t);
    return t.finish();
}
