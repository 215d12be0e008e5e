// host-sim's strip senders without sockets: every datagram they write is read back by the
// tool's own parsers and fed through its source table, so two independent writings of
// each protocol meet; plus the strip's colours and the command line's addresses.

#include "intake/pixelmap.h"
#include "intake/sourcetable.h"
#include "tools/host-sim/framesource.h"
#include "tools/host-sim/networksend.h"
#include "tools/host-sim/strippackets.h"

#include <QtTest>

#include <set>

using Protocol = StripPackets::Protocol;
using Bytes = std::vector<std::uint8_t>;
using V = SourceTable::Verdict;

Q_DECLARE_METATYPE(Protocol)

namespace
{

constexpr std::int64_t kFrameNs = 20'000'000;
const Platform::Net::Ipv4Endpoint kFrom { { 127, 0, 0, 2 }, 5000 };

// What the tool's intake makes of one datagram.
struct Taken {
    SourceTable::Outcome outcome;
    std::uint8_t sequence = 0;
    std::size_t length = 0; // pixel bytes carried
    std::uint16_t universe = 0; // E1.31 universe, or Art-Net Port-Address + 1
    bool push = false;
};

Taken take(SourceTable& table, Protocol protocol, const Bytes& d, std::int64_t now, Bytes& strip)
{
    Taken t;
    switch (protocol) {
    case Protocol::Ddp: {
        const DdpFormat::Packet p = DdpFormat::parse(d.data(), d.size());
        t.outcome = table.takeDdp(p, kFrom, now, strip.data());
        t.sequence = p.sequence;
        t.length = p.length;
        t.push = p.push;
        break;
    }
    case Protocol::E131: {
        const E131Format::Packet p = E131Format::parse(d.data(), d.size());
        t.outcome = table.takeE131(p, now, strip.data());
        t.sequence = p.sequence;
        t.length = p.channelCount;
        t.universe = p.universe;
        break;
    }
    case Protocol::ArtNet: {
        const ArtNetFormat::Packet p = ArtNetFormat::parse(d.data(), d.size());
        t.outcome = table.takeArtDmx(p, kFrom, now, strip.data());
        t.sequence = p.sequence;
        t.length = p.length;
        t.universe = static_cast<std::uint16_t>(p.portAddress + 1);
        break;
    }
    }
    return t;
}

// The sequence number a sender of `protocol` puts on its next packet after `last`.
std::uint8_t following(Protocol protocol, std::uint8_t last)
{
    switch (protocol) {
    case Protocol::Ddp:
        return static_cast<std::uint8_t>(last % 15 + 1);
    case Protocol::E131:
        return static_cast<std::uint8_t>(last + 1);
    case Protocol::ArtNet:
        return static_cast<std::uint8_t>(last == 255 ? 1 : last + 1);
    }
    return 0;
}

StripPackets::Settings settingsFor(Protocol protocol, std::size_t pixels, std::uint16_t universe)
{
    StripPackets::Settings s;
    s.protocol = protocol;
    s.pixels = pixels;
    s.universe = universe;
    s.source.name = "host-sim test";
    s.source.cid = { 0xC1, 0xD0 };
    return s;
}

} // namespace

class tst_HostSimPackets : public QObject
{
    Q_OBJECT

private slots:
    // 300 rainbow frames through the tool's parsers and source table: each frame is
    // complete at its last datagram and (after the first) nowhere before, equals what was
    // sent, and every
    // packet is numbered one past its predecessor (per universe for E1.31 and Art-Net),
    // across the wrap.
    void framesReadBack_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<int>("universe");
        QTest::addColumn<int>("packets");
        QTest::addColumn<int>("lastLength"); // of the last packet, in bytes

