// Feeds arbitrary datagrams to the reply parser and the plain-name reader, and checks
// the promises callers rely on: an accepted reply's records lie inside its message,
// and every rejection but the empty datagram says why exactly once.

#include "fuzzcheck.h"
#include "zeroconf/dnsmessage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace
{

int g_reports = 0;

void countReport(int level, const std::string& message)
{
    check((level == 0 || level == 1) && !message.empty());
    ++g_reports;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > Zeroconf::Detail::kMaxDatagramSize)
        return 0; // the transport never hands over more

    Zeroconf::Detail::RawReply raw;
    raw.peer = Platform::Net::makeIpv4Peer({ 127, 0, 0, 2 }, 5353);
    raw.bytes.assign(data, data + size);

    Zeroconf::LogSink = countReport;
    g_reports = 0;
    Zeroconf::Reply reply;
    const bool accepted = Zeroconf::Detail::ParseReply(raw, reply);
    Zeroconf::LogSink = nullptr;

    if (accepted) {
        check(g_reports == 0 && reply.message == raw.bytes && reply.firstName.size() <= size);
        std::size_t previousEnd = 0;
        for (const Zeroconf::ReplyRecord& record : reply.records) {
            check(record.position >= previousEnd && record.length >= 12
                && record.position + record.length <= size && record.name.size() <= 255
                && raw.bytes[record.position] == 0xC0);
            previousEnd = record.position + record.length;
        }
    } else {
        check(g_reports == (size == 0 ? 0 : 1));
    }

    // The name reader on its own, from every start offset the first byte can name.
    if (size > 0) {
        std::string name;
        const std::size_t start = data[0] % (size + 1);
        const std::size_t consumed = Zeroconf::Detail::ReadName(raw.bytes, start, name);
        check(consumed == 0
            || (start + consumed <= size && raw.bytes[start + consumed - 1] == 0
                && name.size() < consumed));
    }
    return 0;
}
