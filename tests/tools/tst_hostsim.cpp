#include "sync/hostintake.h"
#include "sync/hostmessageserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include "common/hostintakeprint.h"

namespace
{

constexpr int kRunMs = 60000;

// Answers as the tool does: the real intake decisions, with the switch applied.
class IntakeHandler : public HostMessageHandler
{
public:
    struct Seen {
        HostIntake::Message message;
        HostIntake::Decision decision;
    };

    HostIntake::HostAnswer hostMessage(const HostIntake::Message& m) override
    {
        const HostIntake::Decision d = HostIntake::evaluate(m, syncDeviceType);
        syncDeviceType = d.syncDeviceType;
        HostIntake::Message copy = m;
        copy.payload = nullptr;
        seen.push_back(Seen { copy, d });
        return HostIntake::HostAnswer { d.handled, d.result };
    }

    int syncDeviceType = 1;
    std::vector<Seen> seen;
};

QString hexColour(int r, int g, int b)
{
    return QStringLiteral("%1%2%3")
        .arg(r, 2, 16, QLatin1Char('0'))
        .arg(g, 2, 16, QLatin1Char('0'))
        .arg(b, 2, 16, QLatin1Char('0'))
        .toUpper();
}

} // namespace

class tst_HostSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void solidFrames();
    void switchFirst_data();
    void switchFirst();
    void rainbowMovesAcrossEntriesAndFrames();
    void sequenceNumbersAndTimestamps();
    void durationGivesFrameCount();
    void declinedFramesAreCounted();
    void endpointFromEnvironment();
    void noEndpoint();
    void badOptions_data();
    void badOptions();

private:
    int run(const QStringList& args, QByteArray* out = nullptr,
        const QProcessEnvironment& env = QProcessEnvironment());

    QString m_hostSim;
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<IntakeHandler> m_handler;
    std::unique_ptr<HostMessageServer> m_server;
};

void tst_HostSim::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    m_hostSim = QStringLiteral(PRISMARA_BIN_DIR "/host-sim");
    QVERIFY2(QFile::exists(m_hostSim), qPrintable(m_hostSim));
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath(QStringLiteral("host.sock"));
}

void tst_HostSim::init()
{
    m_handler = std::make_unique<IntakeHandler>();
    m_server = std::make_unique<HostMessageServer>(m_handler.get());
    QVERIFY(m_server->listen(m_path));
}

void tst_HostSim::cleanup()
{
    m_server.reset();
    m_handler.reset();
}

// Runs host-sim to the end while this thread keeps serving it.
int tst_HostSim::run(const QStringList& args, QByteArray* out, const QProcessEnvironment& env)
{
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QSignalSpy finished(&process, SIGNAL(finished(int, QProcess::ExitStatus)));
    process.start(m_hostSim, args);
    if (!process.waitForStarted(kRunMs))
        return -1;
    if (finished.isEmpty() && !finished.wait(kRunMs)) {
        process.kill();
        process.waitForFinished(kRunMs);
        return -2;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
}

void tst_HostSim::solidFrames()
{
    QByteArray out;
    QCOMPARE(run({ QStringLiteral("--socket"), m_path, QStringLiteral("--solid"),
                     QStringLiteral("10,20,30"), QStringLiteral("--frames"), QStringLiteral("5"),
                     QStringLiteral("--rate"), QStringLiteral("200") },
                 &out),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(5));
    for (const auto& s : m_handler->seen) {
        QCOMPARE(s.message.message, HostIntake::kCopyData);
        QCOMPARE(s.message.dwData, std::uint64_t(10001));
        QCOMPARE(std::size_t(s.message.cbData), HostIntake::kRecordSize);
        QCOMPARE(s.decision.action, HostIntake::Action::Forward);
        for (int k = 0; k < HostIntake::kColourEntries; ++k) {
            QCOMPARE(s.decision.red[k], 10);
            QCOMPARE(s.decision.green[k], 20);
            QCOMPARE(s.decision.blue[k], 30);
        }
    }
    QVERIFY2(out.contains("frame 4: handled 1 result 1"), out.constData());
    QVERIFY2(
        out.contains("frames sent 5 of 5, handled 5, not handled 0, result 1: 5"), out.constData());
}

void tst_HostSim::switchFirst_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("typeAfterSwitch");
    QTest::addColumn<int>("recordType");
    QTest::addColumn<HostIntake::Action>("frameAction");

    QTest::newRow("frames follow the switch") << QStringList { QStringLiteral("--switch"),
        QStringLiteral("3") } << 3 << 3 << HostIntake::Action::Forward;
    QTest::newRow("frames of another type are dropped") << QStringList { QStringLiteral("--switch"),
        QStringLiteral("3"), QStringLiteral("--type"), QStringLiteral("2") }
                                                        << 3 << 2 << HostIntake::Action::Drop;
    QTest::newRow("switch to all ones")
        << QStringList { QStringLiteral("--switch"), QStringLiteral("4294967295") } << -1 << -1
        << HostIntake::Action::Forward;
}

