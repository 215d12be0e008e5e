// The real tool binary against simulated devices: only here do exec() and Qt's
// window bookkeeping decide how the process ends. tests/common/windowdriver.cpp
// (preloaded) drives the window from inside.

#include "tests/common/hostrequest.h"
#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"
#include "tests/common/unreachablenet.h"

#include "platform/userfiles.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>

namespace
{

using namespace Sim;

const QString kSecondIp = "127.0.0.4";
const QString kSecond = "Canvas 44:55:66";
constexpr int kCommandMs = 10000;

// One tool process with its own profile folder, host endpoint (and so its own
// session lock and activation channel beside it) and driver socket. Change env
// before start().
class ToolProcess
{
public:
    ToolProcess()
    {
        env = laterEnvironment();
        env.insert("PRISMARA_WINDOW_DRIVER", dir.filePath("driver"));
        const QString first = PRISMARA_PRELOAD_FIRST;
        env.insert("LD_PRELOAD", (first.isEmpty() ? "" : first + ':') + PRISMARA_WINDOW_DRIVER_LIB);
        process.setProgram(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"));
    }

    ~ToolProcess()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    // What a later start of the same user session sees: no window driver, which
    // would take this tool's driver socket over.
    QProcessEnvironment laterEnvironment() const
    {
        QProcessEnvironment later = QProcessEnvironment::systemEnvironment();
        later.insert("QT_QPA_PLATFORM", "offscreen");
        later.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        later.insert("PRISMARA_HOST_SOCKET", hostSocket());
        later.remove("QT_LOGGING_RULES");
        later.remove("LD_PRELOAD");
        return later;
    }

    QString hostSocket() const { return dir.filePath("host.sock"); }

    // What the tool wrote so far on "stdout" (the scans' diagnostics) or "stderr".
    QByteArray output(const char* channel = "stdout") const
    {
        QFile file(dir.filePath(channel));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A key of the token profile, as an earlier run or the user left it.
    void store(const QString& key, const QVariant& value = kToken)
    {
        QSettings(dir.filePath("config/Zel/nanoleaf/nanoleafInfo.ini"), QSettings::IniFormat)
            .setValue(key, value);
    }

    QStringList errorLines() const { return QString::fromUtf8(output("stderr")).split('\n'); }

    // Starts the tool and connects to its driver (listening once the tool's
    // application object exists); false when either fails in time.
    bool start(const QStringList& arguments = {})
    {
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(dir.filePath("stdout"));
        process.setStandardErrorFile(dir.filePath("stderr"));
        process.setArguments(arguments);
        process.start();
        return process.waitForStarted(kCommandMs)
            && QTest::qWaitFor(
                [this]() {
                    if (process.state() != QProcess::Running)
                        return true;
                    driver.connectToServer(dir.filePath("driver"));
                    return driver.waitForConnected(200);
                },
                20000)
            && driver.state() == QLocalSocket::ConnectedState;
    }

    // One driver command and its answer ({} when the tool does not answer in time).
    QJsonObject command(const QString& line)
    {
        driver.write(line.toUtf8() + '\n');
        QDeadlineTimer deadline(kCommandMs);
        while (!driver.canReadLine() && !deadline.hasExpired()
            && driver.state() == QLocalSocket::ConnectedState)
            driver.waitForReadyRead(100);
        return QJsonDocument::fromJson(driver.readLine()).object();
    }

    bool ok(const QString& line) { return command(line).value("ok").toBool(); }

    bool visible() { return command("visible")["visible"].toBool(); }

    QString status(const QString& name)
    {
        for (const QJsonValue& row : command("table")["rows"].toArray())
            if (row[0] == name)
                return row[2].toString();
        return QString();
    }

    // SIGTERM, and the tool ends by itself with exit code 0.
    bool terminatesCleanly()
    {
        process.terminate();
        return endedCleanly();
    }

    bool endedCleanly()
    {
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    QProcess process;
    QLocalSocket driver;
};

// A later start of the tool in tool's session: its exit code (-1 when it does not
// end in time), its standard error in err.
int laterStart(const ToolProcess& tool, const QStringList& arguments, QByteArray* err = nullptr)
{
    QProcess later;
    later.setProcessEnvironment(tool.laterEnvironment());
    later.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), arguments);
    const bool ended = later.waitForFinished(60000);
    if (err != nullptr)
        *err = later.readAllStandardError();
    return ended && later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

// One solid host frame of 10,20,30, answered by the tool.
void sendFrame(const ToolProcess& tool)
{
    QProcess host;
    host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
        { "--socket", tool.hostSocket(), "--frames", "1", "--solid", "10,20,30", "--quiet" });
    QVERIFY(host.waitForFinished(30000));
    QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
}

// The device, knowing kToken from an earlier run.
QJsonObject knowing(QJsonObject device)
{
    device.insert("tokens", QJsonArray { kToken });
    return device;
}

// The Light Panels and a second Canvas know kToken from an earlier run; the first
// Canvas, in pairing mode, would answer a pairing request.
QJsonArray knownDevicesAndANewOne()
{
    QJsonObject canvas = NanoleafSim::canvas();
    canvas.insert("pairing_mode", true);
    return QJsonArray { knowing(NanoleafSim::lightPanels()), canvas,
        knowing(NanoleafSim::canvas(kSecondIp, { 4660, 22136 }, kSecond)) };
}

} // namespace

class tst_ToolProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "run through tools/netns-run (NETNS test)");
    }

    // The pairing hint is the last visible window once the main window is hidden;
    // dismissing it must not end the tool, which goes on forwarding. A stored token
    // without --resume changes nothing at start.
    void dismissingTheHintWhileHiddenKeepsForwarding()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kCanvasIp, QJsonObject { { "http", "hang" } }));
        ToolProcess tool;
        tool.store(kLight);
        QVERIFY(tool.start());
        QVERIFY(tool.visible()); // the start is over
        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kCanvas), QStringLiteral("Unpaired"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Unpaired"), 20000);
        QVERIFY(tool.ok("select " + kLight));
        QVERIFY(tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Paired"), 20000);

        QVERIFY(tool.ok("select " + kCanvas));
        QVERIFY(tool.ok("click PAIR"));
        QVERIFY(tool.ok("click Close_Window"));
        QVERIFY(!tool.visible());
        QTRY_COMPARE_WITH_TIMEOUT(
            tool.command("boxes")["boxes"], QJsonValue(QJsonArray { "warning" }), 30000);
        QVERIFY(tool.ok("close box"));
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QCOMPARE(tool.process.state(), QProcess::Running);

        // SIGTERM ends it cleanly, also with a host connected and its connection's
        // thread waiting for the next frame.
        QLocalSocket host;
        host.connectToServer(tool.hostSocket());
        QVERIFY(host.waitForConnected(10000));
        const HostTest::Bytes frame = HostTest::colourFrame(1, 40, 50, 60);
        host.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 2, 10000);
        QVERIFY(tool.terminatesCleanly());
    }

    // With --resume the tool pairs each device it has a token for; one without is only
    // listed. With max_fps=30 and a host at 240 frames a second no device gets frames
    // closer than 1/30 s, and the last one, held back for its turn, arrives all the same.
    // At SIGTERM each device gets back what it showed before (here an effect and a colour).
    void resumePairsDevicesWithAStoredToken()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QCOMPARE(NanoleafSim::ownerPut(kLightIp, "effects", "{\"select\":\"Forest\"}"), 204);
        QCOMPARE(NanoleafSim::ownerPut(kLightIp, "state", "{\"brightness\":{\"value\":40}}"), 204);
        QCOMPARE(NanoleafSim::ownerPut(
                     kSecondIp, "state", "{\"hue\":{\"value\":120},\"sat\":{\"value\":50}}"),
            204);
        ToolProcess tool;
        tool.store(kLight);
        tool.store(kSecond);
        tool.store("settings/max_fps", 30);
        QVERIFY(tool.start({ "--resume" }));
        for (const QString& ip : { kLightIp, kSecondIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);
        QCOMPARE(tool.status(kCanvas), QStringLiteral("Unpaired"));
        QCOMPARE(sim.requests(kCanvasIp), QJsonArray());

        QProcess host;
        host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
            { "--socket", tool.hostSocket(), "--rate", "240", "--frames", "480", "--seq",
                "--quiet" });
        QVERIFY(host.waitForFinished(30000));
        QCOMPARE(host.exitCode(), 0);
        for (const QString& ip : { kLightIp, kSecondIp }) {
            // Frame i's first record carries the number i (--seq).
            const auto last = [&] {
                const QJsonValue r = sim.frames(ip).last()["records"][0];
                return r["r"].toInt() << 16 | r["g"].toInt() << 8 | r["b"].toInt();
            };
            QTRY_COMPARE_WITH_TIMEOUT(last(), 480, 10000);
            // After the first frame, give or take the receive stamps' 2 ms.
            const QJsonArray frames = sim.frames(ip);
            const qint64 span = frames.last()["rx_ns"].toString().toLongLong()
                - frames[1]["rx_ns"].toString().toLongLong() + 2000000;
            QVERIFY2((frames.size() - 2) * 1000000000LL <= span * 30,
                qPrintable(QString("%1 frames in %2 ms").arg(frames.size()).arg(span / 1000000)));
        }
        QVERIFY(tool.terminatesCleanly());
        QCOMPARE(sim.shows(kLightIp), QString("effect Forest on 40 effect"));
        QCOMPARE(sim.shows(kSecondIp), QString("solid *Solid* on 100 hs"));
    }

    // The debug log (qDebug lines on standard error, the scan's lines on standard
    // output) is off unless --verbose or QT_LOGGING_RULES turns it on.
    void debugLogOnlyWhenAskedFor_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("rules"); // QT_LOGGING_RULES; empty: unset
        QTest::addColumn<bool>("on");
        QTest::newRow("by default") << QStringList() << QString() << false;
        QTest::newRow("--verbose") << QStringList { "--verbose" } << QString() << true;
        QTest::newRow("QT_LOGGING_RULES") << QStringList() << "default.debug=true" << true;
    }

    void debugLogOnlyWhenAskedFor()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, rules);
        QFETCH(bool, on);
        NanoleafSim sim(QJsonArray { NanoleafSim::lightPanels() });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        if (!rules.isEmpty())
            tool.env.insert("QT_LOGGING_RULES", rules);
        QVERIFY(tool.start(arguments));
        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Unpaired"), 20000);
        sendFrame(tool);
        QVERIFY(tool.terminatesCleanly());
        const QString err = tool.errorLines().join('\n');
        for (const char* label : { "applicationDirPath", "WM_COPYDATA = CUSTOM_TYPE_RGB" })
            QVERIFY2(err.contains(label) == on, label);
        // The frame's first line still comes first, though it is written after the sends.
        const int first = err.indexOf("ZelRGBMemoryControl::nativeEvent");
        QVERIFY(on ? first >= 0 && first < err.indexOf("WM_COPYDATA") : first < 0);
        QCOMPARE(tool.output().contains("Hello, world"), on);
        QVERIFY(on || tool.output().isEmpty());
    }

    // One tool per session: a later start shows the window of the one running
    // (started hidden, its channel taking the place of a killed tool's) and hands
    // its options over; --quit ends it and returns once it has ended.
    void laterStartsReachTheRunningTool()
    {
        NanoleafSim sim(QJsonArray { knowing(NanoleafSim::lightPanels()) });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.store(kLight);
        QVERIFY(tool.start() && tool.visible());
        tool.process.kill(); // leaves its channel's socket behind
        QVERIFY(tool.process.waitForFinished(10000));
        tool.driver.abort();
        QVERIFY(tool.start({ "--hidden" }));
        QVERIFY(!tool.visible());
        QCOMPARE(laterStart(tool, { "--resume", "--listen", "ddp" }), 0);
        QVERIFY(tool.visible());
        QVERIFY(tool.errorLines().contains(
            "prismara-nanoleaf-tool: listening for DDP on every interface"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(kLightIp), QString("extControl-v2"), 20000);

        // A running scan holds the end up for a few seconds; --quit waits it out, so
        // the session lock is free when it returns.
        QVERIFY(tool.ok("click SEARCH"));
        QCOMPARE(laterStart(tool, { "--quit" }), 0);
        int lock = -1;
        std::string why;
        const std::string lockPath = QFile::encodeName(tool.hostSocket() + ".lock").toStdString();
        QCOMPARE(Platform::lockFile(lockPath, lock, why), Platform::LockState::Held);
        Platform::unlockFile(lock);
        QVERIFY(tool.endedCleanly());

        QByteArray err;
        QCOMPARE(laterStart(tool, { "--quit" }, &err), 1);
        QVERIFY2(err.contains("prismara-nanoleaf-tool: no tool is running, nothing to quit\n"),
            err.constData());
    }

    // Tools started at the same moment end with one running, the others handing
    // over to it with exit code 0.
    void startsAtOnceLeaveOneTool()
    {
        const ToolProcess session; // its folders; not started itself
        std::vector<std::unique_ptr<QProcess>> starts;
        for (int i = 0; i < 4; ++i) {
            starts.push_back(std::make_unique<QProcess>());
            starts.back()->setProcessEnvironment(session.laterEnvironment());
            starts.back()->start(
                QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), QStringList());
        }
        const auto ended = [&starts] {
            return std::count_if(starts.begin(), starts.end(),
                [](const auto& p) { return p->state() == QProcess::NotRunning; });
        };
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 3, 60000);
        QCOMPARE(laterStart(session, { "--quit" }), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 4, 10000);
        for (const auto& start : starts)
            QVERIFY(start->exitStatus() == QProcess::NormalExit && start->exitCode() == 0);
    }

    // Two of three paired devices become unreachable while the host streams at
    // 60 frames/s (their addresses gone, so nothing answers the lookup their
    // datagrams wait for): the host's answers stay prompt and the third device
    // keeps receiving.
    void unreachableDevicesHoldNoFrameUp()
    {
        UnreachableNet net;
        QVERIFY2(net.up(), qPrintable(net.errorString()));
        const QStringList gone { "198.18.0.2", "198.18.0.3" };
        QStringList names { kLight };
        QJsonArray devices { knowing(NanoleafSim::lightPanels()) };
        for (const QString& ip : gone) {
            QVERIFY2(net.addAddress(ip), qPrintable(net.errorString()));
            names << "Light Panels 0A:00:0" + ip.right(1);
            devices.append(knowing(NanoleafSim::lightPanels(ip, { 82, 15, 200 }, names.last())));
        }
        NanoleafSim sim(devices);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        for (const QString& name : names)
            tool.store(name);
        QVERIFY(tool.start({ "--resume" }));
        for (const QString& name : names)
            QTRY_COMPARE_WITH_TIMEOUT(tool.status(name), QStringLiteral("Paired"), 20000);

        const QString stamps = tool.dir.filePath("stamps.tsv");
        QProcess host;
        host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
            { "--socket", tool.hostSocket(), "--rate", "60", "--duration", "6", "--timestamps",
                stamps, "--quiet" });
        QTRY_VERIFY_WITH_TIMEOUT(sim.framesAccepted(kLightIp) >= 30, 10000);
        for (const QString& ip : gone)
            QVERIFY2(net.removeAddress(ip), qPrintable(net.errorString()));
        QVERIFY(host.waitForFinished(30000));
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());

        // frame, send_ns, answer_ns, ...: one line per frame.
        QFile file(stamps);
        QVERIFY(file.open(QIODevice::ReadOnly));
        qint64 worstNs = 0;
        int frames = 0;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() < 3)
                continue;
            ++frames;
            worstNs = qMax(worstNs, fields[2].toLongLong() - fields[1].toLongLong());
        }
        QVERIFY(frames >= 300);
        QVERIFY2(worstNs < 100000000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("the host waited %1 ms for an answer").arg(worstNs / 1000000)));
        const int accepted = sim.framesAccepted(kLightIp);
        QVERIFY2(accepted * 100 >= frames * 95,
            qPrintable(QString("the live device got %1 of %2 frames").arg(accepted).arg(frames)));
    }

    // A host answering the scan 2,000 times under as many names: the table lists 64
    // of them beside the device with a stored token (the new Canvas, answering after
    // the flood, is dropped with them, and the output says so); the window answers
    // within a second throughout, and SIGTERM during the next scan ends the tool
    // within a second.
    void discoveryFlood()
    {
        const QJsonArray known = knownDevicesAndANewOne();
        NanoleafSim sim(QJsonArray { known[2], known[0], known[1] }); // the flood first
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kSecondIp, QJsonObject { { "mdns", "flood" } }));
        ToolProcess tool;
        tool.store(kLight);
        QVERIFY(tool.start({ "--verbose" }));
        QVERIFY(tool.ok("click SEARCH"));
        QElapsedTimer clock;
        clock.start();
        qint64 slowest = 0;
        while (!tool.output().contains("Hello, world") && clock.elapsed() < 30000) {
            QElapsedTimer answer;
            answer.start();
            tool.command("table");
            slowest = std::max(slowest, answer.elapsed());
        }
        QVERIFY2(slowest < 1000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("the window took %1 ms").arg(slowest)));
        QVERIFY2(tool.output().contains("Dropped replies: "), tool.output().constData());
        QStringList names;
        for (const QJsonValue& row : tool.command("table")["rows"].toArray())
            names << row[0].toString();
        QCOMPARE(names.size(), 65);
        QVERIFY(names.contains(kLight) && !names.contains(kCanvas));

        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mdnsQueries().size(), 2, 10000);
        QElapsedTimer ending;
        ending.start();
        QVERIFY(tool.terminatesCleanly());
        QVERIFY2(ending.elapsed() < 1000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("%1 ms").arg(ending.elapsed())));
    }

    // Lighting programs through the real tool (what their frames do is tst_networkintake's):
    // the token profile's [intake] under the command line's options; a port another
    // program holds is one line naming protocol, port and reason while the others listen;
    // the map on standard error once the devices are paired.
    void networkSources()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 4048, QUdpSocket::DontShareAddress));
        ToolProcess tool;
        tool.store(kLight);
        tool.store(kSecond);
        tool.store("intake/listen", "e131");
        tool.store("intake/universe", "9");
        QVERIFY(tool.start({ "--resume", "--listen", "all", "--universe", "2" }));
        const QString p = "prismara-nanoleaf-tool: ";
        const QString map
            = p + "pixel map: 5 pixels: DDP bytes 0-14, universes 2-2 (Art-Net Port-Addresses 1-1)";
        QTRY_VERIFY_WITH_TIMEOUT(tool.errorLines().contains(map), 20000);
        const QStringList lines = tool.errorLines();
        QVERIFY2(lines.contains(p
                     + "DDP not listening: UDP port 4048 cannot be bound (Address "
                       "already in use)"),
            qPrintable(lines.join('\n')));
        QVERIFY(lines.contains(p + "listening for E1.31, Art-Net on every interface"));
    }

    // --help prints the usage on standard output; an option that cannot be read
    // prints it on standard error, exit code 2.
    void commandLine()
    {
        for (const char* argument : { "--help", "--resum" }) {
            QProcess tool;
            tool.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), { argument });
            QVERIFY(tool.waitForFinished(20000));
            const bool help = argument == QString("--help");
            QCOMPARE(tool.exitCode(), help ? 0 : 2);
            const QByteArray usage
                = help ? tool.readAllStandardOutput() : tool.readAllStandardError();
            QVERIFY2(usage.contains("Usage: prismara-nanoleaf-tool [options]"), argument);
        }
    }

    // A device that holds the request giving its scene back keeps the tool at
    // most 2 s after SIGTERM; a second SIGTERM meanwhile ends it at once.
    void endingIsBounded_data()
    {
        QTest::addColumn<bool>("twice");
        QTest::newRow("one SIGTERM") << false;
        QTest::newRow("a second SIGTERM") << true;
    }

    void endingIsBounded()
    {
        QFETCH(bool, twice);
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.store(kLight);
        QVERIFY(tool.start({ "--resume" }));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(kLightIp), QString("extControl-v2"), 20000);
        QVERIFY(sim.setFault(kLightIp, QJsonObject { { "http", "hang" } }));
        const int seen = sim.requests(kLightIp).size();
        QElapsedTimer ending;
        ending.start();
        tool.process.terminate();
        if (twice) {
            // The restore is held by the device: the tool waits for it.
            QTRY_COMPARE_WITH_TIMEOUT(sim.requests(kLightIp).size(), seen + 1, 10000);
            ending.restart();
            tool.process.terminate();
        }
        QVERIFY(tool.process.waitForFinished(20000));
        QVERIFY2(ending.elapsed() < (twice ? 1000 : 3000) * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("%1 ms").arg(ending.elapsed())));
        QCOMPARE(tool.process.exitStatus(), twice ? QProcess::CrashExit : QProcess::NormalExit);
        QVERIFY(twice || tool.process.exitCode() == 0);
        // The unanswered restore's timers end with the thread they run on.
        QVERIFY2(twice || tool.errorLines().filter("another thread").isEmpty(),
            qPrintable(tool.errorLines().join('\n')));
    }

    // A device discovery cannot see, given by --add: listed by its address, paired,
    // then listed, streamed and resumed under the name it gave; an address nothing
    // answers at is listed as such.
    void deviceByAddress()
    {
        QJsonObject light = NanoleafSim::lightPanels();
        light.insert("pairing_mode", true);
        NanoleafSim sim(QJsonArray { light });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kLightIp, QJsonObject { { "mdns", "silent" } }));
        ToolProcess tool;
        const QStringList added { "--add", kLightIp, "--add", "127.0.0.9" };
        QVERIFY(tool.start(added));
        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status("127.0.0.9"), QString("No answer"), 20000);
        QVERIFY(tool.ok("select " + kLightIp));
        QVERIFY(tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(tool.status(kLightIp), QString());
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QVERIFY(tool.terminatesCleanly());

        // The next start resumes it by name, with the token it got, no button.
        QVERIFY(sim.setPairing(kLightIp, false));
        tool.driver.abort();
        QVERIFY(tool.start(QStringList { "--resume" } + added));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(sim.requestLines(kLightIp).count("POST /api/v1/new"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ToolProcess)
#include "tst_toolprocess.moc"
