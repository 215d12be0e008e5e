// What only Windows shows, run under Wine (no Qt here): the Winsock socket layer (its
// non-blocking mode too), the debugger channel, one scan against nanoleaf-sim, and the
// Win32 host adapter, with a short WM_COPYDATA record never read past cbData (it ends
// at a PAGE_NOACCESS page).
// Prints "PASS name" or "FAIL name: detail" per check, then "N passed, N failed".
//
//   tst_windows.exe "NAME@IP" ...   (the simulated devices the scan must find)

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

int g_passed = 0;
int g_failed = 0;

bool check(bool ok, const std::string& name, const std::string& detail = std::string())
{
    ++(ok ? g_passed : g_failed);
    std::printf("%s tst_windows: %s%s%s\n", ok ? "PASS" : "FAIL", name.c_str(),
        ok || detail.empty() ? "" : ": ", ok ? "" : detail.c_str());
    return ok;
}

template <typename T> std::string text(const T& value)
{
    if constexpr (std::is_convertible<const T&, std::string>::value)
        return "\"" + std::string(value) + "\"";
    else
        return std::to_string(static_cast<long long>(value));
}

template <typename Actual, typename Expected>
bool same(const Actual& actual, const Expected& expected, const std::string& name)
{
    return check(actual == expected, name, "got " + text(actual) + ", expected " + text(expected));
}

int finish()
{
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed == 0 ? 0 : 1;
}

std::vector<std::string> g_log;
std::vector<std::string> g_debugText;

LONG CALLBACK catchDebugString(EXCEPTION_POINTERS* info)
{
    // OutputDebugStringW ends in OutputDebugStringA, whose DBG_PRINTEXCEPTION_C carries
    // the text's length with its NUL, then the text.
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == 0x40010006UL && r->NumberParameters >= 2
        && r->ExceptionInformation[1] != 0)
        g_debugText.emplace_back(reinterpret_cast<const char*>(r->ExceptionInformation[1]),
            r->ExceptionInformation[0] - 1);
    return EXCEPTION_CONTINUE_SEARCH;
}

void exchange()
{
    int scan = -1;
    if (!check(Zeroconf::Detail::CreateSocket(scan), "scan socket created"))
        return;
    same(Net::waitReadable(scan, 0, 1000), Net::WaitResult::Timeout, "select, idle: time-out");

    // A plain Winsock peer on 127.0.0.1 answers whoever sent to it (sending, receiving
    // and the sender's address also show in scan()).
    const SOCKET peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    bind(peer, reinterpret_cast<sockaddr*>(&at), size);
    getsockname(peer, reinterpret_cast<sockaddr*>(&at), &size);
    Net::sendTo(scan, Bytes(5, 'h').data(), 5, { { 127, 0, 0, 1 }, ntohs(at.sin_port) });
    char buffer[600];
    recvfrom(peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&at), &size);
    const auto reply = [&](std::size_t n) {
        sendto(peer, std::string(n, char(n)).data(), int(n), 0, reinterpret_cast<sockaddr*>(&at),
            sizeof at);
    };
    reply(10);
    same(Net::waitReadable(scan, 5, 0), Net::WaitResult::Readable, "select: readable");
    Net::PeerAddress from;
    const Net::ReceiveResult r
        = Net::receiveFrom(scan, reinterpret_cast<std::uint8_t*>(buffer), 9, from);
    same(r.status, Net::ReceiveStatus::Truncated, "recvfrom 10 bytes into 9: truncated");

    // The scan's collection loop drops what is over 512 bytes and keeps the rest.
    for (std::size_t n : { 20, 600, 512, 513 })
        reply(n);
    g_log.clear();
    std::vector<Zeroconf::Detail::RawReply> raw;
    check(Zeroconf::Detail::ReceiveReplies(scan, 1, raw), "collection succeeds");
    same(raw.size(), std::size_t(2), "collection keeps 20 and 512 bytes");
    check(g_log == std::vector<std::string>(2, "Dropped oversized datagram of more than 512 bytes"),
        "collection reports both oversized ones");
    closesocket(peer);
    Net::closeSocket(scan);
    same(Net::waitReadable(scan, 0, 1000), Net::WaitResult::Error, "select after close fails");
}

// The stream's sockets never wait: with nothing to read, a receive on one fails
// at once with WSAEWOULDBLOCK (a blocking one would wait out its 2 s time-out).
void nonBlocking()
{
    const int handle = Net::createUdpSocket();
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const DWORD timeoutMs = 2000;
    check(handle >= 0 && bind(SOCKET(handle), reinterpret_cast<sockaddr*>(&at), int(sizeof at)) == 0
            && setsockopt(SOCKET(handle), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&timeoutMs), int(sizeof timeoutMs))
                == 0,
        "stream socket bound");
    Net::setNonBlocking(handle);
    char byte = 0;
    recv(SOCKET(handle), &byte, 1, 0);
    same(Net::lastError(), int(WSAEWOULDBLOCK), "idle receive fails at once: WSAEWOULDBLOCK");
    Net::closeSocket(handle);
}

