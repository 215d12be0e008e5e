// The device service against the simulator in a private network: the token profile,
// PAIR, UNPAIR, SEARCH, and one table of misbehaving devices (HTTP faults; bad DNS
// answers are the reply parser's and the scan transport's tests).

#include "common/logwatch.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QUdpSocket>
#include <QtTest>

#include <future>

using namespace Sim;

namespace
{

const QString kUnreadableLayout = "getPanelNumber layout unreadable";
const QString kSwitched = "ResponseExternalControl string is";
const QString kRestoreOff = "restoreScenes off";
const QString kOwners = "Device \"" + kLight + "\" shows";
const QString kGone = "Device \"" + kLight + "\" does not answer";
const QString kBack = "Device \"" + kLight + "\" is back";
const QString kStaticAnswer = "ResponseStatic string is";
const QString kNotStreamed = "getPanelNumber model not streamed";

QJsonObject piece(int id, int x, int y, int shapeType)
{
    return QJsonObject { { "id", id }, { "x", x }, { "y", y }, { "o", 0 },
        { "shapeType", shapeType } };
}

} // namespace

// Spies watch this relay on the test's thread (the service emits on its own).
class ServiceRelay : public QObject
{
    Q_OBJECT
signals:
    void refreshIsPaired();
    void showTokenPage(int);
    void bonjourGetIpName(QString, QString);
};

class tst_OpenApi : public QObject
{
    Q_OBJECT

    ServiceRelay relay;
    std::unique_ptr<LogWatch> log;

    QTemporaryDir config;
    QThread worker;
    nanoleafAPIsync* service = nullptr;
    std::unique_ptr<NanoleafSim> sim;
    QJsonArray simDevices;

    // Devices in pairing mode; a simulator already running with them is only reset.
    void startSim(const QJsonArray& devices = NanoleafSim::defaultDevices())
    {
        if (sim && simDevices == devices) {
            QVERIFY(sim->reset());
            return;
        }
        simDevices = devices;
        sim.reset(new NanoleafSim(NanoleafSim::inPairingMode(devices)));
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    }

    // PAIR and UNPAIR the way the controller does them.
    void pair(const QString& name, const QString& ip, int row = 0)
    {
        service->setNanoIP("http://" + ip + ":16021", ip, name, row, true);
        if (service->checkQfileToken(name).isEmpty())
            service->getToken();
        else
            service->GetRequestBtn();
    }

    void unpair(const QString& name, const QString& ip, int row = 0)
    {
        service->setNanoIP("http://" + ip + ":16021", ip, name, row, false);
        QVERIFY(!service->checkQfileToken(name).isEmpty());
        deviceMap.update(name, [](DeviceRecord& r) { r.isPaired = false; });
        service->releaseDevice(name);
    }

    // Adds lines to the token profile's [settings].
    static void setSettings(const QByteArray& lines)
    {
        QVERIFY(QDir().mkpath(TokenProfile::directory()));
        QSettings profile(TokenProfile::fileName(), QSettings::IniFormat);
        for (const QString& line : QString::fromUtf8(lines).split('\n'))
            if (line.contains('='))
                profile.setValue("settings/" + line.section('=', 0, 0), line.section('=', 1));
    }

