// The network intake's wire formats as byte tables: DDP, E1.31 and Art-Net packets taken
// with their fields or refused with their reason, and the ArtPollReply both ways.

#include "common/intakepackets.h"
#include "intake/artnetformat.h"
#include "intake/ddpformat.h"
#include "intake/e131format.h"

#include <QtTest>

namespace
{

// Hex with blanks; fromHex skips them.
QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

const std::uint8_t* u8(const QByteArray& b)
{
    return reinterpret_cast<const std::uint8_t*>(b.constData());
}

QByteArray view(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

// An E1.31 data packet for universe 1 with channels ff 80 07 01, layer by layer.
QByteArray e131Data()
{
    return hex(
        "0010 0000 4153432d45312e3137000000" // preamble, postamble, "ASC-E1.17"
        "7072 00000004" // root: flags & length 114, vector data
        "0123456789abcdef fedcba9876543210" // CID
        "705c 00000002" // framing: flags & length 92, vector data packet
        "507269736d617261" // source name "Prismara", NUL-padded to 64
        "0000000000000000 0000000000000000 0000000000000000 0000000000000000"
        "0000000000000000 0000000000000000 0000000000000000"
        "64 0000 07 00 0001" // priority 100, sync address 0, sequence 7, options, universe 1
        "700f 02 a1 0000 0001 0005" // DMP: flags & length 15, vector, type, first, step, count
        "00 ff800701"); // START code 0, channels 1-4
}

// Universe synchronization: sequence 42 on sync address 8000.
QByteArray e131Sync()
{
    return hex("0010 0000 4153432d45312e3137000000"
               "7021 00000008" // root: length 33, vector extended
               "0123456789abcdef fedcba9876543210"
               "700b 00000001" // framing: length 11, vector synchronization
               "2a 1f40 0000"); // sequence, sync address, reserved
}

QByteArray patched(QByteArray packet, int at, const char* bytes)
{
    const QByteArray b = hex(bytes);
    if (at + b.size() > packet.size())
        packet.resize(at + b.size());
    packet.replace(at, b.size(), b);
    return packet;
}

// The reply buildPollReply writes for node 10.77.0.1 "Prismara" / "Prismara Nanoleaf Tool"
// with Port-Addresses 0 and 1, outputting, seventh reply: field by field, as the Art-Net 4
// document lays out ArtPollReply (fields of zeros, such as Net, Sub-Net and Style, left out).
QByteArray pollReplyTable()
{
    QByteArray t(239, '\0');
    const struct {
        int at;
        const char* bytes;
    } fields[] = {
        { 0, "4172742d4e657400" }, // ID "Art-Net"
        { 8, "0021" }, // OpCode 0x2100, low byte first
        { 10, "0a4d0001" }, // IP address
        { 14, "3619" }, // Port 0x1936, low byte first
        { 16, "0001" }, // VersInfoH, VersInfoL
        { 20, "00ff" }, // OemHi, Oem: OemUnknown
        { 23, "d0" }, // Status1: indicators normal, Port-Addresses set locally
        { 26, "507269736d617261" }, // PortName "Prismara", 18 bytes
        { 44, "507269736d617261204e616e6f6c65616620546f6f6c" }, // LongName, 64 bytes
        { 108, "2330303031205b303030375d204f757470757420616374697665" }, // NodeReport "#0001 [0007]
                                                                         // Output active"
        { 172, "0002" }, // NumPortsHi, NumPortsLo
        { 174, "80800000" }, // PortTypes: two DMX512 outputs
        { 182, "80800000" }, // GoodOutputA: data output
        { 190, "00010000" }, // SwOut
        { 207, "0a4d0001" }, // BindIp
        { 211, "01" }, // BindIndex
        { 212, "08" }, // Status2: 15-bit Port-Address
        { 213, "c0c00000" }, // GoodOutputB: RDM disabled, continuous
    };
    for (const auto& f : fields) {
        const QByteArray b = hex(f.bytes);
        t.replace(f.at, b.size(), b);
    }
    return t;
}

} // namespace

Q_DECLARE_METATYPE(DdpFormat::Reason)
Q_DECLARE_METATYPE(E131Format::Reason)
Q_DECLARE_METATYPE(ArtNetFormat::Reason)

class tst_IntakeFormats : public QObject
{
    Q_OBJECT

private slots:
    // Taken rows list push, offset, data and sequence; refused rows only the reason.
    void ddp_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<DdpFormat::Reason>("reason");
        QTest::addColumn<bool>("push");
        QTest::addColumn<uint>("offset");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("sequence");
        using R = DdpFormat::Reason;
        QTest::newRow("push, RGB 8-bit, sequence 3")
            << hex("41 03 0b 01 00000000 0006 ff0000 00ff00") << R::None << true << 0u
            << hex("ff000000ff00") << 3;
        QTest::newRow("type 0x01 at byte 300") << hex("40 00 01 01 0000012c 0003 010203") << R::None
                                               << false << 300u << hex("010203") << 0;
        QTest::newRow("type undefined, all devices")
            << hex("40 0f 00 ff 01020304 0003 0a0b0c") << R::None << false << 0x01020304u
            << hex("0a0b0c") << 15;
        QTest::newRow("timecode: data after 14 bytes")
            << hex("51 00 0b 01 00000003 0003 12345678 aabbcc") << R::None << true << 3u
            << hex("aabbcc") << 0;
        QTest::newRow("push alone, sequence's high nibble ignored, bytes past the length")
            << hex("41 f2 0b 01 00000000 0000 0405") << R::None << true << 0u << QByteArray() << 2;
        const struct {
            const char* name;
            const char* bytes;
            R reason;
        } refused[] = {
            { "9 bytes", "41 00 0b 01 00000000 00", R::Short },
            { "timecode flag, 12 bytes", "50 00 0b 01 00000000 0000 1234", R::Short },
            { "version 0", "01 00 0b 01 00000000 0000", R::Version },
            { "reply", "44 00 0b 01 00000000 0000", R::Reply },
            { "query for status", "42 00 00 fb 00000000 0000", R::Query },
            { "storage", "49 00 0b 01 00000000 0000", R::Storage },
            { "RGB 16-bit", "40 00 0c 01 00000000 0000", R::DataType },
            { "destination 0 (reserved)", "40 00 0b 00 00000000 0000", R::Destination },
            { "destination 2 (another output)", "40 00 0b 02 00000000 0000", R::Destination },
            { "one byte short of its length", "40 00 0b 01 00000000 0004 010203", R::Truncated },
            { "timecode bytes are no data", "50 00 0b 01 00000000 0004 12345678", R::Truncated },
        };
        for (const auto& r : refused)
            QTest::newRow(r.name) << hex(r.bytes) << r.reason << false << 0u << QByteArray() << 0;
    }

