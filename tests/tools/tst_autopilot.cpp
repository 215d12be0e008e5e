// What the autopilot adds to the tool: its command line, the devices it picks,
// its report and exit code. The flows it drives are tested on the tool itself.

#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QString kLight = QStringLiteral("Light Panels 52:33:A1");
const QString kCanvas = QStringLiteral("Canvas 1F:2B:3C");

// Runs the autopilot with a profile and host endpoint of its own; the exit code,
// or -1 when it did not end in time. `report` gets its report, if any.
int runAutopilot(const QStringList& arguments, QJsonObject& report)
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("PRISMARA_HOST_SOCKET"), dir.filePath(QStringLiteral("host.sock")));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    QProcess process;
    process.setProcessEnvironment(env);
    const QString reportPath = dir.filePath(QStringLiteral("report.json"));
    process.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-autopilot"),
        arguments + QStringList { QStringLiteral("--report"), reportPath });
    if (!process.waitForFinished(90000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    QFile file(reportPath);
    report = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                            : QJsonObject();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class tst_Autopilot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "run through tools/netns-run (NETNS test)");
    }

    void steps_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("canvasPairing");
        QTest::addColumn<bool>("silent"); // no device answers the scan
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("paired"); // the report's pairing list: name=paired, ...
        QTest::addColumn<QString>("failure"); // part of the report's failures, or empty
        const QString search = QStringLiteral("--search");
        QTest::newRow("every device") << QStringList { search, "--pair-all" } << true << false << 0
                                      << "Canvas 1F:2B:3C=1, Light Panels 52:33:A1=1"
                                      << "";
        QTest::newRow("one not in pairing mode")
            << QStringList { search, "--pair-all" } << false << false << 1
            << "Canvas 1F:2B:3C=0, Light Panels 52:33:A1=1"
            << "pairing hint";
        QTest::newRow("one by name") << QStringList { search, "--pair", kCanvas } << true << false
                                     << 0 << "Canvas 1F:2B:3C=1"
                                     << "";
        QTest::newRow("a name not in the table")
            << QStringList { search, "--pair", "Light Panels 00:00:00" } << true << false << 1 << ""
            << "not in the device table";
        QTest::newRow("no device answers")
            << QStringList { search, "--pair-all" } << true << true << 1 << ""
            << "no device answered";
    }

    void steps()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, canvasPairing);
        QFETCH(bool, silent);
        QFETCH(int, exitCode);
        QFETCH(QString, paired);
        QFETCH(QString, failure);
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setPairing(QStringLiteral("127.0.0.2"), true));
        QVERIFY(sim.setPairing(QStringLiteral("127.0.0.3"), canvasPairing));
        for (const QString ip : { "127.0.0.2", "127.0.0.3" })
            QVERIFY(!silent || sim.setFault(ip, QJsonObject { { "mdns", "silent" } }));
        QJsonObject report;
        QCOMPARE(runAutopilot(arguments, report), exitCode);
        QCOMPARE(report.value("phase").toString(), QStringLiteral("done"));
        QCOMPARE(report.value("exit_code").toInt(), exitCode);
        QCOMPARE(report.value("found").toArray().size(), silent ? 0 : 2);
        QStringList attempts;
        for (const QJsonValue& v : report.value("pair").toArray())
            attempts << v["name"].toString() + "=" + QString::number(v["paired"].toBool());
        attempts.sort();
        QCOMPARE(attempts.join(", "), paired);
        QStringList failures;
        for (const QJsonValue& v : report.value("failures").toArray())
            failures << v.toString();
        QVERIFY2(failure.isEmpty() == failures.isEmpty() && failures.join("; ").contains(failure),
            qPrintable(failures.join("; ")));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("negative hold") << QStringList { "--hold", "-1" } << 2;
        QTest::newRow("hold past a day") << QStringList { "--hold", "90000" } << 2;
        QTest::newRow("unknown option") << QStringList { "--pair-some" } << 2;
        QTest::newRow("help") << QStringList { "--help" } << 0;
    }

    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QJsonObject report;
        QCOMPARE(runAutopilot(arguments, report), exitCode);
        QVERIFY(report.isEmpty()); // nothing started, nothing reported
    }
};

QTEST_GUILESS_MAIN(tst_Autopilot)
#include "tst_autopilot.moc"
