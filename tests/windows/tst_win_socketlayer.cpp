// The Winsock branch of the socket layer and the debugger channel, without a
// broadcast: everything here stays on 127.0.0.1 with ephemeral ports. Covers the
// calls the discovery scan makes (WSAStartup, socket + SO_BROADCAST, sendto,
// select, recvfrom and its WSAEMSGSIZE, WSAGetLastError, closesocket, WSACleanup)
// and OutputDebugStringW fed through MultiByteToWideChar.

#include "wincheck.h"

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
#include "zeroconf/mdnstransport.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>
#include <vector>

namespace Net = Platform::Net;

namespace
{

using Bytes = std::vector<std::uint8_t>;

std::vector<std::pair<int, std::string>> g_log;

void captureLog(int level, const std::string& message)
{
    g_log.emplace_back(level, message);
}

// A plain Winsock socket on 127.0.0.1 that plays the answering side.
class LoopbackPeer
{
public:
    LoopbackPeer()
    {
        m_socket = socket(AF_INET, SOCK_DGRAM, 0);
        if (m_socket == INVALID_SOCKET)
            return;
        sockaddr_in local;
        std::memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = static_cast<int>(sizeof local);
        if (bind(m_socket, reinterpret_cast<sockaddr*>(&local), length) != 0
            || getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            return;
        m_port = ntohs(local.sin_port);
    }
    ~LoopbackPeer()
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool ok() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }

    // Waits (bounded) for one datagram and remembers who sent it.
    bool receive(Bytes& out)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket, &set);
        timeval timeout { 5, 0 };
        if (select(0, &set, nullptr, nullptr, &timeout) != 1)
            return false;
        char buffer[2048];
        int fromLength = static_cast<int>(sizeof m_from);
        const int n = recvfrom(m_socket, buffer, static_cast<int>(sizeof buffer), 0,
            reinterpret_cast<sockaddr*>(&m_from), &fromLength);
        if (n < 0)
            return false;
        out.assign(buffer, buffer + n);
        return true;
    }

    bool reply(const Bytes& bytes)
    {
        return sendto(m_socket, reinterpret_cast<const char*>(bytes.data()),
                   static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&m_from),
                   static_cast<int>(sizeof m_from))
            == static_cast<int>(bytes.size());
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
    std::uint16_t m_port = 0;
    sockaddr_in m_from {};
};

Net::Ipv4Endpoint loopback(std::uint16_t port)
{
    Net::Ipv4Endpoint to;
    to.address = { 127, 0, 0, 1 };
    to.port = port;
    return to;
}

void notStarted(WinCheck& t)
{
    // Before WSAStartup every socket call fails with WSANOTINITIALISED, and the scan
    // ends as failed with the code in its report.
    t.check(Net::createUdpSocket() < 0, "before start-up: no socket");
    t.equal(Net::lastError(), int(WSANOTINITIALISED),
        "before start-up: WSAGetLastError is WSANOTINITIALISED");
    g_log.clear();
    std::vector<Zeroconf::Reply> replies(1);
    t.equal(Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies), false,
        "before start-up: scan fails");
    t.equal(replies.size(), std::size_t(0), "before start-up: no replies");
    if (t.equal(g_log.size(), std::size_t(1), "before start-up: one report"))
        t.equal(g_log.front().second, std::string("Failed to create socket with code 10093"),
            "before start-up: report names the code");
}