    // The devices given, each known to kToken, the Light Panels first.
    static QJsonArray knowingTheToken(QJsonArray devices)
    {
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject device = devices[i].toObject();
            device.insert("tokens", QJsonArray { kToken });
            devices.replace(i, device);
        }
        return devices;
    }

    // The Light Panels of the simulator started, paired and in external control;
    // the requests they had seen by then.
    int pairedLight()
    {
        TokenProfile::write(kLight, kToken);
        const int switched = log->count(kSwitched);
        pair(kLight, kLightIp);
        if (!log->waitFor(kSwitched, switched + 1, 10000))
            return -1;
        settle();
        return sim->requests(kLightIp).size();
    }

    // Drains the service thread's queue, then the signals it sent here.
    void settle()
    {
        QMetaObject::invokeMethod(
            service, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        worker.start();
        log = std::make_unique<LogWatch>(QStringList { kUnreadableLayout, kNotStreamed,
            kStaticAnswer, "END", kSwitched, kRestoreOff, kOwners, kGone, kBack });
    }

    void init()
    {
        QFile::remove(TokenProfile::directory());
        QDir(TokenProfile::directory()).removeRecursively();
        service = new nanoleafAPIsync;
        for (const char* signal : { SIGNAL(refreshIsPaired()), SIGNAL(showTokenPage(int)),
                 SIGNAL(bonjourGetIpName(QString, QString)) })
            QVERIFY(connect(service, signal, &relay, signal, Qt::QueuedConnection));
        service->moveToThread(&worker);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << log->recent().join('\n');
        QMetaObject::invokeMethod(service, "deleteLater");
        service = nullptr;
    }

    void cleanupTestCase()
    {
        sim.reset();
        worker.quit();
        worker.wait();
        log.reset();
    }

    // An owner-only INI file keyed by device name, made at the first write; empty
    // means no token; a name with '/' once stored raw (group and key) is still found
    // and its new token hits no setting. An empty lock file (a killed writer) is not
    // waited out for 30 s; an unwritable profile (token in memory only) is reported.
    void tokenProfile()
    {
        QCOMPARE(service->checkQfileToken(kLight), QString());
        QVERIFY(!QFileInfo::exists(TokenProfile::directory()));

        QVERIFY(TokenProfile::write("Device A", "tokenA"));
        QVERIFY(TokenProfile::write("Device B", ""));
        QCOMPARE(service->checkQfileToken("Device A"), QString("tokenA"));
        QCOMPARE(service->checkQfileToken("Device B"), QString());
        // The last token found stays current.
        QCOMPARE(service->currentDevice().nanoToken, QString("tokenA"));
        // Qt's owner, group and other bits: rw------- and rwx------.
        QCOMPARE(int(QFileInfo(TokenProfile::fileName()).permissions() & 0x7077), 0x6000);
        QCOMPARE(int(QFileInfo(TokenProfile::directory()).permissions() & 0x7077), 0x7000);

        QFile profile(TokenProfile::fileName());
        QVERIFY(profile.open(QIODevice::Append));
        QVERIFY(profile.write("[hall]\ndesk=0123456789abcdef0123456789abcdef\n") > 0);
        profile.close();
        QCOMPARE(TokenProfile::read("hall/desk"), QString("0123456789abcdef0123456789abcdef"));
        QVERIFY(TokenProfile::write("hall/desk", "fedcba9876543210fedcba9876543210"));
        QCOMPARE(TokenProfile::read("hall/desk"), QString("fedcba9876543210fedcba9876543210"));

        QFile lock(TokenProfile::fileName() + ".lock");
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.close();
        auto write
            = std::async(std::launch::async, [] { return TokenProfile::write(kLight, kToken); });
        QVERIFY(write.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
        QVERIFY(write.get());
        QCOMPARE(TokenProfile::read("Device A"), QString("tokenA"));

        QVERIFY(QFile::remove(TokenProfile::fileName()));
        QVERIFY(QDir().mkpath(TokenProfile::fileName()));
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression("^Token profile "
                + QRegularExpression::escape(TokenProfile::fileName())
                + " could not be written \\(.+\\): the token of Light Panels 52:33:A1 is not "
                  "stored$"));
        QVERIFY(!TokenProfile::write(kLight, kToken));
    }

    // "resume" in [settings] turns the resume at start on; no device name reaches it.
    void resumeSetting_data()
    {
        QTest::addColumn<QByteArray>("profile"); // file text; none when empty
        QTest::addColumn<bool>("on");
        const std::pair<const char*, bool> rows[] = { { "", false },
            { "[settings]\nresume=yes\n", true }, { "[settings]\nresume=off\n", false },
            { "[General]\nresume=true\n", false }, { "[settings]\nresume=true\n", true } };
        for (const auto& [text, on] : rows)
            QTest::newRow(*text ? text : "no profile") << QByteArray(text) << on;
    }

    void resumeSetting()
    {
        QFETCH(QByteArray, profile);
        QFETCH(bool, on);
        if (!profile.isEmpty()) {
            QVERIFY(QDir().mkpath(TokenProfile::directory()));
            QFile file(TokenProfile::fileName());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(profile), profile.size());
        }
        if (on)
            QVERIFY(TokenProfile::write("settings/resume", kToken));
        QCOMPARE(TokenProfile::resumeAtStart(), on);
    }

    // Misbehaving devices beside the good flows: PAIR of the Light Panels with an
    // HTTP fault on every request, or SEARCH. `seen`: what the device received or
    // the scan announced. After a failed PAIR, the device behaving again pairs normally.
    void misbehavingDevices_data()
    {
        // PAIR: "http fault[>fault set once the first request is held]"; "mdns": SEARCH.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("pairingMode");
        QTest::addColumn<QStringList>("seen");
        QTest::addColumn<int>("hints");
        QTest::addColumn<bool>("paired");

        const QString pairing = "POST /api/v1/new";
        const QString layout = "GET /api/v1/<token>/";
        const QString control = "PUT /api/v1/<token>/effects";
        const QStringList all { pairing, layout, control };
        const QString stale(32, 'f');
        const auto row = [](const char* name, const QString& fault, const QString& stored,
                             bool mode, const QStringList& seen, int hints, bool paired) {
            QTest::newRow(name) << fault << stored << mode << seen << hints << paired;
        };
        row("PAIR, pairing mode off", "", "", false, { pairing }, 1, false);
        row("PAIR, stored token", "", kToken, false, { layout, control }, 0, true);
        row("PAIR, stale token", "", stale, true, { layout, pairing, layout, control }, 1, true);
        row("PAIR, slow answers", "slow", "", true, all, 0, true);
        // No answer in time, or one past the size bound: a refused pairing; for a
        // layout request a refused token, so a new pairing request follows.
        row("token request hangs", "hang", "", true, { pairing }, 1, false);
        row("token answer trickles", "trickle", "", true, { pairing }, 1, false);
        row("layout answer of 10 MB", "huge", kToken, true, { layout, pairing }, 2, false);
        // A fresh token refused ends at the hint (another request would loop).
        row("fresh token refused", "slow>huge", "", true, { pairing, layout }, 1, false);
        // A token not a string is a refused pairing; a layout of the wrong types a
        // failed read: nothing recorded, nothing switched, no hint.
        row("token not a string", "wrongtypes", "", true, { pairing }, 1, false);
        row("layout of wrong types", "wrongtypes", kToken, true, { layout }, 0, false);

        row("SEARCH", "mdns", "", true, { kCanvas + " " + kCanvasIp, kLight + " " + kLightIp }, 0,
            false);
    }

    void misbehavingDevices()
    {
        QFETCH(QString, fault);
        QFETCH(QString, stored);
        QFETCH(bool, pairingMode);
        QFETCH(QStringList, seen);
        QFETCH(int, hints);
        QFETCH(bool, paired);
        QJsonArray devices = knowingTheToken({ NanoleafSim::lightPanels() });
        devices.append(NanoleafSim::canvas());
        startSim(devices);

        if (fault == "mdns") {
            QSignalSpy found(&relay, SIGNAL(bonjourGetIpName(QString, QString)));
            const int ended = log->count("END");
            QVERIFY(QMetaObject::invokeMethod(service, "searchDeive_noBonjour"));
            QVERIFY(log->waitFor("END", ended + 1, 20000));
            settle();
            QStringList announced;
            for (const QList<QVariant>& call : found)
                announced << call.at(0).toString() + " " + call.at(1).toString();
            announced.sort();
            QCOMPARE(announced, seen);
            return;
        }

        if (!stored.isEmpty())
            QVERIFY(TokenProfile::write(kLight, stored));
        QVERIFY(sim->setPairing(kLightIp, pairingMode));
        const QString httpFault = fault.section('>', 0, 0), laterFault = fault.section('>', 1);
        QVERIFY(sim->setFault(kLightIp,
            QJsonObject {
                { "http", httpFault.isEmpty() ? "none" : httpFault }, { "delay_ms", 1000 } }));
        QSignalSpy hint(&relay, SIGNAL(showTokenPage(int)));
        const int unreadable = log->count(kUnreadableLayout);
        pair(kLight, kLightIp, 4);
        if (!laterFault.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), 1, 10000);
            QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", laterFault } }));
        }
        if (paired)
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 20000);
        else if (hints > 0)
            QTRY_COMPARE_WITH_TIMEOUT(hint.count(), hints, 20000);
        else
            QVERIFY(log->waitFor(kUnreadableLayout, unreadable + 1, 20000));
        settle();
        QCOMPARE(sim->requestLines(kLightIp), seen);
        QCOMPARE(hint.count(), hints);
        for (const QList<QVariant>& call : hint)
            QCOMPARE(call.first().toInt(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(deviceMap.value(kLight).isPaired, paired, 10000);
        QVERIFY(!deviceMap.snapshot().contains(""));
        const QString token = TokenProfile::read(kLight);
        if (!paired) {
            // Nothing stored but what the device handed out.
            QCOMPARE(token.size(), laterFault.isEmpty() ? stored.size() : 32);
            QVERIFY(!laterFault.isEmpty() || token == stored);
            QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "none" } }));
            QVERIFY(sim->setPairing(kLightIp, true));
            pair(kLight, kLightIp, 4);
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(deviceMap.value(kLight).isPaired, 10000);
        } else {
            const DeviceRecord record = deviceMap.value(kLight);
            QCOMPARE(record.panelNumbers, 3);
            QCOMPARE(record.pidArrray, (QVector<int> { 82, 15, 200 }));
            QCOMPARE(record.ip, kLightIp);
            for (const QJsonValue& r : sim->requests(kLightIp))
                if (r["method"] != "GET")
                    QCOMPARE(r["headers"]["Content-Type"].toString(), QString("application/json"));
            QCOMPARE(token.size(), 32);
            QVERIFY(stored == kToken ? token == kToken : token != stored);
            QCOMPARE(service->currentDevice().nanoToken, token);
        }
    }

    // The record is written under the name the device gives, not the one the
    // user paired: a second record appears, and only it is paired.
    void answerNameDiffersFromDiscoveredName()
    {
        startSim();
        deviceMap.insert(
            "Old Light Name", DeviceRecord::discoveryRecord("Old Light Name", kLightIp));
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair("Old Light Name", kLightIp);
        QVERIFY(paired.wait(10000));
        QVERIFY(!deviceMap.value("Old Light Name").isPaired);
        const DeviceRecord second = deviceMap.value(kLight);
        QVERIFY(second.isPaired);
        QCOMPARE(second.pidArrray, (QVector<int> { 82, 15, 200 }));
        QVERIFY(second.ip.isEmpty());
        QCOMPARE(TokenProfile::read("Old Light Name").size(), 32);
    }

    // Names of neither "Light" nor "Canvas" go by the info answer's model number:
    // a v2 model gets a v2 datagram per host frame of 12 entries (entry k is
    // 10+k, 100+k, 200+k) and UNPAIR names its lit panels; others get nothing.
    // With light_stream=v2 the Light Panels are streamed like the v2 models.
    void modelsByNumber_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QJsonObject>("device");
        QTest::addColumn<QStringList>("datagrams"); // port and hex
        QTest::addColumn<QString>("animData");
        QTest::addColumn<int>("notStreamedLines");

        // Controller (no LEDs) at the bottom left; hexagons on three rows.
        QTest::newRow("Shapes")
            << QByteArray()
            << QJsonObject { { "name", "Shapes 07E7" }, { "model", "NL42" },
                   { "panels",
                       QJsonArray { piece(1, -200, 0, 12), piece(201, 0, 0, 7),
                           piece(202, 100, 200, 7), piece(203, -100, 200, 7), piece(204, 0, 100, 7),
                           piece(205, 200, 0, 7) } } }
            << QStringList { "60222 000500cb0a64c8000000"
                             "00ca0c66ca000000"
                             "00cc0e68cc000000"
                             "00c9116bcf000000"
                             "00cd136dd1000000" }
            << "5 203 1 255 201 29 0 12 202 1 255 201 29 0 12 204 1 255 201 29 0 12"
               " 201 1 255 201 29 0 12 205 1 255 201 29 0 12"
            << 0;
        QTest::newRow("Light Panels, light_stream=v2")
            << QByteArray("light_stream=v2")
            << QJsonObject { { "name", kLight }, { "model", "NL22" },
                   { "panels",
                       QJsonArray {
                           piece(82, 0, 0, 0), piece(15, 100, 0, 0), piece(200, 50, 87, 0) } } }
            << QStringList { "60222 000300c80a64c8000000"
                             "00520e68cc000000"
                             "000f126cd0000000" }
            << "3 200 1 255 201 29 0 12 82 1 255 201 29 0 12 15 1 255 201 29 0 12" << 0;
        QTest::newRow("Light Panels under another name")
            << QByteArray()
            << QJsonObject { { "name", "Nanoleaf Aurora 1A" }, { "model", "NL22" },
                   { "panels", QJsonArray { 82, 15 } } }
            << QStringList {} << "2" << 1;
    }

    void modelsByNumber()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QJsonObject, device);
        QFETCH(QStringList, datagrams);
        QFETCH(QString, animData);
        QFETCH(int, notStreamedLines);
        const QString name = device.value("name").toString();
        const QString ip = "127.0.0.4";
        device.insert("ip", ip);
        startSim(QJsonArray { device });
        setSettings(settings);
        const int notStreamed = log->count(kNotStreamed);
        pair(name, ip);
        QTRY_VERIFY_WITH_TIMEOUT(deviceMap.value(name).isPaired, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(ip), QString("extControl-v2"), 10000);
        QCOMPARE(log->count(kNotStreamed), notStreamed + notStreamedLines);

        int red[12], green[12], blue[12];
        for (int k = 0; k < 12; ++k)
            red[k] = 10 + k, green[k] = 100 + k, blue[k] = 200 + k;
        service->sendUdpDAta(11, red, green, blue); // a short frame: nothing sent
        service->sendUdpDAta(12, red, green, blue);
        // Markers sent now queue behind whatever the frame sent to either port.
        QUdpSocket markers;
        for (quint16 port : { 60221, 60222 })
            QCOMPARE(markers.writeDatagram("mark", 4, QHostAddress(ip), port), qint64(4));
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                got.clear();
                for (const QJsonValue& frame : sim->frames(ip))
                    got << QString::number(frame["port"].toInt()) + " " + frame["bytes"].toString();
                return got.removeAll("60221 6d61726b") + got.removeAll("60222 6d61726b") == 2;
            }(),
            10000);
        QCOMPARE(got, datagrams);

        unpair(name, ip);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(ip).size(), 4, 10000);
        const QByteArray body = sim->requests(ip).at(3)["body"].toString().toUtf8();
        QCOMPARE(QJsonDocument::fromJson(body)["write"]["animData"].toString(), animData);
    }

    // What the device showed before PAIR comes back when the last network source
    // is gone (until the next frame, which takes it again) or, with unpair=restore,
    // at UNPAIR: effect first, then state; a temporary scene by its state alone; a
    // device found already streaming gets the scene the profile kept.
    void scenesComeBack_data()
    {
        QTest::addColumn<QStringList>("setup"); // "resource body": the owner's PUTs
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("kept"); // a scene in the profile before PAIR
        QTest::addColumn<bool>("inProfile"); // a scene in the profile after PAIR
        QTest::addColumn<bool>("unpair"); // else the sources are gone
        QTest::addColumn<QStringList>("after"); // what the device is sent then
        QTest::addColumn<QString>("shows");

        const QString forest = "effects {\"select\":\"Forest\"}";
        const QString state40 = "state {\"brightness\":{\"value\":40},\"on\":{\"value\":true}}";
        const QString keptForest = "{\"effects\":{\"select\":\"Forest\"},\"state\":{\"brightness\":"
                                   "{\"value\":40},\"on\":{\"value\":true}}}";
        const QStringList namedEffect { forest, "state {\"brightness\":{\"value\":40}}" };
        const QString streaming = "extControl-v2 *ExtControl* on 40 effect";
        const QString staticWrite
            = "effects {\"write\":{\"animData\":\"3 82 1 255 201 29 0 12 15 1 "
              "255 201 29 0 12 200 1 255 201 29 0 12\",\"animType\":\"static\","
              "\"command\":\"display\",\"loop\":false,\"palette\":[],"
              "\"version\":\"2.0\"}}";
        const auto put = [](const QStringList& lines) {
            QStringList out;
            for (const QString& line : lines)
                out << "PUT " + line;
            return out;
        };
        const auto row = [](const char* name, const QStringList& setup, const char* settings,
                             const QString& kept, bool unpair, const QStringList& after,
                             const QString& shows) {
            // The profile keeps a scene the user set up, unless restoring is off.
            const bool inProfile = !QByteArray(settings).contains("restore=off")
                && !QByteArray(name).startsWith("temporary");
            QTest::newRow(name) << setup << QByteArray(settings) << kept << inProfile << unpair
                                << after << shows;
        };
        row("named effect", namedEffect, "", "", false, put({ forest, state40 }),
            "effect Forest on 40 effect");
        row("temporary effect",
            { "effects {\"write\":{\"command\":\"display\",\"animType\":\"static\",\"animData\":"
              "\"1 82 1 10 20 30 0 1\"}}",
                "state {\"brightness\":{\"value\":40}}" },
            "", "", false, put({ state40 }), streaming);
        row("already streaming: the kept scene",
            { "effects {\"write\":{\"command\":\"display\",\"animType\":\"extControl\","
              "\"extControlVersion\":\"v2\"}}",
                "state {\"brightness\":{\"value\":40}}" },
            "", keptForest, false, put({ forest, state40 }), "effect Forest on 40 effect");
        row("restore=off", namedEffect, "restore=off", "", false, {}, streaming);
        row("unpair: the warm colour", namedEffect, "", "", true, put({ staticWrite }),
            "static *Static* on 40 effect");
        row("unpair=restore", namedEffect, "unpair=restore", "", true, put({ forest, state40 }),
            "effect Forest on 40 effect");
        row("unpair=restore, restore=off", namedEffect, "unpair=restore\nrestore=off", "", true,
            put({ staticWrite }), "static *Static* on 40 effect");
    }

    void scenesComeBack()
    {
        QFETCH(QStringList, setup);
        QFETCH(QByteArray, settings);
        QFETCH(QString, kept);
        QFETCH(bool, inProfile);
        QFETCH(bool, unpair);
        QFETCH(QStringList, after);
        QFETCH(QString, shows);
        startSim(knowingTheToken({ NanoleafSim::lightPanels() }));
        for (const QString& line : setup)
            QVERIFY(NanoleafSim::ownerPut(
                        kLightIp, line.section(' ', 0, 0), line.section(' ', 1).toUtf8())
                    / 100
                == 2);
        setSettings(settings);
        if (!kept.isEmpty())
            QVERIFY(TokenProfile::writeScene(kLight, kept));
        const int seen = pairedLight();
        QVERIFY(seen > 0);
        // The scene is kept in the profile against a crash.
        QCOMPARE(OpenApiFormat::parseScene(TokenProfile::readScene(kLight).toUtf8()).ok, inProfile);

        const int off = log->count(kRestoreOff);
        if (unpair)
            this->unpair(kLight, kLightIp);
        else
            service->restoreScenes();
        if (after.isEmpty())
            QVERIFY(log->waitFor(kRestoreOff, off + 1, 10000));
        else
            QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), seen + after.size(), 10000);
        settle();
        QCOMPARE(sim->requestBodies(kLightIp, seen), after);
        QCOMPARE(sim->shows(kLightIp), shows);
        if (unpair || after.isEmpty())
            return;
        int red[12] = { 1 }, green[12] = { 2 }, blue[12] = { 3 };
        service->sendUdpDAta(12, red, green, blue);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 10000);
    }

    // A streamed device is asked what it shows: one back from a restart is switched
    // into external control again; one whose owner chose an effect while it stayed
    // reachable is let go (said once, no longer streamed, asked no more) while the
    // other device is still watched.
    void watchFollowsTheDevice_data()
    {
        QTest::addColumn<bool>("restart"); // else the owner selects "Forest"
        QTest::newRow("restarted") << true;
        QTest::newRow("owner's choice") << false;
    }

    void watchFollowsTheDevice()
    {
        QFETCH(bool, restart);
        startSim(knowingTheToken({ NanoleafSim::lightPanels(), NanoleafSim::canvas() }));
        setSettings("watch=1");
        const int seen = pairedLight();
        QVERIFY(seen > 0);
        TokenProfile::write(kCanvas, kToken);
        pair(kCanvas, kCanvasIp);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kCanvasIp), QString("extControl-v2"), 10000);
        const auto watched = [this](const QString& ip) {
            return sim->requestBodies(ip).count("GET effects/select");
        };
        QTRY_VERIFY_WITH_TIMEOUT(watched(kLightIp) >= 1, 10000);
        const int owners = log->count(kOwners), gone = log->count(kGone), back = log->count(kBack);

        if (restart) {
            QVERIFY2(sim->restart(kLightIp, 2500), qPrintable(sim->errorString()));
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 10000);
            QCOMPARE(log->count(kGone), gone + 1);
            QCOMPARE(log->count(kBack), back + 1);
            QVERIFY(deviceMap.value(kLight).isPaired);
            int red[12] = { 1 }, green[12] = { 2 }, blue[12] = { 3 };
            const int frames = sim->framesAccepted(kLightIp);
            service->sendUdpDAta(12, red, green, blue);
            QTRY_COMPARE_WITH_TIMEOUT(sim->framesAccepted(kLightIp), frames + 1, 10000);
        } else {
            QCOMPARE(NanoleafSim::ownerPut(kLightIp, "effects", "{\"select\":\"Forest\"}"), 204);
            QVERIFY(log->waitFor(kOwners, owners + 1, 10000));
            QTRY_VERIFY_WITH_TIMEOUT(!deviceMap.value(kLight).isPaired, 10000);
            const int asked = watched(kLightIp), canvasAsked = watched(kCanvasIp);
            QTRY_VERIFY_WITH_TIMEOUT(watched(kCanvasIp) >= canvasAsked + 3, 15000);
            QCOMPARE(watched(kLightIp), asked);
            QCOMPARE(log->count(kOwners), owners + 1);
            QCOMPARE(sim->shows(kLightIp), QString("effect Forest on 100 effect"));
        }
        QCOMPARE(log->count(kOwners), owners + (restart ? 0 : 1));
    }

    // A pairing started before SEARCH finishes while the scan (on its own thread)
    // runs; scans asked for meanwhile run one after the other, each announcing all;
    // a service destroyed while its scan listens waits for it, drops the next.
    void scansRunOnTheirOwnThread()
    {
        startSim();
        QSignalSpy found(&relay, SIGNAL(bonjourGetIpName(QString, QString)));
        const int ended = log->count("END");
        pair(kLight, kLightIp);
        for (int scan = 0; scan < 2; ++scan)
            QVERIFY(
                QMetaObject::invokeMethod(service, "searchDeive_noBonjour", Qt::QueuedConnection));
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 30000);
        QCOMPARE(log->count("END"), ended);
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 4, 20000);
        QCOMPARE(sim->mdnsQueries().size(), 2);
        QVERIFY(log->waitFor("END", ended + 2, 20000));

        auto* own = new nanoleafAPIsync;
        own->searchDeive_noBonjour();
        own->searchDeive_noBonjour();
        QTRY_COMPARE_WITH_TIMEOUT(sim->mdnsQueries().size(), 3, 10000);
        delete own;
        QCOMPARE(sim->mdnsQueries().size(), 3);
    }

    // UNPAIR while a PAIR of the same device is on its way (its layout request,
    // or its switch to external control, held by a slow device): the device ends
    // in the static effect and unpaired, each request reaching it only once the
    // one before was answered, and the overridden PAIR asking for nothing more.
    void requestsInTheOrderAsked_data()
    {
        QTest::addColumn<int>("unpairAfter"); // requests the device has seen by then
        QTest::addColumn<QStringList>("seen");
        const QString layout = "GET /api/v1/<token>/";
        const QString effects = "PUT /api/v1/<token>/effects";
        QTest::newRow("while the layout is asked for") << 1 << QStringList { layout, effects };
        QTest::newRow("while the switch is on its way")
            << 2 << QStringList { layout, effects, effects };
    }

    void requestsInTheOrderAsked()
    {
        QFETCH(int, unpairAfter);
        QFETCH(QStringList, seen);
        startSim(knowingTheToken({ NanoleafSim::lightPanels() }));
        QVERIFY(TokenProfile::write(kLight, kToken));
        QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 700 } }));
        const int answered = log->count(kStaticAnswer);
        pair(kLight, kLightIp);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), unpairAfter, 10000);
        // UNPAIR as the controller does it: the row turns unpaired at once.
        deviceMap.update(kLight, [](DeviceRecord& r) { r.isPaired = false; });
        unpair(kLight, kLightIp);
        QVERIFY(log->waitFor(kStaticAnswer, answered + 1, 20000));
        settle();

        QCOMPARE(sim->requestLines(kLightIp), seen);
        const QJsonArray requests = sim->requests(kLightIp);
        for (int i = 1; i < requests.size(); ++i)
            QVERIFY2(requests[i]["time_ns"].toString().toLongLong()
                    > requests[i - 1]["answered_ns"].toString().toLongLong(),
                qPrintable(QString("request %1 overtook the one before").arg(i)));
        QCOMPARE(sim->mode(kLightIp), QString("static"));
        QVERIFY(!deviceMap.value(kLight).isPaired);
        QVERIFY(!service->hasRequestsFor(kLight));
    }

    // PAIR on one device, then PAIR or UNPAIR on another before the first answers:
    // each answer acts on its request's device, with its token; the hint names its row.
    void answersStayWithTheirDevice_data()
    {
        QTest::addColumn<bool>("lightPairingMode");
        QTest::addColumn<bool>("canvasPaired");
        QTest::addColumn<QStringList>("canvasRequests");

        const QString layout = "GET /api/v1/" + kToken + "/";
        const QString effects = "PUT /api/v1/" + kToken + "/effects";
        QTest::newRow("pair meanwhile") << true << true << QStringList { layout, effects };
        QTest::newRow("unpair meanwhile") << true << false << QStringList { effects };
        QTest::newRow("refused while pairing") << false << true << QStringList { layout, effects };
    }

    void answersStayWithTheirDevice()
    {
        QFETCH(bool, lightPairingMode);
        QFETCH(bool, canvasPaired);
        QFETCH(QStringList, canvasRequests);
        QJsonObject canvas = NanoleafSim::canvas(kCanvasIp);
        canvas.insert("tokens", QJsonArray { kToken });
        startSim(QJsonArray { NanoleafSim::lightPanels(kLightIp), canvas });
        QVERIFY(sim->setPairing(kLightIp, lightPairingMode));
        QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 2000 } }));
        QVERIFY(TokenProfile::write(kCanvas, kToken));
        QSignalSpy hints(&relay, SIGNAL(showTokenPage(int)));

        pair(kLight, kLightIp, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), 1, 10000);
        if (canvasPaired)
            pair(kCanvas, kCanvasIp, 1);
        else
            unpair(kCanvas, kCanvasIp, 1);

        QTRY_COMPARE_WITH_TIMEOUT(sim->requestLines(kCanvasIp, false), canvasRequests, 10000);
        if (lightPairingMode) {
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 20000);
            const QString token = TokenProfile::read(kLight);
            QCOMPARE(sim->requestLines(kLightIp, false),
                (QStringList { "POST /api/v1/new", "GET /api/v1/" + token + "/",
                    "PUT /api/v1/" + token + "/effects" }));
            QVERIFY(deviceMap.value(kLight).isPaired);
            QCOMPARE(hints.count(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(hints.count(), 1, 20000);
            QCOMPARE(hints.first().first().toInt(), 0);
            QCOMPARE(sim->requestLines(kLightIp, false), QStringList { "POST /api/v1/new" });
            QCOMPARE(TokenProfile::read(kLight), QString());
        }
        QCOMPARE(TokenProfile::read(kCanvas), kToken);
        QCOMPARE(service->currentDevice().nanoName, kCanvas);
        QCOMPARE(service->currentDevice().nanoToken, kToken);
        QCOMPARE(deviceMap.value(kCanvas).isPaired, canvasPaired);
    }
};

QTEST_GUILESS_MAIN(tst_OpenApi)
#include "tst_openapi.moc"