    void ddp()
    {
        QFETCH(QByteArray, packet);
        QFETCH(DdpFormat::Reason, reason);
        const DdpFormat::Packet p = DdpFormat::parse(u8(packet), std::size_t(packet.size()));
        QCOMPARE(DdpFormat::reasonText(p.reason), DdpFormat::reasonText(reason));
        if (reason != DdpFormat::Reason::None)
            return;
        QTEST(p.push, "push");
        QTEST(uint(p.offset), "offset");
        QTEST(view(p.data, p.length), "data");
        QTEST(int(p.sequence), "sequence");
        QCOMPARE(p.timecode, p.hasTimecode ? 0x12345678u : 0u);
    }

    // Data (as sent and at its edges), synchronization and universe discovery.
    void e131Taken()
    {
        const QByteArray packet = e131Data();
        const E131Format::Packet p = E131Format::parse(u8(packet), std::size_t(packet.size()));
        QCOMPARE(p.kind, E131Format::Kind::Data);
        QCOMPARE(view(p.cid.data(), 16), hex("0123456789abcdef fedcba9876543210"));
        QCOMPARE(QByteArray(p.sourceName, int(p.sourceNameLength)), QByteArray("Prismara"));
        QCOMPARE(int(p.sequence), 7);
        QVERIFY(!p.preview && !p.terminated && !p.forceSync);
        QCOMPARE(int(p.universe), 1);
        QCOMPARE(view(p.channels, p.channelCount), hex("ff800701"));

        // Options, priority 200, a sync address, the last universe: all taken as sent.
        const QByteArray edge = patched(packet, 108, "c8 1f40 ff e0 f9ff");
        const E131Format::Packet e = E131Format::parse(u8(edge), std::size_t(edge.size()));
        QCOMPARE(E131Format::reasonText(e.reason), "data");
        QVERIFY(e.preview && e.terminated && e.forceSync);
        QCOMPARE(int(e.priority), 200);
        QCOMPARE(int(e.syncAddress), 8000);
        QCOMPARE(int(e.universe), 63999);

        const QByteArray sync = patched(e131Sync(), 47, "ffff"); // reserved: ignored
        const E131Format::Packet s = E131Format::parse(u8(sync), std::size_t(sync.size()));
        QCOMPARE(s.kind, E131Format::Kind::Sync);
        QCOMPARE(int(s.sequence), 42);
        QCOMPARE(int(s.syncAddress), 8000);

        // Universe discovery: page 0 of 0 listing universes 1 and 2.
        QByteArray discovery = hex("0010 0000 4153432d45312e3137000000 706c 00000008"
                                   "0123456789abcdef fedcba9876543210 7056 00000002");
        discovery += QByteArray(64, '\0') + hex("00000000 700c 00000001 00 00 0001 0002");
        const E131Format::Packet d
            = E131Format::parse(u8(discovery), std::size_t(discovery.size()));
        QCOMPARE(E131Format::reasonText(d.reason), "universe discovery");
        QCOMPARE(d.kind, E131Format::Kind::Discovery);
    }

