// The receiver through real sockets in a private network: each protocol into frames, a
// multicast E1.31 packet, memberships renewed with the map, the ArtPoll answer, a listen
// address, a port that cannot be bound, and a stop that ends a wait without end. How the
// table treats a flood of sources is the source table's test.

#include "common/intakepackets.h"
#include "common/intakesink.h"
#include "common/privatenetwork.h"
#include "intake/artnetformat.h"
#include "intake/intakereceiver.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <chrono>
#include <future>

using Bytes = IntakePackets::Bytes;
using P = SourceTable::Protocol;

namespace
{

constexpr std::int64_t kMs = 1'000'000;

// A socket of the test's own, bound to `from` (any port unless given).
struct Peer : QUdpSocket {
    explicit Peer(const char* from = "0.0.0.0", quint16 port = 0)
    {
        bound = bind(QHostAddress(from), port, ShareAddress); // beside the receiver's port
    }
    bool send(const Bytes& b, const char* to, quint16 port)
    {
        const QByteArray bytes(reinterpret_cast<const char*>(b.data()), int(b.size()));
        return writeDatagram(bytes, QHostAddress(to), port) == bytes.size();
    }
    bool bound = false;
};

PixelMap twoUniverses(std::uint16_t start = 1)
{
    return PixelMap({ { "Light Panels 52:33:A1", 9 }, { "Shapes 07E7", 182 } }, start);
}

IntakeReceiver::Settings only(bool ddp, bool e131, bool artNet)
{
    IntakeReceiver::Settings s;
    s.ddp = ddp;
    s.e131 = e131;
    s.artNet = artNet;
    return s;
}

} // namespace