        QTest::newRow("ddp, 480 pixels in one packet") << Protocol::Ddp << 480 << 1 << 1 << 1440;
        QTest::newRow("ddp, 481 pixels in two") << Protocol::Ddp << 481 << 1 << 2 << 3;
        QTest::newRow("e131, one universe") << Protocol::E131 << 170 << 1 << 1 << 510;
        QTest::newRow("e131, 171 pixels from universe 7") << Protocol::E131 << 171 << 7 << 2 << 3;
        QTest::newRow("e131, up to universe 63999") << Protocol::E131 << 500 << 63997 << 3 << 480;
        QTest::newRow("artnet, one pixel, even length") << Protocol::ArtNet << 1 << 1 << 1 << 4;
        QTest::newRow("artnet, Port-Addresses 0 and 1") << Protocol::ArtNet << 171 << 1 << 2 << 4;
        QTest::newRow("artnet, across Net 0 and 1") << Protocol::ArtNet << 510 << 256 << 3 << 510;
        QTest::newRow("artnet, up to Port-Address 32767")
            << Protocol::ArtNet << 340 << 32767 << 2 << 510;
    }
    void framesReadBack()
    {
        QFETCH(Protocol, protocol);
        QFETCH(int, pixels);
        QFETCH(int, universe);
        QFETCH(int, packets);
        QFETCH(int, lastLength);

        const StripPackets::Settings settings
            = settingsFor(protocol, std::size_t(pixels), std::uint16_t(universe));
        QVERIFY(StripPackets::problem(settings).empty());
        StripPackets sender(settings);
        SourceTable table;
        table.setMap(PixelMap({ { "strip", std::size_t(pixels) } }, std::uint16_t(universe)));
        const FrameSource source(FrameSource::Pattern::Rainbow, {}, 30.0, false);
        Bytes frame;
        Bytes strip(std::size_t(pixels) * 3, 0);
        std::map<std::uint16_t, std::uint8_t> last; // per universe (DDP: 0)
        for (int f = 0; f < 300; ++f) {
            source.strip(std::uint64_t(f), std::size_t(pixels), frame);
            const std::vector<StripPackets::Datagram>& out = sender.frame(frame.data());
            QCOMPARE(int(out.size()), packets);
            for (std::size_t i = 0; i < out.size(); ++i) {
                const std::int64_t now = f * kFrameNs + std::int64_t(i);
                const Taken t = take(table, protocol, out[i].bytes, now, strip);
                QCOMPARE(t.outcome.verdict, V::Taken);
                const bool lastOne = i + 1 == out.size();
                // Until a sender's higher universes have been seen, each one it sends is its
                // last as far as the receiver knows.
                if (f > 0 || lastOne)
                    QCOMPARE(t.outcome.frameComplete, lastOne);
                if (protocol == Protocol::Ddp)
                    QCOMPARE(t.push, lastOne);
                else
                    QCOMPARE(int(t.universe), universe + int(i));
                if (lastOne)
                    QCOMPARE(int(t.length), lastLength);
                const auto before = last.find(t.universe);
                if (before != last.end())
                    QCOMPARE(int(t.sequence), int(following(protocol, before->second)));
                else if (protocol != Protocol::E131)
                    QVERIFY(t.sequence != 0); // 0 tells a receiver the packets are unnumbered
                last[t.universe] = t.sequence;
            }
            QVERIFY2(strip == frame, qPrintable(QString("frame %1").arg(f)));
        }
    }

    // E1.31 says who sends: name (cut whole characters), CID and priority.
    void e131Source()
    {
        StripPackets::Settings settings = settingsFor(Protocol::E131, 1, 5);
        settings.source.priority = 150;
        settings.source.name = std::string(62, 'n') + "\xC3\xA9"; // 'é' would end at byte 64
        StripPackets sender(settings);
        const Bytes pixel(3, 0x42);
        const Bytes& d = sender.frame(pixel.data()).front().bytes;
        const E131Format::Packet p = E131Format::parse(d.data(), d.size());
        QCOMPARE(p.reason, E131Format::Reason::None);
        QCOMPARE(int(p.priority), 150);
        QVERIFY(p.cid == settings.source.cid);
        QCOMPARE(std::string(p.sourceName, p.sourceNameLength), std::string(62, 'n'));
    }

    // A strip that reaches past what the protocol can address is refused before sending.
    void problems_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<int>("universe");
        QTest::addColumn<bool>("sendable");

        QTest::newRow("no pixel") << Protocol::Ddp << 0 << 1 << false;
        QTest::newRow("e131 ends at 63999") << Protocol::E131 << 170 << 63999 << true;
        QTest::newRow("e131 past 63999") << Protocol::E131 << 171 << 63999 << false;
        QTest::newRow("artnet ends at 32767") << Protocol::ArtNet << 170 << 32768 << true;
        QTest::newRow("artnet past 32767") << Protocol::ArtNet << 171 << 32768 << false;
        QTest::newRow("ddp ignores the universe") << Protocol::Ddp << 171 << 63999 << true;
    }
    void problems()
    {
        QFETCH(Protocol, protocol);
        QFETCH(int, pixels);
        QFETCH(int, universe);
        QFETCH(bool, sendable);
        const StripPackets::Settings s
            = settingsFor(protocol, std::size_t(pixels), std::uint16_t(universe));
        QCOMPARE(StripPackets::problem(s).empty(), sendable);
    }

    // The rainbow gives every pixel its own colour and moves; solid and numbered strips.
    void stripColours()
    {
        for (const int pixels : { 19, 170 }) {
            const FrameSource rainbow(FrameSource::Pattern::Rainbow, {}, 30.0, false);
            Bytes now, next;
            rainbow.strip(10, std::size_t(pixels), now);
            rainbow.strip(11, std::size_t(pixels), next);
            QCOMPARE(int(now.size()), 3 * pixels);
            std::set<std::array<std::uint8_t, 3>> colours;
            for (int p = 0; p < pixels; ++p) {
                const std::size_t at = std::size_t(3 * p);
                colours.insert({ now[at], now[at + 1], now[at + 2] });
                QVERIFY(!std::equal(&now[at], &now[at] + 3, &next[at]));
            }
            QCOMPARE(int(colours.size()), pixels);
        }
        const FrameSource solid(FrameSource::Pattern::Solid, { 1, 2, 3 }, 30.0, true);
        Bytes strip;
        solid.strip(0x020304 - 1, 3, strip);
        QCOMPARE(strip, Bytes({ 2, 3, 4, 1, 2, 3, 1, 2, 3 }));
    }

    void targets_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // as the summary names it; empty: refused

        QTest::newRow("ddp's port") << Protocol::Ddp << "127.0.0.1"
                                    << "ddp 127.0.0.1:4048";
        QTest::newRow("e131's port") << Protocol::E131 << "127.0.0.3"
                                     << "e131 127.0.0.3:5568";
        QTest::newRow("artnet's port") << Protocol::ArtNet << "127.0.0.1"
                                       << "artnet 127.0.0.1:6454";
        QTest::newRow("a port given") << Protocol::Ddp << "127.0.0.2:65535"
                                      << "ddp 127.0.0.2:65535";
        QTest::newRow("e131 multicast") << Protocol::E131 << "multicast"
                                        << "e131 multicast";
        QTest::newRow("multicast is e131's") << Protocol::ArtNet << "multicast" << QString();
        QTest::newRow("a name") << Protocol::Ddp << "localhost" << QString();
        QTest::newRow("port past 65535") << Protocol::Ddp << "127.0.0.1:65536" << QString();
        QTest::newRow("empty port") << Protocol::Ddp << "127.0.0.1:" << QString();
    }
    void targets()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        NetworkTarget target;
        std::string why;
        const bool ok = parseNetworkTarget(protocol, text.toStdString(), target, why);
        QCOMPARE(ok, !expected.isEmpty());
        QCOMPARE(QString::fromStdString(ok ? target.text : std::string()), expected);
        QCOMPARE(why.empty(), ok);
    }

    void cid_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("UUID form") << "6ba7b810-9dad-11d1-80b4-00c04fd430c8" << true;
        QTest::newRow("31 digits") << "6ba7b8109dad11d180b400c04fd430c" << false;
        QTest::newRow("not hex") << "6ba7b8109dad11d180b400c04fd430cg" << false;
    }
    void cid()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        LightPackets::Cid cid { 9 };
        QCOMPARE(LightPackets::parseCid(text.toStdString(), cid), valid);
        if (valid) {
            QCOMPARE(int(cid[0]), 0x6B);
            QCOMPARE(int(cid[15]), 0xC8);
        } else {
            QCOMPARE(int(cid[0]), 9);
        }
    }
};

QTEST_GUILESS_MAIN(tst_HostSimPackets)
#include "tst_hostsimpackets.moc"
