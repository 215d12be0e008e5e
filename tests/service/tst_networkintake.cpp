// Lighting programs through the service to the simulator in a private network: the strip
// laid over the paired devices in table order, the host's frames held while a source is
// live and sent again once it is gone, the map printed when the strip changes; frames paced.

#include "common/intakepackets.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/intakesettings.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QMutex>
#include <QUdpSocket>
#include <QtTest>

using namespace Sim;
using Bytes = IntakePackets::Bytes;

namespace
{

const QString kElements = QStringLiteral("Elements 1A2B");
const QString kElementsIp = QStringLiteral("127.0.0.4");
constexpr int kElementsPanels = 180; // the strip: 2 + 3 + 180 pixels, universes 1 and 2
constexpr int kPixels = 185;
const QString kGone = QStringLiteral("prismara-nanoleaf-tool: every network source gone");
const QString kMap = QStringLiteral("prismara-nanoleaf-tool: pixel map:");

// Frame `frame` of the strip, r g b per pixel: distinct per byte and frame.
QByteArray strip(int frame)
{
    QByteArray out;
    for (int i = 0; i < 3 * kPixels; ++i)
        out += char(frame * 40 + i);
    return out;
}

// A panel or stream record's colour.
void appendRgb(QByteArray& out, const QJsonValue& v)
{
    for (const char* c : { "r", "g", "b" })
        out += char(v[QLatin1String(c)].toInt());
}

} // namespace

// Spies watch this relay on the test's thread (the service emits on its own).
class IntakeRelay : public QObject
{
    Q_OBJECT
signals:
    void networkSourcesLive();
    void networkSourcesGone();
};

class tst_NetworkIntake : public QObject
{
    Q_OBJECT

    QTemporaryDir config;
    QThread worker;
    nanoleafAPIsync* service = nullptr;
    IntakeRelay relay;
    std::unique_ptr<NanoleafSim> sim;
    QUdpSocket sender;

    QMutex consoleLock;
    QStringList console;

    int lines(const QString& start)
    {
        QMutexLocker lock(&consoleLock);
        return int(std::count_if(console.cbegin(), console.cend(),
            [&](const QString& line) { return line.startsWith(start); }));
    }

