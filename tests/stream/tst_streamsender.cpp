// The frame path (packer and sender) through real sockets in a private network:
// devices whose address nobody answers beside a live one on loopback.

#include "common/privatenetwork.h"
#include "common/unreachablenet.h"
#include "stream/framepacker.h"
#include "stream/streamsender.h"

#include <QElapsedTimer>
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

    // Frames as fast as they go to four devices nobody answers, whose datagrams
    // pile up waiting, and a live one between them: no send waits, the live
    // device gets its datagrams, and each dead one is reported once, not per frame.
    void unansweredDevicesCostTheOthersNothing()
    {
        QUdpSocket live;
        QVERIFY(live.bind(QHostAddress("127.0.0.2"), StreamDatagram::kLightPort));
        const std::vector<StreamDevice> devices { light("198.18.0.2"), light("127.0.0.2"),
            light("198.18.0.3"), light("198.18.0.4"), light("198.18.0.5") };
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
        QCOMPARE(
            reported, (QStringList { "0 dropping", "2 dropping", "3 dropping", "4 dropping" }));
    }

    // A device that dropped counts as back once it took every datagram for the
    // settling time, and is reported so once, with what it dropped; one that
    // still drops is not. A new layout keeps each destination's socket and state.
    void aDeviceBackIsReportedOnceSettled()
    {
        std::vector<StreamDevice> devices { light("198.18.0.6"), light("198.18.0.7") };
        FramePacker packer;
        packer.layOut(12, devices);
        StreamSender sender;
        sender.setDestinations(packer.destinations());
        const int red[12] = {}, green[12] = {}, blue[12] = {};
        std::size_t n = 0;
        const DeviceDatagram* batch = packer.pack(red, green, blue, n);

        // Times are made up from here on: only their differences count.
        std::int64_t now = 0;
        int frames = 0;
        QStringList reported;
        while (reported.size() < 2 && frames++ < 5000) {
            sender.send(batch, n, ++now);
            reported << changes(sender);
        }
        QCOMPARE(reported, (QStringList { "0 dropping", "1 dropping" }));
        const std::int64_t lastDrop = now;
        QCOMPARE(sender.send(batch, n, lastDrop), std::size_t(0));
        QCOMPARE(changes(sender), QStringList {});
        QVERIFY2(net.answerFor("198.18.0.6"), qPrintable(net.errorString()));

        // What waited has left, so its socket takes datagrams again; not yet reported.
        int tries = 0;
        while (sender.send(batch, n, lastDrop) == 0 && ++tries < 100)
            QTest::qWait(10);
        QCOMPARE(changes(sender), QStringList {});
        QCOMPARE(sender.send(batch, n, lastDrop + StreamSender::kSettleTicks - 1), std::size_t(1));
        QCOMPARE(changes(sender), QStringList {});

        // A new layout: the dead device first, the one back second, a new one last.
        devices = { devices[1], devices[0], light("198.18.0.8") };
        packer.layOut(12, devices);
        sender.setDestinations(packer.destinations());
        batch = packer.pack(red, green, blue, n);
        QCOMPARE(sender.send(batch, n, lastDrop + StreamSender::kSettleTicks), std::size_t(2));
        const QStringList back = changes(sender);
        QCOMPARE(back.size(), 1);
        QVERIFY2(
            back[0].startsWith("1 taking ") && back[0].mid(9).toInt() >= 2, qPrintable(back[0]));
        QCOMPARE(sender.send(batch, n, lastDrop + 2 * StreamSender::kSettleTicks), std::size_t(2));
        QCOMPARE(changes(sender), QStringList {});
    }

private:
    UnreachableNet net;
};

QTEST_GUILESS_MAIN(tst_StreamSender)
#include "tst_streamsender.moc"
