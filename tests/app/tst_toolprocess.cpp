// The real tool binary against simulated devices: only here do exec() and Qt's
// window bookkeeping decide how the process ends. tests/common/windowdriver.cpp
// (preloaded) drives the window from inside.

#include "tests/common/hostrequest.h"
#include "tests/common/intakepackets.h"
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
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
        later.insert("QT_LOGGING_RULES", "*.debug=false");
        later.remove("LD_PRELOAD");
        return later;
    }

    QString hostSocket() const { return dir.filePath("host.sock"); }

    // What the tool wrote on standard output so far (the scans' diagnostics).
    QByteArray output() const
    {
        QFile file(dir.filePath("stdout"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // What a pairing in an earlier run left in the tool's token profile.
    void storeToken(const QString& name, const QString& token)
    {
        QSettings profile(
            dir.filePath("config/Zel/nanoleaf/nanoleafInfo.ini"), QSettings::IniFormat);
        profile.setValue(name, token);
    }

    // Standard error to a file of its own for errorLines(); before start().
    void keepErrors() { errorsToFile = true; }
    QStringList errorLines() const
    {
        QFile file(dir.filePath("stderr"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n')
                                              : QStringList();
    }

    // Starts the tool and connects to its driver (listening once the tool's
    // application object exists); false when either fails in time.
    bool start(const QStringList& arguments = {})
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(
            errorsToFile ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(dir.filePath("stdout"));
        if (errorsToFile)
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

    QString status(const QString& name)
    {
        for (const QJsonValue& row : command("table")["rows"].toArray())
            if (row[0] == name)
                return row[2].toString();
        return QString();
    }

    QStringList boxTitles() { return command("boxes")["boxes"].toVariant().toStringList(); }

    // SIGTERM, and the tool ends by itself with exit code 0.
    bool terminatesCleanly()
    {
        process.terminate();
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    bool errorsToFile = false;
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

// What a tool that crashed leaves behind: a socket file nothing listens on.
bool leaveStaleSocket(const QString& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= int(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound
        = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
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

// Whether the device took a frame that gave its panel `index` the value in `channel`
// ("r", "g", "b"): what it showed, even when its scene has come back since.
bool tookColour(NanoleafSim& sim, const QString& ip, int index, const char* channel, int value)
{
    const int id = sim.device(ip).value("panels")[index]["id"].toInt();
    for (const QJsonValue& frame : sim.frames(ip))
        for (const QJsonValue& r : frame["records"].toArray())
            if (r["panelId"].toInt() == id && r["applied"].toBool() && r[channel].toInt() == value)
                return true;
    return false;
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

    // The pairing hint is the last visible window once the main window is
    // hidden; dismissing it must not end the tool, which goes on forwarding.
    void dismissingTheHintWhileHiddenKeepsForwarding()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kCanvasIp, QJsonObject { { "http", "hang" } }));

        // Without --resume a stored token changes nothing at start: SEARCH makes
        // the simulator's only query.
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        QVERIFY(tool.start());
        QVERIFY(tool.command("visible")["visible"].toBool()); // the start is over
        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kCanvas), QStringLiteral("Unpaired"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Unpaired"), 20000);
        QCOMPARE(sim.mdnsQueries().size(), 1);
        QVERIFY(tool.ok("select " + kLight));
        QVERIFY(tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Paired"), 20000);

        // The hanging device's request ends in the hint, by then behind a hidden window.
        QVERIFY(tool.ok("select " + kCanvas));
        QVERIFY(tool.ok("click PAIR"));
        QVERIFY(tool.ok("click Close_Window"));
        QVERIFY(!tool.command("visible")["visible"].toBool());
        QTRY_COMPARE_WITH_TIMEOUT(tool.boxTitles(), QStringList { "warning" }, 30000);
        // Host frames reach the paired device with the hint open and closed.
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QVERIFY(tool.ok("close box"));
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 2, 10000);
        QCOMPARE(sim.device(kLightIp).value("panels")[0]["b"].toInt(), 30);
        QCOMPARE(tool.boxTitles(), QStringList {});
        QCOMPARE(tool.process.state(), QProcess::Running);

        // SIGTERM is what ends it, cleanly, also with a host still connected
        // and its connection's thread waiting for the next frame.
        QLocalSocket host;
        host.connectToServer(tool.hostSocket());
        QVERIFY(host.waitForConnected(10000));
        const HostTest::Bytes frame = HostTest::colourFrame(1, 40, 50, 60);
        host.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
        QVERIFY(host.waitForBytesWritten(10000));
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 3, 10000);
        QVERIFY(tool.terminatesCleanly());
    }

    // With --resume the tool searches and pairs, at its address, each device it has
    // a token for; one without a token is only listed: no pairing request, no hint.
    // max_fps=30 in the token profile and a host at 240 frames a second: no device gets
    // frames closer than 1/30 s, and the run's last frame, held back for its turn,
    // arrives all the same.
    void resumePairsDevicesWithAStoredToken()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        tool.storeToken(kSecond, kToken);
        QSettings(tool.dir.filePath("config/Zel/nanoleaf/nanoleafInfo.ini"), QSettings::IniFormat)
            .setValue("settings/max_fps", 30);
        QVERIFY(tool.start({ "--resume" }));
        for (const QString& ip : { kLightIp, kSecondIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);
        QCOMPARE(tool.status(kLight) + tool.status(kSecond), QString("PairedPaired"));
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kSecondIp), 1, 10000);

        QCOMPARE(tool.status(kCanvas), QStringLiteral("Unpaired"));
        QCOMPARE(sim.requests(kCanvasIp), QJsonArray());
        QCOMPARE(tool.boxTitles(), QStringList {});
        QCOMPARE(sim.mdnsQueries().size(), 1);

        QProcess host;
        host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
            { "--socket", tool.hostSocket(), "--rate", "240", "--frames", "480", "--seq",
                "--quiet" });
        QVERIFY(host.waitForFinished(30000));
        QCOMPARE(host.exitCode(), 0);
        for (const QString& ip : { kLightIp, kSecondIp }) {
            // Frame i's entry 0, the first record, carries the number i (--seq).
            const auto last = [&] {
                const QJsonValue r = sim.frames(ip).last()["records"][0];
                return r["r"].toInt() << 16 | r["g"].toInt() << 8 | r["b"].toInt();
            };
            QTRY_COMPARE_WITH_TIMEOUT(last(), 480, 10000);
            // The host's run after the first frame, received as sent, give or take the
            // receive stamps' 2 ms.
            const QJsonArray frames = sim.frames(ip);
            const qint64 span = frames.last()["rx_ns"].toString().toLongLong()
                - frames[1]["rx_ns"].toString().toLongLong() + 2000000;
            QVERIFY2((frames.size() - 2) * 1000000000LL <= span * 30,
                qPrintable(QString("%1 frames in %2 ms").arg(frames.size()).arg(span / 1000000)));
        }
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
        tool.env.remove("QT_LOGGING_RULES");
        if (!rules.isEmpty())
            tool.env.insert("QT_LOGGING_RULES", rules);
        tool.keepErrors();
        QVERIFY(tool.start(arguments));
        // The window's start, a scan, a host frame, and the end.
        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Unpaired"), 20000);
        sendFrame(tool);
        QVERIFY(tool.terminatesCleanly());
        const QString err = tool.errorLines().join('\n');
        const QByteArray out = tool.output();
        for (const char* label : { "applicationDirPath", "searchDeive_noBonjour",
                 "bonjourGetIpName", "WM_COPYDATA = CUSTOM_TYPE_RGB" })
            QVERIFY2(err.contains(label) == on, label);
        for (const char* line : { "Query: _nanoleafapi._tcp.local", "Hello, world" })
            QVERIFY2(out.contains(line) == on, line);
        if (!on)
            QCOMPARE(out, QByteArray());
    }

    // One tool per session: a later start shows the window of the one running
    // (started hidden, its channel taking the place of a crashed tool's) and hands
    // its options over (--resume, --listen); --quit ends it and returns once it has
    // ended.
    void laterStartsReachTheRunningTool()
    {
        NanoleafSim sim(QJsonArray { knowing(NanoleafSim::lightPanels()) });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        QVERIFY(leaveStaleSocket(tool.hostSocket() + ".instance"));
        tool.keepErrors();
        QVERIFY(tool.start({ "--hidden" }));
        QVERIFY(!tool.command("visible")["visible"].toBool());
        QCOMPARE(laterStart(tool, { "--resume", "--listen", "ddp" }), 0);
        QVERIFY(tool.command("visible")["visible"].toBool());
        QVERIFY(tool.errorLines().contains(
            "prismara-nanoleaf-tool: listening for DDP on every interface"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(kLightIp), QString("extControl-v2"), 20000);
        QCOMPARE(sim.mdnsQueries().size(), 1);

        // A running scan holds the end up for a few seconds; --quit waits it out.
        QVERIFY(tool.ok("click SEARCH"));
        QCOMPARE(laterStart(tool, { "--quit" }), 0);
        // Ended by then: its session lock is free.
        int lock = -1;
        std::string why;
        const std::string lockPath = QFile::encodeName(tool.hostSocket() + ".lock").toStdString();
        QCOMPARE(Platform::lockFile(lockPath, lock, why), Platform::LockState::Held);
        Platform::unlockFile(lock);
        QVERIFY(tool.process.waitForFinished(10000));
        QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.process.exitCode(), 0);

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
            starts.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        }
        for (const auto& start : starts)
            start->start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), QStringList());
        const auto ended = [&starts] {
            return std::count_if(starts.begin(), starts.end(),
                [](const auto& p) { return p->state() == QProcess::NotRunning; });
        };
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 3, 60000);
        for (const auto& start : starts)
            if (start->state() == QProcess::NotRunning)
                QCOMPARE(start->exitCode(), 0);
        QCOMPARE(laterStart(session, { "--quit" }), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 4, 10000);
        for (const auto& start : starts)
            QCOMPARE(start->exitStatus(), QProcess::NormalExit);
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
        QJsonArray devices { NanoleafSim::lightPanels() };
        for (const QString& ip : gone) {
            QVERIFY2(net.addAddress(ip), qPrintable(net.errorString()));
            names << "Light Panels 0A:00:0" + ip.right(1);
            devices.append(NanoleafSim::lightPanels(ip, { 82, 15, 200 }, names.last()));
        }
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject device = devices[i].toObject();
            device.insert("tokens", QJsonArray { kToken });
            devices.replace(i, device);
        }
        NanoleafSim sim(devices);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        for (const QString& name : names)
            tool.storeToken(name, kToken);
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

    // A host answering the scan 2,000 times under as many names: the table lists
    // 64 of them beside the device with a stored token (the new Canvas, answering
    // after the flood, is dropped with them, and the output says how many); the
    // window answers within a second throughout, and SIGTERM during the next such
    // scan ends the tool within a second.
    void discoveryFlood()
    {
        const QJsonArray known = knownDevicesAndANewOne();
        NanoleafSim sim(QJsonArray { known[2], known[0], known[1] }); // the flood first
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kSecondIp, QJsonObject { { "mdns", "flood" } }));
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        // The scan's lines on standard output say when it is over and what it dropped.
        tool.env.remove("QT_LOGGING_RULES");
        QVERIFY(tool.start({ "--verbose" }));
        QVERIFY(tool.ok("click SEARCH"));
        QElapsedTimer clock;
        clock.start();
        qint64 slowest = 0;
        QJsonArray rows;
        while (!tool.output().contains("Hello, world") && clock.elapsed() < 30000) {
            QElapsedTimer answer;
            answer.start();
            rows = tool.command("table")["rows"].toArray();
            slowest = std::max(slowest, answer.elapsed());
        }
        QVERIFY2(slowest < 1000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("the window took %1 ms").arg(slowest)));
        QVERIFY2(tool.output().contains("Dropped replies: "), tool.output().constData());
        rows = tool.command("table")["rows"].toArray();
        QStringList names;
        for (const QJsonValue& row : rows)
            names << row[0].toString();
        QCOMPARE(names.size(), 65);
        QVERIFY(names.contains(kLight) && !names.contains(kCanvas));
        QCOMPARE(names.filter(QRegularExpression("^Canvas 44:55:66 #\\d+$")).size(), 64);

        QVERIFY(tool.ok("click SEARCH"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mdnsQueries().size(), 2, 10000);
        QElapsedTimer ending;
        ending.start();
        QVERIFY(tool.terminatesCleanly());
        QVERIFY2(ending.elapsed() < 1000 * PRISMARA_BOUND_FACTOR,
            qPrintable(QString("%1 ms").arg(ending.elapsed())));
    }

    // Lighting programs through the real tool: the token profile's [intake] under the
    // command line's options; a port another program holds is one line naming protocol,
    // port and reason while the others listen; the map on standard error once the
    // devices are paired; Art-Net's Port-Address 1 is universe 2; the last source gone is
    // said once and host frames are forwarded again.
    void networkSources()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 4048, QUdpSocket::DontShareAddress));
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        tool.storeToken(kSecond, kToken);
        {
            QSettings profile(
                tool.dir.filePath("config/Zel/nanoleaf/nanoleafInfo.ini"), QSettings::IniFormat);
            profile.setValue("intake/listen", "e131");
            profile.setValue("intake/universe", "9");
            profile.setValue("intake/timeout", "0.5");
        }
        tool.keepErrors();
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

        QUdpSocket console;
        IntakePackets::Bytes channels;
        for (int i = 0; i < 16; ++i)
            channels.push_back(std::uint8_t(100 + i));
        const IntakePackets::Bytes dmx = IntakePackets::artDmx(1, 1, channels);
        QCOMPARE(console.writeDatagram(reinterpret_cast<const char*>(dmx.data()),
                     qint64(dmx.size()), QHostAddress::LocalHost, 6454),
            qint64(dmx.size()));
        // Shown until the source's 0.5 s are over, then the scenes come back: the
        // devices' frame records say what they showed.
        QTRY_VERIFY_WITH_TIMEOUT(tookColour(sim, kLightIp, 2, "b", 114), 10000);
        QVERIFY(tookColour(sim, kSecondIp, 0, "r", 100));
        QTRY_VERIFY_WITH_TIMEOUT(
            tool.errorLines().filter(p + "every network source gone").size() == 1, 10000);
        // The first host frame takes the devices back from their scenes.
        QVERIFY(QTest::qWaitFor(
            [&] {
                sendFrame(tool);
                return sim.device(kLightIp).value("panels")[2]["b"].toInt() == 30;
            },
            20000));
        QCOMPARE(tool.errorLines().filter(p + "network source live").size(), 1);
    }

    // --help prints the usage; an unknown option, a network option's value that cannot
    // be read, or an --add that is no address prints it on stderr, exit code 2.
    void commandLine()
    {
        for (const QStringList& arguments :
            { QStringList { "--help" }, QStringList { "--resum" }, QStringList { "--universe=0" },
                QStringList { "--listen=dmx" }, QStringList { "--add", "a b" } }) {
            QProcess tool;
            tool.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), arguments);
            QVERIFY(tool.waitForFinished(20000));
            QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
            const bool help = arguments.first() == "--help";
            QCOMPARE(tool.exitCode(), help ? 0 : 2);
            const QByteArray usage
                = help ? tool.readAllStandardOutput() : tool.readAllStandardError();
            QVERIFY2(usage.contains("Usage: prismara-nanoleaf-tool [options]")
                    && usage.contains("--resume") && usage.contains("--listen-address <ADDR>")
                    && usage.contains("--add <HOST[:PORT]>"),
                usage.constData());
        }
    }

    // At SIGTERM every streamed device gets back what it showed before: here a named
    // effect and a solid colour (which scene comes back how is the service's test).
    void scenesBackAtExit()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        const std::pair<QString, QByteArray> owners[]
            = { { kLightIp, "effects {\"select\":\"Forest\"}" },
                  { kLightIp, "state {\"brightness\":{\"value\":40}}" },
                  { kSecondIp, "state {\"hue\":{\"value\":120},\"sat\":{\"value\":50}}" } };
        for (const auto& [ip, put] : owners)
            QCOMPARE(NanoleafSim::ownerPut(
                         ip, put.left(put.indexOf(' ')), put.mid(put.indexOf(' ') + 1)),
                204);
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        tool.storeToken(kSecond, kToken);
        QVERIFY(tool.start({ "--resume" }));
        for (const QString& ip : { kLightIp, kSecondIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);

        QVERIFY(tool.terminatesCleanly());
        QCOMPARE(sim.shows(kLightIp), QString("effect Forest on 40 effect"));
        QCOMPARE(sim.shows(kSecondIp), QString("solid *Solid* on 100 hs"));
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
        tool.keepErrors();
        tool.storeToken(kLight, kToken);
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
        if (twice) {
            QCOMPARE(tool.process.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(tool.process.exitCode(), 0);
            // The unanswered restore's timers end with the thread they run on.
            QVERIFY2(tool.errorLines().filter("another thread").isEmpty(),
                qPrintable(tool.errorLines().join('\n')));
        }
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
        QCOMPARE(tool.status(kLightIp), QString("Unpaired"));
        QVERIFY(tool.ok("select " + kLightIp));
        QVERIFY(tool.ok("click PAIR"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(tool.status(kLightIp), QString());
        sendFrame(tool);
        QTRY_COMPARE_WITH_TIMEOUT(sim.framesAccepted(kLightIp), 1, 10000);
        tool.process.terminate();
        QVERIFY(tool.process.waitForFinished(20000));

        // The next start resumes it by name, with the token it got, no button.
        QVERIFY(sim.setPairing(kLightIp, false));
        tool.driver.abort();
        QVERIFY(tool.start(QStringList { "--resume" } + added));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QString("Paired"), 20000);
        QCOMPARE(sim.requestLines(kLightIp).count("POST /api/v1/new"), 1);
        QCOMPARE(tool.status(kLightIp), QString());
    }
};

QTEST_GUILESS_MAIN(tst_ToolProcess)
#include "tst_toolprocess.moc"
