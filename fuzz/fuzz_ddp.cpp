// Feeds arbitrary datagrams to the DDP parser and what it accepts to a source table, and
// checks what the receiver relies on: accepted data lies inside the datagram, after the
// header its flags call for; only version 1 RGB data for the display is accepted; a push
// that is taken completes a frame; the strip (exactly its size, so the sanitizers see any
// write past it) is written only where the packet's offset and length say.

#include "fuzzcheck.h"
#include "intake/ddpformat.h"
#include "intake/sourcetable.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const DdpFormat::Packet p = DdpFormat::parse(data, size);
    if (p.reason != DdpFormat::Reason::None) {
        check(p.data == nullptr);
        return 0;
    }
    check(size >= 10 && (data[0] & 0xC0) == 0x40 && (data[0] & 0x0E) == 0);
    check(p.destination == 1 || p.destination == 255);
    check(p.data == data + (p.hasTimecode ? 14 : 10));
    check(p.data + p.length <= data + size);

    // 20 pixels: 60 bytes.
    SourceTable table;
    table.setMap(PixelMap({ { "a", 15 }, { "b", 5 } }, 1));
    std::vector<std::uint8_t> strip(60, 0xA5);
    const SourceTable::Outcome o = table.takeDdp(p, { { 127, 0, 0, 2 }, 4048 }, 1000, strip.data());
    check(
        o.verdict == SourceTable::Verdict::Taken || o.verdict == SourceTable::Verdict::OutsideMap);
    check(o.frameComplete == (o.verdict == SourceTable::Verdict::Taken && p.push));
    for (std::size_t i = 0; i < strip.size(); ++i) {
        const bool covered = i >= p.offset && i - p.offset < p.length;
        check(covered ? strip[i] == p.data[i - p.offset] : strip[i] == 0xA5);
    }
    return 0;
}
