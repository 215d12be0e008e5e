// The real tool binary, as a user starts it, offscreen in a private network
// against simulated devices. Only here do QApplication::exec() and Qt's own
// bookkeeping of windows run, so only here shows how the process ends. The window
// is driven from inside the process by tests/common/windowdriver.cpp (preloaded).

#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kLightIp = QStringLiteral("127.0.0.2");
const QString kCanvasIp = QStringLiteral("127.0.0.3");
const QString kLight = QStringLiteral("Light Panels 52:33:A1");
const QString kCanvas = QStringLiteral("Canvas 1F:2B:3C");
constexpr int kCommandMs = 10000;

// One tool process with its own profile folder, host endpoint and driver socket.
class ToolProcess
{
public:
    ToolProcess()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("PRISMARA_HOST_SOCKET"), hostSocket());
        env.insert(QStringLiteral("PRISMARA_WINDOW_DRIVER"), dir.filePath(QStringLiteral("driver")));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
        const QString first = QStringLiteral(PRISMARA_PRELOAD_FIRST);
        env.insert(QStringLiteral("LD_PRELOAD"), (first.isEmpty() ? QString() : first + QLatin1Char(':'))
                                                     + QStringLiteral(PRISMARA_WINDOW_DRIVER_LIB));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setProgram(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"));
    }

    ~ToolProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString hostSocket() const { return dir.filePath(QStringLiteral("host.sock")); }

    // Starts the tool and connects to its driver; false when either fails in time.
    bool start()
    {
        process.start();
        if (!process.waitForStarted(kCommandMs))
            return false;
        // The driver listens once the tool's application object exists.
        return QTest::qWaitFor(
            [this]() {
                if (process.state() != QProcess::Running)
                    return true;
                driver.connectToServer(dir.filePath(QStringLiteral("driver")));
                return driver.waitForConnected(200);
            },
            20000)
            && driver.state() == QLocalSocket::ConnectedState;
    }

    // One driver command and its answer ({"ok": false, "error": ...} when the
    // tool does not answer in time).
    QJsonObject command(const QString& line)
    {
        driver.write(line.toUtf8() + '\n');
        QElapsedTimer clock;
        clock.start();
        while (!driver.canReadLine() && clock.elapsed() < kCommandMs
               && driver.state() == QLocalSocket::ConnectedState)
            driver.waitForReadyRead(100);
        if (!driver.canReadLine())
            return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), "no answer to " + line}};
        return QJsonDocument::fromJson(driver.readLine()).object();
    }

    bool ok(const QString& line) { return command(line).value(QStringLiteral("ok")).toBool(); }

    QString status(const QString& name)
    {
        for (const QJsonValue& row : command(QStringLiteral("table")).value(QStringLiteral("rows")).toArray())
            if (row.toArray().at(0).toString() == name)
                return row.toArray().at(2).toString();
        return QString();
    }

    QStringList boxTitles()
    {
        QStringList titles;
        for (const QJsonValue& box : command(QStringLiteral("boxes")).value(QStringLiteral("boxes")).toArray())
            titles << box.toObject().value(QStringLiteral("title")).toString();
        return titles;
    }

    QTemporaryDir dir;
    QProcess process;
    QLocalSocket driver;
};

int framesAccepted(NanoleafSim& sim, const QString& ip)
{
    return sim.device(ip).value(QStringLiteral("frames")).toObject().value(QStringLiteral("accepted")).toInt();
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
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setPairing(kLightIp, true));
        QVERIFY(sim.setFault(kCanvasIp, QJsonObject{{QStringLiteral("http"), QStringLiteral("hang")}}));

        ToolProcess tool;
        QVERIFY(tool.start());
        QVERIFY(tool.ok(QStringLiteral("click SEARCH")));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kCanvas), QStringLiteral("Unpaired"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Unpaired"), 20000);
        QVERIFY(tool.ok("select " + kLight));
        QVERIFY(tool.ok(QStringLiteral("click PAIR")));
        QTRY_COMPARE_WITH_TIMEOUT(tool.status(kLight), QStringLiteral("Paired"), 20000);

        // The hanging device holds the request until the tool gives up on it
        // and shows the hint, by then behind a hidden window.
        QVERIFY(tool.ok("select " + kCanvas));
        QVERIFY(tool.ok(QStringLiteral("click PAIR")));
        QVERIFY(tool.ok(QStringLiteral("click Close_Window")));
        QCOMPARE(tool.command(QStringLiteral("visible")).value(QStringLiteral("visible")).toBool(), false);
        QTRY_COMPARE_WITH_TIMEOUT(tool.boxTitles(), QStringList{QStringLiteral("warning")}, 30000);
        QVERIFY(tool.ok(QStringLiteral("close box")));

        // Still there: a host frame reaches the paired device.
        QProcess host;
        host.start(QStringLiteral(PRISMARA_BIN_DIR "/host-sim"),
                   {QStringLiteral("--socket"), tool.hostSocket(), QStringLiteral("--frames"), QStringLiteral("1"),
                    QStringLiteral("--solid"), QStringLiteral("10,20,30"), QStringLiteral("--quiet")});
        QVERIFY(host.waitForFinished(30000));
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        QTRY_COMPARE_WITH_TIMEOUT(framesAccepted(sim, kLightIp), 1, 10000);
        const QJsonObject panel =
            sim.device(kLightIp).value(QStringLiteral("panels")).toArray().first().toObject();
        QCOMPARE(panel.value(QStringLiteral("r")).toInt(), 10);
        QCOMPARE(panel.value(QStringLiteral("b")).toInt(), 30);
        QCOMPARE(tool.boxTitles(), QStringList{});
        QCOMPARE(tool.process.state(), QProcess::Running);

        // SIGTERM is what ends it, cleanly.
        tool.process.terminate();
        QVERIFY(tool.process.waitForFinished(20000));
        QCOMPARE(tool.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_ToolProcess)
#include "tst_toolprocess.moc"