void exchange(WinCheck& t)
{
    int handle = -1;
    if (!t.check(Zeroconf::Detail::CreateSocket(handle), "scan socket created"))
        return;
    BOOL broadcast = FALSE;
    int length = static_cast<int>(sizeof broadcast);
    getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_BROADCAST,
        reinterpret_cast<char*>(&broadcast), &length);
    t.equal(broadcast, BOOL(TRUE), "scan socket: SO_BROADCAST set");

    t.equal(Net::waitReadable(handle, 0, 1000), Net::WaitResult::Timeout,
        "select on an idle socket: time-out");

    LoopbackPeer peer;
    if (!t.check(peer.ok(), "loopback peer bound"))
        return;
    const Bytes hello = { 'h', 'e', 'l', 'l', 'o' };
    t.equal(Net::sendTo(handle, hello.data(), hello.size(), loopback(peer.port())), 5LL,
        "sendto: five bytes");
    Bytes got;
    t.check(peer.receive(got) && got == hello, "sendto: the peer gets them");

    // One datagram straight through the layer: fits exactly, then one byte too long.
    peer.reply(Bytes(9, 0x5A));
    std::uint8_t small[9] = {};
    Net::PeerAddress from;
    t.equal(Net::waitReadable(handle, 5, 0), Net::WaitResult::Readable, "select: readable");
    Net::ReceiveResult r = Net::receiveFrom(handle, small, sizeof small, from);
    t.equal(r.status, Net::ReceiveStatus::Ok, "recvfrom 9 bytes into 9: ok");
    t.equal(r.length, std::size_t(9), "recvfrom 9 bytes into 9: length");
    t.equal(Net::peerAddressToText(from), std::string("127.0.0.1"),
        "recvfrom: sender address (inet_ntop)");
    peer.reply(Bytes(10, 0x5A));
    Net::waitReadable(handle, 5, 0);
    r = Net::receiveFrom(handle, small, sizeof small, from);
    t.equal(r.status, Net::ReceiveStatus::Truncated, "recvfrom 10 bytes into 9: too long");
    t.equal(Net::lastError(), int(WSAEMSGSIZE), "recvfrom 10 bytes into 9: WSAEMSGSIZE");
    t.equal(r.length, std::size_t(0),
        "recvfrom 10 bytes into 9: Winsock does not tell the real length");

    // The collection loop: oversized datagrams are dropped, the others kept, and the
    // scan still ends as a success when its time is up.
    const std::vector<std::size_t> sizes = { 20, 600, 512, 513, 12 };
    for (std::size_t size : sizes)
        peer.reply(Bytes(size, static_cast<std::uint8_t>(size)));
    g_log.clear();
    std::vector<Zeroconf::Detail::RawReply> raw;
    t.equal(Zeroconf::Detail::ReceiveReplies(handle, 1, raw), true,
        "collection with oversized datagrams: succeeds");
    if (t.equal(raw.size(), std::size_t(3), "collection: the three that fit")) {
        t.equal(raw[0].bytes, Bytes(20, 20), "collection: 20 bytes");
        t.equal(raw[1].bytes, Bytes(512, 0), "collection: exactly 512 bytes");
        t.equal(raw[2].bytes, Bytes(12, 12), "collection: 12 bytes");
        t.equal(Net::peerAddressToText(raw[2].peer), std::string("127.0.0.1"),
            "collection: sender kept");
    }
    int dropped = 0;
    for (const auto& line : g_log)
        if (line.first == 1 && line.second == "Dropped oversized datagram of more than 512 bytes")
            ++dropped;
    t.equal(dropped, 2, "collection: each oversized datagram reported");
    t.equal(g_log.size(), std::size_t(2), "collection: nothing else reported");

    t.equal(Net::closeSocket(handle), 0, "closesocket");
    t.equal(Net::sendTo(handle, hello.data(), hello.size(), loopback(peer.port())), -1LL,
        "sendto after close fails");
    t.equal(Net::lastError(), int(WSAENOTSOCK), "sendto after close: WSAENOTSOCK");
    t.equal(Net::waitReadable(handle, 0, 1000), Net::WaitResult::Error, "select after close fails");
}

void byteOrder(WinCheck& t)
{
    const std::uint16_t port = Net::hostToNetwork16(5353);
    std::uint8_t bytes[2];
    std::memcpy(bytes, &port, 2);
    t.check(bytes[0] == 0x14 && bytes[1] == 0xE9, "htons(5353) is 14 E9 in memory");
}

