// The pixel map (where each device's pixels sit for DDP, E1.31 and Art-Net, and the report)
// and the source table with an injected clock: sequence, priority, probation, termination,
// loss, universe synchronization, frames, the flood cap, and no allocation per packet.

#include "common/intakepackets.h"
#include "intake/pixelmap.h"
#include "intake/sourcetable.h"

#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <new>

// Counts allocations while `counting` is set (operator new below).
static std::atomic<bool> counting { false };
static std::atomic<int> allocations { 0 };

void* operator new(std::size_t size)
{
    if (counting)
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

using Bytes = IntakePackets::Bytes;
using V = SourceTable::Verdict;
constexpr std::int64_t kMs = 1'000'000;

// Light Panels 9, Canvas 2, Shapes 180: 191 pixels over universes 1 and 2.
PixelMap threeDevices(std::uint16_t start = 1)
{
    return PixelMap(
        { { "Light Panels 52:33:A1", 9 }, { "Canvas 1F:2B:3C", 2 }, { "Shapes 07E7", 180 } },
        start);
}

// A source table over a map and a strip, with a clock the test moves.
struct Rig {
    explicit Rig(const PixelMap& map, const SourceTable::Limits& limits = {})
        : table(limits)
        , strip(map.byteCount(), 0)
    {
        table.setMap(map);
    }

    SourceTable::Outcome e131(int source, std::uint16_t universe, std::uint8_t sequence,
        std::uint8_t value, std::uint8_t priority = 100, std::uint8_t options = 0,
        std::uint16_t sync = 0)
    {
        const Bytes b = IntakePackets::e131(IntakePackets::Cid { std::uint8_t(source) }, universe,
            sequence, Bytes(510, value), priority, options, sync);
        return table.takeE131(E131Format::parse(b.data(), b.size()), now, strip.data());
    }
    SourceTable::Outcome sync(int source, std::uint16_t address)
    {
        const Bytes b
            = IntakePackets::e131Sync(IntakePackets::Cid { std::uint8_t(source) }, 0, address);
        return table.takeE131(E131Format::parse(b.data(), b.size()), now, strip.data());
    }
    SourceTable::Outcome ddp(std::uint16_t port, bool push, std::uint32_t offset, const Bytes& data)
    {
        const Bytes b = IntakePackets::ddp(push, offset, data);
        return table.takeDdp(
            DdpFormat::parse(b.data(), b.size()), { { 10, 0, 0, 9 }, port }, now, strip.data());
    }
    SourceTable::Outcome art(
        std::uint16_t port, std::uint8_t sequence, std::uint16_t portAddress, std::uint8_t value)
    {
        const Bytes b = IntakePackets::artDmx(sequence, portAddress, Bytes(512, value));
        return table.takeArtDmx(
            ArtNetFormat::parse(b.data(), b.size()), { { 10, 0, 0, 9 }, port }, now, strip.data());
    }
    // Sends `count` in-order packets of one E1.31 source so that it is settled.
    void settle(int source, std::uint16_t universe, std::uint8_t value, std::uint8_t priority = 100)
    {
        for (std::uint8_t s = 1; s <= SourceTable::kSettledPackets; ++s)
            e131(source, universe, s, value, priority);
    }

    SourceTable table;
    Bytes strip;
    std::int64_t now = 1000 * kMs;
};

} // namespace

class tst_SourceTable : public QObject
{
    Q_OBJECT

private slots:
    // Pixel 171 opens universe 2: channels 511-512 of universe 1 stay unused.
    void mapReport()
    {
        const PixelMap map({ { "Lines", 1 }, { "Unlit", 0 }, { "Strip", 170 } }, 7);
        QCOMPARE(map.report(),
            (std::vector<std::string> {
                "Lines: pixel 1, universe 7 channel 1 to universe 7 channel 3", "Unlit: no pixels",
                "Strip: pixels 2-171, universe 7 channel 4 to universe 8 channel 3" }));
        QCOMPARE(QString::fromStdString(threeDevices(7).summary()),
            "191 pixels: DDP bytes 0-572, universes 7-8 (Art-Net Port-Addresses 6-7)");
        QCOMPARE(QString::fromStdString(PixelMap().summary()), "no pixels");
        QCOMPARE(int(PixelMap({ { "x", 1 } }, 65535).startUniverse()), 63999);
    }

