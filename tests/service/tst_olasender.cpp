// A sender nobody here wrote: Debian's OLA (olad with its E1.31 and then its Art-Net
// plugin) drives a simulated Light Panels through the service, in a private network.
// olad refuses to run as root, so it and its clients run as nobody.

#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/intakesettings.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Sim;

namespace
{

constexpr int kCommandMs = 15000;
// The user and group nobody, without the caller's groups: no session of its own, so
// the process is the program itself.
const QStringList kNobody { "--reuid=65534", "--regid=65534", "--clear-groups", "--" };

// command as nobody, bounded in time; its output, or a null text when it failed.
QString asNobody(const QStringList& command)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("setpriv", kNobody + command);
    if (!p.waitForFinished(kCommandMs)) {
        p.kill();
        p.waitForFinished(1000);
        return QString();
    }
    const QString out = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? out + ' ' : QString();
}

bool ip(const QStringList& arguments)
{
    QProcess p;
    p.start("ip", arguments);
    return p.waitForFinished(kCommandMs) && p.exitStatus() == QProcess::NormalExit
        && p.exitCode() == 0;
}

// One olad with a configuration folder of its own.
class Olad
{
public:
    ~Olad() { stop(); }

    bool ready() const { return m_dir.isValid(); }

    // Runs olad once so that it writes every plugin's configuration file, then turns
    // every plugin off.
    bool configure()
    {
        if (!m_dir.isValid() || ::chown(qPrintable(m_dir.path()), 65534, 65534) != 0)
            return false;
        if (deviceId(QString()).isNull())
            return false;
        stop();
        for (QDirIterator it(m_dir.path(), { "ola-*.conf" }); it.hasNext();)
            if (!set(QFileInfo(it.next()).fileName(), { { "enabled", "false" } }))
                return false;
        return true;
    }

    // Sets keys in one plugin's file (olad stopped).
    bool set(const QString& file, const QList<QPair<QString, QString>>& values)
    {
        QFile f(m_dir.filePath(file));
        if (!f.open(QIODevice::ReadOnly))
            return false;
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        f.close();
        for (const auto& [key, value] : values) {
            lines = lines.filter(
                QRegularExpression("^(?!" + QRegularExpression::escape(key) + " = )"));
            lines << key + " = " + value;
        }
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && f.write(lines.join('\n').toUtf8() + '\n') > 0;
    }

