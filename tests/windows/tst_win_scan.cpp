// The whole discovery scan through Winsock against nanoleaf-sim, inside the private
// test network (tools/netns-run): the query is broadcast to 255.255.255.255:5353,
// the simulated devices answer from their own loopback addresses, and each must be
// found as the discovery driver finds it on Linux: the instance label from
// records[1].name and the sender's address as the device address. Then one device
// is made to answer with an oversized datagram (the simulator's mDNS fault
// "oversized"): recvfrom reports WSAEMSGSIZE, that answer is dropped and the other
// device is still found.
//
//   tst_win_scan.exe --control 127.0.0.1:PORT --device "NAME@IP" [--device ...]
//
// The last --device is the one given the oversized fault.

#include "controlclient.h"
#include "wincheck.h"

#include "platform/socketlayer.h"
#include "zeroconf/zeroconf.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr std::int64_t kScanSeconds = 1;
const char* const kQuery = "_nanoleafapi._tcp.local";

using Device = std::pair<std::string, std::string>; // name, address

std::vector<std::pair<int, std::string>> g_log;

void captureLog(int level, const std::string& message)
{
    g_log.emplace_back(level, message);
}

// What the discovery driver announces for a list of replies: a reply with at least
// two records gives the second record's label and the sender's address.
std::vector<Device> announced(const std::vector<Zeroconf::Reply>& replies)
{
    std::vector<Device> out;
    for (const Zeroconf::Reply& reply : replies) {
        if (reply.records.size() < 2)
            continue;
        const std::string& label = reply.records[1].name;
        out.emplace_back(
            label.substr(0, label.find('\0')), Platform::Net::peerAddressToText(reply.peer));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string listText(const std::vector<Device>& devices)
{
    std::string text;
    for (const Device& d : devices)
        text += (text.empty() ? "" : ", ") + d.first + "@" + d.second;
    return "[" + text + "]";
}

void scan(WinCheck& t, const std::string& name, std::vector<Device> expected, int oversized)
{
    g_log.clear();
    std::vector<Zeroconf::Reply> replies;
    if (!t.check(Zeroconf::QueryService(kQuery, kScanSeconds, replies),
            name + ": QueryService succeeds", g_log.empty() ? std::string() : g_log.front().second))
        return;
    std::sort(expected.begin(), expected.end());
    const std::vector<Device> found = announced(replies);
    t.check(found == expected, name + ": devices found",
        "got " + listText(found) + ", expected " + listText(expected));
    t.equal(replies.size(), expected.size(), name + ": one reply per answering device");
    int dropped = 0;
    for (const auto& line : g_log)
        if (line.second == "Dropped oversized datagram of more than 512 bytes")
            ++dropped;
    t.equal(dropped, oversized, name + ": oversized answers dropped (WSAEMSGSIZE)");
}

} // namespace

int main(int argc, char** argv)
{
    WinCheck t("tst_win_scan");
    std::string controlAddress;
    std::vector<Device> devices;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--control") == 0) {
            controlAddress = argv[i + 1];
        } else if (std::strcmp(argv[i], "--device") == 0) {
            const std::string form = argv[i + 1];
            const std::size_t at = form.rfind('@');
            if (at != std::string::npos)
                devices.emplace_back(form.substr(0, at), form.substr(at + 1));
        }
    }
    if (!t.check(
            !controlAddress.empty() && devices.size() >= 2, "--control and two --device given"))
        return t.finish();
    Zeroconf::LogSink = captureLog;

    // As the discovery driver does around every scan.
    if (!t.equal(Platform::Net::startup(), 0, "WSAStartup 2.2"))
        return t.finish();
    ControlClient control(controlAddress);
    std::string body;
    std::string error;
    t.check(control.post("/reset", "{}", body, error), "simulator reset", error);

    scan(t, "scan", devices, 0);

    // The simulator saw exactly our 41-byte query, from this namespace's address.
    if (t.check(control.get("/mdns/queries", body, error), "simulator query log", error)) {
        const std::vector<std::string> bytes = ControlClient::stringMembers(body, "bytes");
        const std::vector<std::string> outcomes = ControlClient::stringMembers(body, "outcome");
        t.equal(bytes.size(), std::size_t(1), "the query was broadcast once");
        if (!bytes.empty())
            t.equal(bytes.front(),
                std::string("000000000001000000000000") + "0c5f6e616e6f6c656166617069"
                    + "045f746370" + "056c6f63616c00" + "000c0001",
                "the query's bytes on the wire");
        if (!outcomes.empty())
            t.equal(outcomes.front(), std::string("answered"), "the simulator answered it");
    }

    const Device faulty = devices.back();
    t.check(control.post(
                "/devices/" + faulty.second + "/fault", "{\"mdns\":\"oversized\"}", body, error),
        "oversized fault set on " + faulty.second, error);
    std::vector<Device> rest(devices.begin(), devices.end() - 1);
    scan(t, "scan with one oversized answer", rest, 1);
    t.check(
        control.post("/devices/" + faulty.second + "/fault", "{\"mdns\":\"none\"}", body, error),
        "fault cleared", error);

    scan(t, "scan after the fault", devices, 0);

    t.equal(Platform::Net::cleanup(), 0, "WSACleanup");
    return t.finish();
}