    // The data packet above with bytes replaced at an offset (or cut, or extended).
    void e131Refused_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<E131Format::Reason>("reason");
        using R = E131Format::Reason;
        const QByteArray d = e131Data();
        const struct {
            const char* name;
            int at;
            const char* bytes;
            R reason;
        } rows[] = {
            { "preamble 0x0011", 0, "0011", R::Preamble },
            { "postamble 1", 2, "0001", R::Postamble },
            { "identifier ASC-E1.18", 12, "38", R::Identifier },
            { "root flags 0x6", 16, "6072", R::RootFlags },
            { "root length one short", 16, "7071", R::RootLength },
            { "root vector 3", 18, "00000003", R::RootVector },
            { "framing flags 0", 38, "005c", R::FramingFlags },
            { "framing length one long", 38, "705d", R::FramingLength },
            { "framing vector sync under root vector 4", 40, "00000001", R::FramingVector },
            { "priority 201", 108, "c9", R::Priority },
            { "universe 64000", 113, "fa00", R::Universe },
            { "sync address 64000", 109, "fa00", R::SyncAddress },
            { "DMP flags 0x6", 115, "600f", R::DmpFlags },
            { "DMP length one short", 115, "700e", R::DmpLength },
            { "DMP vector 1", 117, "01", R::DmpVector },
            { "address and data type 0xa0", 118, "a0", R::AddressType },
            { "first property address 1", 119, "0001", R::FirstAddress },
            { "address increment 2", 121, "0002", R::Increment },
            { "count one less than held", 123, "0004", R::Count },
            { "START code 0xdd (per-channel priority)", 125, "dd", R::StartCode },
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << patched(d, r.at, r.bytes) << r.reason;
        QTest::newRow("a byte appended") << d + hex("00") << R::RootLength;
        QTest::newRow("43 bytes") << d.left(43) << R::Short;
        // Every layer's length consistent, but 513 channels (count 514).
        const IntakePackets::Bytes over
            = IntakePackets::e131({}, 1, 0, IntakePackets::Bytes(513, 1));
        QTest::newRow("513 channels")
            << QByteArray(reinterpret_cast<const char*>(over.data()), int(over.size())) << R::Count;
        QTest::newRow("extended, framing vector 3")
            << patched(e131Sync(), 40, "00000003") << R::FramingVector;
        QTest::newRow("sync address 0") << patched(e131Sync(), 45, "0000") << R::SyncAddress;
        QTest::newRow("sync, a byte more, lengths to match")
            << patched(patched(e131Sync() + hex("00"), 16, "7022"), 38, "700c") << R::FramingLength;
    }

