// The Winsock branch of the socket layer and the debugger channel, on 127.0.0.1
// with ephemeral ports: WSAStartup, SO_BROADCAST, sendto, select, recvfrom and its
// WSAEMSGSIZE, closesocket, WSACleanup, and OutputDebugString.

#include "wincheck.h"

#include "platform/debugchannel.h"
#include "platform/socketlayer.h"
#include "zeroconf/mdnstransport.h"

#include <winsock2.h>

#include <string>
#include <vector>

namespace Net = Platform::Net;

namespace
{

using Bytes = std::vector<std::uint8_t>;

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

} // namespace

int main()
{
    WinCheck t("tst_win_socketlayer");
    Zeroconf::LogSink = [](int, const std::string& line) { g_log.push_back(line); };
    std::vector<Zeroconf::Reply> replies;
    t.check(!Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies)
            && g_log == std::vector<std::string> { "Failed to create socket with code 10093" },
        "before WSAStartup: the scan fails with WSANOTINITIALISED");
    t.equal(Net::startup(), 0, "WSAStartup 2.2");
    exchange(t);
    debugChannel(t);
    t.equal(Net::cleanup(), 0, "WSACleanup");
    t.equal(Net::cleanup(), int(SOCKET_ERROR), "a second WSACleanup fails");
    return t.finish();
}
