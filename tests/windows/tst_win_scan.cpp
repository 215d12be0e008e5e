// One discovery scan through Winsock against nanoleaf-sim, inside the private test
// network (tools/netns-run): the query is broadcast to 255.255.255.255:5353 and each
// simulated device must be found as the discovery driver finds it: the instance
// label from records[1].name and the sender's address. The driver reads the
// simulator's query log afterwards.
//
//   tst_win_scan.exe "NAME@IP" ...

#include "wincheck.h"

#include "platform/socketlayer.h"
#include "zeroconf/zeroconf.h"

#include <algorithm>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    WinCheck t("tst_win_scan");
    std::vector<std::string> expected(argv + 1, argv + argc);
    std::sort(expected.begin(), expected.end());
    static std::string failure;
    Zeroconf::LogSink = [](int, const std::string& line) { failure += line + "; "; };
    if (!t.equal(Platform::Net::startup(), 0, "WSAStartup 2.2"))
        return t.finish();
    std::vector<Zeroconf::Reply> replies;
    t.check(
        Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, replies), "scan succeeds", failure);
    std::string found;
    std::vector<std::string> devices;
    for (const Zeroconf::Reply& reply : replies)
        if (reply.records.size() >= 2)
            devices.push_back(reply.records[1].name.substr(0, reply.records[1].name.find('\0'))
                + "@" + Platform::Net::peerAddressToText(reply.peer));
    std::sort(devices.begin(), devices.end());
    for (const std::string& d : devices)
        found += d + ", ";
    t.check(devices == expected, "every simulated device found", "got " + found);
    t.equal(Platform::Net::cleanup(), 0, "WSACleanup");
    return t.finish();
}
