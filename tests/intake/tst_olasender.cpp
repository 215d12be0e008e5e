// A sender nobody here wrote: Debian's OLA (olad with its E1.31 and then its Art-Net
// plugin) sends to the receivers, in a private network. olad refuses to run as root, so
// it and its clients run as nobody.

#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <atomic>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int kCommandMs = 15000;
// The user and group nobody, without the caller's groups: no session of its own, so
// the process is the program itself.
const QStringList kNobody { "--reuid=65534", "--regid=65534", "--clear-groups", "--" };

// What program printed, when it ended well within the bound; a null text otherwise.
QString run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ended = p.waitForFinished(kCommandMs);
    if (!ended) {
        p.kill();
        p.waitForFinished(1000);
    }
    const QString out = QString::fromLocal8Bit(p.readAll()) + ' ';
    return ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? out : QString();
}

QString asNobody(const QStringList& command)
{
    return run("setpriv", kNobody + command);
}

bool ip(const QStringList& arguments)
{
    return !run("ip", arguments).isNull();
}

// One olad with a configuration folder of its own.
class Olad
{
public:
    ~Olad() { stop(); }

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

// The receiver's frames and losses, kept for the test's thread.
class Sink : public IntakeReceiver::Sink
{
public:
    void frame(const std::uint8_t* strip, std::size_t size) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_last.assign(strip, strip + size);
    }
    void sourcesGone() override { ++gone; }
    QByteArray last()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return QByteArray(reinterpret_cast<const char*>(m_last.data()), int(m_last.size()));
    }

    std::atomic<int> gone { 0 };

private:
    std::mutex m_lock;
    std::vector<std::uint8_t> m_last;
};

class tst_OlaSender : public QObject
{
    Q_OBJECT

    Olad olad;
    Sink sink;
    IntakeReceiver receiver;

    // One frame of OLA's universe is the strip's; with olad stopped its source is lost.
    void sendAndLose(const QString& device, const QString& universe)
    {
        const int goneBefore = sink.gone;
        QVERIFY(!asNobody({ "ola_patch", "-d", device, "-p", "0", "-u", universe }).isNull());
        QVERIFY(
            !asNobody({ "ola_set_dmx", "-u", universe, "-d", "255,128,7,1,2,3,4,5," + universe })
                 .isNull());
        QTRY_COMPARE_WITH_TIMEOUT(sink.last().toHex(),
            QByteArray("ff800701020304050").append(universe.toLatin1()), 10000);
        olad.stop();
        QTRY_COMPARE_WITH_TIMEOUT(sink.gone.load(), goneBefore + 1, 10000);
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
        IntakeReceiver::Settings settings;
        settings.e131 = settings.artNet = true;
        settings.lossNs = 500'000'000;
        QVERIFY(receiver.start(settings, PixelMap({ { "Light Panels", 3 } }, 1), &sink).empty());
    }

    void cleanupTestCase()
    {
        olad.stop();
        receiver.stop();
    }

    // E1.31 to universe 1's multicast group from the namespace's own address, ended by
    // OLA's stream-terminated packets.
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
    // own has none), Port-Address 0: universe 1; lost after its silence.
    void artNet()
    {
        olad.stop(); // whatever the E1.31 case left running
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
