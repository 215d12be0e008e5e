// host-sim, the host simulator of the demo and the soak tests, against a host
// endpoint of this test: what it sends for its options, and what it refuses.

#include "common/hostintakeprint.h"
#include "sync/hostintake.h"
#include "sync/hostmessageserver.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Answers as the tool does and writes down each message: "switch N", or "frame T
// r,g,b r,g,b" (sync type, entries 0 and 11), or "dwData D" for one not ours.
class Recorder : public HostMessageHandler
{
public:
    HostIntake::HostAnswer hostMessage(const HostIntake::Message& m) override
    {
        const HostIntake::Decision d = HostIntake::evaluate(m, type);
        type = d.syncDeviceType;
        if (d.action == HostIntake::Action::SyncSwitch)
            seen << QStringLiteral("switch %1").arg(d.syncDeviceType);
        else if (d.action == HostIntake::Action::Decline)
            seen << QStringLiteral("dwData %1").arg(m.dwData);
        else
            seen << QStringLiteral("frame %1 ").arg(d.record.syncDeviceType) + entryColours(d);
        return HostIntake::HostAnswer { d.handled, d.result };
    }
    int type = 1;
    QStringList seen;
};

} // namespace

class tst_HostSim : public QObject
{
    Q_OBJECT

private slots:
    void runs_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("seen");
        QTest::addColumn<QString>("output"); // a part of its standard output
        const QString solid = QStringLiteral("frame 1 10,20,30 10,20,30");
        QTest::newRow("solid") << QStringList { "--solid", "10,20,30", "--frames", "2" } << 0
                               << solid + "; " + solid
                               << "frames sent 2 of 2, handled 2, not handled 0, result 1: 2";
        QTest::newRow("switch first")
            << QStringList { "--switch", "3", "--solid", "1,2,3", "--frames", "1" } << 0
            << "switch 3; frame 3 1,2,3 1,2,3"
            << "handled 0 result 0";
        QTest::newRow("someone else's dwData")
            << QStringList { "--dwdata", "10000", "--frames", "1", "--quiet" } << 0
            << "dwData 10000"
            << "handled 0, not handled 1, result 1: 0, result 0: 1";
        for (const char* bad : { "--solid 256,0,0", "--rate 0", "--type 4294967296", "frames" })
            QTest::newRow(bad) << QString(bad).split(' ') << 2 << ""
                               << "";
    }

    void runs()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, seen);
        QFETCH(QString, output);
        QTemporaryDir dir;
        Recorder recorder;
        HostMessageServer server(&recorder);
        QVERIFY(server.listen(dir.filePath(QStringLiteral("host.sock"))));
        QProcess process;
        QSignalSpy finished(&process, SIGNAL(finished(int, QProcess::ExitStatus)));
        process.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
            QStringList { "--socket", server.fullServerName() } + args);
        QVERIFY(finished.wait(60000)); // this thread's event loop serves it meanwhile
        QCOMPARE(process.exitCode(), exitCode);
        QCOMPARE(recorder.seen.join("; "), seen);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.contains(output.toLatin1()), out.constData());
    }

    void noEndpoint()
    {
        QCOMPARE(QProcess::execute(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
                     { "--socket", "/nonexistent/host.sock", "--timeout", "500" }),
            1);
    }
};

QTEST_GUILESS_MAIN(tst_HostSim)
#include "tst_hostsim.moc"
