#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

const QString kLightIp = QStringLiteral("127.0.0.2");
const QString kCanvasIp = QStringLiteral("127.0.0.3");
const QString kLightName = QStringLiteral("Light Panels 52:33:A1");
const QString kCanvasName = QStringLiteral("Canvas 1F:2B:3C");
// A scan listens 3 s; a failed pairing waits 6 s after the hint; a few devices.
constexpr int kRunMs = 90000;

QString autopilotPath()
{
    return QStringLiteral(PRISMARA_BIN_DIR "/prismara-autopilot");
}

// One autopilot with a profile directory and host endpoint of its own.
class AutopilotRun
{
public:
    explicit AutopilotRun(const QString& configDir = QString())
    {
        config = configDir.isEmpty() ? dir.filePath(QStringLiteral("config")) : configDir;
        report = dir.filePath(QStringLiteral("report.json"));
        socket = dir.filePath(QStringLiteral("host.sock"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("PRISMARA_HOST_SOCKET"), socket);
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
        process.setProcessEnvironment(env);
        process.setProgram(autopilotPath());
    }

    void start(const QStringList& arguments)
    {
        process.setArguments(arguments + QStringList { QStringLiteral("--report"), report });
        process.start();
    }

    // Exit code, or -1 when it did not end in time or crashed.
    int finish(int timeoutMs = kRunMs)
    {
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return -1;
        }
        output = process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QJsonObject reportJson() const
    {
        QFile file(report);
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    // Names in the report's pairing list whose "paired" is as given.
    QStringList attempted(bool paired) const
    {
        QStringList names;
        for (const QJsonValue& v : reportJson().value(QStringLiteral("pair")).toArray())
            if (v.toObject().value(QStringLiteral("paired")).toBool() == paired)
                names.append(v.toObject().value(QStringLiteral("name")).toString());
        names.sort();
        return names;
    }

    QTemporaryDir dir;
    QString config;
    QString report;
    QString socket;
    QProcess process;
    QByteArray output;
};

QString failuresOf(const QJsonObject& report)
{
    QStringList list;
    for (const QJsonValue& v : report.value(QStringLiteral("failures")).toArray())
        list.append(v.toString());
    return list.join(QStringLiteral("; "));
}

bool inExternalControl(NanoleafSim& sim, const QString& ip)
{
    return sim.device(ip)
        .value(QStringLiteral("mode"))
        .toString()
        .startsWith(QLatin1String("extControl"));
}

} // namespace

class tst_Autopilot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void steps_data();
    void steps();
    void storedTokenNeedsNoPairingMode();
    void holdForwardsWhileHidden();
    void badCommandLine_data();
    void badCommandLine();
};

void tst_Autopilot::initTestCase()
{
    QVERIFY2(TestNetwork::inPrivateNetwork(), "run through tools/netns-run (NETNS test)");
    QVERIFY2(QFile::exists(autopilotPath()), qPrintable(autopilotPath()));
}

void tst_Autopilot::steps_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("lightPairing");
    QTest::addColumn<bool>("canvasPairing");
    QTest::addColumn<bool>("silent"); // no device answers the scan
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("paired");
    QTest::addColumn<QStringList>("notPaired");
    QTest::addColumn<QString>("failure"); // part of the report's failures, or empty

    const QString search = QStringLiteral("--search");
    const QString all = QStringLiteral("--pair-all");
    const QString pair = QStringLiteral("--pair");

    QTest::newRow("every device, both in pairing mode")
        << QStringList { search, all } << true << true << false << 0
        << QStringList { kCanvasName, kLightName } << QStringList {} << QString();
    QTest::newRow("one device by name")
        << QStringList { search, pair, kCanvasName } << true << true << false << 0
        << QStringList { kCanvasName } << QStringList {} << QString();
    QTest::newRow("a device not in pairing mode fails, the other still pairs")
        << QStringList { search, all } << true << false << false << 1 << QStringList { kLightName }
        << QStringList { kCanvasName } << QStringLiteral("pairing hint");
    QTest::newRow("a name not in the table")
        << QStringList { search, pair, QStringLiteral("Light Panels 00:00:00") } << true << true
        << false << 1 << QStringList {} << QStringList {}
        << QStringLiteral("not in the device table");
    QTest::newRow("no device answers the scan")
        << QStringList { search, all } << true << true << true << 1 << QStringList {}
        << QStringList {} << QStringLiteral("no device answered");
    QTest::newRow("search only") << QStringList { search } << false << false << false << 0
                                 << QStringList {} << QStringList {} << QString();
}

