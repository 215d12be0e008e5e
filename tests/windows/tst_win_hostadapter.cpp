// The Win32 host adapter in one process: which window messages become host
// messages and with which fields, how the intake's answer becomes the message
// result (for a window procedure's LRESULT and for Qt 5's long), and, through a
// real window, that a short WM_COPYDATA record is never read past its cbData
// bytes: the payload ends at a PAGE_NOACCESS page, so an over-read is an access
// violation, reported as a failure by the filter below.

#include "guardedpayload.h"
#include "hostwindow.h"
#include "wincheck.h"

#include "sync/win32hostadapter.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

WinCheck* g_check = nullptr;

LONG WINAPI reportCrash(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    std::string detail = "exception 0x";
    char code[32];
    std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(record->ExceptionCode));
    detail += code;
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        std::snprintf(code, sizeof code, " reading %p",
            reinterpret_cast<void*>(static_cast<std::uintptr_t>(record->ExceptionInformation[1])));
        detail += code;
    }
    if (g_check != nullptr) {
        g_check->check(false, "no read past a host payload", detail);
        std::exit(g_check->finish());
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

Bytes nanoleafRecord(std::int32_t syncDeviceType)
{
    Bytes out(56, 0);
    for (std::size_t k = 0; k < 12; ++k) {
        out[4 * k] = static_cast<std::uint8_t>(10 * k + 1);
        out[4 * k + 1] = static_cast<std::uint8_t>(10 * k + 2);
        out[4 * k + 2] = static_cast<std::uint8_t>(10 * k + 3);
        out[4 * k + 3] = 0xEE; // never forwarded
    }
    // Entry 0 of the worked example: 200, 100, 50 and an unused 7.
    out[0] = 200;
    out[1] = 100;
    out[2] = 50;
    out[3] = 7;
    const auto type = static_cast<std::uint32_t>(syncDeviceType);
    for (int i = 0; i < 4; ++i)
        out[52 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(type >> (8 * i));
    return out;
}

void windowMessages(WinCheck& t)
{
    std::uint8_t bytes[56] = {};
    struct Row {
        const char* name;
        UINT msg;
        WPARAM wParam;
        bool withStruct;
        ULONG_PTR dwData;
        DWORD cbData;
        bool withData;
        // expected
        bool isHostMessage;
        std::uint64_t dwDataOut;
        std::uint32_t cbDataOut;
        bool payloadIsData;
    };
    const Row rows[] = {
        { "WM_COPYDATA colour frame", WM_COPYDATA, 0x1234, true, 10001, 56, true, true, 10001, 56,
            true },
        { "WM_COPYDATA for someone else", WM_COPYDATA, 0, true, 10000, 56, true, true, 10000, 56,
            true },
        { "WM_COPYDATA short record", WM_COPYDATA, 0, true, 10001, 20, true, true, 10001, 20,
            true },
        { "WM_COPYDATA longer record", WM_COPYDATA, 0, true, 10001, 56, true, true, 10001, 56,
            true },
        { "WM_COPYDATA without lpData", WM_COPYDATA, 0, true, 10001, 56, false, true, 10001, 0,
            false },
        { "WM_COPYDATA without COPYDATASTRUCT", WM_COPYDATA, 0, false, 0, 0, false, false, 0, 0,
            false },
        { "sync switch 33024", 33024, 3, false, 0, 0, false, true, 0, 0, false },
        { "WM_NULL", WM_NULL, 0, false, 0, 0, false, false, 0, 0, false },
        { "WM_APP + 255", WM_APP + 255, 3, false, 0, 0, false, false, 0, 0, false },
        { "WM_APP + 257", WM_APP + 257, 3, false, 0, 0, false, false, 0, 0, false },
        { "WM_USER", WM_USER, 3, false, 0, 0, false, false, 0, 0, false },
    };
    for (const Row& row : rows) {
        COPYDATASTRUCT data;
        data.dwData = row.dwData;
        data.cbData = row.cbData;
        data.lpData = row.withData ? bytes : nullptr;
        const LPARAM lParam = row.withStruct ? reinterpret_cast<LPARAM>(&data) : 0;
        HostIntake::Message out {};
        out.message = 0xDEAD;
        const bool isHost
            = Platform::hostMessageFromWindowMessage(row.msg, row.wParam, lParam, out);
        const std::string name = row.name;
        if (!t.equal(isHost, row.isHostMessage, name + ": taken as a host message") || !isHost) {
            if (!isHost)
                t.equal(out.message, std::uint32_t(0xDEAD), name + ": output left alone");
            continue;
        }
        t.equal(out.message, static_cast<std::uint32_t>(row.msg), name + ": message number");
        t.equal(out.wParam, static_cast<std::uint64_t>(row.wParam), name + ": wParam");
        t.equal(out.dwData, row.dwDataOut, name + ": dwData");
        t.equal(out.cbData, row.cbDataOut, name + ": cbData");
        t.check(out.payload == (row.payloadIsData ? bytes : nullptr),
            name + ": payload is the copied bytes");
    }
}

void wholeDwDataCompared(WinCheck& t)
{
    // dwData is pointer-sized: a value that only matches 10001 in its low 32 bits
    // is someone else's message.
    const Bytes bytes = nanoleafRecord(1);
    COPYDATASTRUCT data;
    data.dwData = static_cast<ULONG_PTR>((std::uint64_t(1) << 32) | 10001u);
    data.cbData = static_cast<DWORD>(bytes.size());
    data.lpData = const_cast<std::uint8_t*>(bytes.data());
    HostIntake::Message m {};
    if (!t.check(Platform::hostMessageFromWindowMessage(
                     WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), m),
            "dwData 0x100002711: a host message"))
        return;
    t.equal(HostIntake::evaluate(m, 1).action, HostIntake::Action::Decline,
        "dwData 0x100002711: declined");
}

void syncSwitchTypes(WinCheck& t)
{
    struct Row {
        const char* name;
        WPARAM wParam;
        int type;
    };
    const Row rows[] = {
        { "wParam 3", 3, 3 },
        { "wParam 0", 0, 0 },
        { "wParam 0xFFFFFFFF", 0xFFFFFFFFu, -1 },
        { "wParam 0x80000000", 0x80000000u, std::numeric_limits<int>::min() },
        // Only the low 32 bits count, on a 64-bit wParam.
        { "wParam 0x100000002", static_cast<WPARAM>((std::uint64_t(1) << 32) | 2u), 2 },
    };
    for (const Row& row : rows) {
        HostIntake::Message m {};
        Platform::hostMessageFromWindowMessage(HostIntake::kSyncSwitch, row.wParam, 0x5555, m);
        const HostIntake::Decision d = HostIntake::evaluate(m, 1);
        t.equal(d.action, HostIntake::Action::SyncSwitch,
            std::string("sync switch ") + row.name + ": a switch");
        t.equal(d.syncDeviceType, row.type, std::string("sync switch ") + row.name + ": new type");
        t.equal(d.handled, false, std::string("sync switch ") + row.name + ": not handled");
    }
}

template <typename Result> void answers(WinCheck& t, const char* type)
{
    struct Row {
        const char* name;
        HostIntake::HostAnswer answer;
        bool handled;
        long long result;
    };
    const Row rows[] = {
        { "handled, 1", { true, 1 }, true, 1 },
        { "handled, 0", { true, 0 }, true, 0 },
        { "not handled", { false, 0 }, false, 77 },
        { "not handled, result ignored", { false, 1 }, false, 77 },
    };
    for (const Row& row : rows) {
        Result result = 77;
        const bool handled = Platform::applyHostAnswer(row.answer, &result);
        const std::string name = std::string("answer into ") + type + ", " + row.name;
        t.equal(handled, row.handled, name + ": handled flag");
        t.equal(static_cast<long long>(result), row.result, name + ": *result");
    }
    t.equal(Platform::applyHostAnswer(
                HostIntake::HostAnswer { true, 1 }, static_cast<Result*>(nullptr)),
        true, std::string("answer into ") + type + ", no result pointer");
}

// Same-thread SendMessage hands lParam to the window procedure as it is, so the
// adapter sees the guarded bytes themselves.
void guardedPayloads(WinCheck& t)
{
    HostIntake::Decision forwarded {};
    int forwards = 0;
    HostWindow window([&](const HostIntake::Decision& d) {
        forwarded = d;
        ++forwards;
        return 0;
    });
    if (!t.check(window.create(), "a window of our own", "error " + std::to_string(GetLastError())))
        return;

    const Bytes full = nanoleafRecord(1);
    for (std::size_t cbData : { std::size_t(0), std::size_t(1), std::size_t(4), std::size_t(47),
             std::size_t(48), std::size_t(52), std::size_t(55), std::size_t(56) }) {
        const std::string name = "guarded cbData " + std::to_string(cbData);
        GuardedPayload placed(
            Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cbData)));
        if (!t.check(cbData == 0 || placed.data() != nullptr, name + ": guard page set up"))
            continue;
        COPYDATASTRUCT data;
        data.dwData = 10001;
        data.cbData = static_cast<DWORD>(cbData);
        data.lpData = const_cast<std::uint8_t*>(placed.data());
        const int before = forwards;
        const LRESULT result
            = SendMessageW(window.handle(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        const auto seen = static_cast<std::uintptr_t>(
            SendMessageW(window.handle(), HostWindow::kInspect, HostWindow::LastPayload, 0));
        t.check(seen == reinterpret_cast<std::uintptr_t>(placed.data()),
            name + ": the window reads the guarded bytes");
        const bool complete = cbData >= HostIntake::kRecordSize;
        t.equal(result, LRESULT(complete ? 1 : 0), name + ": SendMessage result");
        t.equal(forwards - before, complete ? 1 : 0, name + ": forwarded");
    }
    if (t.equal(forwards, 1, "guarded: the whole record was forwarded once")) {
        // Entry k's bytes 0, 1, 2 are red, green, blue; the fourth byte is not used.
        t.equal(forwarded.red[0], 200, "entry 0 red");
        t.equal(forwarded.green[0], 100, "entry 0 green");
        t.equal(forwarded.blue[0], 50, "entry 0 blue");
        t.equal(forwarded.red[11], 111, "entry 11 red (the bytes right before offset 48)");
        t.equal(forwarded.blue[11], 113, "entry 11 blue");
    }
    SendMessageW(window.handle(), HostWindow::kQuit, 0, 0);
}

} // namespace

int main()
{
    WinCheck t("tst_win_hostadapter");
    g_check = &t;
    SetUnhandledExceptionFilter(reportCrash);

    windowMessages(t);
    wholeDwDataCompared(t);
    syncSwitchTypes(t);
    answers<LRESULT>(t, "LRESULT");
    answers<long>(t, "long (Qt 5 nativeEvent)");
    guardedPayloads(t);
    return t.finish();
}