class tst_IntakeReceiver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "binds fixed ports: run through tools/netns-run");
    }

    // Multicast to the universe's group; a new map joins the new groups and leaves the old.
    void e131Multicast()
    {
        IntakeSink sink;
        IntakeReceiver receiver;
        receiver.setMap(twoUniverses(9)); // while stopped: start()'s own map wins
        QVERIFY(receiver.start(only(false, true, false), twoUniverses(), &sink).empty());
        Peer sender;
        const IntakePackets::Cid cid { 7 };
        QVERIFY(sender.send(IntakePackets::e131(cid, 2, 1, Bytes(63, 0x22)), "239.255.0.2", 5568));
        QTRY_VERIFY(sink.seen(572, 0x22, 572, 0x22));

        receiver.setMap(twoUniverses(5));
        QTRY_COMPARE(receiver.counters().maps, std::uint64_t(2)); // groups joined
        // Universe 5 alone: its sender's second round ends a frame.
        QVERIFY(sender.send(IntakePackets::e131(cid, 5, 1, Bytes(510, 0x55)), "239.255.0.5", 5568));
        QVERIFY(sender.send(IntakePackets::e131(cid, 5, 2, Bytes(510, 0x55)), "239.255.0.5", 5568));
        QTRY_VERIFY(sink.seen(0, 0x55, 0, 0x55));
        const std::uint64_t before = receiver.counters().of(P::E131).received;
        // The old group is left: only the unicast packet after it arrives.
        QVERIFY(sender.send(IntakePackets::e131(cid, 2, 2, Bytes(510, 0x66)), "239.255.0.2", 5568));
        QVERIFY(sender.send(IntakePackets::e131(cid, 6, 1, Bytes(63, 0x77)), "127.0.0.1", 5568));
        QTRY_VERIFY(sink.seen(510, 0x77, 0, 0x55));
        QCOMPARE(receiver.counters().of(P::E131).received, before + 1);
    }

    // Bound to one address: DDP buffered to the push, refused packets and other addresses
    // counted, the source lost after the set silence, once; ArtDmx into frames; ArtPoll
    // answered to port 6454 with the map's Port-Addresses, when targeted only if they are
    // covered, and at a bounded rate.
    void ddpAndArtNet()
    {
        IntakeSink sink;
        IntakeReceiver receiver;
        IntakeReceiver::Settings settings = only(true, false, true);
        settings.address = { 127, 0, 0, 1 };
        settings.lossNs = 300 * kMs;
        settings.longName = "Prismara Nanoleaf Tool under test";
        QVERIFY(receiver.start(settings, twoUniverses(), &sink).empty());
        Peer sender("127.0.0.2", 5000);
        Bytes version2 = IntakePackets::ddp(true, 0, { 9, 9, 9 });
        version2[0] = 0x81;
        QVERIFY(sender.send(IntakePackets::ddp(true, 0, { 7 }), "127.0.0.6", 4048));
        QVERIFY(sender.send(IntakePackets::ddp(false, 0, { 1, 2, 3 }), "127.0.0.1", 4048));
        QVERIFY(sender.send(version2, "127.0.0.1", 4048));
        QVERIFY(sender.send(IntakePackets::ddp(true, 3, { 4, 5, 6 }), "127.0.0.1", 4048));
        QTRY_COMPARE(sink.frames().size(), std::size_t(1));
        const Bytes frame = sink.frames()[0];
        QVERIFY(Bytes(frame.begin(), frame.begin() + 7) == Bytes({ 1, 2, 3, 4, 5, 6, 0 }));
        QCOMPARE(sink.live.load(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sink.gone.load(), 1, 5000);
        QCOMPARE(QString::fromStdString(receiver.counters().summary().at(0)),
            "DDP: 4 received, 2 taken, 2 dropped (1 version not 1, 1 to another address)");

        QVERIFY(sender.send(IntakePackets::artDmx(1, 0, Bytes(510, 0x31)), "127.0.0.1", 6454));
        QVERIFY(sender.send(IntakePackets::artDmx(2, 1, Bytes(64, 0x32)), "127.0.0.1", 6454));
        QTRY_VERIFY(sink.seen(0, 0x31, 572, 0x32));

        // The console polls from a port of its own; replies go to its port 6454.
        Peer console("127.0.0.3");
        Peer consolePort("127.0.0.3", 6454);
        QVERIFY(console.bound && consolePort.bound);
        QVERIFY(console.send(IntakePackets::artPoll(), "127.0.0.1", 6454));
        QVERIFY(consolePort.waitForReadyRead(5000));
        const QByteArray reply = consolePort.receiveDatagram().data();
        const ArtNetFormat::PollReply r = ArtNetFormat::parsePollReply(
            reinterpret_cast<const std::uint8_t*>(reply.data()), std::size_t(reply.size()));
        QVERIFY(r.address == (std::array<std::uint8_t, 4> { 127, 0, 0, 1 }));
        QCOMPARE(QByteArray(r.longName.data()), QByteArray("Prismara Nanoleaf Tool under test"));
        QVERIFY(r.outputs == 2 && r.outputPortAddresses[1] == 1 && r.outputting);

        // Targeted at Port-Addresses 2-9: not ours, no answer; then an untargeted one.
        Bytes targeted = IntakePackets::artPoll();
        targeted[12] = 0x20;
        targeted.insert(targeted.end(), { 0x00, 0x09, 0x00, 0x02 });
        QTRY_COMPARE(receiver.counters().pollReplies, std::uint64_t(1));
        QVERIFY(console.send(targeted, "127.0.0.1", 6454));
        QVERIFY(console.send(IntakePackets::artPoll(), "127.0.0.1", 6454));
        QTRY_COMPARE(receiver.counters().of(P::ArtNet).taken, std::uint64_t(5));
        QCOMPARE(receiver.counters().pollReplies, std::uint64_t(2));

        // A burst of polls: a few answers a second, the rest counted.
        for (int i = 0; i < 20; ++i)
            QVERIFY(console.send(IntakePackets::artPoll(), "127.0.0.1", 6454));
        QTRY_COMPARE(receiver.counters().of(P::ArtNet).taken, std::uint64_t(25));
        const IntakeReceiver::Counters c = receiver.counters();
        QVERIFY2(c.pollsUnanswered >= 12, qPrintable(QString::number(c.pollsUnanswered)));
        QCOMPARE(c.pollReplies + c.pollsUnanswered, std::uint64_t(22));
    }

    // A port taken by another program is reported; the other protocols go on.
    void portTaken()
    {
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 4048, QUdpSocket::DontShareAddress));
        IntakeSink sink;
        IntakeReceiver receiver;
        const std::vector<IntakeReceiver::BindFailure> failures
            = receiver.start(only(true, true, false), twoUniverses(), &sink);
        QCOMPARE(failures.size(), std::size_t(1));
        QVERIFY(failures[0].protocol == P::Ddp && failures[0].port == 4048);
        Peer sender;
        QVERIFY(sender.send(IntakePackets::e131({ 1 }, 2, 1, Bytes(3, 9)), "127.0.0.1", 5568));
        QTRY_COMPARE(sink.frames().size(), std::size_t(1));
    }

    // stop() ends a wait that has no time limit (nothing live), and setMap() a moment
    // before it changes nothing about that; the ports are free again.
    void stopIsImmediate()
    {
        IntakeSink sink;
        IntakeReceiver receiver;
        QVERIFY(receiver.start(only(true, true, true), twoUniverses(), &sink).empty());
        receiver.setMap(twoUniverses(3));
        std::future<void> stopped = std::async(std::launch::async, [&] { receiver.stop(); });
        QVERIFY(stopped.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
        QUdpSocket after;
        QVERIFY(after.bind(QHostAddress::AnyIPv4, 4048, QUdpSocket::DontShareAddress));
    }
};

QTEST_GUILESS_MAIN(tst_IntakeReceiver)
#include "tst_intakereceiver.moc"