void tst_Autopilot::steps()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, lightPairing);
    QFETCH(bool, canvasPairing);
    QFETCH(bool, silent);
    QFETCH(int, exitCode);
    QFETCH(QStringList, paired);
    QFETCH(QStringList, notPaired);
    QFETCH(QString, failure);

    NanoleafSim sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QVERIFY(sim.setPairing(kLightIp, lightPairing));
    QVERIFY(sim.setPairing(kCanvasIp, canvasPairing));
    if (silent) {
        QVERIFY(sim.setFault(
            kLightIp, QJsonObject { { QStringLiteral("mdns"), QStringLiteral("silent") } }));
        QVERIFY(sim.setFault(
            kCanvasIp, QJsonObject { { QStringLiteral("mdns"), QStringLiteral("silent") } }));
    }

    AutopilotRun run;
    run.start(arguments);
    const int code = run.finish();
    const QJsonObject report = run.reportJson();
    QVERIFY2(code == exitCode,
        qPrintable(QStringLiteral("exit %1, wanted %2; output:\n%3")
                       .arg(code)
                       .arg(exitCode)
                       .arg(QString::fromLocal8Bit(run.output))));
    QCOMPARE(report.value(QStringLiteral("phase")).toString(), QStringLiteral("done"));
    QCOMPARE(report.value(QStringLiteral("exit_code")).toInt(), exitCode);

    // Every device answering the scan is found and listed, paired or not.
    QStringList found;
    for (const QJsonValue& v : report.value(QStringLiteral("found")).toArray())
        found.append(v.toString());
    found.sort();
    QCOMPARE(found, silent ? QStringList {} : (QStringList { kCanvasName, kLightName }));
    QCOMPARE(report.value(QStringLiteral("table")).toArray().size(), found.size());
    for (const QJsonValue& v : report.value(QStringLiteral("table")).toArray()) {
        const QJsonObject row = v.toObject();
        const QString status = row.value(QStringLiteral("status")).toString();
        QCOMPARE(status,
            paired.contains(row.value(QStringLiteral("name")).toString())
                ? QStringLiteral("Paired")
                : QStringLiteral("Unpaired"));
    }

    QCOMPARE(run.attempted(true), paired);
    QCOMPARE(run.attempted(false), notPaired);
    if (failure.isEmpty())
        QCOMPARE(failuresOf(report), QString());
    else
        QVERIFY2(failuresOf(report).contains(failure), qPrintable(failuresOf(report)));

    // The devices see it too: a paired one was switched to external control,
    // the others were left alone.
    QCOMPARE(inExternalControl(sim, kLightIp), paired.contains(kLightName));
    QCOMPARE(inExternalControl(sim, kCanvasIp), paired.contains(kCanvasName));
}

void tst_Autopilot::storedTokenNeedsNoPairingMode()
{
    NanoleafSim sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QVERIFY(sim.setPairing(kLightIp, true));

    QTemporaryDir profile;
    AutopilotRun first(profile.path());
    first.start({ QStringLiteral("--search"), QStringLiteral("--pair"), kLightName });
    QCOMPARE(first.finish(), 0);

    // The token stays in the profile: the next run pairs with the button not held.
    QVERIFY(sim.setPairing(kLightIp, false));
    const int tokensBefore = sim.device(kLightIp).value(QStringLiteral("tokens")).toArray().size();
    AutopilotRun second(profile.path());
    second.start({ QStringLiteral("--search"), QStringLiteral("--pair"), kLightName });
    QCOMPARE(second.finish(), 0);
    QCOMPARE(second.attempted(true), QStringList { kLightName });
    QCOMPARE(sim.device(kLightIp).value(QStringLiteral("tokens")).toArray().size(), tokensBefore);
}

void tst_Autopilot::holdForwardsWhileHidden()
{
    NanoleafSim sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QVERIFY(sim.setPairing(kLightIp, true));

    AutopilotRun run;
    run.start({ QStringLiteral("--search"), QStringLiteral("--pair"), kLightName,
        QStringLiteral("--hide"), QStringLiteral("--hold"), QStringLiteral("120") });
    QTRY_VERIFY_WITH_TIMEOUT(
        run.reportJson().value(QStringLiteral("phase")).toString() == QLatin1String("holding"),
        kRunMs);
    QVERIFY(run.reportJson().value(QStringLiteral("window_hidden")).toBool());

    QProcess host;
    host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
        { QStringLiteral("--socket"), run.socket, QStringLiteral("--frames"), QStringLiteral("3"),
            QStringLiteral("--solid"), QStringLiteral("10,20,30"), QStringLiteral("--quiet") });
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);

    // Every frame reached the hidden tool's device, with the host's colours.
    QTRY_COMPARE_WITH_TIMEOUT(sim.device(kLightIp)
                                  .value(QStringLiteral("frames"))
                                  .toObject()
                                  .value(QStringLiteral("accepted"))
                                  .toInt(),
        3, 10000);
    const QJsonObject panel
        = sim.device(kLightIp).value(QStringLiteral("panels")).toArray().first().toObject();
    QCOMPARE(panel.value(QStringLiteral("r")).toInt(), 10);
    QCOMPARE(panel.value(QStringLiteral("g")).toInt(), 20);
    QCOMPARE(panel.value(QStringLiteral("b")).toInt(), 30);

    // SIGTERM ends the hold early and cleanly.
    run.process.terminate();
    QCOMPARE(run.finish(20000), 0);
    QVERIFY(run.reportJson().value(QStringLiteral("hold_ended_early")).toBool());
}

void tst_Autopilot::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("negative hold")
        << QStringList { QStringLiteral("--hold"), QStringLiteral("-1") } << 2;
    QTest::newRow("hold not a number")
        << QStringList { QStringLiteral("--hold"), QStringLiteral("soon") } << 2;
    QTest::newRow("hold past a day")
        << QStringList { QStringLiteral("--hold"), QStringLiteral("90000") } << 2;
    QTest::newRow("hold without value") << QStringList { QStringLiteral("--hold") } << 2;
    QTest::newRow("empty device name") << QStringList { QStringLiteral("--pair"), QString() } << 2;
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--pair-some") } << 2;
    QTest::newRow("stray argument") << QStringList { QStringLiteral("pair") } << 2;
    QTest::newRow("help") << QStringList { QStringLiteral("--help") } << 0;
}

void tst_Autopilot::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);

    AutopilotRun run;
    run.process.setArguments(arguments);
    run.process.start();
    QCOMPARE(run.finish(30000), exitCode);
    // Nothing was started, so there is nothing to report.
    QVERIFY(!QFile::exists(run.report));
}

QTEST_GUILESS_MAIN(tst_Autopilot)
#include "tst_autopilot.moc"