    // E1.31 always, Art-Net unless its sequence is 0: 1-20 behind the last taken is dropped.
    void sequence_data()
    {
        QTest::addColumn<int>("last");
        QTest::addColumn<int>("next");
        QTest::addColumn<bool>("taken");
        QTest::newRow("next") << 7 << 8 << true;
        QTest::newRow("repeated") << 7 << 7 << false;
        QTest::newRow("19 behind") << 7 << 244 << false;
        QTest::newRow("20 behind: a restart") << 7 << 243 << true;
        QTest::newRow("behind across the wrap") << 3 << 250 << false;
        QTest::newRow("128 ahead") << 0 << 128 << true;
    }

    void sequence()
    {
        QFETCH(int, last);
        QFETCH(int, next);
        QFETCH(bool, taken);
        Rig e(threeDevices());
        e.e131(1, 1, std::uint8_t(last), 1);
        QCOMPARE(e.e131(1, 1, std::uint8_t(next), 2).verdict, taken ? V::Taken : V::OutOfOrder);
        QCOMPARE(int(e.strip[0]), taken ? 2 : 1);
        // Another universe of the same sender keeps its own count.
        QCOMPARE(e.e131(1, 2, std::uint8_t(next), 3).verdict, V::Taken);

        e.art(6454, std::uint8_t(last), 0, 1);
        QCOMPARE(e.art(6454, std::uint8_t(next), 0, 2).verdict, taken ? V::Taken : V::OutOfOrder);
        // Sequence 0: the sender does not number its packets; any order goes.
        e.art(6455, 0, 1, 1);
        QCOMPARE(e.art(6455, 0, 1, 2).verdict, V::Taken);
        QCOMPARE(e.art(6455, std::uint8_t(next), 1, 3).verdict, V::Taken);
    }

    // The highest priority among live sources wins, then the newest; a newcomer first
    // settles; when the winner is lost, the next one takes over.
    void priority()
    {
        Rig r(threeDevices());
        r.settle(1, 1, 0x11, 100);
        r.now += 10 * kMs;
        // B, priority 150: on probation for two packets, then it wins.
        r.e131(2, 1, 1, 0x22, 150);
        QCOMPARE(r.e131(2, 1, 2, 0x22, 150).verdict, V::Superseded);
        QCOMPARE(r.e131(2, 1, 3, 0x22, 150).verdict, V::Taken);
        QCOMPARE(r.e131(1, 1, 4, 0x11, 100).verdict, V::Superseded);
        // C at the same priority as B but newer: C wins once settled.
        r.now += 10 * kMs;
        r.settle(3, 1, 0x33, 150);
        QCOMPARE(r.e131(2, 1, 4, 0x22, 150).verdict, V::Superseded);
        // C and B go silent: 2.5 s after B's last packet only A is left, and it shows.
        r.now += 2400 * kMs;
        r.e131(1, 1, 5, 0x11, 100);
        r.now += 200 * kMs;
        r.table.expire(r.now);
        QCOMPARE(r.e131(1, 1, 6, 0x11, 100).verdict, V::Taken);
    }