    // The service's thread has done what was queued before.
    void settle()
    {
        QMetaObject::invokeMethod(
            service, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
    }

    // What the devices show, r g b per panel in strip order (table order: Canvas 2 pixels,
    // Elements 180, Light Panels 3), each device's in the order of the ids recorded for it.
    QByteArray shownStrip()
    {
        QByteArray out;
        for (const auto& [name, ip] : { std::pair { kCanvas, kCanvasIp },
                 { kElements, kElementsIp }, { kLight, kLightIp } }) {
            QHash<int, QJsonValue> byId;
            for (const QJsonValue& p : sim->device(ip)["panels"].toArray())
                byId[p["id"].toInt()] = p;
            for (int id : deviceMap.value(name).mPidArray)
                appendRgb(out, byId.value(id));
        }
        return out;
    }

    bool showsFrame(int frame) { return shownStrip() == strip(frame); }

    // A host frame of one grey.
    void sendHost(int grey)
    {
        std::vector<int> rgb(12, grey);
        service->sendUdpDAta(12, rgb.data(), rgb.data(), rgb.data());
    }

    bool sendDdp(bool push, std::uint32_t offset, const QByteArray& data)
    {
        const Bytes d = IntakePackets::ddp(push, offset, Bytes(data.begin(), data.end()));
        const qint64 size = qint64(d.size());
        return sender.writeDatagram(
                   reinterpret_cast<const char*>(d.data()), size, QHostAddress::LocalHost, 4048)
            == size;
    }

    // The last network source is gone: said once, signalled once, the devices show
    // their scenes, and host frames reach them again (the first one takes them back).
    void expectGoneAndHostBack(QSignalSpy& gone, int goneBefore, int colour)
    {
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
        QCOMPARE(lines(kGone), goneBefore + 1);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("effect"), 10000);
        QVERIFY(QTest::qWaitFor(
            [&] {
                sendHost(colour);
                return shownStrip() == QByteArray(3 * kPixels, char(colour));
            },
            10000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "binds fixed ports: run through tools/netns-run");
        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        QJsonArray ids;
        for (int i = 0; i < kElementsPanels; ++i)
            ids.append(1000 + i);
        QJsonObject elements { { "name", kElements }, { "ip", kElementsIp }, { "model", "NL52" },
            { "panels", ids } };
        QJsonArray devices { NanoleafSim::lightPanels(), NanoleafSim::canvas(), elements };
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject d = devices[i].toObject();
            d.insert("tokens", QJsonArray { kToken });
            devices.replace(i, d);
            QVERIFY(TokenProfile::write(d["name"].toString(), kToken));
        }
        sim.reset(new NanoleafSim(devices));
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));

        worker.start();
        deviceMap.clear();
        service = new nanoleafAPIsync;
        QVERIFY(connect(service, SIGNAL(networkSourcesLive()), &relay, SIGNAL(networkSourcesLive()),
            Qt::QueuedConnection));
        QVERIFY(connect(service, SIGNAL(networkSourcesGone()), &relay, SIGNAL(networkSourcesGone()),
            Qt::QueuedConnection));
        service->moveToThread(&worker);
        int row = 0;
        for (const auto& [name, ip] : { std::pair { kCanvas, kCanvasIp }, { kLight, kLightIp },
                 { kElements, kElementsIp } }) {
            service->setNanoIP("http://" + ip + ":16021", ip, name, row++, true);
            QCOMPARE(service->checkQfileToken(name), kToken);
            service->GetRequestBtn();
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(ip), QString("extControl-v2"), 20000);
        }
        QTRY_VERIFY(deviceMap.value(kElements).isPaired);

        NetworkIntakeSettings settings;
        QString problem;
        QVERIFY(settings.readListen("all", problem));
        QVERIFY(settings.readTimeout("0.4", problem));
        service->startIntake(settings, [this](const std::string& line) {
            QMutexLocker lock(&consoleLock);
            console << QString::fromStdString(line);
        });
        QCOMPARE(service->intakeState(), QString("listening: DDP, E1.31, Art-Net (no source)"));
    }

    void cleanupTestCase()
    {
        delete service; // its thread is idle: nothing runs in it meanwhile
        worker.quit();
        worker.wait();
        sim.reset();
        deviceMap.clear();
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << console.join('\n');
    }

    // The values the command line and the token profile share, or why not.
    void settings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read"); // protocols|address|universe|timeout ms, or why not
        const auto row = [](const char* key, const char* text, const QString& read) {
            QTest::newRow(qPrintable(QString("%1=%2").arg(key, text))) << key << text << read;
        };
        row("listen", "all", "DDP, E1.31, Art-Net|0.0.0.0|1|5000");
        row("listen", " ArtNet , e131", "E1.31, Art-Net|0.0.0.0|1|5000");
        row("listen", "none", "|0.0.0.0|1|5000");
        row("listen", "ddp,dmx", "'dmx' is none of ddp, e131, artnet, all");
        row("address", "192.168.1.20", "|192.168.1.20|1|5000");
        row("address", "192.168.1", "'192.168.1' is no IPv4 address such as 192.168.1.20");
        row("universe", "63999", "|0.0.0.0|63999|5000");
        for (const char* bad : { "0", "64000", "2x" })
            row("universe", bad, QString("'%1' is no universe from 1 to 63999").arg(bad));
        row("timeout", "0.25", "|0.0.0.0|1|250");
        for (const char* bad : { "0.05", "3601", "nan", "5s" })
            row("timeout", bad, QString("'%1' is no number of seconds from 0.1 to 3600").arg(bad));
    }

    void settings()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(QString, read);
        NetworkIntakeSettings s;
        QString problem;
        const bool ok = key == "listen" ? s.readListen(text, problem)
            : key == "address"          ? s.readAddress(text, problem)
            : key == "universe"         ? s.readUniverse(text, problem)
                                        : s.readTimeout(text, problem);
        QStringList address;
        for (int part : s.receiver.address)
            address << QString::number(part);
        const QStringList values { s.protocols(), address.join('.'), QString::number(s.universe),
            QString::number(s.receiver.lossNs / 1000000) };
        QCOMPARE(ok ? values.join('|') : problem, read);
    }

    // [intake] in the token profile: an unquoted list read as one, a value that cannot
    // be read named and left out, and none of its keys taken for a device name.
    void tokenProfileIntake()
    {
        QFile file(TokenProfile::fileName());
        QVERIFY(file.open(QIODevice::Append));
        file.write("\n[intake]\nlisten=ddp, e131\nuniverse=0\ntimeout=2\n");
        file.close();
        NetworkIntakeSettings s;
        QStringList problems;
        TokenProfile::readIntake(s, problems);
        QCOMPARE(s.protocols(), QString("DDP, E1.31"));
        QCOMPARE(s.universe, std::uint16_t(1));
        QCOMPARE(s.receiver.lossNs, std::int64_t(2000000000));
        QCOMPARE(
            problems, QStringList { "[intake] universe=0: '0' is no universe from 1 to 63999" });
        QStringList names = TokenProfile::names();
        names.sort();
        QCOMPARE(names, (QStringList { kCanvas, kElements, kLight }));
    }

    // The devices in table order, one pixel per panel each; a change that leaves the
    // strip as it is prints nothing, one that changes it prints it once.
    void mapFollowsTheDevices()
    {
        settle();
        // Each line's text is the pixel map's; here, that it is this strip's, once.
        QCOMPARE(console.at(console.size() - 4),
            kMap + " 185 pixels: DDP bytes 0-554, universes 1-2 (Art-Net Port-Addresses 0-1)");
        QCOMPARE(lines(kMap), 1);

        deviceMap.discovered("Shapes 0F0F", "127.0.0.9");
        settle();
        QCOMPARE(lines(kMap), 1);
        deviceMap.update(kCanvas, [](DeviceRecord& r) { r.isPaired = false; });
        settle();
        QCOMPARE(lines(kMap), 2);
        QCOMPARE(console.last(),
            "prismara-nanoleaf-tool:   " + kLight
                + ": pixels 181-183, universe 2 channel 31 to universe 2 channel 39");
        deviceMap.update(kCanvas, [](DeviceRecord& r) { r.isPaired = true; });
        deviceMap.forget({ "Shapes 0F0F" });
        settle();
        QCOMPARE(lines(kMap), 3);
    }

    // DDP buffered up to the push, each device its pixels (three Light Panels records, not
    // twelve); host frames held meanwhile; after silence a sender back takes the devices again.
    void ddp()
    {
        QSignalSpy live(&relay, SIGNAL(networkSourcesLive()));
        QSignalSpy gone(&relay, SIGNAL(networkSourcesGone()));
        const int goneBefore = lines(kGone);
        QVERIFY(sendDdp(false, 0, strip(1).left(300)));
        QVERIFY(sendDdp(true, 300, strip(1).mid(300)));
        QTRY_VERIFY(showsFrame(1));
        QCOMPARE(sim->frames(kLightIp).last()["count"].toInt(), 3);
        QTRY_COMPARE(live.count(), 1);
        QCOMPARE(service->intakeState(), QString("listening: DDP, E1.31, Art-Net; live: 1 source"));

        // A host frame now goes nowhere: the next network frame is the Light Panels'
        // only new one.
        const int accepted = sim->framesAccepted(kLightIp);
        sendHost(200);
        QVERIFY(sendDdp(true, 0, strip(2)));
        QTRY_VERIFY(showsFrame(2));
        QCOMPARE(sim->framesAccepted(kLightIp), accepted + 1);

        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("effect"), 10000);
        QVERIFY(
            QTest::qWaitFor([&] { return sendDdp(true, 0, strip(3)) && showsFrame(3); }, 10000));
        gone.clear();
        expectGoneAndHostBack(gone, goneBefore + 1, 7);
        QCOMPARE(live.count(), 2);
    }

    // Capped, a burst of strip frames: the first shown at once, the last when its turn
    // comes, the one between never (the Light Panels hold the strip's last three pixels).
    void pacedFrames()
    {
        QSignalSpy gone(&relay, SIGNAL(networkSourcesGone()));
        const int goneBefore = lines(kGone);
        // A turn of 0.2 s, within the sources' 0.4 s of silence.
        service->setMaxFps(5);
        const int accepted = sim->framesAccepted(kLightIp);
        for (int frame = 10; frame <= 12; ++frame)
            QVERIFY(sendDdp(true, 0, strip(frame)));
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
        QCOMPARE(sim->framesAccepted(kLightIp), accepted + 2);
        const QJsonArray frames = sim->frames(kLightIp);
        // The Light Panels' records of a frame: the strip's last three pixels.
        const auto records = [&](int fromEnd) {
            QByteArray rgb;
            for (const QJsonValue& r : frames[frames.size() - fromEnd]["records"].toArray())
                appendRgb(rgb, r);
            return rgb;
        };
        // The first is a new source's first frame.
        QCOMPARE(records(2), strip(10).right(9));
        QCOMPARE(records(1), strip(12).right(9));
        expectGoneAndHostBack(gone, goneBefore, 10);
        service->setMaxFps(0);
    }
};

QTEST_GUILESS_MAIN(tst_NetworkIntake)
#include "tst_networkintake.moc"
