// The frame path (packer and sender) through real sockets in a private network:
// devices whose address nobody answers beside a live one on loopback, and the pacing
// of a capped frame rate by the frames' own clock.

#include "common/privatenetwork.h"
#include "common/unreachablenet.h"
#include "stream/framepacker.h"
#include "stream/streamsender.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QUdpSocket>
#include <QtTest>

#include <chrono>
#include <cstring>

namespace
{

namespace Net = Platform::Net;

// A paired Light Panels of three panels at ip.
StreamDevice light(const char* ip)
{
    StreamDevice d;
    d.isPaired = true;
    d.model = StreamDatagram::Model::Light;
    d.panelNumbers = 3;
    d.pidArrray = { 82, 15, 200 };
    d.addressOk = Net::parseIpv4(ip, std::strlen(ip), d.to.address);
    d.to.port = StreamDatagram::kLightPort;
    return d;
}

// "device dropping" or "device taking N", one per change of the last send.
QStringList changes(const StreamSender& sender)
{
    QStringList out;
    for (const StreamSender::FlowChange& c : sender.changes())
        out << QString("%1 %2").arg(c.device).arg(
            c.dropping ? QString("dropping") : QString("taking %1").arg(c.dropped));
    return out;
}

} // namespace

class tst_StreamSender : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "run through tools/netns-run (NETNS test)");
        QVERIFY2(net.up(), qPrintable(net.errorString()));
    }

    // Frames as fast as they go to two dead devices and a live one: no send waits, the live
    // one gets its datagrams, each dead one is reported once; one answered at last is back
    // once it took every datagram for the settling time; a new layout keeps its state.
    void unansweredDevices()
    {
        QUdpSocket live;
        QVERIFY(live.bind(QHostAddress("127.0.0.2"), StreamDatagram::kLightPort));
        std::vector<StreamDevice> devices { light("198.18.0.2"), light("127.0.0.2"),
            light("198.18.0.3") };
        FramePacker packer;
        packer.layOut(12, devices);
        StreamSender sender;
        sender.setDestinations(packer.destinations());

        constexpr int kFrames = 3000;
        int frames = 0;
        int received = 0;
        std::chrono::steady_clock::duration worst {};
        QStringList reported;
        QElapsedTimer clock;
        clock.start();
        for (; frames < kFrames && clock.elapsed() < 10000; ++frames) {
            int red[12] = { frames & 0xFF }, green[12] = {}, blue[12] = {};
            std::size_t n = 0;
            const DeviceDatagram* batch = packer.pack(red, green, blue, n);
            const auto before = std::chrono::steady_clock::now();
            sender.send(batch, n, Net::monotonicTicks());
            worst = std::max(worst, std::chrono::steady_clock::now() - before);
            reported << changes(sender);
            while (live.hasPendingDatagrams() && live.readDatagram(nullptr, 0) >= 0)
                ++received;
        }
        // Loopback hands a datagram over within the send; the wait is for a slow machine.
        while (
            received < frames && live.waitForReadyRead(received * 20 >= frames * 19 ? 100 : 2000))
            while (live.hasPendingDatagrams() && live.readDatagram(nullptr, 0) >= 0)
                ++received;
        const auto worstMs = std::chrono::duration_cast<std::chrono::milliseconds>(worst).count();
        QVERIFY2(worstMs <= 50, qPrintable(QString("a send took %1 ms").arg(worstMs)));
        QCOMPARE(frames, kFrames);
        QVERIFY2(received * 100 >= frames * 95,
            qPrintable(QString("the live device got %1 of %2").arg(received).arg(frames)));
        reported.sort();
        QCOMPARE(reported, (QStringList { "0 dropping", "2 dropping" }));

        // What waited leaves once answered, so its socket takes datagrams again; from here
        // on times are made up: only their differences count.
        QVERIFY2(net.answerFor("198.18.0.2"), qPrintable(net.errorString()));
        const int red[12] = {}, green[12] = {}, blue[12] = {};
        std::size_t n = 0;
        const DeviceDatagram* batch = packer.pack(red, green, blue, n);
        const std::int64_t now = Net::monotonicTicks();
        for (int tries = 0; sender.send(batch, n, now) < 2 && tries < 100; ++tries)
            QTest::qWait(10);
        QCOMPARE(changes(sender), QStringList {});
        // A new layout: the dead device first, the one back second, a new one last.
        packer.layOut(12, { devices[2], devices[0], light("198.18.0.8") });
        sender.setDestinations(packer.destinations());
        batch = packer.pack(red, green, blue, n);
        QCOMPARE(sender.send(batch, n, now + StreamSender::kSettleTicks), std::size_t(2));
        const QStringList back = changes(sender);
        QCOMPARE(back.size(), 1);
        QVERIFY2(
            back[0].startsWith("1 taking ") && back[0].mid(9).toInt() >= 2, qPrintable(back[0]));
        QCOMPARE(sender.send(batch, n, now + 2 * StreamSender::kSettleTicks), std::size_t(2));
        QCOMPARE(changes(sender), QStringList {});
    }

    // Paced by the frames' own clock: a script of frames "N@t" (frame N to both devices at
    // t, "N@t/d" to device d only), looks of the pacer "@t", and "?t" the next due time
    // expected ("?-": none). What each frame or look sent, and what each device got.
    void pacing_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("received"); // device 0's frames | device 1's
        const auto row = [](const char* name, int interval, const char* script, const char* sent,
                             const char* received) {
            QTest::newRow(name) << interval << script << sent << received;
        };
        row("unpaced", 0, "1@0 2@1 3@2 ?-", "2 2 2", "1 2 3|1 2 3");
        row("latest wins on its turn", 10, "1@0 2@3 3@5 ?10 @9 @10 ?- @30", "2 0 0 0 2 0",
            "1 3|1 3");
        row("after a pause at once", 10, "1@0 2@10 3@25 ?-", "2 2 2", "1 2 3|1 2 3");
        row("a newer frame out first", 10, "1@0 2@4 3@12 ?- @12 @40", "2 0 2 0 0", "1 3|1 3");
        row("turns counted from the send", 10, "1@0 2@5 @14 3@20 4@23 ?24 @23 @24", "2 0 2 0 0 0 2",
            "1 2 4|1 2 4");
        row("each device its own turns", 10, "1@0/0 2@5 ?10 @10 3@12/1 ?15 @15", "1 1 1 0 1",
            "1 2|2 3");
    }

    void pacing()
    {
        QFETCH(int, interval);
        QFETCH(QString, script);
        QFETCH(QString, sent);
        QFETCH(QString, received);
        QUdpSocket sinks[2];
        QVERIFY(sinks[0].bind(QHostAddress("127.0.0.2"), StreamDatagram::kLightPort));
        QVERIFY(sinks[1].bind(QHostAddress("127.0.0.3"), StreamDatagram::kLightPort));
        FramePacker packer;
        packer.layOut(12, { light("127.0.0.2"), light("127.0.0.3") });
        StreamSender sender;
        sender.setDestinations(packer.destinations());
        sender.setInterval(interval);

        QHash<QByteArray, int> frameOf; // a datagram's bytes: its frame's number
        QStringList counts;
        for (const QString& event : script.split(' ')) {
            const QStringList at = event.split(QRegularExpression("[@/]"));
            const std::int64_t due = sender.nextDue();
            if (event.startsWith('?')) {
                QCOMPARE(
                    due == StreamSender::kNothingDue ? "-" : QString::number(due), at[0].mid(1));
            } else if (event.startsWith('@')) {
                counts << QString::number(sender.sendDue(at[1].toLongLong()));
            } else {
                const int red[12] = { at[0].toInt() }, green[12] = {}, blue[12] = {};
                std::size_t n = 0, size = 0;
                const DeviceDatagram* batch = packer.pack(red, green, blue, n);
                const std::uint8_t* bytes = packer.datagram(0, size);
                frameOf[QByteArray(reinterpret_cast<const char*>(bytes), int(size))] = red[0];
                const int only = at.value(2, "-1").toInt(); // -1: every device
                counts << QString::number(sender.send(
                    only < 0 ? batch : batch + only, only < 0 ? n : 1, at[1].toLongLong()));
            }
        }
        QCOMPARE(counts.join(' '), sent);
        QStringList got[2];
        const auto arrived = [&]() {
            for (int d = 0; d < 2; ++d)
                while (sinks[d].hasPendingDatagrams())
                    got[d] << QString::number(frameOf.value(sinks[d].receiveDatagram().data()));
            return got[0].join(' ') + '|' + got[1].join(' ');
        };
        QTRY_COMPARE(arrived(), received);
    }

private:
    UnreachableNet net;
};

QTEST_GUILESS_MAIN(tst_StreamSender)
#include "tst_streamsender.moc"