void tst_HostSim::switchFirst()
{
    QFETCH(QStringList, args);
    QFETCH(int, typeAfterSwitch);
    QFETCH(int, recordType);
    QFETCH(HostIntake::Action, frameAction);

    QByteArray out;
    QCOMPARE(run(QStringList { QStringLiteral("--socket"), m_path, QStringLiteral("--frames"),
                     QStringLiteral("2") }
                     + args,
                 &out),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(3));
    QCOMPARE(m_handler->seen[0].decision.action, HostIntake::Action::SyncSwitch);
    QCOMPARE(m_handler->seen[0].decision.syncDeviceType, typeAfterSwitch);
    QVERIFY2(out.contains("handled 0 result 0"), out.constData());
    for (std::size_t i = 1; i < 3; ++i) {
        QCOMPARE(m_handler->seen[i].decision.action, frameAction);
        QCOMPARE(int(m_handler->seen[i].decision.record.syncDeviceType), recordType);
        QCOMPARE(m_handler->seen[i].decision.result, std::int64_t(1));
    }
}

void tst_HostSim::rainbowMovesAcrossEntriesAndFrames()
{
    QCOMPARE(run({ QStringLiteral("--socket"), m_path, QStringLiteral("--rainbow"),
                 QStringLiteral("--frames"), QStringLiteral("3"), QStringLiteral("--rate"),
                 QStringLiteral("10"), QStringLiteral("--quiet") }),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(3));
    for (const auto& s : m_handler->seen) {
        QCOMPARE(s.decision.action, HostIntake::Action::Forward);
        // Twelve steps of 30 degrees: no two neighbours alike.
        for (int k = 1; k < HostIntake::kColourEntries; ++k) {
            const bool same = s.decision.red[k] == s.decision.red[k - 1]
                && s.decision.green[k] == s.decision.green[k - 1]
                && s.decision.blue[k] == s.decision.blue[k - 1];
            QVERIFY2(
                !same, qPrintable(QStringLiteral("entries %1 and %2 alike").arg(k - 1).arg(k)));
        }
    }
    const auto& a = m_handler->seen[0].decision;
    const auto& b = m_handler->seen[1].decision;
    QVERIFY(a.red[0] != b.red[0] || a.green[0] != b.green[0] || a.blue[0] != b.blue[0]);
}