    // Stream terminated: the source is gone at once and its data is not shown; preview
    // data and universes outside the map are never shown and make no source.
    void terminationPreviewOutside()
    {
        Rig r(threeDevices());
        QVERIFY(r.e131(1, 1, 1, 0x11).firstLive);
        const SourceTable::Outcome o = r.e131(1, 1, 2, 0x55, 100, 0x40);
        QVERIFY(o.verdict == V::Terminated && o.allGone && !o.frameComplete);
        QCOMPARE(int(r.strip[0]), 0x11);
        // The next packet of that CID is a new source; a late terminated one ends nothing.
        QVERIFY(r.e131(1, 1, 3, 0x12).firstLive);
        r.e131(1, 1, 2, 0x55, 100, 0x40);

        QCOMPARE(r.e131(2, 1, 1, 0x66, 200, 0x80).verdict, V::Preview);
        QCOMPARE(r.e131(2, 3, 1, 0x66).verdict, V::OutsideMap);
        QCOMPARE(r.art(6454, 1, 2, 0x66).verdict, V::OutsideMap);
        QCOMPARE(r.ddp(9, false, 573, Bytes(3, 0x66)).verdict, V::OutsideMap);
        QCOMPARE(r.table.liveSources(), std::size_t(1));
        QCOMPARE(int(r.strip[0]), 0x12);
        // A source that ends leaves those after it in the table known: their order counts.
        r.e131(3, 2, 7, 0x20);
        r.e131(1, 1, 4, 0x55, 100, 0x40);
        QCOMPARE(r.e131(3, 2, 6, 0x21).verdict, V::OutOfOrder);
    }

    // E1.31 sources are lost 2.5 s after their last packet, DDP and Art-Net ones after the
    // configured time (5 s unless set); the last one gone is one event.
    void loss()
    {
        SourceTable::Limits limits;
        limits.lossNs = 1000 * kMs;
        Rig r(threeDevices(), limits);
        const std::int64_t t0 = r.now;
        r.e131(1, 1, 1, 1);
        r.ddp(5000, true, 0, Bytes(3, 1));
        r.now = t0 + 400 * kMs;
        r.art(6454, 0, 1, 1);
        QCOMPARE(r.table.nextExpiry(), t0 + 1000 * kMs);
        r.table.expire(t0 + 1400 * kMs);
        QCOMPARE(r.table.liveSources(), std::size_t(1));
        QVERIFY(!r.table.expire(t0 + SourceTable::kE131LossNs - 1).allGone);
        QVERIFY(r.table.expire(t0 + SourceTable::kE131LossNs).allGone);
        QVERIFY(!r.table.expire(t0 + 5 * SourceTable::kE131LossNs).allGone);
        Rig d(threeDevices());
        d.ddp(5000, true, 0, Bytes(3, 1));
        QCOMPARE(d.table.nextExpiry(), d.now + 5000 * kMs);
    }

    // When the strip holds a frame to send: DDP on push, E1.31 when a sender's highest
    // universe on the strip arrives.
    void frames()
    {
        Rig d(threeDevices());
        QVERIFY(!d.ddp(5000, false, 0, Bytes(6, 0x10)).frameComplete);
        QVERIFY(d.ddp(5000, true, 6, Bytes(6, 0x20)).frameComplete);
        QVERIFY(Bytes(d.strip.begin(), d.strip.begin() + 12)
            == Bytes({ 16, 16, 16, 16, 16, 16, 32, 32, 32, 32, 32, 32 }));
        // A push beyond the strip still ends the frame the earlier packets filled.
        d.ddp(5000, false, 0, Bytes(3, 0x30));
        QVERIFY(d.ddp(5000, true, 5000, Bytes(3, 0x30)).frameComplete);

        // A new sender's first round ends at the strip's last universe, whatever it
        // sends later; a sender of universe 1 alone ends its frames there from its
        // second round on.
        Rig e(threeDevices());
        QVERIFY(!e.e131(1, 1, 1, 1).frameComplete);
        QVERIFY(e.e131(1, 2, 1, 2).frameComplete);
        QVERIFY(!e.e131(1, 1, 2, 3).frameComplete);
        // Universes past the strip do not hold frames back.
        e.e131(1, 3, 1, 5);
        QVERIFY(e.e131(1, 2, 2, 4).frameComplete);
        Rig a(threeDevices());
        QVERIFY(!a.art(6454, 1, 0, 1).frameComplete);
        QVERIFY(a.art(6454, 2, 0, 2).frameComplete);
        QVERIFY(a.art(6454, 3, 1, 3).frameComplete); // the strip's last universe, at once
    }

