// host-sim as a lighting program on the network, received by the tool's own intake
// receiver in a private network: its E1.31 frames arrive whole and in order, unicast and
// multicast, and a run ends its source at once, also when host-sim is stopped by a signal.
// What each protocol's datagrams hold: tst_hostsimpackets. Its --timestamps as the latency
// benchmark reads them, against the kernel's receive stamps.

#include "common/intakesink.h"
#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

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

// A datagram and the kernel's receive stamp of it (CLOCK_REALTIME), as nanoleaf-sim
// reports them to the benchmark.
struct Stamped {
    Bytes bytes;
    std::int64_t rxNs = 0;
};

// Up to `count` datagrams on 127.0.0.1:port, each waited for at most 5 s.
std::vector<Stamped> receiveStamped(int fd, std::size_t count)
{
    std::vector<Stamped> out;
    while (out.size() < count) {
        std::uint8_t buffer[2048];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec io { buffer, sizeof buffer };
        msghdr m {};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd, &m, 0);
        if (got < 0)
            break;
        Stamped s { Bytes(buffer, buffer + got), 0 };
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t {};
                std::memcpy(&t, CMSG_DATA(c), sizeof t);
                s.rxNs = std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
            }
        }
        out.push_back(s);
    }
    return out;
}

int stampedSocket(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    const timeval wait { 5, 0 };
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0
        || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0
        || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
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

    // Frames of two DDP packets: each line's realtime stamp lies between the kernel's
    // stamps of its frame's first and last datagram, so it is the send of the datagram
    // that completes the frame; with --seq-all every pixel carries the frame's number.
    void timestamps()
    {
        const int fd = stampedSocket(40480);
        QVERIFY2(fd >= 0, std::strerror(errno));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath("stamps.tsv");
        const int frames = 6, from = 7;
        QProcess hostSim;
        hostSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        hostSim.start(PRISMARA_BIN_DIR "/host-sim",
            { "--ddp", "127.0.0.1:40480", "--pixels", "500", "--seq", "--seq-all", "--seq-from",
                QString::number(from), "--solid", "10,20,30", "--rate", "50", "--frames",
                QString::number(frames), "--timestamps", file, "--quiet" });
        const std::vector<Stamped> got = receiveStamped(fd, 2 * frames);
        ::close(fd);
        QVERIFY(hostSim.waitForFinished(20000));
        QCOMPARE(hostSim.exitCode(), 0);
        QCOMPARE(got.size(), std::size_t(2 * frames));

        QFile text(file);
        QVERIFY(text.open(QIODevice::ReadOnly | QIODevice::Text));
        QList<QByteArray> lines = text.readAll().trimmed().split('\n');
        QVERIFY(lines.takeFirst().startsWith('#'));
        QCOMPARE(lines.size(), frames);
        for (int i = 0; i < frames; ++i) {
            const QList<QByteArray> f = lines[i].split('\t');
            QCOMPARE(f.size(), 7);
            const unsigned number = unsigned(from + i + 1);
            QCOMPARE(f[0].toInt(), from + i);
            QVERIFY(f[1].toLongLong() <= f[2].toLongLong());
            QCOMPARE(f[3], QByteArray("1"));
            QCOMPARE(f[4], QByteArray("2"));
            QCOMPARE(f[5], QByteArray::number(number, 16).rightJustified(6, '0').toUpper());
            const Stamped& first = got[std::size_t(2 * i)];
            const Stamped& last = got[std::size_t(2 * i + 1)];
            const qint64 sentRt = f[6].toLongLong();
            QVERIFY2(first.rxNs > 0 && first.rxNs <= sentRt && sentRt <= last.rxNs,
                qPrintable(QString("frame %1: %2 %3 %4")
                               .arg(i)
                               .arg(first.rxNs)
                               .arg(sentRt)
                               .arg(last.rxNs)));
            for (const Stamped* d : { &first, &last }) {
                QVERIFY(d->bytes.size() > 10);
                for (std::size_t b = 10; b < d->bytes.size(); ++b)
                    QCOMPARE(unsigned(d->bytes[b]), (number >> (16 - 8 * ((b - 10) % 3))) & 0xFF);
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_HostSimSend)
#include "tst_hostsimsend.moc"
