// The tool's host endpoint under abuse, with the whole window behind it: garbage,
// malformed and truncated frames, clients that connect and say nothing, a client
// that floods requests and never reads the answers, and fifty clients at once.
// A well-behaved host connected throughout must keep getting correct answers
// while the abuse is in place, the malformed connections must be closed, and
// every connection must be gone once its client is.

#include "app/zelnanoleaftool.h"
#include "common/logwatch.h"
#include "service/nanoleafapisync.h"
#include "soak/goodhost.h"
#include "soak/procstatus.h"
#include "sync/hostframe.h"
#include "sync/hostintake.h"
#include "sync/hostmessageserver.h"

#include <QLocalSocket>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

namespace
{

enum Kind {
    Garbage, // random bytes whose size field is far too large
    HugeSize, // size field 0xFFFFFFFF
    TinySize, // size field smaller than a header
    PayloadBeyondSize, // cbData larger than the frame
    RandomFrame, // well-framed, random message, parameters and payload
    WildSwitch, // a sync switch to a type no button stands for
    TruncatedStay, // part of a frame, then nothing more, connection kept
    TruncatedHangUp, // part of a frame, then the client hangs up
    Silent, // connects and never sends
    Flood, // thousands of good frames, answers never read
    Polite, // one good frame, answer read
};

// Frames the flooding client sends: far more answers than the endpoint lets
// pile up unsent, so it must stop reading that client and serve the others.
constexpr int kFloodFrames = 100000;
// Answers the good host must get while the abuse is in place.
constexpr int kAnswersDuringAbuse = 200;
constexpr int kWaitMs = 20000;

bool toolCloses(int kind)
{
    return kind == Garbage || kind == HugeSize || kind == TinySize || kind == PayloadBeyondSize;
}

bool expectsAnswers(int kind)
{
    return kind == RandomFrame || kind == WildSwitch || kind == Polite;
}

QByteArray le32(quint32 v)
{
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

QByteArray framed(
    std::uint32_t message, std::uint64_t wParam, std::uint64_t dwData, const QByteArray& payload)
{
    const HostIntake::Message m { message, wParam, dwData,
        static_cast<std::uint32_t>(payload.size()),
        reinterpret_cast<const unsigned char*>(payload.constData()) };
    const std::vector<unsigned char> bytes = encodeHostRequest(m);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

QByteArray colourFrame(int type)
{
    QByteArray record(static_cast<int>(HostIntake::kRecordSize), '\x40');
    record.replace(52, 4, le32(static_cast<quint32>(type)));
    return framed(HostIntake::kCopyData, 0, 10001, record);
}

QByteArray randomBytes(QRandomGenerator& random, int size)
{
    QByteArray out(size, '\0');
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>(random.bounded(256));
    return out;
}

QByteArray abuseBytes(int kind, QRandomGenerator& random)
{
    switch (kind) {
    case Garbage: {
        QByteArray bytes = randomBytes(random, 4096);
        bytes[3] = static_cast<char>(bytes[3] | 0x80);
        return bytes;
    }
    case HugeSize:
        return le32(0xFFFFFFFFu) + randomBytes(random, 20);
    case TinySize:
        return le32(3) + randomBytes(random, 3);
    case PayloadBeyondSize: {
        // A frame of 24 + 4 bytes whose cbData claims 1000.
        QByteArray frame = le32(28) + le32(HostIntake::kCopyData) + QByteArray(8, '\0');
        frame += QByteArray("\x11\x27\0\0\0\0\0\0", 8) + le32(1000) + randomBytes(random, 4);
        return frame;
    }
    case RandomFrame:
        return framed(random.generate(), random.generate64(), random.generate64(),
            randomBytes(random, static_cast<int>(random.bounded(200))));
    case WildSwitch:
        return framed(
            HostIntake::kSyncSwitch, 0xFFFFFFFF80000000ull | random.generate(), 0, QByteArray());
    case TruncatedStay:
    case TruncatedHangUp:
        return colourFrame(1).left(30);
    case Flood: {
        const QByteArray one = colourFrame(2);
        QByteArray all;
        all.reserve(one.size() * kFloodFrames);
        for (int i = 0; i < kFloodFrames; ++i)
            all += one;
        return all;
    }
    case Polite:
        return colourFrame(3);
    default:
        return QByteArray();
    }
}

struct Abuser {
    int kind;
    std::unique_ptr<QLocalSocket> socket;
};

} // namespace

class tst_HostAbuse : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogWatch> log;

private slots:
    void initTestCase()
    {
        // Every host message is logged; keep that out of the test output.
        log = std::make_unique<LogWatch>(QStringList {});
    }

    void cleanupTestCase() { log.reset(); }

    void abuse_data()
    {
        QTest::addColumn<QVector<int>>("kinds"); // one entry per abusive client

        QTest::newRow("garbage") << QVector<int>(10, Garbage);
        QTest::newRow("size field 0xFFFFFFFF") << QVector<int>(3, HugeSize);
        QTest::newRow("size field below a header") << QVector<int>(3, TinySize);
        QTest::newRow("payload beyond the frame") << QVector<int>(3, PayloadBeyondSize);
        QTest::newRow("random well-framed messages") << QVector<int>(10, RandomFrame);
        QTest::newRow("sync switch to no button") << QVector<int>(3, WildSwitch);
        QTest::newRow("truncated frame, connection kept") << QVector<int>(5, TruncatedStay);
        QTest::newRow("truncated frame, then hang-up") << QVector<int>(5, TruncatedHangUp);
        QTest::newRow("connects, never sends") << QVector<int>(20, Silent);
        QTest::newRow("floods, never reads answers") << QVector<int>(2, Flood);
        QVector<int> mixed;
        const QVector<int> cycle { Garbage, HugeSize, TinySize, PayloadBeyondSize, RandomFrame,
            TruncatedStay, TruncatedHangUp, Silent, Polite, WildSwitch };
        for (int i = 0; i < 50; ++i)
            mixed << cycle[i % cycle.size()];
        mixed[7] = Flood;
        QTest::newRow("50 clients at once") << mixed;
    }

    void abuse()
    {
        QFETCH(QVector<int>, kinds);
        QRandomGenerator random(0x5eed + static_cast<quint32>(kinds.size() * 131 + kinds.first()));

        ZelNanoleafTool window;
        HostMessageServer* server = window.hostServer();
        QVERIFY(server != nullptr);
        QVERIFY(server->isListening());
        // The service thread opens its event loop's descriptors once it runs.
        QMetaObject::invokeMethod(
            window.service, [] {}, Qt::BlockingQueuedConnection);
        const int descriptorsBefore = ProcStatus::openDescriptors();
        const QStringList targetsBefore = ProcStatus::descriptorTargets();

        GoodHost good(server->fullServerName());
        QVERIFY2(good.start(), qPrintable(good.failure()));
        QTRY_VERIFY2_WITH_TIMEOUT(good.answered() >= 20, qPrintable(good.failure()), kWaitMs);

        std::vector<Abuser> abusers;
        for (int kind : kinds) {
            Abuser abuser { kind, std::make_unique<QLocalSocket>() };
            if (kind == Flood)
                abuser.socket->setReadBufferSize(1);
            abuser.socket->connectToServer(server->fullServerName());
            abusers.push_back(std::move(abuser));
        }
        const auto allConnected = [&abusers] {
            for (const Abuser& a : abusers)
                if (a.socket->state() != QLocalSocket::ConnectedState)
                    return false;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allConnected(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(
            server->connectionCount(), 1 + static_cast<int>(abusers.size()), kWaitMs);

        for (Abuser& a : abusers) {
            const QByteArray bytes = abuseBytes(a.kind, random);
            if (!bytes.isEmpty())
                QCOMPARE(a.socket->write(bytes), qint64(bytes.size()));
            if (a.kind == TruncatedHangUp) {
                a.socket->flush();
                a.socket->disconnectFromServer();
            }
        }

        // The abuse is in place: the good host keeps being answered, correctly.
        const int before = good.answered();
        QTRY_VERIFY2_WITH_TIMEOUT(
            good.answered() >= before + kAnswersDuringAbuse, qPrintable(good.failure()), kWaitMs);
        QCOMPARE(good.failure(), QString());

        for (Abuser& a : abusers) {
            if (toolCloses(a.kind))
                QTRY_COMPARE_WITH_TIMEOUT(
                    a.socket->state(), QLocalSocket::UnconnectedState, kWaitMs);
            if (expectsAnswers(a.kind)) {
                QTRY_VERIFY_WITH_TIMEOUT(
                    a.socket->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
                const QByteArray raw = a.socket->read(kHostAnswerSize);
                HostIntake::HostAnswer answer {};
                QVERIFY(decodeHostAnswer(reinterpret_cast<const unsigned char*>(raw.constData()),
                    static_cast<std::size_t>(raw.size()), answer));
                if (a.kind == Polite)
                    QVERIFY(answer.handled && answer.result == 1);
                if (a.kind == WildSwitch)
                    QVERIFY(!answer.handled && answer.result == 0);
            }
        }
        // The clients that hung up or were thrown out hold no connection any more.
        int kept = 0;
        for (const Abuser& a : abusers)
            if (!toolCloses(a.kind) && a.kind != TruncatedHangUp)
                ++kept;
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 1 + kept, kWaitMs);

        // Once the rest leave, only the good host is left, still being answered.
        abusers.clear();
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 1, kWaitMs);
        const int after = good.answered();
        QTRY_VERIFY2_WITH_TIMEOUT(
            good.answered() >= after + 20, qPrintable(good.failure()), kWaitMs);
        good.requestStop();
        QTRY_VERIFY_WITH_TIMEOUT(good.finished(), kWaitMs);
        good.stop();
        QCOMPARE(good.failure(), QString());
        QCOMPARE(window.syncDeviceType, good.lastSwitch());

        // Every connection's descriptor is released.
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 0, kWaitMs);
        QTRY_VERIFY2_WITH_TIMEOUT(ProcStatus::openDescriptors() <= descriptorsBefore,
            qPrintable(
                QStringLiteral("descriptors %1 -> %2\nbefore: %3\nafter: %4")
                    .arg(descriptorsBefore)
                    .arg(ProcStatus::openDescriptors())
                    .arg(targetsBefore.join(", "), ProcStatus::descriptorTargets().join(", "))),
            kWaitMs);
    }
};

QTEST_MAIN(tst_HostAbuse)
#include "tst_hostabuse.moc"
