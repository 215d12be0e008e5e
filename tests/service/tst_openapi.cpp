// The device service against the simulator in a private network: the token profile,
// PAIR, UNPAIR, SEARCH, and one table of misbehaving devices.

#include "common/logwatch.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

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

    // Devices in pairing mode, knowing kToken or not; a simulator already running with them is
    // only reset.
    void startSim(QJsonArray devices = NanoleafSim::defaultDevices(), bool tokenKnown = false)
    {
        devices = NanoleafSim::with(devices, "pairing_mode", true);
        if (tokenKnown)
            devices = NanoleafSim::with(devices, "tokens", QJsonArray { kToken });
        if (sim && simDevices == devices) {
            QVERIFY(sim->reset());
            return;
        }
        simDevices = devices;
        sim.reset(new NanoleafSim(devices));
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

    void unpair(const QString& name, const QString& ip)
    {
        service->setNanoIP("http://" + ip + ":16021", ip, name, 0, false);
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

    // The Light Panels paired and in external control; the requests they had seen by then.
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

    // An owner-only INI file keyed by device name; a name with '/' once stored raw (group
    // and key) is still found. An empty lock file (a killed writer) is not waited out for
    // 30 s; an unwritable profile (token in memory only) is reported.
    void tokenProfile()
    {
        QVERIFY(TokenProfile::write("Device A", "tokenA"));
        QCOMPARE(service->checkQfileToken("Device A"), QString("tokenA"));
        // Qt's owner, group and other bits: rw------- and rwx------.
        QCOMPARE(int(QFileInfo(TokenProfile::fileName()).permissions() & 0x7077), 0x6000);
        QCOMPARE(int(QFileInfo(TokenProfile::directory()).permissions() & 0x7077), 0x7000);

        QFile profile(TokenProfile::fileName());
        QVERIFY(profile.open(QIODevice::Append));
        QVERIFY(profile.write("[hall]\ndesk=0123456789abcdef0123456789abcdef\n") > 0);
        profile.close();
        QCOMPARE(TokenProfile::read("hall/desk"), QString("0123456789abcdef0123456789abcdef"));

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
    void resumeSetting()
    {
        QVERIFY(QDir().mkpath(TokenProfile::directory()));
        const std::pair<QByteArray, bool> profiles[] = { { "[settings]\nresume=yes\n", true },
            { "[settings]\nresume=off\n", false }, { "[General]\nresume=true\n", false } };
        for (const auto& [profile, on] : profiles) {
            QFile file(TokenProfile::fileName());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(profile) == profile.size());
            file.close();
            if (on)
                QVERIFY(TokenProfile::write("settings/resume", kToken));
            QVERIFY2(TokenProfile::resumeAtStart() == on, profile.constData());
        }
    }

    // PAIR of the Light Panels with an HTTP fault on every request ("fault>fault set once
    // the first request is held"); after a failed PAIR, the device behaving again pairs.
    void misbehavingDevices_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("pairingMode");
        QTest::addColumn<QStringList>("seen");
        QTest::addColumn<int>("hints");
        QTest::addColumn<bool>("paired");

        const QString pairing = "POST /api/v1/new";
        const QString layout = "GET /api/v1/<token>/";
        const QString control = "PUT /api/v1/<token>/effects";
        const QString stale(32, 'f');
        const auto row = [](const char* name, const QString& fault, const QString& stored,
                             bool mode, const QStringList& seen, int hints, bool paired) {
            QTest::newRow(name) << fault << stored << mode << seen << hints << paired;
        };
        row("PAIR, pairing mode off", "", "", false, { pairing }, 1, false);
        row("PAIR, stored token", "", kToken, false, { layout, control }, 0, true);
        row("PAIR, stale token", "", stale, true, { layout, pairing, layout, control }, 1, true);
        // No answer in time, or one past the size bound: a refused pairing; for a
        // layout request a refused token, so a new pairing request follows.
        row("token answer trickles", "trickle", "", true, { pairing }, 1, false);
        row("layout answer of 10 MB", "huge", kToken, true, { layout, pairing }, 2, false);
        // A fresh token refused ends at the hint (another request would loop).
        row("fresh token refused", "slow>huge", "", true, { pairing, layout }, 1, false);
        // A layout of the wrong types: nothing recorded, nothing switched, no hint.
        row("layout of wrong types", "wrongtypes", kToken, true, { layout }, 0, false);
    }

    void misbehavingDevices()
    {
        QFETCH(QString, fault);
        QFETCH(QString, stored);
        QFETCH(bool, pairingMode);
        QFETCH(QStringList, seen);
        QFETCH(int, hints);
        QFETCH(bool, paired);
        startSim({ NanoleafSim::lightPanels() }, true);
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
            QCOMPARE(token.size(), laterFault.isEmpty() ? stored.size() : 32);
            QVERIFY(!laterFault.isEmpty() || token == stored);
            QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "none" } }));
            QVERIFY(sim->setPairing(kLightIp, true));
            pair(kLight, kLightIp, 4);
            QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(deviceMap.value(kLight).isPaired, 10000);
        } else {
            QCOMPARE(deviceMap.value(kLight).ip, kLightIp);
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

    // Names of neither "Light" nor "Canvas" go by the model number: a v2 model streams its lit
    // panels in position order, others nothing; light_stream=v2 takes the Light Panels too.
    void modelsByNumber_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QJsonObject>("device");
        QTest::addColumn<QString>("streamed"); // panels, v2 ids, port

        const auto row = [](const char* tag, const char* settings, const QString& name,
                             const char* model, const QJsonArray& panels, const char* streamed) {
            QTest::newRow(tag) << QByteArray(settings)
                               << QJsonObject { { "name", name }, { "model", model },
                                      { "panels", panels } }
                               << streamed;
        };
        // Controller (no LEDs) at the bottom left; hexagons on three rows.
        row("Shapes", "", "Shapes 07E7", "NL42",
            { piece(1, -200, 0, 12), piece(201, 0, 0, 7), piece(202, 100, 200, 7),
                piece(203, -100, 200, 7), piece(204, 0, 100, 7), piece(205, 200, 0, 7) },
            "5|203,202,204,201,205|60222");
        row("Light Panels, light_stream=v2", "light_stream=v2", kLight, "NL22",
            { piece(82, 0, 0, 0), piece(15, 100, 0, 0), piece(200, 50, 87, 0) },
            "3|200,82,15|60222");
        row("Light Panels under another name", "", "Nanoleaf Aurora 1A", "NL22", { 82, 15 },
            "not streamed");
    }

    void modelsByNumber()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QJsonObject, device);
        QFETCH(QString, streamed);
        const QString name = device.value("name").toString();
        const QString ip = "127.0.0.4";
        device.insert("ip", ip);
        startSim(QJsonArray { device });
        setSettings(settings);
        const int notStreamed = log->count(kNotStreamed);
        pair(name, ip);
        QTRY_VERIFY_WITH_TIMEOUT(deviceMap.value(name).isPaired, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(ip), QString("extControl-v2"), 10000);
        QCOMPARE(log->count(kNotStreamed), notStreamed + (streamed == "not streamed" ? 1 : 0));

        QString got = "not streamed";
        const DeviceRegistry::StreamTargets targets = deviceMap.streamTargets();
        for (const StreamDevice& target : *targets) {
            QStringList ids;
            for (int id : target.v2Ids)
                ids << QString::number(id);
            if (target.name == name.toStdString() && target.streamed() && target.v2)
                got = QString("%1|%2|%3")
                          .arg(target.panelNumbers)
                          .arg(ids.join(','))
                          .arg(target.to.port);
        }
        QCOMPARE(got, streamed);
    }

    // The scene shown before PAIR comes back when the network sources are gone (until the next
    // frame) or, with unpair=restore, at UNPAIR; one found streaming gets the profile's scene.
    void scenesComeBack_data()
    {
        QTest::addColumn<QStringList>("setup"); // "PUT resource body": the owner's
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("kept"); // a scene in the profile before PAIR
        QTest::addColumn<bool>("unpair"); // else the sources are gone
        QTest::addColumn<QStringList>("after"); // what the device is sent then

        const QString forest = "PUT effects {\"select\":\"Forest\"}";
        const QString state40 = "PUT state {\"brightness\":{\"value\":40},\"on\":{\"value\":true}}";
        const QString keptForest = "{\"effects\":{\"select\":\"Forest\"},\"state\":{\"brightness\":"
                                   "{\"value\":40},\"on\":{\"value\":true}}}";
        const QString brightness40 = "PUT state {\"brightness\":{\"value\":40}}";
        const QStringList namedEffect { forest, brightness40 };
        const QString staticWrite
            = "PUT effects {\"write\":{\"animData\":\"3 82 1 255 201 29 0 12 15 1 "
              "255 201 29 0 12 200 1 255 201 29 0 12\",\"animType\":\"static\","
              "\"command\":\"display\",\"loop\":false,\"palette\":[],"
              "\"version\":\"2.0\"}}";
        const auto row = [](const char* name, const QStringList& setup, const char* settings,
                             const QString& kept, bool unpair, const QStringList& after) {
            QTest::newRow(name) << setup << QByteArray(settings) << kept << unpair << after;
        };
        row("named effect", namedEffect, "", "", false, { forest, state40 });
        row("temporary effect",
            { "PUT effects {\"write\":{\"command\":\"display\",\"animType\":\"static\","
              "\"animData\":\"1 82 1 10 20 30 0 1\"}}",
                brightness40 },
            "", "", false, { state40 });
        row("already streaming: the kept scene",
            { "PUT effects {\"write\":{\"command\":\"display\",\"animType\":\"extControl\","
              "\"extControlVersion\":\"v2\"}}",
                brightness40 },
            "", keptForest, false, { forest, state40 });
        row("restore=off", namedEffect, "restore=off", "", false, {});
        row("unpair: the warm colour", namedEffect, "", "", true, { staticWrite });
        row("unpair=restore", namedEffect, "unpair=restore", "", true, { forest, state40 });
    }

    void scenesComeBack()
    {
        QFETCH(QStringList, setup);
        QFETCH(QByteArray, settings);
        QFETCH(QString, kept);
        QFETCH(bool, unpair);
        QFETCH(QStringList, after);
        startSim({ NanoleafSim::lightPanels() }, true);
        for (const QString& line : setup)
            QCOMPARE(NanoleafSim::ownerPut(
                         kLightIp, line.section(' ', 1, 1), line.section(' ', 2).toUtf8())
                    / 100,
                2);
        setSettings(settings);
        if (!kept.isEmpty())
            QVERIFY(TokenProfile::writeScene(kLight, kept));
        const int seen = pairedLight();
        QVERIFY(seen > 0);
        // The profile keeps the user's own scene (an effect selected, or the one it kept
        // already), not a temporary one, unless restoring is off.
        const bool own = setup.first().contains("select") || !kept.isEmpty();
        QCOMPARE(OpenApiFormat::parseScene(TokenProfile::readScene(kLight).toUtf8()).ok,
            own && !settings.contains("restore=off"));

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
        if (unpair || after.isEmpty())
            return;
        int red[12] = { 1 }, green[12] = { 2 }, blue[12] = { 3 };
        service->sendUdpDAta(12, red, green, blue);
        QTRY_COMPARE_WITH_TIMEOUT(sim->mode(kLightIp), QString("extControl-v2"), 10000);
    }

    // A streamed device back from a restart is switched into external control again; one
    // whose owner chose an effect is let go (said once, asked no more), the other still watched.
    void watchFollowsTheDevice_data()
    {
        QTest::addColumn<bool>("restart"); // else the owner selects "Forest"
        QTest::newRow("restarted") << true;
        QTest::newRow("owner's choice") << false;
    }

    void watchFollowsTheDevice()
    {
        QFETCH(bool, restart);
        startSim({ NanoleafSim::lightPanels(), NanoleafSim::canvas() }, true);
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
    }

    // A pairing finishes while the scan runs on its own thread; scans asked for meanwhile
    // run one after the other; a service destroyed while it scans drops the next.
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

    // UNPAIR while the layout request of a PAIR is held by a slow device: it ends unpaired
    // in the static effect, each request sent once the one before was answered.
    void requestsInTheOrderAsked()
    {
        startSim({ NanoleafSim::lightPanels() }, true);
        QVERIFY(TokenProfile::write(kLight, kToken));
        QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 700 } }));
        const int answered = log->count(kStaticAnswer);
        pair(kLight, kLightIp);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), 1, 10000);
        unpair(kLight, kLightIp);
        QVERIFY(log->waitFor(kStaticAnswer, answered + 1, 20000));
        settle();

        QCOMPARE(sim->requestLines(kLightIp),
            (QStringList { "GET /api/v1/<token>/", "PUT /api/v1/<token>/effects" }));
        const QJsonArray requests = sim->requests(kLightIp);
        for (int i = 1; i < requests.size(); ++i)
            QVERIFY2(requests[i]["time_ns"].toString().toLongLong()
                    > requests[i - 1]["answered_ns"].toString().toLongLong(),
                qPrintable(QString("request %1 overtook the one before").arg(i)));
        QCOMPARE(sim->mode(kLightIp), QString("static"));
        QVERIFY(!deviceMap.value(kLight).isPaired);
        QVERIFY(!service->hasRequestsFor(kLight));
    }

    // PAIR on one device, then PAIR on another before the first answers: each answer
    // acts on its request's device, with its token; the hint names its row.
    void answersStayWithTheirDevice_data()
    {
        QTest::addColumn<bool>("lightPairingMode");
        QTest::newRow("paired meanwhile") << true;
        QTest::newRow("refused meanwhile") << false;
    }

    void answersStayWithTheirDevice()
    {
        QFETCH(bool, lightPairingMode);
        startSim({ NanoleafSim::lightPanels(), NanoleafSim::canvas() }, true);
        QVERIFY(sim->setPairing(kLightIp, lightPairingMode));
        QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 2000 } }));
        QVERIFY(TokenProfile::write(kCanvas, kToken));
        QSignalSpy hints(&relay, SIGNAL(showTokenPage(int)));

        pair(kLight, kLightIp, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(kLightIp).size(), 1, 10000);
        pair(kCanvas, kCanvasIp, 1);

        QTRY_COMPARE_WITH_TIMEOUT(sim->requestLines(kCanvasIp, false),
            (QStringList { "GET /api/v1/" + kToken + "/", "PUT /api/v1/" + kToken + "/effects" }),
            10000);
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
        QCOMPARE(service->currentDevice().nanoToken, kToken);
    }
};

QTEST_GUILESS_MAIN(tst_OpenApi)
#include "tst_openapi.moc"
