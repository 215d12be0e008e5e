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

// Runs the autopilot on a profile of its own: the exit code (-1: not ended in time), the report.
int runAutopilot(const QStringList& arguments, QJsonObject& report)
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("PRISMARA_HOST_SOCKET", dir.filePath("host.sock"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(PRISMARA_BIN_DIR "/prismara-autopilot",
        arguments + QStringList { "--report", dir.filePath("report.json") });
    if (!process.waitForFinished(90000))
        return -1; // ~QProcess kills it
    QFile file(dir.filePath("report.json"));
    report = QJsonDocument::fromJson(file.open(QIODevice::ReadOnly) ? file.readAll() : "").object();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class tst_Autopilot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestNetwork::inPrivateNetwork()); } // NETNS test

    void steps_data()
    {
        QTest::addColumn<QString>("arguments"); // after --search
        QTest::addColumn<QString>("devices"); // both in pairing mode, "Canvas off", or "silent"
        QTest::addColumn<QString>("paired"); // the report's pairing list: name=paired, ...
        QTest::addColumn<QString>("failure"); // part of the report's failures (exit code 1)
        const auto row = [](const char* name, const char* arguments, const char* devices,
                             const char* paired, const char* failure) {
            QTest::newRow(name) << arguments << devices << paired << failure;
        };
        row("one not in pairing mode", "--pair-all", "Canvas off",
            "Canvas 1F:2B:3C=0, Light Panels 52:33:A1=1", "pairing hint");
        row("one by name", "--pair|Canvas 1F:2B:3C", "", "Canvas 1F:2B:3C=1", "");
        row("a name not in the table", "--pair|Light Panels 00:00:00", "", "",
            "not in the device table");
        row("no device answers", "--pair-all", "silent", "", "no device answered");
    }

    void steps()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, devices);
        QFETCH(QString, paired);
        QFETCH(QString, failure);
        const int exitCode = failure.isEmpty() ? 0 : 1;
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setPairing("127.0.0.2", true));
        QVERIFY(sim.setPairing("127.0.0.3", devices != "Canvas off"));
        for (const QString ip : { "127.0.0.2", "127.0.0.3" })
            QVERIFY(devices != "silent" || sim.setFault(ip, QJsonObject { { "mdns", "silent" } }));
        QJsonObject report;
        QCOMPARE(runAutopilot(("--search|" + arguments).split('|'), report), exitCode);
        QCOMPARE(report.value("exit_code").toInt(), exitCode);
        QCOMPARE(report.value("found").toArray().size(), devices == "silent" ? 0 : 2);
        QStringList attempts;
        for (const QJsonValue& v : report.value("pair").toArray())
            attempts << v["name"].toString() + "=" + QString::number(v["paired"].toBool());
        attempts.sort();
        QCOMPARE(attempts.join(", "), paired);
        const QString failures
            = QJsonDocument(report.value("failures").toArray()).toJson(QJsonDocument::Compact);
        QVERIFY2(failure.isEmpty() == (failures == "[]") && failures.contains(failure),
            qPrintable(failures));
    }

    void badCommandLine()
    {
        for (const char* line : { "--hold -1", "--hold 90000", "--pair-some", "--help" }) {
            QJsonObject report;
            QCOMPARE(
                runAutopilot(QString(line).split(' '), report), qstrcmp(line, "--help") ? 2 : 0);
            QVERIFY2(report.isEmpty(), line); // nothing started, nothing reported
        }
    }
};

QTEST_GUILESS_MAIN(tst_Autopilot)
#include "tst_autopilot.moc"
