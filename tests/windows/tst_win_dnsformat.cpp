// The discovery message format as the Windows build runs it: mingw-w64's
// libstdc++ streams (the reply parser ends on a stream failure), thread_local log
// sinks on winpthreads, and peer addresses in Winsock's sockaddr layout turned into
// text by Winsock's inet_ntop. The answers are the same hand-built byte vectors
// the Linux tests use (tests/zeroconf/dnsbuilder.h); the full format tables stay
// with the Linux tests, these rows cover each way a reply is taken or refused.
//
//   tst_win_dnsformat.exe [--data DIR]   (DIR holds avahi-reply.bin)

#include "wincheck.h"

#include "zeroconf/dnsbuilder.h"
#include "zeroconf/dnsmessage.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace DnsBuilder;

namespace
{

struct LogLine {
    int level;
    std::string message;
};

std::vector<LogLine> g_log;

void captureLog(int level, const std::string& message)
{
    g_log.push_back({ level, message });
}

Zeroconf::Detail::RawReply rawFrom(const Bytes& bytes)
{
    Zeroconf::Detail::RawReply raw;
    raw.peer = Platform::Net::makeIpv4Peer({ 127, 0, 0, 2 }, 5353);
    raw.bytes = bytes;
    return raw;
}

void query(WinCheck& t)
{
    const Bytes expected = { 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x0C, '_', 'n', 'a', 'n', 'o', 'l', 'e', 'a', 'f', 'a', 'p', 'i', 0x04, '_', 't', 'c', 'p',
        0x05, 'l', 'o', 'c', 'a', 'l', 0x00, 0x00, 0x0C, 0x00, 0x01 };
    t.equal(
        Zeroconf::Detail::BuildQuery("_nanoleafapi._tcp.local"), expected, "the 41-byte PTR query");
}

void names(WinCheck& t)
{
    struct Row {
        const char* name;
        std::string input;
        bool ok;
        Bytes encoded;
    };
    const Bytes ab = { 0x01, 'a', 0x01, 'b', 0x00 };
    Bytes longest = { 0xFF };
    longest.insert(longest.end(), 255, 'y');
    longest.push_back(0x00);
    const Row rows[] = {
        { "plain", "a.b", true, ab },
        { "doubled dot", "a..b", true, ab },
        { "leading dot", ".a.b", true, ab },
        { "trailing dot", "a.b.", true, ab },
        { "empty name", "", true, Bytes { 0x00 } },
        { "255-byte label", std::string(255, 'y'), true, longest },
        { "256-byte label refused", std::string(256, 'x'), false, Bytes { 0xAA } },
    };
    for (const Row& row : rows) {
        Bytes buffer = row.ok ? Bytes() : Bytes { 0xAA };
        const bool ok = Zeroconf::Detail::EncodeName(row.input, buffer);
        t.equal(ok, row.ok, std::string("encode ") + row.name + ": result");
        t.equal(buffer, row.encoded, std::string("encode ") + row.name + ": bytes");
    }
}

void rejections(WinCheck& t)
{
    const std::string badFlags = "Found unexpected Flags value while parsing responce";
    const std::string badName = "Failed to parse query name";
    const std::string badToken = "Found incorrect offset token while parsing responce";
    const std::string badRecordName = "Failed to parse record name";
    const std::string streamError = "Stream error while parsing responce: ";

    auto withQuestion = [](unsigned flags) {
        Bytes out = header(flags);
        question(out);
        return out;
    };
    struct Row {
        std::string name;
        Bytes bytes;
        int level;
        std::string message;
        bool prefixOnly;
    };
    std::vector<Row> rows;
    rows.push_back({ "flags 0x8000", withQuestion(0x8000), 1, badFlags, false });
    rows.push_back({ "flags 0x8600 (truncated)", withQuestion(0x8600), 1, badFlags, false });
    rows.push_back({ "header only", header(0x8400), 0, badName, false });
    Bytes cutHeader = header(0x8400);
    cutHeader.pop_back();
    rows.push_back({ "header cut short", cutHeader, 1, streamError, true });
    Bytes c1 = withQuestion(0x8400);
    record(c1, 0x0C, 0x000C, Bytes { 0x00 });
    c1[41] = 0xC1;
    rows.push_back({ "record pointer above 255", c1, 1, badToken, false });
    Bytes beyond = withQuestion(0x8400);
    record(beyond, 0xF0, 0x000C, Bytes { 0x00 });
    rows.push_back({ "pointer target beyond end", beyond, 1, badRecordName, false });
    Bytes rdataPastEnd = withQuestion(0x8400);
    record(rdataPastEnd, 0x0C, 0x0001, Bytes { 127, 0, 0, 2 });
    rdataPastEnd[51] = 5;
    rows.push_back({ "RDLENGTH past end", rdataPastEnd, 1, streamError, true });
    const Bytes full = deviceAnswer("Light Panels 52:33:A1").bytes;
    for (std::size_t cut : { std::size_t(43), std::size_t(47), std::size_t(52), full.size() - 1 }) {
        rows.push_back({ "device answer cut to " + std::to_string(cut) + " bytes",
            Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)), 1, streamError,
            true });
    }

    for (const Row& row : rows) {
        g_log.clear();
        Zeroconf::Reply reply;
        const std::string name = "reject " + row.name;
        t.equal(Zeroconf::Detail::ParseReply(rawFrom(row.bytes), reply), false, name + ": refused");
        if (!t.equal(g_log.size(), std::size_t(1), name + ": one report"))
            continue;
        t.equal(g_log.front().level, row.level, name + ": level");
        if (row.prefixOnly) {
            const std::string& got = g_log.front().message;
            // The stream's own description follows the fixed label.
            t.check(got.compare(0, row.message.size(), row.message) == 0
                    && got.size() > row.message.size(),
                name + ": stream failure described", "got \"" + got + "\"");
        } else {
            t.equal(g_log.front().message, row.message, name + ": message");
        }
    }

    g_log.clear();
    Zeroconf::Reply reply;
    t.equal(Zeroconf::Detail::ParseReply(rawFrom(Bytes()), reply), false, "reject empty datagram");
    t.equal(g_log.size(), std::size_t(0), "reject empty datagram: silently");
}