    // Data naming a sync address waits for that sender's sync packet once one has been
    // seen there; on loss of sync, force-sync 1 shows at once and 0 keeps holding. A new
    // map (here from universe 7) drops held data but keeps the sources.
    void synchronization()
    {
        Rig r(threeDevices());
        r.e131(1, 1, 1, 0x01, 100, 0, 7000); // no sync seen yet: written at once
        r.sync(1, 7000);
        QVERIFY(!r.e131(1, 1, 2, 0x02, 100, 0, 7000).frameComplete);
        QCOMPARE(int(r.strip[0]), 0x01);
        QVERIFY(!r.sync(2, 7000).frameComplete); // another sender's sync releases nothing
        QVERIFY(r.sync(1, 7000).frameComplete);
        QCOMPARE(int(r.strip[0]), 0x02);
        // Sync lost (2.5 s without a sync packet; data goes on).
        for (int i = 0; i < 3; ++i) {
            r.now += 1000 * kMs;
            r.e131(1, 2, std::uint8_t(1 + i), 0x06, 100, 0, 7000);
        }
        QCOMPARE(int(r.strip[510]), 0);
        QVERIFY(r.e131(1, 2, 7, 0x07, 100, 0x20, 7000).frameComplete);
        QVERIFY(!r.e131(1, 2, 8, 0x08, 100, 0, 7000).frameComplete);
        QCOMPARE(int(r.strip[510]), 0x07);
        r.table.setMap(threeDevices(7));
        QVERIFY(!r.sync(1, 7000).frameComplete);
        QCOMPARE(r.table.liveSources(), std::size_t(2));
        QCOMPARE(r.e131(1, 8, 1, 0x09).verdict, V::Taken);
        QCOMPARE(int(r.strip[510]), 0x09);
    }

    // A flood of sources: bounded, never displaces a settled source; what no room is
    // left for is refused.
    void floodCap()
    {
        SourceTable::Limits limits;
        limits.sourcesPerProtocol = 4;
        Rig r(threeDevices(), limits);
        for (std::uint16_t port : { 4000, 4001, 4002, 4003 })
            for (int i = 0; i < 3; ++i)
                r.ddp(port, port == 4000, 0, Bytes(3, 0x11));
        QCOMPARE(r.ddp(12000, true, 0, Bytes(3, 0xEE)).verdict, V::TableFull);
        // Room again once a source is lost.
        r.now += 6000 * kMs;
        r.table.expire(r.now);
        QCOMPARE(r.ddp(12000, true, 0, Bytes(3, 0xEE)).verdict, V::Taken);
    }

    void noAllocationPerPacket()
    {
        Rig r(threeDevices());
        Bytes e = IntakePackets::e131(IntakePackets::Cid { 1 }, 1, 0, Bytes(510, 1));
        const Bytes d = IntakePackets::ddp(true, 0, Bytes(1440, 2));
        const Bytes a = IntakePackets::artDmx(0, 1, Bytes(512, 3));
        const Bytes s = IntakePackets::e131Sync(IntakePackets::Cid { 1 }, 0, 9);
        allocations = 0;
        counting = true;
        for (int i = 0; i < 1000; ++i) {
            e[111] = std::uint8_t(i);
            r.now += kMs;
            r.table.takeE131(E131Format::parse(e.data(), e.size()), r.now, r.strip.data());
            r.table.takeE131(E131Format::parse(s.data(), s.size()), r.now, r.strip.data());
            r.table.takeDdp(DdpFormat::parse(d.data(), d.size()),
                { { 10, 0, 0, 9 }, std::uint16_t(i) }, r.now, r.strip.data());
            r.table.takeArtDmx(ArtNetFormat::parse(a.data(), a.size()), { { 10, 0, 0, 9 }, 1 },
                r.now, r.strip.data());
            r.table.expire(r.now);
        }
        counting = false;
        QCOMPARE(int(allocations), 0);
    }
};

QTEST_GUILESS_MAIN(tst_SourceTable)
#include "tst_sourcetable.moc"
