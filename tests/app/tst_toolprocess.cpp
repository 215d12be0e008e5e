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

const QString kTool = QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool");
const QString kSecondIp = "127.0.0.4";
const QString kSecond = "Canvas 44:55:66";
const QStringList kOneFrame { "--frames", "1", "--solid", "10,20,30" };
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
        process.setProgram(kTool);
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

    QStringList errorLines() const { return QString::fromUtf8(output("stderr")).split('\n'); }

    // A key of the token profile, as an earlier run or the user left it.
    void store(const QString& key, const QVariant& value = kToken)
    {
        QSettings(dir.filePath("config/Zel/nanoleaf/nanoleafInfo.ini"), QSettings::IniFormat)
            .setValue(key, value);
    }

    // Starts the tool and connects to its driver (listening once the tool's
    // application object exists); false when either fails in time.
    bool start(const QStringList& arguments = {})
    {
        driver.abort();
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

    // The tool ends by itself (after SIGTERM unless terminate is false) with exit code 0.
    bool endsCleanly(bool terminate = true)
    {
        if (terminate)
            process.terminate();
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
    later.start(kTool, arguments);
    const bool ended = later.waitForFinished(60000);
    if (err != nullptr)
        *err = later.readAllStandardError();
    return ended && later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

// host-sim on tool's host socket until it ends: empty when it ends with exit code 0,
// else what it said.
QString runHost(const ToolProcess& tool, const QStringList& arguments)
{
    QProcess host;
    host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
        QStringList { "--socket", tool.hostSocket(), "--quiet" } + arguments);
    const bool ok = host.waitForFinished(30000) && host.exitCode() == 0;
    return ok ? QString() : "host-sim failed: " + host.readAllStandardError();
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

    // Once the main window is hidden, dismissing the pairing hint (the last visible window)
    // must not end the tool, which goes on forwarding; a token without --resume does nothing.
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
        QVERIFY(tool.ok("select " + kLight) && tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Paired"), 20000);

        QVERIFY(tool.ok("select " + kCanvas) && tool.ok("click PAIR"));
        QVERIFY(tool.ok("click Close_Window"));
        QVERIFY(!tool.visible());
        QTRY_COMPARE_WITH_TIMEOUT(
            tool.command("boxes")["boxes"], QJsonValue(QJsonArray { "warning" }), 30000);
        QVERIFY(tool.ok("close box"));

        // A host frame still goes out; SIGTERM ends the tool cleanly, also with the
        // host connected and its connection's thread waiting for the next frame.
        QLocalSocket host;
        host.connectToServer(tool.hostSocket());
        QVERIFY(host.waitForConnected(10000));
        const HostTest::Bytes frame = HostTest::colourFrame(1, 40, 50, 60);
        host.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QVERIFY(tool.endsCleanly());
    }

    // --resume pairs each device with a stored token, lists the others; max_fps=30 keeps a
    // 240/s host's frames 1/30 s apart, the last arriving still; SIGTERM gives scenes back.
    void resumePairsDevicesWithAStoredToken()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QCOMPARE(NanoleafSim::ownerPut(kLightIp, "effects", "{\"select\":\"Forest\"}"), 204);
        QCOMPARE(NanoleafSim::ownerPut(kLightIp, "state", "{\"brightness\":{\"value\":40}}"), 204);
        QCOMPARE(NanoleafSim::ownerPut(
                     kSecondIp, "state", "{\"hue\":{\"value\":120},\"sat\":{\"value\":50}}"),
            204);
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 4048, QUdpSocket::DontShareAddress));
        ToolProcess tool;
        tool.store(kLight);
        tool.store(kSecond);
        tool.store("settings/max_fps", 30);
        tool.store("intake/listen", "e131");
        tool.store("intake/universe", "9");
        QVERIFY(tool.start({ "--resume", "--listen", "all", "--universe", "2" }));
        for (const QString& ip : { kLightIp, kSecondIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);
        QCOMPARE(tool.status(kCanvas), QStringLiteral("Unpaired"));
        QCOMPARE(sim.requests(kCanvasIp), QJsonArray());

        // Lighting programs: [intake] under the command line; a port held elsewhere is one line,
        // the others listen; the pixel map once paired (their frames: tst_networkintake).
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

        QCOMPARE(runHost(tool, { "--rate", "240", "--frames", "480", "--seq" }), QString());
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
        QVERIFY(tool.endsCleanly());
        QCOMPARE(sim.shows(kLightIp), QString("effect Forest on 40 effect"));
        QCOMPARE(sim.shows(kSecondIp), QString("solid *Solid* on 100 hs"));
    }

    // One tool per session: a later start shows the running one's window (hidden, its channel
    // replacing a killed tool's) and hands options over; --quit ends it and waits for the end.
    void laterStartsReachTheRunningTool()
    {
        NanoleafSim sim(QJsonArray { knowing(NanoleafSim::lightPanels()) });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.store(kLight);
        QVERIFY(tool.start() && tool.visible());
        tool.process.kill(); // leaves its channel's socket behind
        QVERIFY(tool.process.waitForFinished(10000));
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
        QVERIFY(tool.endsCleanly(false));

        QByteArray err;
        QCOMPARE(laterStart(tool, { "--quit" }, &err), 1);
        QVERIFY2(err.contains("prismara-nanoleaf-tool: no tool is running, nothing to quit\n"),
            err.constData());

        // Tools started at the same moment end with one running, the others handing
        // over to it with exit code 0.
        std::vector<std::unique_ptr<QProcess>> starts;
        for (int i = 0; i < 4; ++i) {
            starts.push_back(std::make_unique<QProcess>());
            starts.back()->setProcessEnvironment(tool.laterEnvironment());
            starts.back()->start(kTool, QStringList());
        }
        const auto ended = [&starts] {
            return std::count_if(starts.begin(), starts.end(),
                [](const auto& p) { return p->state() == QProcess::NotRunning; });
        };
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 3, 60000);
        QCOMPARE(laterStart(tool, { "--quit" }), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 4, 10000);
        for (const auto& start : starts)
            QVERIFY(start->exitStatus() == QProcess::NormalExit && start->exitCode() == 0);
    }

    // Two of three paired devices become unreachable (addresses gone, lookups unanswered)
    // while the host streams at 60/s: its answers stay prompt, the third device keeps receiving.
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

        // Six seconds of frames; host-sim fails when an answer takes longer than 100 ms.
        QProcess host;
        host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
            { "--socket", tool.hostSocket(), "--rate", "60", "--frames", "360", "--timeout",
                QString::number(100 * PRISMARA_BOUND_FACTOR), "--quiet" });
        QTRY_VERIFY_WITH_TIMEOUT(sim.framesAccepted(kLightIp) >= 30, 10000);
        for (const QString& ip : gone)
            QVERIFY2(net.removeAddress(ip), qPrintable(net.errorString()));
        QVERIFY(host.waitForFinished(30000));
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        const int accepted = sim.framesAccepted(kLightIp);
        QVERIFY2(
            accepted >= 342, qPrintable(QString("the live device got %1 of 360").arg(accepted)));
    }

    // A host answering the scan under 2,000 names: 64 listed beside the known device (the new
    // Canvas dropped, the output says so), the window answers within 1 s, and so does SIGTERM.
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
        // --verbose: the scan's lines on standard output.
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
        // --verbose: the debug log on standard error; a host frame's first line comes
        // first, though it is written after the sends.
        QCOMPARE(runHost(tool, kOneFrame), QString());
        const QString err = tool.output("stderr");
        const int first = err.indexOf("ZelRGBMemoryControl::nativeEvent");
        QVERIFY2(err.contains("applicationDirPath") && first >= 0
                && first < err.indexOf("WM_COPYDATA = CUSTOM_TYPE_RGB"),
            qPrintable(err));

        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mdnsQueries().size(), 2, 10000);
        QElapsedTimer ending;
        ending.start();
        QVERIFY(tool.endsCleanly());
        QVERIFY2(ending.elapsed() < 1000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("%1 ms").arg(ending.elapsed())));
    }

    // --help prints the usage on standard output; an option that cannot be read
    // prints it on standard error, exit code 2.
    void commandLine()
    {
        for (const char* argument : { "--help", "--resum" }) {
            QProcess tool;
            tool.start(kTool, { argument });
            QVERIFY(tool.waitForFinished(20000));
            const bool help = argument == QString("--help");
            QCOMPARE(tool.exitCode(), help ? 0 : 2);
            const QByteArray usage
                = help ? tool.readAllStandardOutput() : tool.readAllStandardError();
            QVERIFY2(usage.contains("Usage: prismara-nanoleaf-tool [options]"), argument);
        }
    }

    // A device holding the scene's restore keeps the tool at most 2 s after SIGTERM; a second
    // SIGTERM ends it at once. QT_LOGGING_RULES turns the debug log on.
    void endingIsBounded()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        for (const bool twice : { false, true }) {
            const QString ip = twice ? kSecondIp : kLightIp;
            ToolProcess tool;
            tool.env.insert("QT_LOGGING_RULES", "default.debug=true");
            tool.store(twice ? kSecond : kLight);
            QVERIFY(tool.start({ "--resume" }));
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);
            QVERIFY(sim.setFault(ip, QJsonObject { { "http", "hang" } }));
            const int seen = sim.requests(ip).size();
            QElapsedTimer ending;
            ending.start();
            tool.process.terminate();
            if (twice) {
                // The restore is held by the device: the tool waits for it.
                QTRY_COMPARE_WITH_TIMEOUT(sim.requests(ip).size(), seen + 1, 10000);
                ending.restart();
                tool.process.terminate();
            }
            QVERIFY(tool.process.waitForFinished(20000));
            QVERIFY2(ending.elapsed() < (twice ? 1000 : 3000) * PRISMARA_BOUND_FACTOR,
                qPrintable(QString("%1 ms").arg(ending.elapsed())));
            QCOMPARE(tool.process.exitStatus(), twice ? QProcess::CrashExit : QProcess::NormalExit);
            QVERIFY(twice || tool.process.exitCode() == 0);
            // The unanswered restore's timers end with the thread they run on.
            const QStringList lines = tool.errorLines();
            QVERIFY2(
                twice || lines.filter("another thread").isEmpty(), qPrintable(lines.join('\n')));
            QVERIFY(!lines.filter("applicationDirPath").isEmpty());
        }
    }

    // --add: a device discovery cannot see is listed by address, paired, then streamed and
    // resumed by its name; an address without answer is listed so. No log without --verbose.
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
        QVERIFY(tool.ok("select " + kLightIp) && tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(tool.status(kLightIp), QString());
        QCOMPARE(runHost(tool, kOneFrame), QString());
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QVERIFY(tool.endsCleanly());
        // No debug log on standard error, no scan's lines on standard output.
        for (const char* label : { "applicationDirPath", "ZelRGBMemoryControl", "WM_COPYDATA" })
            QVERIFY2(!tool.output("stderr").contains(label), label);
        QVERIFY2(tool.output().isEmpty(), tool.output().constData());

        // The next start resumes it by name, with the token it got, no button.
        QVERIFY(sim.setPairing(kLightIp, false));
        QVERIFY(tool.start(QStringList { "--resume" } + added));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(sim.requestLines(kLightIp).count("POST /api/v1/new"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ToolProcess)
#include "tst_toolprocess.moc"