void debugChannel()
{
    PVOID handler = AddVectoredExceptionHandler(1, catchDebugString);
    for (const char* text : { "Light 100% %s %n %%", "find nanoleaf Device ip is \n" }) {
        g_debugText.clear();
        Platform::debugChannelWrite(text);
        same(g_debugText.empty() ? std::string("(nothing)") : g_debugText.front(),
            std::string(text), std::string("debug channel: ") + text);
    }
    RemoveVectoredExceptionHandler(handler);
}

// Each device found as the discovery driver finds it: the instance label from
// records[1].name and the sender's address.
void scan(std::vector<std::string> expected)
{
    g_log.clear();
    std::vector<Zeroconf::Reply> replies;
    check(Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies), "scan succeeds",
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
    check(devices == expected, "scan: every simulated device found", "got " + found);
}

LONG WINAPI reportCrash(EXCEPTION_POINTERS* info)
{
    check(false, "no read past a host payload",
        "exception " + std::to_string(info->ExceptionRecord->ExceptionCode));
    std::exit(finish());
}

// The tool's window procedure in small: adapter, intake, answer.
LRESULT CALLBACK hostWindow(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HostIntake::Message m {};
    if (!Platform::hostMessageFromWindowMessage(msg, wParam, lParam, m))
        return DefWindowProcW(window, msg, wParam, lParam);
    const HostIntake::Decision d = HostIntake::evaluate(m, 1); // sync device type 1 in force
    LRESULT result = 0;
    if (!Platform::applyHostAnswer(HostIntake::HostAnswer { d.handled, d.result }, &result))
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
void windowMessages()
{
    std::uint8_t bytes[56] = {};
    COPYDATASTRUCT wide { 0x100002711ull, 56, bytes };
    COPYDATASTRUCT empty { 10001, 56, nullptr };
    const struct {
        const char* name;
        UINT msg;
        WPARAM wParam;
        const COPYDATASTRUCT* data;
        const char* expected;
    } rows[] = {
        { "WM_COPYDATA, 64-bit dwData", WM_COPYDATA, 0x1234, &wide, "74 4660 4294977297 56 bytes" },
        { "WM_COPYDATA without lpData", WM_COPYDATA, 0, &empty, "74 0 10001 0 none" },
        { "WM_COPYDATA without COPYDATASTRUCT", WM_COPYDATA, 0, nullptr, "not a host message" },
        { "sync switch, 64-bit wParam", 33024, 0x100000002ull, nullptr,
            "33024 4294967298 0 0 none" },
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
        same(got, std::string(row.expected), row.name);
    }
    long qtResult = 77;
    check(!Platform::applyHostAnswer(HostIntake::HostAnswer { false, 1 }, &qtResult)
            && qtResult == 77,
        "not handled: Qt's result left alone");
}

void throughAWindow()
{
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = hostWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PrismaraHostReceiver";
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, L"PrismaraHostReceiver", L"Prismara Nanoleaf Tool",
        WS_OVERLAPPED, 0, 0, 400, 600, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!check(window != nullptr, "a window of our own"))
        return;
    Bytes full(56, 0);
    full[52] = 1; // sync device type 1
    for (std::size_t cbData : { 1, 47, 55, 56 }) {
        const std::string name = "WM_COPYDATA, cbData " + std::to_string(cbData);
        COPYDATASTRUCT data { 10001, DWORD(cbData),
            const_cast<std::uint8_t*>(guarded(Bytes(full.begin(), full.begin() + long(cbData)))) };
        if (!check(data.lpData != nullptr, name + ": guard page"))
            continue;
        const LRESULT result
            = SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        // 1 only for the whole record, forwarded; what the intake makes of it: tst_hostformat
        same(result, LRESULT(cbData == 56 ? 1 : 0), name + ": SendMessage result");
    }
    same(SendMessageW(window, 33024, 3, 0), LRESULT(0), "sync switch: SendMessage gives 0");
    DestroyWindow(window);
}

} // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY); // plain "\n" line ends
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    Zeroconf::LogSink = [](int, const std::string& line) { g_log.push_back(line); };
    std::vector<Zeroconf::Reply> replies;
    check(!Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies)
            && g_log == std::vector<std::string> { "Failed to create socket with code 10093" },
        "before WSAStartup: the scan fails with WSANOTINITIALISED");
    same(Net::startup(), 0, "WSAStartup 2.2");
    exchange();
    nonBlocking();
    debugChannel();
    scan(std::vector<std::string>(argv + 1, argv + argc));
    same(Net::cleanup(), 0, "WSACleanup");
    same(Net::cleanup(), int(SOCKET_ERROR), "a second WSACleanup fails");
    windowMessages();
    SetUnhandledExceptionFilter(reportCrash);
    throughAWindow();
    return finish();
}
