// Feeds arbitrary datagrams to the Art-Net parsers and checks what the receiver relies on:
// an accepted ArtDmx's data lies inside the datagram with an even length of 2-512; an
// accepted ArtDmx reaches the strip (exactly its size) only at its Port-Address's place;
// an ArtPollReply read back lists at most four outputs of one Net and Sub-Net; and the
// replies built for the outputs the input's first bytes describe read back as those
// outputs, in order, each with its BindIndex.

#include "fuzzcheck.h"
#include "intake/artnetformat.h"
#include "intake/sourcetable.h"

#include <array>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ArtNetFormat::Packet p = ArtNetFormat::parse(data, size);
    if (p.reason == ArtNetFormat::Reason::None && p.kind == ArtNetFormat::Kind::Dmx) {
        check(p.data == data + 18 && p.data + p.length <= data + size);
        check(p.length >= 2 && p.length <= 512 && p.length % 2 == 0 && p.portAddress <= 0x7FFF);
        // 180 pixels: Port-Addresses 0 and 1, 540 bytes.
        SourceTable table;
        table.setMap(PixelMap({ { "a", 180 } }, 1));
        std::vector<std::uint8_t> strip(540, 0xA5);
        table.takeArtDmx(p, { { 127, 0, 0, 2 }, 6454 }, 1000, strip.data());
        const std::size_t at = p.portAddress == 1 ? 510 : 0;
        for (std::size_t i = 0; i < strip.size(); ++i) {
            const bool covered = p.portAddress <= 1 && i >= at && i - at < p.length && i - at < 510;
            check(covered ? strip[i] == p.data[i - at] : strip[i] == 0xA5);
        }
    } else if (p.reason == ArtNetFormat::Reason::None) {
        check(p.kind == ArtNetFormat::Kind::Poll && size >= 14);
    } else {
        check(p.data == nullptr);
    }

    const ArtNetFormat::PollReply r = ArtNetFormat::parsePollReply(data, size);
    if (r.reason == ArtNetFormat::Reason::None) {
        check(size >= 207 && r.outputs <= 4 && r.shortName[17] == 0 && r.longName[63] == 0);
        for (std::size_t i = 1; i < r.outputs; ++i)
            check(r.outputPortAddresses[i] >> 4 == r.outputPortAddresses[0] >> 4);
    }

    if (size < 4)
        return 0;
    ArtNetFormat::PollReplyInfo info;
    info.firstPortAddress = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    info.portCount = std::size_t(data[2] << 8 | data[3]) % 300;
    info.shortName = "fuzz";
    std::array<std::uint8_t, ArtNetFormat::kPollReplySize> out {};
    const std::size_t n = ArtNetFormat::pollReplyCount(info.firstPortAddress, info.portCount);
    std::size_t next = info.firstPortAddress;
    for (std::size_t i = 0; i < n; ++i) {
        check(ArtNetFormat::buildPollReply(out.data(), out.size(), info, i) == out.size());
        const ArtNetFormat::PollReply back = ArtNetFormat::parsePollReply(out.data(), out.size());
        check(back.reason == ArtNetFormat::Reason::None && back.bindIndex == i + 1);
        check(back.outputs <= 4 && (back.outputs > 0 || n == 1));
        for (std::size_t k = 0; k < back.outputs; ++k)
            check(back.outputPortAddresses[k] == next++);
    }
    const std::size_t last = std::size_t { info.firstPortAddress } + info.portCount;
    check(next
        == (info.firstPortAddress > 0x7FFF ? info.firstPortAddress
                                           : (last > 0x8000 ? 0x8000 : last)));
    check(ArtNetFormat::buildPollReply(out.data(), out.size(), info, n) == 0);
    return 0;
}
