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
        QTest::addColumn<QString>("arguments"); // after --search
        QTest::addColumn<bool>("canvasPairing");
        QTest::addColumn<bool>("silent"); // no device answers the scan
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("paired"); // the report's pairing list: name=paired, ...
        QTest::addColumn<QString>("failure"); // part of the report's failures, or empty
        const auto row = [](const char* name, const char* arguments, bool canvasPairing,
                             bool silent, int exitCode, const char* paired, const char* failure) {
            QTest::newRow(name) << arguments << canvasPairing << silent << exitCode << paired
                                << failure;
        };
        row("every device", "--pair-all", true, false, 0,
            "Canvas 1F:2B:3C=1, Light Panels 52:33:A1=1", "");
        row("one not in pairing mode", "--pair-all", false, false, 1,
            "Canvas 1F:2B:3C=0, Light Panels 52:33:A1=1", "pairing hint");
        row("one by name", "--pair|Canvas 1F:2B:3C", true, false, 0, "Canvas 1F:2B:3C=1", "");
        row("a name not in the table", "--pair|Light Panels 00:00:00", true, false, 1, "",
            "not in the device table");
        row("no device answers", "--pair-all", true, true, 1, "", "no device answered");
    }

    void steps()
    {
        QFETCH(QString, arguments);
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
        QCOMPARE(runAutopilot(("--search|" + arguments).split('|'), report), exitCode);
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
        for (const char* bad : { "--hold -1", "--hold 90000", "--pair-some" })
            QTest::newRow(bad) << QString(bad).split(' ') << 2;
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
