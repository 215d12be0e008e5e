// What only Windows shows, in one Qt-free program run under Wine (there is no Qt
// Test for mingw-w64 here): the Winsock branch of the socket layer on 127.0.0.1
// (WSAStartup, SO_BROADCAST, sendto, select, recvfrom and its WSAEMSGSIZE,
// closesocket, WSACleanup), OutputDebugString, one scan against nanoleaf-sim in the
// private test network, and the Win32 host adapter: which window messages become
// host messages, and, through a real window, that a short WM_COPYDATA record is never
// read past its cbData bytes (the payload ends at a PAGE_NOACCESS page).
//
//   tst_windows.exe "NAME@IP" ...   (the simulated devices the scan must find)
//
// Every check prints "PASS name" or "FAIL name: detail", and the end "N passed, N
// failed", which tests/windows/run-windows-tests.sh adds up.

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
#include "sync/win32hostadapter.h"
#include "zeroconf/mdnstransport.h"

#include <winsock2.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace Net = Platform::Net;

namespace
{

using Bytes = std::vector<std::uint8_t>;

class WinCheck
{
public:
    WinCheck()
    {
        _setmode(_fileno(stdout), _O_BINARY); // plain "\n" line ends
        std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    }

    bool check(bool ok, const std::string& name, const std::string& detail = std::string())
    {
        ++(ok ? m_passed : m_failed);
        std::printf("%s tst_windows: %s%s%s\n", ok ? "PASS" : "FAIL", name.c_str(),
            ok || detail.empty() ? "" : ": ", ok ? "" : detail.c_str());
        return ok;
    }

    template <typename Actual, typename Expected>
    bool equal(const Actual& actual, const Expected& expected, const std::string& name)
    {
        const bool ok = actual == expected;
        return check(
            ok, name, ok ? std::string() : "got " + text(actual) + ", expected " + text(expected));
    }

    int finish()
    {
        std::printf("%d passed, %d failed\n", m_passed, m_failed);
        std::fflush(stdout);
        return m_failed == 0 ? 0 : 1;
    }

private:
    template <typename T> static std::string text(const T& value)
    {
        if constexpr (std::is_convertible<const T&, std::string>::value)
            return "\"" + std::string(value) + "\"";
        else
            return std::to_string(static_cast<long long>(value));
    }

    int m_passed = 0;
    int m_failed = 0;
};

std::vector<std::string> g_log;
std::vector<std::string> g_debugText;

LONG CALLBACK catchDebugString(EXCEPTION_POINTERS* info)
{
    // OutputDebugString raises DBG_PRINTEXCEPTION_WIDE_C or DBG_PRINTEXCEPTION_C.
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if ((r->ExceptionCode == 0x4001000AUL || r->ExceptionCode == 0x40010006UL)
        && r->NumberParameters >= 2 && r->ExceptionInformation[1] != 0) {
        std::string text;
        for (std::size_t i = 0; i + 1 < r->ExceptionInformation[0]; ++i)
            text += r->ExceptionCode == 0x4001000AUL
                ? char(reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1])[i])
                : reinterpret_cast<const char*>(r->ExceptionInformation[1])[i];
        g_debugText.push_back(text);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void exchange(WinCheck& t)
{
    int scan = -1;
    if (!t.check(Zeroconf::Detail::CreateSocket(scan), "scan socket created"))
        return;
    BOOL broadcast = FALSE;
    int length = sizeof broadcast;
    getsockopt(
        SOCKET(scan), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&broadcast), &length);
    t.equal(broadcast, BOOL(TRUE), "scan socket: SO_BROADCAST set");
    t.equal(Net::waitReadable(scan, 0, 1000), Net::WaitResult::Timeout, "select, idle: time-out");

    // A plain Winsock peer on 127.0.0.1 answers whoever sent to it.
    const SOCKET peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    t.check(bind(peer, reinterpret_cast<sockaddr*>(&at), size) == 0
            && getsockname(peer, reinterpret_cast<sockaddr*>(&at), &size) == 0,
        "peer bound");
    const Net::Ipv4Endpoint toPeer { { 127, 0, 0, 1 }, ntohs(at.sin_port) };
    t.equal(Net::sendTo(scan, Bytes(5, 'h').data(), 5, toPeer), 5LL, "sendto: five bytes");
    char buffer[600];
    const auto reply = [&](std::size_t n) {
        sendto(peer, std::string(n, char(n)).data(), int(n), 0, reinterpret_cast<sockaddr*>(&at),
            sizeof at);
    };
    t.equal(recvfrom(peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&at), &size), 5,
        "the peer gets them");
    reply(10);
    t.equal(Net::waitReadable(scan, 5, 0), Net::WaitResult::Readable, "select: readable");
    Net::PeerAddress from;
    const Net::ReceiveResult r
        = Net::receiveFrom(scan, reinterpret_cast<std::uint8_t*>(buffer), 9, from);
    t.equal(r.status, Net::ReceiveStatus::Truncated, "recvfrom 10 bytes into 9: truncated");
    t.equal(Net::lastError(), int(WSAEMSGSIZE), "recvfrom 10 bytes into 9: WSAEMSGSIZE");
    t.equal(Net::peerAddressToText(from), std::string("127.0.0.1"), "sender address");

    // The scan's collection loop drops what is over 512 bytes and keeps the rest.
    for (std::size_t n : { 20, 600, 512, 513 })
        reply(n);
    g_log.clear();
    std::vector<Zeroconf::Detail::RawReply> raw;
    t.check(Zeroconf::Detail::ReceiveReplies(scan, 1, raw), "collection succeeds");
    t.equal(raw.size(), std::size_t(2), "collection keeps 20 and 512 bytes");
    t.equal(g_log.size(), std::size_t(2), "collection reports both oversized ones");
    if (!g_log.empty())
        t.equal(g_log[0], std::string("Dropped oversized datagram of more than 512 bytes"),
            "collection: report text");
    closesocket(peer);
    t.equal(Net::closeSocket(scan), 0, "closesocket");
    t.equal(Net::waitReadable(scan, 0, 1000), Net::WaitResult::Error, "select after close fails");
}