void deviceAnswers(WinCheck& t)
{
    struct Row {
        std::string instance;
        std::uint8_t lastOctet;
    };
    const Row rows[]
        = { { "Light Panels 52:33:A1", 2 }, { "Canvas 1F:2B:3C", 3 }, { "100% %s", 4 } };
    for (const Row& row : rows) {
        Zeroconf::Detail::RawReply raw = rawFrom(deviceAnswer(row.instance, row.lastOctet).bytes);
        raw.peer = Platform::Net::makeIpv4Peer({ 127, 0, 0, row.lastOctet }, 5353);
        Zeroconf::Reply reply;
        g_log.clear();
        const std::string name = "answer of \"" + row.instance + "\"";
        if (!t.equal(Zeroconf::Detail::ParseReply(raw, reply), true, name + ": accepted"))
            continue;
        t.equal(g_log.size(), std::size_t(0), name + ": no report");
        t.equal(reply.firstName, std::string("_nanoleafapi._tcp.local"), name + ": first name");
        t.equal(reply.firstType, std::uint16_t(0x000C), name + ": first type");
        if (!t.equal(reply.records.size(), std::size_t(4), name + ": PTR, SRV, TXT, A"))
            continue;
        t.equal(reply.records[0].name, std::string("_nanoleafapi"), name + ": PTR owner label");
        t.equal(reply.records[1].name, row.instance, name + ": device name from the second record");
        t.equal(reply.records[3].position + reply.records[3].length, reply.message.size(),
            name + ": records span the message");
        t.equal(Platform::Net::peerAddressToText(reply.peer),
            "127.0.0." + std::to_string(row.lastOctet), name + ": sender address text");
    }
}

