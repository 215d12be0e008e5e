// The network intake's wire formats as byte tables: DDP, E1.31 and Art-Net packets taken
// (their fields written as one line) or refused (their reason), and the ArtPollReply both ways.

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

QByteArray patched(QByteArray packet, int at, const char* bytes)
{
    const QByteArray b = hex(bytes);
    if (at + b.size() > packet.size())
        packet.resize(at + b.size());
    packet.replace(at, b.size(), b);
    return packet;
}

// A parse in one line: the reason when refused, else what a receiver acts on.
QString ddpText(const QByteArray& packet)
{
    const DdpFormat::Packet p = DdpFormat::parse(u8(packet), std::size_t(packet.size()));
    if (p.reason != DdpFormat::Reason::None)
        return DdpFormat::reasonText(p.reason);
    const QString timecode = p.hasTimecode ? QString::asprintf(" timecode %x", p.timecode) : "";
    return QString::asprintf("%sat %u seq %d%s: %s", p.push ? "push " : "", p.offset, p.sequence,
        qPrintable(timecode), view(p.data, p.length).toHex().constData());
}

// Values are listed for data, and for a valid packet of another START code.
QString e131Text(const QByteArray& packet)
{
    const E131Format::Packet p = E131Format::parse(u8(packet), std::size_t(packet.size()));
    if (p.reason == E131Format::Reason::None && p.kind == E131Format::Kind::Sync)
        return QString::asprintf("sync %d at %d", p.sequence, p.syncAddress);
    QString text = E131Format::reasonText(p.reason);
    if (p.channels)
        text += QString::asprintf(" u%d seq %d priority %d sync %d options %c%c%c from %s %s: %s",
            p.universe, p.sequence, p.priority, p.syncAddress, p.preview ? 'P' : '-',
            p.terminated ? 'T' : '-', p.forceSync ? 'F' : '-',
            view(p.cid.data(), 16).toHex().constData(),
            QByteArray(p.sourceName, int(p.sourceNameLength)).constData(),
            view(p.channels, p.channelCount).toHex().constData());
    return text;
}

QString artNetText(const QByteArray& packet)
{
    const ArtNetFormat::Packet p = ArtNetFormat::parse(u8(packet), std::size_t(packet.size()));
    if (p.reason != ArtNetFormat::Reason::None)
        return ArtNetFormat::reasonText(p.reason);
    if (p.kind == ArtNetFormat::Kind::Poll && p.targeted)
        return QString::asprintf("poll flags %d for %d-%d", p.flags, p.targetBottom, p.targetTop);
    if (p.kind == ArtNetFormat::Kind::Poll)
        return QString::asprintf("poll flags %d", p.flags);
    return QString::asprintf("dmx seq %d physical %d port %04x: %s", p.sequence, p.physical,
        p.portAddress, view(p.data, p.length).toHex().constData());
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

// The reply buildPollReply writes for node 10.77.0.1 "Prismara" / "Prismara Nanoleaf Tool"
// with Port-Addresses 0 and 1, outputting, seventh reply: field by field, as the Art-Net 4
// document lays out ArtPollReply (fields of zeros, such as Net, Sub-Net and Style, left out).
QByteArray pollReplyTable()
{
    QByteArray t(239, '\0');
    t = patched(t, 0, "4172742d4e657400"); // ID "Art-Net"
    t = patched(t, 8, "0021"); // OpCode 0x2100, low byte first
    t = patched(t, 10, "0a4d0001"); // IP address
    t = patched(t, 14, "3619"); // Port 0x1936, low byte first
    t = patched(t, 16, "0001"); // VersInfoH, VersInfoL
    t = patched(t, 20, "00ff"); // OemHi, Oem: OemUnknown
    t = patched(t, 23, "d0"); // Status1: indicators normal, Port-Addresses set locally
    t = patched(t, 26, "507269736d617261"); // PortName "Prismara", 18 bytes
    t = patched(t, 44, "507269736d617261204e616e6f6c65616620546f6f6c"); // LongName, 64 bytes
    t = patched(
        t, 108, "2330303031205b303030375d204f757470757420616374697665"); // NodeReport "#0001 [0007]
    t = patched(t, 172, "0002"); // NumPortsHi, NumPortsLo
    t = patched(t, 174, "80800000"); // PortTypes: two DMX512 outputs
    t = patched(t, 182, "80800000"); // GoodOutputA: data output
    t = patched(t, 190, "00010000"); // SwOut
    t = patched(t, 207, "0a4d0001"); // BindIp
    t = patched(t, 211, "01"); // BindIndex
    t = patched(t, 212, "08"); // Status2: 15-bit Port-Address
    t = patched(t, 213, "c0c00000"); // GoodOutputB: RDM disabled, continuous
    return t;
}

void addRow(const char* name, const QByteArray& packet, const QString& parsed)
{
    QTest::newRow(name) << packet << parsed;
}

} // namespace