    // Starts olad (when not running) and returns the id of the device whose
    // description starts with `name` once olad lists it (any device for an empty
    // name); a null text when none comes.
    QString deviceId(const QString& name)
    {
        if (m_process.state() == QProcess::NotRunning) {
            m_process.setProcessChannelMode(QProcess::ForwardedChannels);
            m_process.setStandardOutputFile(QProcess::nullDevice());
            m_process.start("setpriv",
                kNobody + QStringList { "olad", "--no-http", "-l", "1", "-c", m_dir.path() });
            m_process.waitForStarted(kCommandMs);
        }
        const QRegularExpression device("Device (\\d+): " + QRegularExpression::escape(name));
        for (int look = 0; look < 100 && m_process.state() == QProcess::Running; ++look) {
            const QRegularExpressionMatch m = device.match(asNobody({ "ola_dev_info" }));
            if (m.hasMatch())
                return m.captured(1);
            QTest::qWait(100);
        }
        return QString();
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(kCommandMs)) {
            m_process.kill();
            m_process.waitForFinished(1000);
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

class tst_OlaSender : public QObject
{
    Q_OBJECT

    QTemporaryDir config;
    QThread worker;
    nanoleafAPIsync* service = nullptr;
    std::unique_ptr<NanoleafSim> sim;
    Olad olad;

    QStringList shown()
    {
        QStringList out;
        for (const QJsonValue& p : sim->device(kLightIp)["panels"].toArray())
            out << QString("%1,%2,%3").arg(p["r"].toInt()).arg(p["g"].toInt()).arg(p["b"].toInt());
        return out;
    }

    // One frame from OLA's universe; the Light Panels show it; olad stopped, the
    // source is lost and a host frame shows again.
    void sendAndLose(const QString& device, const QString& universe)
    {
        QVERIFY(!asNobody({ "ola_patch", "-d", device, "-p", "0", "-u", universe }).isNull());
        QVERIFY(
            !asNobody({ "ola_set_dmx", "-u", universe, "-d", "255,128,7,1,2,3,4,5,6" }).isNull());
        QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringList({ "255,128,7", "1,2,3", "4,5,6" }), 10000);
        olad.stop();
        const QString rgb = QString("%1,%1,%1").arg(universe.toInt() + 20);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                int c[12];
                std::fill(c, c + 12, universe.toInt() + 20);
                service->sendUdpDAta(12, c, c, c);
                return shown() == QStringList({ rgb, rgb, rgb });
            }(),
            10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "run through tools/netns-run (NETNS test)");
        QVERIFY2(!QStandardPaths::findExecutable("olad").isEmpty(),
            "olad missing: install the Debian package ola (tools/install-deps)");
        if (::geteuid() != 0 || asNobody({ "true" }).isNull())
            QSKIP("olad refuses root and this namespace has no other user: run as root, as CI "
                  "does");
        QVERIFY(olad.configure());

        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        QVERIFY(TokenProfile::write(kLight, kToken));
        QJsonObject light = NanoleafSim::lightPanels();
        light.insert("tokens", QJsonArray { kToken });
        sim.reset(new NanoleafSim({ light }));
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));
        worker.start();
        deviceMap.clear();
        service = new nanoleafAPIsync;
        service->moveToThread(&worker);
        service->setNanoIP("http://" + kLightIp + ":16021", kLightIp, kLight, 0, true);
        QCOMPARE(service->checkQfileToken(kLight), kToken);
        service->GetRequestBtn();
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 20000);
        NetworkIntakeSettings settings;
        QString problem;
        QVERIFY(settings.readListen("e131,artnet", problem));
        QVERIFY(settings.readTimeout("0.5", problem));
        service->startIntake(settings, [](const std::string&) {});
    }

    void cleanupTestCase()
    {
        olad.stop();
        delete service;
        worker.quit();
        worker.wait();
        sim.reset();
        deviceMap.clear();
    }

    // E1.31 to universe 1's multicast group from the namespace's own address.
    void e131()
    {
        QVERIFY(olad.set("ola-e131.conf",
            { { "enabled", "true" }, { "ip", "10.77.0.1" }, { "output_ports", "1" },
                { "input_ports", "0" } }));
        QVERIFY(olad.set("ola-artnet.conf", { { "enabled", "false" } }));
        const QString device = olad.deviceId("E1.31");
        QVERIFY(!device.isNull());
        sendAndLose(device, "1");
    }

    // Art-Net broadcast on an interface that has a broadcast address (the namespace's
    // own has none), Port-Address 0: universe 1.
    void artNet()
    {
        QVERIFY(ip({ "link", "add", "ola0", "type", "veth", "peer", "name", "ola1" }));
        QVERIFY(ip({ "addr", "add", "198.18.0.1/24", "brd", "+", "dev", "ola0" }));
        QVERIFY(ip({ "link", "set", "ola0", "up" }) && ip({ "link", "set", "ola1", "up" }));
        QVERIFY(olad.set("ola-e131.conf", { { "enabled", "false" } }));
        QVERIFY(olad.set("ola-artnet.conf",
            { { "enabled", "true" }, { "ip", "198.18.0.1" }, { "output_ports", "1" },
                { "always_broadcast", "true" } }));
        const QString device = olad.deviceId("ArtNet");
        QVERIFY(!device.isNull());
        sendAndLose(device, "0");
        ip({ "link", "del", "ola0" });
    }
};

QTEST_GUILESS_MAIN(tst_OlaSender)
#include "tst_olasender.moc"