void peers(WinCheck& t)
{
    // The storage is a Winsock sockaddr_storage: its family field holds Windows'
    // own codes (AF_INET6 is 23 here, 10 on Linux).
    const Platform::Net::PeerAddress v6 = Platform::Net::makeIpv6Peer(
        { 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 }, 5353);
    std::uint16_t family = 0;
    std::memcpy(&family, v6.storage.data(), sizeof family);
    t.equal(family, std::uint16_t(AF_INET6), "IPv6 peer: Winsock's family code");
    t.equal(Platform::Net::peerFamily(v6), Platform::Net::AddressFamily::Ipv6, "IPv6 peer: family");

    struct Row {
        const char* name;
        Platform::Net::PeerAddress peer;
        std::string text;
    };
    Platform::Net::PeerAddress other;
    const std::uint16_t appletalk = 16; // AF_APPLETALK on Winsock
    std::memcpy(other.storage.data(), &appletalk, sizeof appletalk);
    const Row rows[] = {
        { "IPv4 127.0.0.2", Platform::Net::makeIpv4Peer({ 127, 0, 0, 2 }, 5353), "127.0.0.2" },
        { "IPv4 255.255.255.255", Platform::Net::makeIpv4Peer({ 255, 255, 255, 255 }, 1),
            "255.255.255.255" },
        { "IPv6 fe80::1", v6, "fe80::1" },
        { "IPv6 ::1",
            Platform::Net::makeIpv6Peer({ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 }, 1),
            "::1" },
        { "IPv4-mapped IPv6",
            Platform::Net::makeIpv6Peer(
                { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 3 }, 1),
            "::ffff:127.0.0.3" },
        { "no family", Platform::Net::PeerAddress(), "" },
        { "another family", other, "" },
    };
    for (const Row& row : rows)
        t.equal(Platform::Net::peerAddressToText(row.peer), row.text,
            std::string("peer text, ") + row.name);
}

void sinkPerThread(WinCheck& t)
{
    Zeroconf::LogSinkFunction seenOnOtherThread = captureLog;
    bool parsed = true;
    g_log.clear();
    std::thread other([&] {
        seenOnOtherThread = Zeroconf::LogSink;
        Bytes bytes = header(0x8000);
        question(bytes);
        Zeroconf::Reply reply;
        parsed = Zeroconf::Detail::ParseReply(rawFrom(bytes), reply);
    });
    other.join();
    t.check(seenOnOtherThread == nullptr, "log sink: unset on a new thread");
    t.equal(parsed, false, "log sink: the other thread's reply refused");
    t.equal(g_log.size(), std::size_t(0), "log sink: the other thread's report not seen here");
}

void capturedAvahiReply(WinCheck& t, const std::string& dataDir)
{
    if (dataDir.empty()) {
        t.note("no --data: captured avahi reply skipped");
        return;
    }
    std::ifstream in(dataDir + "/avahi-reply.bin", std::ios::binary);
    const Bytes bytes { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
    if (!t.equal(bytes.size(), std::size_t(67), "captured avahi reply: read"))
        return;
    Zeroconf::Reply reply;
    g_log.clear();
    t.equal(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply), true,
        "captured avahi reply: accepted");
    t.equal(reply.records.size(), std::size_t(1), "captured avahi reply: the PTR answer only");
}

} // namespace

int main(int argc, char** argv)
{
    WinCheck t("tst_win_dnsformat");
    std::string dataDir;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--data") == 0)
            dataDir = argv[i + 1];
    Zeroconf::LogSink = captureLog;

    query(t);
    names(t);
    rejections(t);
    deviceAnswers(t);
    peers(t);
    sinkPerThread(t);
    capturedAvahiReply(t, dataDir);
    return t.finish();
}
