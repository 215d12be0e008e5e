// The real tool binary against simulated devices: only here do exec() and Qt's
// window bookkeeping decide how the process ends. tests/common/windowdriver.cpp
// (preloaded) drives the window from inside.

#include "tests/common/hostrequest.h"
#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"
#include "tests/common/unreachablenet.h"

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
#include <QtTest>

#include <algorithm>

namespace
{

using namespace Sim;

const QString kSecondIp = "127.0.0.4";
const QString kSecond = "Canvas 44:55:66";
constexpr int kCommandMs = 10000;

// One tool process with its own profile folder, host endpoint and driver socket.
class ToolProcess
{
public:
    ToolProcess()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("PRISMARA_HOST_SOCKET", hostSocket());
        env.insert("PRISMARA_WINDOW_DRIVER", dir.filePath("driver"));
        env.insert("QT_LOGGING_RULES", "*.debug=false");
        const QString first = PRISMARA_PRELOAD_FIRST;
        env.insert("LD_PRELOAD", (first.isEmpty() ? "" : first + ':') + PRISMARA_WINDOW_DRIVER_LIB);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(dir.filePath("stdout"));
        process.setProgram(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"));
    }

    ~ToolProcess()
    {
        process.kill();
        process.waitForFinished(5000);
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

    // Starts the tool and connects to its driver (listening once the tool's
    // application object exists); false when either fails in time.
    bool start(const QStringList& arguments = {})
    {
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

    QTemporaryDir dir;
    QProcess process;
    QLocalSocket driver;
};

// One solid host frame of 10,20,30, answered by the tool.
void sendFrame(const ToolProcess& tool)
{
    QProcess host;
    host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
        { "--socket", tool.hostSocket(), "--frames", "1", "--solid", "10,20,30", "--quiet" });
    QVERIFY(host.waitForFinished(30000));
    QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
}

// The Light Panels and a second Canvas know kToken from an earlier run; the first
// Canvas, in pairing mode, would answer a pairing request.
QJsonArray knownDevicesAndANewOne()
{
    QJsonObject light = NanoleafSim::lightPanels();
    light.insert("tokens", QJsonArray { kToken });
    QJsonObject canvas = NanoleafSim::canvas();
    canvas.insert("pairing_mode", true);
    QJsonObject second = NanoleafSim::canvas(kSecondIp, { 4660, 22136 }, kSecond);
    second.insert("tokens", QJsonArray { kToken });
    return QJsonArray { light, canvas, second };
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
        tool.process.terminate();
        QVERIFY(tool.process.waitForFinished(20000));
        QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.process.exitCode(), 0);
    }

    // With --resume the tool searches and pairs, at its address, each device it has
    // a token for; one without a token is only listed: no pairing request, no hint.
    void resumePairsDevicesWithAStoredToken()
    {
        NanoleafSim sim(knownDevicesAndANewOne());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ToolProcess tool;
        tool.storeToken(kLight, kToken);
        tool.storeToken(kSecond, kToken);
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
        QVERIFY2(worstNs < 100000000,
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
        QVERIFY(tool.start());
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
        QVERIFY2(slowest < 1000, qPrintable(QString("the window took %1 ms").arg(slowest)));
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
        tool.process.terminate();
        QVERIFY(tool.process.waitForFinished(20000));
        QVERIFY2(ending.elapsed() < 1000, qPrintable(QString("%1 ms").arg(ending.elapsed())));
        QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.process.exitCode(), 0);
    }

    // --help prints the usage; an unknown option, or an --add that is no address,
    // prints it on stderr, exit code 2.
    void commandLine()
    {
        for (const QStringList& arguments : { QStringList { "--help" }, QStringList { "--resum" },
                 QStringList { "--add", "a b" } }) {
            QProcess tool;
            tool.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), arguments);
            QVERIFY(tool.waitForFinished(20000));
            QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
            const bool help = arguments.first() == "--help";
            QCOMPARE(tool.exitCode(), help ? 0 : 2);
            const QByteArray usage
                = help ? tool.readAllStandardOutput() : tool.readAllStandardError();
            QVERIFY2(usage.contains("Usage: prismara-nanoleaf-tool [options]")
                    && usage.contains("--resume") && usage.contains("--add <HOST[:PORT]>"),
                usage.constData());
        }
    }

    // At SIGTERM every streamed device gets back what it showed before: a named
    // effect, a solid colour, and of a temporary effect its brightness and on.
    void scenesBackAtExit()
    {
        const QString solidIp = kCanvasIp, temporaryIp = kSecondIp;
        const QJsonArray devices = knownDevicesAndANewOne();
        QJsonObject canvas = devices[1].toObject();
        canvas.insert("tokens", QJsonArray { kToken });
        NanoleafSim sim(QJsonArray { devices[0], canvas, devices[2] });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        const std::pair<QString, QByteArray> owners[]
            = { { kLightIp, "effects {\"select\":\"Forest\"}" },
                  { kLightIp, "state {\"brightness\":{\"value\":40}}" },
                  { solidIp, "state {\"hue\":{\"value\":120},\"sat\":{\"value\":50}}" },
                  { temporaryIp,
                      "effects {\"write\":{\"command\":\"display\",\"animType\":\"static\","
                      "\"animData\":\"1 4660 1 10 20 30 0 1\"}}" },
                  { temporaryIp, "state {\"brightness\":{\"value\":30}}" } };
        for (const auto& [ip, put] : owners)
            QCOMPARE(NanoleafSim::ownerPut(
                         ip, put.left(put.indexOf(' ')), put.mid(put.indexOf(' ') + 1)),
                204);
        ToolProcess tool;
        for (const QString& name : { kLight, kCanvas, kSecond })
            tool.storeToken(name, kToken);
        QVERIFY(tool.start({ "--resume" }));
        for (const QString& ip : { kLightIp, solidIp, temporaryIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 20000);

        tool.process.terminate();
        QVERIFY(tool.process.waitForFinished(20000));
        QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.process.exitCode(), 0);
        QCOMPARE(sim.shows(kLightIp), QString("effect Forest on 40 effect"));
        QCOMPARE(sim.shows(solidIp), QString("solid *Solid* on 100 hs"));
        QCOMPARE(sim.shows(temporaryIp), QString("extControl-v2 *ExtControl* on 30 effect"));
        QCOMPARE(sim.requestBodies(temporaryIp).last(),
            QString("PUT state {\"brightness\":{\"value\":30},\"on\":{\"value\":true}}"));
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
        QVERIFY2(ending.elapsed() < (twice ? 1000 : 3000),
            qPrintable(QString("%1 ms").arg(ending.elapsed())));
        if (twice) {
            QCOMPARE(tool.process.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(tool.process.exitCode(), 0);
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
