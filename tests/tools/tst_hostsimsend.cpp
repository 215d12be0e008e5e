// host-sim as a lighting program in a private network: its E1.31 frames, received by the
// tool's own intake receiver, arrive whole and in order, and a run stopped by a signal still
// ends its source; its --timestamps as the latency benchmark reads them, against
// nanoleaf-sim's kernel receive stamps. What each protocol's datagrams hold:
// tst_hostsimpackets.

#include "common/intakesink.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using Bytes = std::vector<std::uint8_t>;
using V = SourceTable::Verdict;

namespace
{

// Frame k (from 1) as host-sim --seq --seq-all sends it: every pixel is k.
bool numbered(const Bytes& frame, unsigned k)
{
    for (std::size_t i = 0; i < frame.size(); ++i)
        if (frame[i] != ((k >> (16 - 8 * (i % 3))) & 0xFF))
            return false;
    return !frame.empty();
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

    // 200 pixels over universes 3 and 4 to the multicast groups, stopped by SIGTERM: every
    // frame sent arrives once, whole and in order, and the run still ends its source (three
    // stream-terminated packets per universe), long before it would be lost to silence.
    void sends()
    {
        IntakeSink sink;
        IntakeReceiver receiver;
        IntakeReceiver::Settings settings;
        settings.e131 = true;
        QVERIFY(receiver.start(settings, PixelMap({ { "strip", 200 } }, 3), &sink).empty());
        QProcess hostSim;
        hostSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        hostSim.start(PRISMARA_BIN_DIR "/host-sim",
            { "--e131", "multicast", "--universe", "3", "--quiet", "--pixels", "200", "--seq",
                "--seq-all", "--rate", "50", "--duration", "60" });
        QTRY_VERIFY_WITH_TIMEOUT(sink.frames().size() >= 3, 10000);
        hostSim.terminate();
        QVERIFY(hostSim.waitForFinished(20000));
        const QByteArray summary = hostSim.readAllStandardOutput();
        QVERIFY2(hostSim.exitStatus() == QProcess::NormalExit && hostSim.exitCode() == 0,
            summary.constData());
        const int at = summary.indexOf("frames ");
        QVERIFY2(at >= 0, summary.constData());
        const std::size_t sent = summary.mid(at + 7).split(' ').at(0).toULong();

        QTRY_COMPARE(sink.frames().size(), sent);
        const std::vector<Bytes> frames = sink.frames();
        for (unsigned k = 1; k <= frames.size(); ++k)
            QVERIFY2(numbered(frames[k - 1], k), qPrintable(QString("frame %1").arg(k)));
        const auto verdicts = [&](V v) {
            return receiver.counters().of(SourceTable::Protocol::E131).verdicts[std::size_t(v)];
        };
        QTRY_COMPARE(verdicts(V::Terminated), std::uint64_t(6));
        QCOMPARE(sink.gone.load(), 1);
        receiver.stop();
    }

    // Frames of two DDP packets to a simulated device's stream port: each line's realtime
    // stamp lies between the kernel's stamps of its frame's first and last datagram, so it is
    // the send of the datagram that completes the frame.
    void timestamps()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QTemporaryDir dir;
        const QString file = dir.filePath("stamps.tsv");
        const int frames = 6;
        QProcess hostSim;
        hostSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        hostSim.start(PRISMARA_BIN_DIR "/host-sim",
            { "--ddp", "127.0.0.2:60222", "--pixels", "500", "--seq", "--rate", "50", "--frames",
                QString::number(frames), "--timestamps", file, "--quiet" });
        QVERIFY(hostSim.waitForFinished(20000));
        QCOMPARE(hostSim.exitCode(), 0);
        QTRY_COMPARE(sim.frames("127.0.0.2").size(), 2 * frames);
        const QJsonArray got = sim.frames("127.0.0.2");

        QFile text(file);
        QVERIFY(text.open(QIODevice::ReadOnly | QIODevice::Text));
        QList<QByteArray> lines = text.readAll().trimmed().split('\n');
        QVERIFY(lines.takeFirst().startsWith('#'));
        QCOMPARE(lines.size(), frames);
        for (int i = 0; i < frames; ++i) {
            const QList<QByteArray> f = lines[i].split('\t');
            QCOMPARE(f.size(), 7);
            QCOMPARE(f[5], QByteArray::number(i + 1, 16).rightJustified(6, '0'));
            const qint64 firstRx = got[2 * i]["rx_ns"].toString().toLongLong();
            const qint64 lastRx = got[2 * i + 1]["rx_ns"].toString().toLongLong();
            const qint64 sentRt = f[6].toLongLong();
            QVERIFY2(firstRx > 0 && firstRx <= sentRt && sentRt <= lastRx, f[6].data());
        }
    }
};

QTEST_GUILESS_MAIN(tst_HostSimSend)
#include "tst_hostsimsend.moc"