void debugChannel(WinCheck& t)
{
    PVOID handler = AddVectoredExceptionHandler(1, catchDebugString);
    for (const char* text : { "Light 100% %s %n %%", "find nanoleaf Device ip is \n" }) {
        g_debugText.clear();
        Platform::debugChannelWrite(text);
        t.equal(g_debugText.empty() ? std::string("(nothing)") : g_debugText.front(),
            std::string(text), std::string("debug channel: ") + text);
    }
    RemoveVectoredExceptionHandler(handler);
}

// Each device found as the discovery driver finds it: the instance label from
// records[1].name and the sender's address.
void scan(WinCheck& t, std::vector<std::string> expected)
{
    g_log.clear();
    std::vector<Zeroconf::Reply> replies;
    t.check(Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies), "scan succeeds",
        g_log.empty() ? std::string() : g_log[0]);
    std::vector<std::string> devices;
    for (const Zeroconf::Reply& reply : replies)
        if (reply.records.size() >= 2)
            devices.push_back(reply.records[1].name.substr(0, reply.records[1].name.find('\0'))
                + "@" + Net::peerAddressToText(reply.peer));
    std::sort(devices.begin(), devices.end());
    std::sort(expected.begin(), expected.end());
    std::string found;
    for (const std::string& d : devices)
        found += d + ", ";
    t.check(devices == expected, "scan: every simulated device found", "got " + found);
}

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

// Each window message as a host message: "message wParam dwData cbData payload", or
// "not a host message" with the output left alone.
void windowMessages(WinCheck& t)
{
    std::uint8_t bytes[56] = {};
    COPYDATASTRUCT frame { 10001, 56, bytes };
    COPYDATASTRUCT wide { 0x100002711ull, 56, bytes };
    COPYDATASTRUCT empty { 10001, 56, nullptr };
    const struct {
        const char* name;
        UINT msg;
        WPARAM wParam;
        const COPYDATASTRUCT* data;
        const char* expected;
    } rows[] = {
        { "WM_COPYDATA colour frame", WM_COPYDATA, 0x1234, &frame, "74 4660 10001 56 bytes" },
        { "WM_COPYDATA, 64-bit dwData", WM_COPYDATA, 0, &wide, "74 0 4294977297 56 bytes" },
        { "WM_COPYDATA without lpData", WM_COPYDATA, 0, &empty, "74 0 10001 0 none" },
        { "WM_COPYDATA without COPYDATASTRUCT", WM_COPYDATA, 0, nullptr, "not a host message" },
        { "sync switch, 64-bit wParam", 33024, 0x100000002ull, nullptr,
            "33024 4294967298 0 0 none" },
        { "WM_NULL", WM_NULL, 0, nullptr, "not a host message" },
        { "WM_APP + 257", WM_APP + 257, 3, nullptr, "not a host message" },
    };
    for (const auto& row : rows) {
        HostIntake::Message out {};
        out.message = 0xDEAD;
        const bool isHost = Platform::hostMessageFromWindowMessage(
            row.msg, row.wParam, reinterpret_cast<LPARAM>(row.data), out);
        const std::string got = !isHost
            ? "not a host message" + std::string(out.message == 0xDEAD ? "" : ", output changed")
            : std::to_string(out.message) + " " + std::to_string(out.wParam) + " "
                + std::to_string(out.dwData) + " " + std::to_string(out.cbData)
                + (out.payload == bytes ? " bytes"
                        : out.payload   ? " elsewhere"
                                        : " none");
        t.equal(got, std::string(row.expected), row.name);
    }
    long qtResult = 77;
    t.check(!Platform::applyHostAnswer(HostIntake::HostAnswer { false, 1 }, &qtResult)
            && qtResult == 77,
        "not handled: Qt's result left alone");
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

int main(int argc, char** argv)
{
    WinCheck t;
    Zeroconf::LogSink = [](int, const std::string& line) { g_log.push_back(line); };
    std::vector<Zeroconf::Reply> replies;
    t.check(!Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies)
            && g_log == std::vector<std::string> { "Failed to create socket with code 10093" },
        "before WSAStartup: the scan fails with WSANOTINITIALISED");
    t.equal(Net::startup(), 0, "WSAStartup 2.2");
    exchange(t);
    debugChannel(t);
    scan(t, std::vector<std::string>(argv + 1, argv + argc));
    t.equal(Net::cleanup(), 0, "WSACleanup");
    t.equal(Net::cleanup(), int(SOCKET_ERROR), "a second WSACleanup fails");
    windowMessages(t);
    g_check = &t;
    SetUnhandledExceptionFilter(reportCrash);
    throughAWindow(t);
    return t.finish();
}
