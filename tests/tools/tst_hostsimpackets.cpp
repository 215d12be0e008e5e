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

Q_DECLARE_METATYPE(Protocol)

namespace
{

const Platform::Net::Ipv4Endpoint kFrom { { 127, 0, 0, 2 }, 5000 };

// What the tool's intake makes of one datagram.
struct Taken {
    SourceTable::Outcome outcome;
    std::uint8_t sequence = 0;
    bool push = false; // DDP's end of frame
};

Taken take(SourceTable& table, Protocol protocol, const Bytes& d, std::int64_t now, Bytes& strip)
{
    if (protocol == Protocol::Ddp) {
        const DdpFormat::Packet p = DdpFormat::parse(d.data(), d.size());
        return { table.takeDdp(p, kFrom, now, strip.data()), p.sequence, p.push };
    }
    if (protocol == Protocol::E131) {
        const E131Format::Packet p = E131Format::parse(d.data(), d.size());
        return { table.takeE131(p, now, strip.data()), p.sequence };
    }
    const ArtNetFormat::Packet p = ArtNetFormat::parse(d.data(), d.size());
    return { table.takeArtDmx(p, kFrom, now, strip.data()), p.sequence };
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
    // 300 rainbow frames (past every sequence wrap) through the tool's parsers and source
    // table: every packet is taken in order, numbered (never 0, which means unnumbered), and
    // each frame read back equals what was sent (so every packet went to its universe).
    void framesReadBack_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<int>("universe");
        QTest::addColumn<int>("packets");

        QTest::newRow("ddp, 481 pixels in two") << Protocol::Ddp << 481 << 1 << 2;
        QTest::newRow("e131, 171 pixels from universe 7") << Protocol::E131 << 171 << 7 << 2;
        QTest::newRow("artnet, across Net 0 and 1, odd tail")
            << Protocol::ArtNet << 341 << 256 << 3;
    }
    void framesReadBack()
    {
        QFETCH(Protocol, protocol);
        QFETCH(int, pixels);
        QFETCH(int, universe);
        QFETCH(int, packets);

        StripPackets sender(settingsFor(protocol, std::size_t(pixels), std::uint16_t(universe)));
        SourceTable table;
        table.setMap(PixelMap({ { "strip", std::size_t(pixels) } }, std::uint16_t(universe)));
        const FrameSource source(FrameSource::Pattern::Rainbow, {}, 30.0, false);
        Bytes frame;
        Bytes strip(std::size_t(pixels) * 3, 0);
        for (int f = 0; f < 300; ++f) {
            source.strip(std::uint64_t(f), std::size_t(pixels), frame);
            const std::vector<StripPackets::Datagram>& out = sender.frame(frame.data());
            QCOMPARE(int(out.size()), packets);
            for (std::size_t i = 0; i < out.size(); ++i) {
                const Taken t = take(table, protocol, out[i].bytes, f * 20'000'000LL + i, strip);
                QCOMPARE(t.outcome.verdict, SourceTable::Verdict::Taken);
                QVERIFY(protocol == Protocol::E131 || t.sequence != 0);
                QVERIFY(protocol != Protocol::Ddp || t.push == (i + 1 == out.size()));
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
        QCOMPARE(int(p.priority), 150);
        QVERIFY(p.cid == settings.source.cid);
        QCOMPARE(std::string(p.sourceName, p.sourceNameLength), std::string(62, 'n'));
    }

    // A strip that reaches past what the protocol can address is refused before sending.
    void problems()
    {
        const auto sendable = [](Protocol protocol, std::size_t pixels, std::uint16_t universe) {
            return StripPackets::problem(settingsFor(protocol, pixels, universe)).empty();
        };
        QVERIFY(sendable(Protocol::E131, 170, 63999));
        QVERIFY(!sendable(Protocol::E131, 171, 63999));
        QVERIFY(!sendable(Protocol::ArtNet, 171, 32768));
        QVERIFY(sendable(Protocol::Ddp, 171, 63999)); // DDP has no universes
    }

    // The rainbow gives every pixel its own colour and moves.
    void rainbow()
    {
        const FrameSource rainbow(FrameSource::Pattern::Rainbow, {}, 30.0, false);
        Bytes now, next;
        rainbow.strip(10, 19, now);
        rainbow.strip(11, 19, next);
        std::set<std::array<std::uint8_t, 3>> colours;
        for (std::size_t at = 0; at < now.size(); at += 3)
            colours.insert({ now[at], now[at + 1], now[at + 2] });
        QCOMPARE(int(colours.size()), 19);
        QVERIFY(now != next);
    }

    void targets_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // as the summary names it; empty: refused
        const auto row
            = [](const char* name, Protocol protocol, const char* text, const char* expected) {
                  QTest::newRow(name) << protocol << QString(text) << QString(expected);
              };
        row("ddp's port", Protocol::Ddp, "127.0.0.1", "ddp 127.0.0.1:4048");
        row("artnet's port", Protocol::ArtNet, "127.0.0.1", "artnet 127.0.0.1:6454");
        row("a port given", Protocol::Ddp, "127.0.0.2:65535", "ddp 127.0.0.2:65535");
        row("e131 multicast", Protocol::E131, "multicast", "e131 multicast");
        row("multicast is e131's", Protocol::ArtNet, "multicast", "");
        row("a name", Protocol::Ddp, "localhost", "");
        row("port past 65535", Protocol::Ddp, "127.0.0.1:65536", "");
    }
    void targets()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        NetworkTarget target;
        std::string why;
        const bool ok = parseNetworkTarget(protocol, text.toStdString(), target, why);
        QCOMPARE(QString::fromStdString(ok ? target.text : std::string()), expected);
        QCOMPARE(why.empty(), ok);
    }

    void cid()
    {
        LightPackets::Cid cid { 9 };
        QVERIFY(!LightPackets::parseCid("6ba7b8109dad11d180b400c04fd430c", cid)); // 31 digits
        QVERIFY(!LightPackets::parseCid("6ba7b8109dad11d180b400c04fd430cg", cid));
        QCOMPARE(int(cid[0]), 9);
        QVERIFY(LightPackets::parseCid("6ba7b810-9dad-11d1-80b4-00c04fd430c8", cid));
        QCOMPARE(int(cid[0]), 0x6B);
        QCOMPARE(int(cid[15]), 0xC8);
    }
};

QTEST_GUILESS_MAIN(tst_HostSimPackets)
#include "tst_hostsimpackets.moc"