class tst_IntakeFormats : public QObject
{
    Q_OBJECT

private slots:
    void ddp_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("parsed");
        addRow("push, RGB 8-bit, sequence 3", hex("41 03 0b 01 00000000 0006 ff0000 00ff00"),
            "push at 0 seq 3: ff000000ff00");
        addRow("type 0x01 at byte 300", hex("40 00 01 01 0000012c 0003 010203"),
            "at 300 seq 0: 010203");
        addRow("type undefined, all devices", hex("40 0f 00 ff 01020304 0003 0a0b0c"),
            "at 16909060 seq 15: 0a0b0c");
        addRow("timecode: data after 14 bytes", hex("51 00 0b 01 00000003 0003 12345678 aabbcc"),
            "push at 3 seq 0 timecode 12345678: aabbcc");
        addRow("push alone, sequence's high nibble ignored, bytes past the length",
            hex("41 f2 0b 01 00000000 0000 0405"), "push at 0 seq 2: ");
        addRow("9 bytes", hex("41 00 0b 01 00000000 00"), "shorter than its header");
        addRow("timecode flag, 12 bytes", hex("50 00 0b 01 00000000 0000 1234"),
            "shorter than its header");
        addRow("version 0", hex("01 00 0b 01 00000000 0000"), "version not 1");
        addRow("reply", hex("44 00 0b 01 00000000 0000"), "reply");
        addRow("query for status", hex("42 00 00 fb 00000000 0000"), "query");
        addRow("storage", hex("49 00 0b 01 00000000 0000"), "storage request");
        addRow("RGB 16-bit", hex("40 00 0c 01 00000000 0000"), "data type not RGB 8-bit");
        addRow("destination 0 (reserved)", hex("40 00 0b 00 00000000 0000"),
            "destination not the display");
        addRow("destination 2 (another output)", hex("40 00 0b 02 00000000 0000"),
            "destination not the display");
        addRow("one byte short of its length", hex("40 00 0b 01 00000000 0004 010203"),
            "length beyond the packet");
        addRow("timecode bytes are no data", hex("50 00 0b 01 00000000 0004 12345678"),
            "length beyond the packet");
    }

    void ddp()
    {
        QFETCH(QByteArray, packet);
        QTEST(ddpText(packet), "parsed");
    }

    // The data packet above as sent, and with bytes replaced at an offset (or cut, or
    // extended); synchronization and universe discovery.
    void e131_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("parsed");
        const QByteArray d = e131Data();
        const QString from = " from 0123456789abcdeffedcba9876543210 Prismara: ff800701";
        addRow("as sent", d, "data u1 seq 7 priority 100 sync 0 options ---" + from);
        // Options, priority 200, a sync address, the last universe: all taken as sent.
        addRow("edges", patched(d, 108, "c8 1f40 ff e0 f9ff"),
            "data u63999 seq 255 priority 200 sync 8000 options PTF" + from);
        // A valid packet of another START code shows its values, refused.
        addRow("START code 0xdd (per-channel priority)", patched(d, 125, "dd"),
            "START code not 0 u1 seq 7 priority 100 sync 0 options ---" + from);
        addRow("preamble 0x0011", patched(d, 0, "0011"), "preamble size not 16");
        addRow("postamble 1", patched(d, 2, "0001"), "postamble size not 0");
        addRow("identifier ASC-E1.18", patched(d, 12, "38"), "not ASC-E1.17");
        addRow("root flags 0x6", patched(d, 16, "6072"), "root layer flags");
        addRow("root length one short", patched(d, 16, "7071"), "root layer length");
        addRow("root vector 3", patched(d, 18, "00000003"), "root vector");
        addRow("framing flags 0", patched(d, 38, "005c"), "framing layer flags");
        addRow("framing length one long", patched(d, 38, "705d"), "framing layer length");
        addRow("framing vector sync under root vector 4", patched(d, 40, "00000001"),
            "framing vector");
        addRow("priority 201", patched(d, 108, "c9"), "priority above 200");
        addRow("universe 64000", patched(d, 113, "fa00"), "universe outside 1-63999");
        addRow("sync address 64000", patched(d, 109, "fa00"), "sync address outside 1-63999");
        addRow("DMP flags 0x6", patched(d, 115, "600f"), "DMP layer flags");
        addRow("DMP length one short", patched(d, 115, "700e"), "DMP layer length");
        addRow("DMP vector 1", patched(d, 117, "01"), "DMP vector");
        addRow("address and data type 0xa0", patched(d, 118, "a0"), "address and data type");
        addRow("first property address 1", patched(d, 119, "0001"), "first property address");
        addRow("address increment 2", patched(d, 121, "0002"), "address increment");
        addRow("count one less than held", patched(d, 123, "0004"), "property value count");
        addRow("a byte appended", d + hex("00"), "root layer length");
        addRow("43 bytes", d.left(43), "shorter than its layers");
        // Every layer's length consistent, but 513 channels (count 514).
        const IntakePackets::Bytes over
            = IntakePackets::e131({}, 1, 0, IntakePackets::Bytes(513, 1));
        addRow("513 channels", view(over.data(), over.size()), "property value count");

        const QByteArray sync = e131Sync();
        addRow("sync, reserved bytes ignored", patched(sync, 47, "ffff"), "sync 42 at 8000");
        addRow("extended, framing vector 3", patched(sync, 40, "00000003"), "framing vector");
        addRow("sync address 0", patched(sync, 45, "0000"), "sync address outside 1-63999");
        addRow("sync, a byte more, lengths to match",
            patched(patched(sync + hex("00"), 16, "7022"), 38, "700c"), "framing layer length");
        // Page 0 of 0 listing universes 1 and 2: valid, nothing to take.
        addRow("universe discovery",
            hex("0010 0000 4153432d45312e3137000000 706c 00000008"
                "0123456789abcdef fedcba9876543210 7056 00000002")
                + QByteArray(64, '\0') + hex("00000000 700c 00000001 00 00 0001 0002"),
            "universe discovery");
    }

    void e131()
    {
        QFETCH(QByteArray, packet);
        QTEST(e131Text(packet), "parsed");
    }

    void artNet_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("parsed");
        // ID, OpCode 0x5000 (low byte first), ProtVer 14, Sequence 5, Physical 2, SubUni
        // 0x23, Net 0x01 (bit 7 set: ignored), Length 6, data.
        const QByteArray dmx = hex("4172742d4e657400 0050 000e 05 02 23 81 0006 ff000000ff00");
        addRow("ArtDmx", dmx, "dmx seq 5 physical 2 port 0123: ff000000ff00");
        addRow("bytes past the length ignored", patched(dmx, 16, "0002"),
            "dmx seq 5 physical 2 port 0123: ff00");
        addRow("512 channels", patched(dmx.left(18), 16, "0200") + QByteArray(512, 'x'),
            "dmx seq 5 physical 2 port 0123: " + QString("78").repeated(512));
        addRow("ProtVer 13", patched(dmx, 10, "000d"), "protocol version below 14");
        addRow("length 3 (odd)", patched(dmx, 16, "0003"), "length odd or outside 2-512");
        addRow("length 514", patched(dmx, 16, "0202") + QByteArray(514, 'x'),
            "length odd or outside 2-512");
        addRow("length 8 in 6 bytes", patched(dmx, 16, "0008"), "length beyond the packet");
        addRow("17 bytes", dmx.left(17), "shorter than its fields");
        addRow("ID art-net", patched(dmx, 0, "61"), "not Art-Net");
        addRow("OpCode high byte first", patched(dmx, 8, "5000"), "other OpCode");
        // ID, OpCode 0x2000, ProtVer 14, Flags, DiagPriority; targeted mode (flag bit 5)
        // adds the range of Port-Addresses meant, here 5 to 16.
        const QByteArray poll = hex("4172742d4e657400 0020 000e 06 10");
        const QByteArray targeted = hex("4172742d4e657400 0020 000e 20 10 0010 0005 0000 0000");
        addRow("ArtPoll", poll, "poll flags 6");
        addRow("ArtPoll, 13 bytes", poll.left(13), "shorter than its fields");
        addRow("targeted ArtPoll", targeted, "poll flags 32 for 5-16");
        addRow("the flag without the range: untargeted", targeted.left(14), "poll flags 32");
    }

    void artNet()
    {
        QFETCH(QByteArray, packet);
        QTEST(artNetText(packet), "parsed");
    }

    // Written as the table says, read back; names cut to fit; short replies refused.
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
