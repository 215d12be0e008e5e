// host-sim as a lighting program on the network, received by the tool's own intake
// receiver in a private network: each protocol's frames arrive whole and in order, and an
// E1.31 run ends its source at once, also when host-sim is stopped by a signal.

#include "common/intakesink.h"
#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QProcess>
#include <QtTest>

using Bytes = std::vector<std::uint8_t>;
using P = SourceTable::Protocol;
using V = SourceTable::Verdict;

Q_DECLARE_METATYPE(P)

namespace
{

// Frame k (from 1) as host-sim --seq --solid 10,20,30 sends it: pixel 0 is k.
bool numbered(const Bytes& frame, unsigned k)
{
    if (frame.size() < 3 || frame[0] != ((k >> 16) & 0xFF) || frame[1] != ((k >> 8) & 0xFF)
        || frame[2] != (k & 0xFF))
        return false;
    for (std::size_t i = 3; i < frame.size(); ++i)
        if (frame[i] != 10 * (i % 3 + 1))
            return false;
    return true;
}

} // namespace

class tst_HostSimSend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "binds fixed ports: run through tools/netns-run");
    }

    void sends_data()
    {
        QTest::addColumn<P>("protocol");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<int>("universe");
        QTest::addColumn<bool>("stopBySignal");

        // DDP: 500 pixels are two packets, shown once, at the push.
        QTest::newRow("ddp") << P::Ddp << QStringList { "--ddp", "127.0.0.1" } << 500 << 1 << false;
        QTest::newRow("e131") << P::E131 << QStringList { "--e131", "127.0.0.1", "--universe", "3" }
                              << 200 << 3 << false;
        QTest::newRow("e131 multicast, stopped by SIGTERM")
            << P::E131 << QStringList { "--e131", "multicast" } << 200 << 1 << true;
        QTest::newRow("artnet") << P::ArtNet
                                << QStringList { "--artnet", "127.0.0.1:6454", "--universe", "3" }
                                << 200 << 3 << false;
    }
    void sends()
    {
        QFETCH(P, protocol);
        QFETCH(QStringList, arguments);
        QFETCH(int, pixels);
        QFETCH(int, universe);
        QFETCH(bool, stopBySignal);

        IntakeSink sink;
        IntakeReceiver receiver;
        IntakeReceiver::Settings settings;
        settings.ddp = protocol == P::Ddp;
        settings.e131 = protocol == P::E131;
        settings.artNet = protocol == P::ArtNet;
        QVERIFY(
            receiver
                .start(settings,
                    PixelMap({ { "strip", std::size_t(pixels) } }, std::uint16_t(universe)), &sink)
                .empty());

        QProcess hostSim;
        hostSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        hostSim.start(PRISMARA_BIN_DIR "/host-sim",
            arguments
                + QStringList { "--quiet", "--pixels", QString::number(pixels), "--seq", "--solid",
                    "10,20,30", "--rate", "50", stopBySignal ? "--duration" : "--frames",
                    stopBySignal ? "60" : "8" });
        if (stopBySignal) {
            QTRY_VERIFY_WITH_TIMEOUT(sink.frames().size() >= 3, 10000);
            hostSim.terminate();
        }
        QVERIFY(hostSim.waitForFinished(20000));
        const QByteArray summary = hostSim.readAllStandardOutput();
        QCOMPARE(hostSim.exitStatus(), QProcess::NormalExit);
        QVERIFY2(hostSim.exitCode() == 0, summary.constData());

        // Every frame sent arrives once, whole and in order.
        std::size_t sent = 8;
        if (stopBySignal) {
            const int at = summary.indexOf("frames ");
            QVERIFY2(at >= 0, summary.constData());
            sent = std::size_t(summary.mid(at + 7).split(' ').at(0).toULong());
        }
        // Until the receiver has seen the second universe, the first is the last it knows
        // of: frame 1 arrives once half-written, then whole.
        const std::size_t early = protocol != P::Ddp ? 1 : 0;
        QTRY_COMPARE(sink.frames().size(), sent + early);
        std::vector<Bytes> frames = sink.frames();
        QVERIFY(frames[0][0] == 0 && frames[0][1] == 0 && frames[0][2] == 1);
        frames.erase(frames.begin(), frames.begin() + std::ptrdiff_t(early));
        for (unsigned k = 1; k <= frames.size(); ++k)
            QVERIFY2(numbered(frames[k - 1], k), qPrintable(QString("frame %1").arg(k)));

        const IntakeReceiver::ProtocolCounters c = receiver.counters().of(protocol);
        QCOMPARE(c.verdicts[std::size_t(V::OutOfOrder)], std::uint64_t(0));
        if (protocol == P::E131) {
            // Three stream-terminated packets for each of the two universes; the first of
            // them ends the source, long before it would be lost to silence.
            QTRY_COMPARE(receiver.counters().of(protocol).verdicts[std::size_t(V::Terminated)],
                std::uint64_t(6));
            QCOMPARE(sink.gone.load(), 1);
        }
        receiver.stop();
    }
};

QTEST_GUILESS_MAIN(tst_HostSimSend)
#include "tst_hostsimsend.moc"
