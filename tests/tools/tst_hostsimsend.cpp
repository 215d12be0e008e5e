// host-sim as a lighting program on the network, received by the tool's own intake
// receiver in a private network: its E1.31 frames arrive whole and in order, unicast and
// multicast, and a run ends its source at once, also when host-sim is stopped by a signal.
// What each protocol's datagrams hold: tst_hostsimpackets.

#include "common/intakesink.h"
#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QProcess>
#include <QtTest>

using Bytes = std::vector<std::uint8_t>;
using V = SourceTable::Verdict;

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
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<int>("universe");
        QTest::addColumn<bool>("stopBySignal");

        QTest::newRow("unicast") << QStringList { "--e131", "127.0.0.1", "--universe", "3" } << 200
                                 << 3 << false;
        QTest::newRow("multicast, stopped by SIGTERM")
            << QStringList { "--e131", "multicast" } << 200 << 1 << true;
    }
    void sends()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, pixels);
        QFETCH(int, universe);
        QFETCH(bool, stopBySignal);

        IntakeSink sink;
        IntakeReceiver receiver;
        IntakeReceiver::Settings settings;
        settings.e131 = true;
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
        QTRY_COMPARE(sink.frames().size(), sent + 1);
        std::vector<Bytes> frames = sink.frames();
        QVERIFY(frames[0][0] == 0 && frames[0][1] == 0 && frames[0][2] == 1);
        frames.erase(frames.begin());
        for (unsigned k = 1; k <= frames.size(); ++k)
            QVERIFY2(numbered(frames[k - 1], k), qPrintable(QString("frame %1").arg(k)));

        const auto verdicts = [&](V v) {
            return receiver.counters().of(SourceTable::Protocol::E131).verdicts[std::size_t(v)];
        };
        QCOMPARE(verdicts(V::OutOfOrder), std::uint64_t(0));
        // Three stream-terminated packets for each of the two universes; the first of them
        // ends the source, long before it would be lost to silence.
        QTRY_COMPARE(verdicts(V::Terminated), std::uint64_t(6));
        QCOMPARE(sink.gone.load(), 1);
        receiver.stop();
    }
};

QTEST_GUILESS_MAIN(tst_HostSimSend)
#include "tst_hostsimsend.moc"