void tst_HostSim::sequenceNumbersAndTimestamps()
{
    const QString stamps = m_dir.filePath(QStringLiteral("stamps.tsv"));
    const int frames = 24;
    QCOMPARE(run({ QStringLiteral("--socket"), m_path, QStringLiteral("--seq"),
                 QStringLiteral("--frames"), QString::number(frames), QStringLiteral("--rate"),
                 QStringLiteral("240"), QStringLiteral("--timestamps"), stamps,
                 QStringLiteral("--quiet") }),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(frames));

    QFile file(stamps);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QVERIFY(file.readLine().startsWith("# frame\tsend_ns\tanswer_ns\thandled\tresult\tcolours"));
    qint64 previousSend = -1;
    for (int i = 0; i < frames; ++i) {
        const QList<QByteArray> fields = file.readLine().trimmed().split('\t');
        QCOMPARE(fields.size(), 7);
        QCOMPARE(fields[0].toInt(), i);
        const qint64 send = fields[1].toLongLong();
        const qint64 answer = fields[2].toLongLong();
        QVERIFY(send > previousSend);
        QVERIFY(answer >= send);
        previousSend = send;
        QCOMPARE(fields[3], QByteArray("1"));
        QCOMPARE(fields[4], QByteArray("1"));

        const HostIntake::Decision& d = m_handler->seen[std::size_t(i)].decision;
        QCOMPARE(d.action, HostIntake::Action::Forward);
        const int seq = i + 1;
        QCOMPARE(d.red[0], (seq >> 16) & 0xFF);
        QCOMPARE(d.green[0], (seq >> 8) & 0xFF);
        QCOMPARE(d.blue[0], seq & 0xFF);
        QStringList colours;
        for (int k = 0; k < HostIntake::kColourEntries; ++k)
            colours << hexColour(d.red[k], d.green[k], d.blue[k]);
        QCOMPARE(QString::fromLatin1(fields[5]), colours.join(QLatin1Char(',')));
    }
    QVERIFY(file.readLine().isEmpty());
}

void tst_HostSim::durationGivesFrameCount()
{
    QCOMPARE(run({ QStringLiteral("--socket"), m_path, QStringLiteral("--duration"),
                 QStringLiteral("0.1"), QStringLiteral("--rate"), QStringLiteral("50"),
                 QStringLiteral("--quiet") }),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(5));
}

void tst_HostSim::declinedFramesAreCounted()
{
    QByteArray out;
    QCOMPARE(run({ QStringLiteral("--socket"), m_path, QStringLiteral("--dwdata"),
                     QStringLiteral("10000"), QStringLiteral("--frames"), QStringLiteral("3"),
                     QStringLiteral("--quiet") },
                 &out),
        0);
    QCOMPARE(m_handler->seen.size(), std::size_t(3));
    QCOMPARE(m_handler->seen[0].decision.action, HostIntake::Action::Decline);
    QVERIFY2(out.contains("handled 0, not handled 3, result 1: 0, result 0: 3"), out.constData());
    QVERIFY2(!out.contains("frame 0:"), out.constData());
}

void tst_HostSim::endpointFromEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRISMARA_HOST_SOCKET"), m_path);
    QCOMPARE(run({ QStringLiteral("--quiet") }, nullptr, env), 0);
    QCOMPARE(m_handler->seen.size(), std::size_t(1));
}

void tst_HostSim::noEndpoint()
{
    QCOMPARE(run({ QStringLiteral("--socket"), m_dir.filePath(QStringLiteral("nobody.sock")),
                 QStringLiteral("--timeout"), QStringLiteral("500") }),
        1);
    QVERIFY(m_handler->seen.empty());
}

void tst_HostSim::badOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("two colour values")
        << QStringList { QStringLiteral("--solid"), QStringLiteral("1,2") };
    QTest::newRow("colour over 255")
        << QStringList { QStringLiteral("--solid"), QStringLiteral("256,0,0") };
    QTest::newRow("solid and rainbow") << QStringList { QStringLiteral("--solid"),
        QStringLiteral("1,2,3"), QStringLiteral("--rainbow") };
    QTest::newRow("rate 0") << QStringList { QStringLiteral("--rate"), QStringLiteral("0") };
    QTest::newRow("negative frames")
        << QStringList { QStringLiteral("--frames"), QStringLiteral("-1") };
    QTest::newRow("type beyond 32 bits")
        << QStringList { QStringLiteral("--type"), QStringLiteral("4294967296") };
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--colour") };
    QTest::newRow("stray argument") << QStringList { QStringLiteral("frames") };
}

void tst_HostSim::badOptions()
{
    QFETCH(QStringList, args);
    QCOMPARE(run(QStringList { QStringLiteral("--socket"), m_path } + args), 2);
    QVERIFY(m_handler->seen.empty());
}

QTEST_GUILESS_MAIN(tst_HostSim)
#include "tst_hostsim.moc"