// OutputDebugString raises DBG_PRINTEXCEPTION_C (or _WIDE_C) before anything
// else; a vectored handler sees it even without a debugger attached.
std::vector<std::wstring> g_wide;
std::vector<std::string> g_narrow;
const DWORD kPrintWide = 0x4001000AUL; // DBG_PRINTEXCEPTION_WIDE_C
const DWORD kPrintNarrow = 0x40010006UL; // DBG_PRINTEXCEPTION_C

LONG CALLBACK catchDebugString(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == kPrintWide && r->NumberParameters >= 2
        && r->ExceptionInformation[1] != 0) {
        const auto* text = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]);
        const std::size_t length = r->ExceptionInformation[0];
        g_wide.emplace_back(text, length > 0 ? length - 1 : 0);
    } else if (r->ExceptionCode == kPrintNarrow && r->NumberParameters >= 2
        && r->ExceptionInformation[1] != 0) {
        const auto* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
        const std::size_t length = r->ExceptionInformation[0];
        g_narrow.emplace_back(text, length > 0 ? length - 1 : 0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void debugChannel(WinCheck& t)
{
    PVOID handler = AddVectoredExceptionHandler(1, catchDebugString);
    struct Row {
        const char* name;
        std::string text;
    };
    const Row rows[] = {
        { "query text", "_nanoleafapi._tcp.local" },
        { "percent signs stay as they are", "Light 100% %s %n %%" },
        { "line end kept", "find nanoleaf Device ip is \n" },
        { "longest write", Platform::debugChannelCut(std::string(5000, 'x')) },
    };
    for (const Row& row : rows) {
        g_wide.clear();
        g_narrow.clear();
        Platform::debugChannelWrite(row.text.c_str());
        const std::string name = std::string("debug channel, ") + row.name;
        // Wine hands the text on as ANSI; Windows 10 and later raise the wide form
        // first. Either one must carry the text unchanged.
        std::string seen;
        if (!g_wide.empty()) {
            for (wchar_t c : g_wide.front())
                seen += static_cast<char>(c < 0x80 ? c : '?');
        } else if (!g_narrow.empty()) {
            seen = g_narrow.front();
        }
        if (t.check(!g_wide.empty() || !g_narrow.empty(), name + ": reaches OutputDebugString"))
            t.equal(seen, row.text, name + ": text");
    }
    t.equal(Platform::debugChannelCut(std::string(5000, 'x')).size(), std::size_t(4095),
        "debug channel: cut to 4095 bytes");

    g_wide.clear();
    g_narrow.clear();
    Platform::debugChannelWrite(nullptr);
    t.check(g_wide.empty() && g_narrow.empty(), "debug channel: a null text writes nothing");

    // A byte above 0x7F goes through the ANSI code page: é in code page 1252.
    if (GetACP() == 1252) {
        g_wide.clear();
        g_narrow.clear();
        Platform::debugChannelWrite("caf\xE9");
        const bool wideOk = !g_wide.empty() && g_wide.front() == L"caf\u00E9";
        const bool narrowOk = g_wide.empty() && !g_narrow.empty() && g_narrow.front() == "caf\xE9";
        t.check(wideOk || narrowOk, "debug channel: code page 1252 text converted");
    } else {
        t.note(
            "ANSI code page is " + std::to_string(GetACP()) + ", not 1252: conversion row skipped");
    }
    RemoveVectoredExceptionHandler(handler);
}

} // namespace

int main()
{
    WinCheck t("tst_win_socketlayer");
    Zeroconf::LogSink = captureLog;

    notStarted(t);
    t.equal(Net::startup(), 0, "WSAStartup 2.2");
    byteOrder(t);
    exchange(t);
    debugChannel(t);
    t.equal(Net::cleanup(), 0, "WSACleanup");
    t.equal(Net::cleanup(), int(SOCKET_ERROR),
        "a second WSACleanup fails: start-up and clean-up pair up");
    return t.finish();
}