    void e131Refused()
    {
        QFETCH(QByteArray, packet);
        QFETCH(E131Format::Reason, reason);
        const E131Format::Packet p = E131Format::parse(u8(packet), std::size_t(packet.size()));
        QCOMPARE(E131Format::reasonText(p.reason), E131Format::reasonText(reason));
        // Only a valid packet of another START code shows its values.
        QCOMPARE(p.channels != nullptr, reason == E131Format::Reason::StartCode);
    }

    void artNet_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<ArtNetFormat::Reason>("reason");
        QTest::addColumn<int>("portAddress");
        QTest::addColumn<QByteArray>("data");
        using R = ArtNetFormat::Reason;
        // ID, OpCode 0x5000 (low byte first), ProtVer 14, Sequence 5, Physical 2, SubUni
        // 0x23, Net 0x01 (bit 7 set: ignored), Length 6, data.
        const QByteArray dmx = hex("4172742d4e657400 0050 000e 05 02 23 81 0006 ff000000ff00");
        QTest::newRow("ArtDmx") << dmx << R::None << 0x0123 << hex("ff000000ff00");
        QTest::newRow("bytes past the length ignored")
            << patched(dmx, 16, "0002") << R::None << 0x0123 << hex("ff00");
        QTest::newRow("512 channels") << patched(dmx.left(18), 16, "0200") + QByteArray(512, 'x')
                                      << R::None << 0x0123 << QByteArray(512, 'x');
        const struct {
            const char* name;
            QByteArray bytes;
            R reason;
        } refused[] = {
            { "ProtVer 13", patched(dmx, 10, "000d"), R::Version },
            { "length 3 (odd)", patched(dmx, 16, "0003"), R::Length },
            { "length 514", patched(dmx, 16, "0202") + QByteArray(514, 'x'), R::Length },
            { "length 8 in 6 bytes", patched(dmx, 16, "0008"), R::Truncated },
            { "17 bytes", dmx.left(17), R::Short },
            { "ID art-net", patched(dmx, 0, "61"), R::Identifier },
            { "OpCode high byte first", patched(dmx, 8, "5000"), R::OpCode },
        };
        for (const auto& r : refused)
            QTest::newRow(r.name) << r.bytes << r.reason << 0 << QByteArray();
    }

    void artNet()
    {
        QFETCH(QByteArray, packet);
        QFETCH(ArtNetFormat::Reason, reason);
        const ArtNetFormat::Packet p = ArtNetFormat::parse(u8(packet), std::size_t(packet.size()));
        QCOMPARE(ArtNetFormat::reasonText(p.reason), ArtNetFormat::reasonText(reason));
        if (reason != ArtNetFormat::Reason::None)
            return;
        QCOMPARE(p.kind, ArtNetFormat::Kind::Dmx);
        QCOMPARE(int(p.sequence), 5);
        QCOMPARE(int(p.physical), 2);
        QTEST(int(p.portAddress), "portAddress");
        QTEST(view(p.data, p.length), "data");
    }

    void artPoll()
    {
        // ID, OpCode 0x2000, ProtVer 14, Flags, DiagPriority.
        const QByteArray poll = hex("4172742d4e657400 0020 000e 06 10");
        const ArtNetFormat::Packet p = ArtNetFormat::parse(u8(poll), std::size_t(poll.size()));
        QCOMPARE(p.kind, ArtNetFormat::Kind::Poll);
        QCOMPARE(int(p.flags), 6);
        QVERIFY(!p.targeted);
        // Targeted mode (flag bit 5): Port-Addresses 5 to 16 only.
        const QByteArray targeted = hex("4172742d4e657400 0020 000e 20 10 0010 0005 0000 0000");
        const ArtNetFormat::Packet t
            = ArtNetFormat::parse(u8(targeted), std::size_t(targeted.size()));
        QVERIFY(t.targeted);
        QCOMPARE(int(t.targetTop), 16);
        QCOMPARE(int(t.targetBottom), 5);
        // The flag without the range is an untargeted poll.
        const ArtNetFormat::Packet old = ArtNetFormat::parse(u8(targeted), 14);
        QCOMPARE(old.reason, ArtNetFormat::Reason::None);
        QVERIFY(!old.targeted);
        QCOMPARE(ArtNetFormat::parse(u8(poll), 13).reason, ArtNetFormat::Reason::Short);
    }

    void pollReplyBothWays()
    {
        ArtNetFormat::PollReplyInfo info;
        info.address = { 10, 77, 0, 1 };
        info.shortName = "Prismara";
        info.longName = "Prismara Nanoleaf Tool";
        info.firstPortAddress = 0;
        info.portCount = 2;
        info.outputting = true;
        info.replyCounter = 7;
        std::array<std::uint8_t, 240> out;
        out.fill(0xEE);
        QCOMPARE(ArtNetFormat::buildPollReply(out.data(), out.size(), info, 0), std::size_t(239));
        const QByteArray table = pollReplyTable();
        QCOMPARE(view(out.data(), 239).toHex(), table.toHex());
        QCOMPARE(int(out[239]), 0xEE);

        const ArtNetFormat::PollReply r = ArtNetFormat::parsePollReply(u8(table), 239);
        QVERIFY(r.reason == ArtNetFormat::Reason::None && r.address == info.address);
        QCOMPARE(int(r.port), 6454);
        QCOMPARE(QByteArray(r.longName.data()), QByteArray("Prismara Nanoleaf Tool"));
        QCOMPARE(int(r.bindIndex), 1);
        QCOMPARE(int(r.outputPortAddresses[1]), 1);
        QVERIFY(r.outputs == 2 && r.outputting && r.fifteenBit);

        // Names cut to fit their fields, NUL-terminated; too small a buffer gets nothing.
        info.shortName = "a short name of 30 characters!";
        info.longName = nullptr;
        QCOMPARE(ArtNetFormat::buildPollReply(out.data(), out.size(), info, 0), std::size_t(239));
        const ArtNetFormat::PollReply cut = ArtNetFormat::parsePollReply(out.data(), 239);
        QCOMPARE(QByteArray(cut.shortName.data()), QByteArray("a short name of 3"));
        QCOMPARE(QByteArray(cut.longName.data()), QByteArray());
        QCOMPARE(ArtNetFormat::buildPollReply(out.data(), 238, info, 0), std::size_t(0));

        // What consumers must accept: 207 bytes (no BindIndex yet); less is refused.
        QCOMPARE(ArtNetFormat::parsePollReply(u8(table), 207).bindIndex, std::uint8_t(0));
        QCOMPARE(ArtNetFormat::parsePollReply(u8(table), 206).reason, ArtNetFormat::Reason::Short);
        QCOMPARE(ArtNetFormat::parsePollReply(u8(patched(table, 9, "20")), 239).reason,
            ArtNetFormat::Reason::OpCode);
    }
};

QTEST_GUILESS_MAIN(tst_IntakeFormats)
#include "tst_intakeformats.moc"
