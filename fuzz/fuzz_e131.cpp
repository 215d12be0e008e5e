// Feeds arbitrary datagrams to the E1.31 parser and what it accepts to a source table, and
// checks what the receiver relies on: an accepted data packet's channels lie inside the
// datagram, its every layer's length matches the datagram, its universe and priority are in
// range; an accepted sync packet is 49 bytes; the strip (exactly its size) is written at
// most with the packet's channels, also when held for a sync packet and released by one.

#include "fuzzcheck.h"
#include "intake/e131format.h"
#include "intake/sourcetable.h"

#include <cstdint>
#include <vector>

namespace
{

unsigned length12(const std::uint8_t* p)
{
    return (unsigned(p[0]) << 8 | p[1]) & 0x0FFFu;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const E131Format::Packet p = E131Format::parse(data, size);
    if (p.reason != E131Format::Reason::None && p.reason != E131Format::Reason::StartCode) {
        check(p.channels == nullptr);
        return 0;
    }
    check(size >= 44 && length12(data + 16) == size - 16 && length12(data + 38) == size - 38);
    if (p.kind == E131Format::Kind::Sync) {
        check(size == 49 && p.syncAddress >= 1 && p.syncAddress <= 63999);
        return 0;
    }
    check(p.kind == E131Format::Kind::Data);
    check(p.channels == data + 126 && p.channelCount == size - 126 && p.channelCount <= 512);
    check(length12(data + 115) == size - 115);
    check(p.universe >= 1 && p.universe <= 63999 && p.priority <= 200);
    check(p.sourceNameLength <= 64 && p.sourceName == reinterpret_cast<const char*>(data + 44));
    if (p.reason != E131Format::Reason::None)
        return 0;

    // 200 pixels over universes 1 and 2: 600 bytes. Taken, then held for its sync address
    // once a sync packet has been seen there, then released by the next.
    SourceTable table;
    table.setMap(PixelMap({ { "a", 200 } }, 1));
    std::vector<std::uint8_t> strip(600, 0xA5);
    table.takeE131(p, 1000, strip.data());
    if (p.syncAddress != 0) {
        E131Format::Packet sync;
        sync.reason = E131Format::Reason::None;
        sync.kind = E131Format::Kind::Sync;
        sync.cid = p.cid;
        sync.syncAddress = p.syncAddress;
        table.takeE131(sync, 2000, strip.data());
        E131Format::Packet next = p;
        next.sequence = static_cast<std::uint8_t>(p.sequence + 1);
        table.takeE131(next, 3000, strip.data());
        table.takeE131(sync, 4000, strip.data());
    }
    const std::size_t at = p.universe == 2 ? 510 : 0;
    for (std::size_t i = 0; i < strip.size(); ++i) {
        const bool covered = (p.universe == 1 || p.universe == 2) && !p.preview && !p.terminated
            && i >= at && i - at < p.channelCount && i - at < 510;
        check(covered ? strip[i] == p.channels[i - at] : strip[i] == 0xA5);
    }
    return 0;
}
