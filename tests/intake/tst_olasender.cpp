// A sender nobody here wrote: Debian's OLA (olad with its E1.31 and Art-Net plugins)
// sends to the receivers, in a private network. olad refuses to run as root, so it and
// its clients run as nobody. One olad serves the whole test: its RPC port would stay
// taken for a minute after it ends.

#include "common/intakesink.h"
#include "common/privatenetwork.h"
#include "intake/intakereceiver.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

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
    const bool ended = p.waitForFinished(kCommandMs); // if not, ~QProcess kills it
    const QString out = QString::fromLocal8Bit(p.readAll()) + ' ';
    return ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? out : QString();
}

QString asNobody(const QStringList& command)
{
    return run("setpriv", kNobody + command);
}

// One olad with a configuration folder of its own.
class Olad
{
public:
    // Writes one plugin's settings (olad adds its defaults for the rest); false when
    // the folder or file cannot be made for nobody.
    bool configure(const QString& plugin, const QStringList& settings)
    {
        QFile file(m_dir.filePath("ola-" + plugin + ".conf"));
        return m_dir.isValid() && ::chown(qPrintable(m_dir.path()), 65534, 65534) == 0
            && file.open(QIODevice::WriteOnly) && file.write(settings.join('\n').toUtf8()) > 0
            && ::chown(qPrintable(file.fileName()), 65534, 65534) == 0;
    }

    // Starts olad (when not running) and returns the id of the device whose
    // description starts with `name` once olad lists it; a null text when none comes.
    QString deviceId(const QString& name)
    {
        if (m_process.state() == QProcess::NotRunning) {
            m_process.setProcessChannelMode(QProcess::ForwardedChannels);
            m_process.setStandardOutputFile(QProcess::nullDevice());
            m_process.start("setpriv",
                kNobody + QStringList { "olad", "--no-http", "-l", "1", "-c", m_dir.path() });
            m_process.waitForStarted(kCommandMs);
        }
        // A client that finds no olad starts one of its own (as a daemon, with another
        // configuration): no client runs before this olad answers on its RPC port.
        QTcpSocket rpc;
        for (int look = 0; look < 100 && m_process.state() == QProcess::Running; ++look) {
            rpc.connectToHost(QHostAddress::LocalHost, 9010);
            if (rpc.waitForConnected(100))
                break;
            rpc.abort();
            QTest::qWait(100);
        }
        if (rpc.state() != QAbstractSocket::ConnectedState)
            return QString();
        rpc.abort();
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
        m_process.terminate();
        m_process.waitForFinished(kCommandMs); // if not, ~QProcess kills it
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

class tst_OlaSender : public QObject
{
    Q_OBJECT

    Olad olad;
    IntakeSink sink;
    IntakeReceiver receiver;

    // OLA's universe (patched to port 0 of device `name`) becomes the strip.
    void send(const QString& name, const QString& universe)
    {
        const QString device = olad.deviceId(name);
        QVERIFY(!device.isNull());
        QVERIFY(!asNobody({ "ola_patch", "-d", device, "-p", "0", "-u", universe }).isNull());
        QVERIFY(
            !asNobody({ "ola_set_dmx", "-u", universe, "-d", "255,128,7,1,2,3,4,5," + universe })
                 .isNull());
        QTRY_VERIFY_WITH_TIMEOUT(sink.seen(0, 255, 8, universe.toInt()), 10000);
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
        // Art-Net goes to its interface's broadcast address, which the namespace's own
        // interface lacks.
        for (const char* command : { "link add ola0 type veth peer name ola1",
                 "addr add 198.18.0.1/24 brd + dev ola0", "link set ola0 up", "link set ola1 up" })
            QVERIFY2(!run("ip", QString(command).split(' ')).isNull(), command);
        QVERIFY(olad.configure(
            "e131", { "enabled = true", "ip = 10.77.0.1", "output_ports = 1", "input_ports = 0" }));
        // Broadcast always: OLA would otherwise send to the address the ArtPollReply
        // names, which is its own there.
        QVERIFY(olad.configure("artnet",
            { "enabled = true", "ip = 198.18.0.1", "output_ports = 1",
                "always_broadcast = true" }));
        IntakeReceiver::Settings settings;
        settings.e131 = settings.artNet = true; // Art-Net senders lost after 5 s of silence
        QVERIFY(receiver.start(settings, PixelMap({ { "Light Panels", 3 } }, 1), &sink).empty());
    }

    void cleanupTestCase()
    {
        olad.stop();
        receiver.stop();
        run("ip", { "link", "del", "ola0" });
    }

    // E1.31 to universe 1's multicast group from the namespace's own address.
    void e131() { send("E1.31", "1"); }

    // Art-Net broadcast, Port-Address 0: universe 1.
    void artNet() { send("ArtNet", "0"); }

    // olad ends: its E1.31 source terminates, its Art-Net one falls silent; once both
    // are lost the receiver says so, once.
    void lost()
    {
        olad.stop();
        QTRY_COMPARE_WITH_TIMEOUT(sink.gone.load(), 1, 15000);
    }
};

QTEST_GUILESS_MAIN(tst_OlaSender)
#include "tst_olasender.moc"
