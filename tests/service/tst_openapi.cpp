// The device service's OpenAPI flows against the device simulator, in a private
// network: pairing and the token profile, the layout answer, the effect commands,
// and what happens when a device misbehaves.

#include "common/logwatch.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"

#include <QUdpSocket>
#include <QtTest>

namespace
{

// The "animData" of a static-effect request the simulator recorded.
QString animDataOf(const QJsonValue& request)
{
    const QByteArray body = request.toObject().value("body").toString().toUtf8();
    return QJsonDocument::fromJson(body)
        .object()
        .value("write")
        .toObject()
        .value("animData")
        .toString();
}

const QString kLight = "Light Panels 52:33:A1";
const QString kCanvas = "Canvas 1F:2B:3C";
// A token the simulated devices are configured to know.
const QString kKnownToken = "00112233445566778899aabbccddeeff";
const QString kUnreadableLayout = "getPanelNumber layout unreadable";
const QString kNotStreamed = "getPanelNumber model not streamed";

QString urlOf(const QString& ip)
{
    return "http://" + ip + ":16021";
}

QStringList methodsAndPaths(const QJsonArray& requests)
{
    QStringList out;
    for (const QJsonValue& r : requests)
        out << r.toObject().value("method").toString() + " "
                + r.toObject().value("path").toString();
    return out;
}

// Replaces each stored token in a path by <token> so paths can be compared.
QStringList shapes(const QJsonArray& requests)
{
    QStringList out = methodsAndPaths(requests);
    for (QString& line : out)
        line.replace(QRegularExpression("/api/v1/[0-9A-Za-z]{32}/"), "/api/v1/<token>/");
    return out;
}

QJsonObject piece(int id, int x, int y, int shapeType)
{
    return QJsonObject { { "id", id }, { "x", x }, { "y", y }, { "o", 0 },
        { "shapeType", shapeType } };
}

} // namespace

// The service emits on its own thread; QSignalSpy is not safe to feed from
// another thread, so the spies watch this relay, reached through queued
// connections on the test's thread.
class ServiceRelay : public QObject
{
    Q_OBJECT
signals:
    void refreshIsPaired();
    void showTokenPage(int);
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

    // Devices start with their pairing mode on, as after the user held the button.
    void startSim(QJsonArray devices = NanoleafSim::defaultDevices())
    {
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject device = devices.at(i).toObject();
            device.insert("pairing_mode", true);
            devices.replace(i, device);
        }
        sim.reset(new NanoleafSim(devices));
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    }

    // Runs a whole pairing of the named device the way the controller does.
    void pair(const QString& name, const QString& ip, int row = 0)
    {
        service->setNanoIP(urlOf(ip), ip, name, row, true);
        if (service->checkQfileToken(name).isEmpty())
            service->getToken();
        else
            service->GetRequestBtn();
    }

    // The controller's unpair of a device with a stored token.
    void unpair(const QString& name, const QString& ip, int row = 0)
    {
        service->setNanoIP(urlOf(ip), ip, name, row, false);
        QVERIFY(!service->checkQfileToken(name).isEmpty());
        service->SendStaticMode(name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        worker.start();
        log = std::make_unique<LogWatch>(QStringList { kUnreadableLayout, kNotStreamed, "END" });
    }

    void init()
    {
        QFile::remove(TokenProfile::directory());
        QDir(TokenProfile::directory()).removeRecursively();
        service = new nanoleafAPIsync;
        QVERIFY(connect(service, SIGNAL(refreshIsPaired()), &relay, SIGNAL(refreshIsPaired()),
            Qt::QueuedConnection));
        QVERIFY(connect(service, SIGNAL(showTokenPage(int)), &relay, SIGNAL(showTokenPage(int)),
            Qt::QueuedConnection));
        service->moveToThread(&worker);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << log->recent().join('\n');
        sim.reset();
        QMetaObject::invokeMethod(service, "deleteLater");
        service = nullptr;
    }

    void cleanupTestCase()
    {
        worker.quit();
        worker.wait();
        log.reset();
    }

    void firstStartHasNoTokenAndCreatesNothing()
    {
        QCOMPARE(service->checkQfileToken(kLight), QString());
        QVERIFY(!QFileInfo::exists(TokenProfile::directory()));
        QVERIFY(TokenProfile::directory().startsWith(config.path()));
        QVERIFY(TokenProfile::directory().endsWith("/nanoleaf"));
    }

    void emptyStoredValueCountsAsMissing()
    {
        QVERIFY(TokenProfile::write("Device A", "tokenA"));
        QVERIFY(TokenProfile::write("Device B", ""));
        QCOMPARE(service->checkQfileToken("Device A"), QString("tokenA"));
        QCOMPARE(service->checkQfileToken("Device B"), QString());
        QCOMPARE(service->checkQfileToken("Device C"), QString());
        // The last token found stays current.
        QCOMPARE(service->currentDevice().nanoToken, QString("tokenA"));
    }

    // "resume" in [settings] turns the resume at start on; device names never
    // reach that group, not even a name spelling its key.
    void resumeSetting_data()
    {
        QTest::addColumn<QByteArray>("profile"); // file text; none when empty
        QTest::addColumn<QString>("device"); // a device whose token is stored besides
        QTest::addColumn<bool>("on");
        const QByteArray on = "[settings]\nresume=true\n";
        QTest::newRow("no profile") << QByteArray() << QString() << false;
        QTest::newRow("true") << on << QString() << true;
        QTest::newRow("on") << QByteArray("[settings]\nresume=on\n") << QString() << true;
        QTest::newRow("off") << QByteArray("[settings]\nresume=off\n") << QString() << false;
        QTest::newRow("a device's token")
            << QByteArray("[General]\nresume=true\n") << QString() << false;
        QTest::newRow("device named resume") << on << "resume" << true;
        QTest::newRow("device named settings/resume") << on << "settings/resume" << true;
    }

    void resumeSetting()
    {
        QFETCH(QByteArray, profile);
        QFETCH(QString, device);
        QFETCH(bool, on);
        if (!profile.isEmpty()) {
            QVERIFY(QDir().mkpath(TokenProfile::directory()));
            QFile file(TokenProfile::fileName());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(profile), profile.size());
        }
        if (!device.isEmpty()) {
            QVERIFY(TokenProfile::write(device, "0123456789abcdef0123456789abcdef"));
            QCOMPARE(TokenProfile::read(device), QString("0123456789abcdef0123456789abcdef"));
        }
        QCOMPARE(TokenProfile::resumeAtStart(), on);
    }

    // A name holding '/' was once stored raw, as a group and a key: its token is
    // still found, and a new token for it goes where no setting can be hit.
    void tokenOfAnOldSlashNameIsKept()
    {
        QVERIFY(QDir().mkpath(TokenProfile::directory()));
        QFile file(TokenProfile::fileName());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("[hall]\ndesk=0123456789abcdef0123456789abcdef\n") > 0);
        file.close();
        QCOMPARE(TokenProfile::read("hall/desk"), QString("0123456789abcdef0123456789abcdef"));
        QVERIFY(TokenProfile::write("hall/desk", "fedcba9876543210fedcba9876543210"));
        QCOMPARE(TokenProfile::read("hall/desk"), QString("fedcba9876543210fedcba9876543210"));
    }

    void profileIsOwnerOnly()
    {
        QVERIFY(TokenProfile::write(kLight, "0123456789abcdef0123456789abcdef"));
        const QFile::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
        const QFile::Permissions file = QFileInfo(TokenProfile::fileName()).permissions();
        QVERIFY(file & QFileDevice::ReadOwner);
        QVERIFY(file & QFileDevice::WriteOwner);
        QVERIFY(!(file & (others | QFileDevice::ExeOwner)));
        const QFile::Permissions dir = QFileInfo(TokenProfile::directory()).permissions();
        QVERIFY(dir & QFileDevice::ExeOwner);
        QVERIFY(!(dir & others));
        // The profile stays a plain INI file keyed by device name.
        QSettings raw(TokenProfile::fileName(), QSettings::IniFormat);
        QCOMPARE(raw.value(kLight).toString(), QString("0123456789abcdef0123456789abcdef"));
    }

    // The token then lives in memory only, so the user must hear of it.
    void unwritableProfileIsReported_data()
    {
        QTest::addColumn<bool>("folderIsFile");
        QTest::newRow("its folder is a file") << true;
        QTest::newRow("the file is a folder") << false;
    }

    void unwritableProfileIsReported()
    {
        QFETCH(bool, folderIsFile);
        if (folderIsFile) {
            QFile blocker(TokenProfile::directory());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(TokenProfile::fileName()));
        }
        const QString file = QRegularExpression::escape(TokenProfile::fileName());
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression("^Token profile " + file
                + " could not be written \\(.+\\): the token of "
                + QRegularExpression::escape(kLight) + " is not stored$"));
        QVERIFY(!TokenProfile::write(kLight, "0123456789abcdef0123456789abcdef"));
    }

    void pairingWithPairingModeOn()
    {
        startSim();
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair(kLight, "127.0.0.2", 3);
        QVERIFY(paired.wait(10000));

        const QString token = TokenProfile::read(kLight);
        QCOMPARE(token.size(), 32);
        QCOMPARE(service->currentDevice().nanoToken, token);
        const DeviceRecord record = deviceMap.value(kLight);
        QVERIFY(record.isPaired);
        QCOMPARE(record.panelNumbers, 3);
        QCOMPARE(record.pidArrray, (QVector<int> { 82, 15, 200 }));
        QCOMPARE(record.mPidArray, (QVector<int> { 82, 15, 200 }));
        QCOMPARE(record.ip, QString("127.0.0.2"));

        QTRY_COMPARE_WITH_TIMEOUT(
            sim->device("127.0.0.2").value("mode").toString(), QString("extControl-v2"), 10000);
        const QJsonArray requests = sim->requests("127.0.0.2");
        QCOMPARE(methodsAndPaths(requests),
            (QStringList { "POST /api/v1/new", "GET /api/v1/" + token + "/",
                "PUT /api/v1/" + token + "/effects" }));
        const QJsonObject pairing = requests.at(0).toObject();
        QCOMPARE(pairing.value("headers").toObject().value("Content-Type").toString(),
            QString("application/json"));

        const QJsonObject put = requests.at(2).toObject();
        const QByteArray body = put.value("body").toString().toUtf8();
        const QJsonObject headers = put.value("headers").toObject();
        QCOMPARE(headers.value("Content-Length").toString(), QString::number(body.size()));
        QCOMPARE(headers.value("Content-Type").toString(), QString("application/json"));
    }

    void pairingWithPairingModeOff()
    {
        startSim();
        QVERIFY(sim->setPairing("127.0.0.2", false));
        QSignalSpy hint(&relay, SIGNAL(showTokenPage(int)));
        pair(kLight, "127.0.0.2", 5);
        QVERIFY(hint.wait(10000));
        QCOMPARE(hint.first().first().toInt(), 5);
        QVERIFY(!TokenProfile::exists());
        QVERIFY(!deviceMap.value(kLight).isPaired);
        QCOMPARE(shapes(sim->requests("127.0.0.2")), QStringList { "POST /api/v1/new" });
    }

    // The device no longer knows the stored token: 401 with an empty body. The
    // service asks for the hint and goes straight to a new pairing request, which
    // with pairing mode on stores a fresh token and completes the pairing.
    void staleTokenLeadsToNewPairing()
    {
        startSim();
        QVERIFY(TokenProfile::write(kLight, "ffffffffffffffffffffffffffffffff"));
        QSignalSpy hint(&relay, SIGNAL(showTokenPage(int)));
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair(kLight, "127.0.0.2", 1);
        QVERIFY(paired.wait(10000));
        QCOMPARE(hint.count(), 1);
        const QString fresh = TokenProfile::read(kLight);
        QVERIFY(fresh != "ffffffffffffffffffffffffffffffff");
        QTRY_COMPARE_WITH_TIMEOUT(shapes(sim->requests("127.0.0.2")),
            (QStringList { "GET /api/v1/<token>/", "POST /api/v1/new", "GET /api/v1/<token>/",
                "PUT /api/v1/<token>/effects" }),
            10000);
    }

    // The record is written under the name the device gives, not the one the
    // user paired: a second record appears, and only it is paired.
    void answerNameDiffersFromDiscoveredName()
    {
        startSim();
        deviceMap.insert(
            "Old Light Name", DeviceRecord::discoveryRecord("Old Light Name", "127.0.0.2"));
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair("Old Light Name", "127.0.0.2");
        QVERIFY(paired.wait(10000));
        QVERIFY(!deviceMap.value("Old Light Name").isPaired);
        const DeviceRecord second = deviceMap.value(kLight);
        QVERIFY(second.isPaired);
        QVERIFY(second.ip.isEmpty());
        QVERIFY(TokenProfile::read("Old Light Name").size() == 32);
    }

    void staticEffectAfterUnpair()
    {
        startSim();
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair(kCanvas, "127.0.0.3");
        QVERIFY(paired.wait(10000));
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests("127.0.0.3").size(), 3, 10000);
        service->setNanoIP(urlOf("127.0.0.3"), "127.0.0.3", kCanvas, 0, false);
        QVERIFY(!service->checkQfileToken(kCanvas).isEmpty());
        service->SendStaticMode(kCanvas);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests("127.0.0.3").size(), 4, 10000);
        const QJsonObject put = sim->requests("127.0.0.3").at(3).toObject();
        const QByteArray body = put.value("body").toString().toUtf8();
        const QJsonObject write = QJsonDocument::fromJson(body).object().value("write").toObject();
        QCOMPARE(write.value("animData").toString(),
            QString("2 1234 1 255 201 29 0 12 7 1 255 201 29 0 12"));
        QCOMPARE(put.value("headers").toObject().value("Content-Length").toString(),
            QString::number(body.size()));
        QTRY_COMPARE_WITH_TIMEOUT(
            sim->device("127.0.0.3").value("mode").toString(), QString("static"), 10000);
        const QJsonArray colours = sim->device("127.0.0.3").value("panels").toArray();
        QCOMPARE(colours.at(0).toObject().value("r").toInt(), 255);
        QCOMPARE(colours.at(0).toObject().value("g").toInt(), 201);
        QCOMPARE(colours.at(0).toObject().value("b").toInt(), 29);
    }

    void staticEffectForUnknownName()
    {
        startSim();
        QVERIFY(TokenProfile::write(kLight, "x"));
        service->setNanoIP(urlOf("127.0.0.2"), "127.0.0.2", kLight, 0, false);
        service->checkQfileToken(kLight);
        service->SendStaticMode("Never Seen");
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests("127.0.0.2").size(), 1, 10000);
        QCOMPARE(animDataOf(sim->requests("127.0.0.2").at(0)), QString("0 0 1 255 201 29 0 12"));
        QCOMPARE(deviceMap.value("Never Seen").mPidArray, QVector<int> { 0 });
    }

    // A device that accepts the connection and never answers, or answers a byte a
    // second without end: the request ends by its deadline like any failed one,
    // and the user gets the hint.
    void stalledDeviceTimesOut_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("never answers") << "hang";
        QTest::newRow("trickles") << "trickle";
    }

    void stalledDeviceTimesOut()
    {
        QFETCH(QString, fault);
        startSim();
        QVERIFY(sim->setFault("127.0.0.2", QJsonObject { { "http", fault } }));
        QSignalSpy hint(&relay, SIGNAL(showTokenPage(int)));
        pair(kLight, "127.0.0.2", 2);
        QVERIFY(hint.wait(nanoleafAPIsync::kRequestTimeoutMs + 10000));
        QCOMPARE(hint.first().first().toInt(), 2);
        QVERIFY(!TokenProfile::exists());
    }

    // The scan listens on a thread of its own: a pairing started just before
    // SEARCH reaches external control while the scan still runs.
    void pairingGoesOnDuringScan()
    {
        startSim();
        service->setScanTime(6);
        pair(kLight, "127.0.0.2");
        QVERIFY(QMetaObject::invokeMethod(service, "searchDeive_noBonjour", Qt::QueuedConnection));
        QTRY_COMPARE_WITH_TIMEOUT(
            sim->device("127.0.0.2").value("mode").toString(), QString("extControl-v2"), 30000);
        QCOMPARE(log->count("END"), 0);
        QVERIFY(log->waitFor("END", 1, 20000));
    }

    // Answers that give no usable token or no readable layout: nothing is
    // stored or recorded, and no further request goes out. A refused token
    // brings up the hint.
    void misbehavingAnswers_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("storedToken");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<int>("hints"); // none: wait for the unreadable layout's log line

        QTest::newRow("token not a string") << "wrongtypes"
                                            << "" << QStringList { "POST /api/v1/new" } << 1;
        QTest::newRow("layout not JSON") << "nonjson"
                                         << "abc" << QStringList { "GET /api/v1/abc/" } << 0;
        QTest::newRow("layout of wrong types")
            << "wrongtypes" << kKnownToken << QStringList { "GET /api/v1/<token>/" } << 0;
        // 10 MB is past the answer bound: dropped, so it reads as a refused
        // token, and the new pairing request's answer is dropped the same way.
        QTest::newRow("layout of 10 MB")
            << "huge"
            << "abc" << QStringList { "GET /api/v1/abc/", "POST /api/v1/new" } << 2;
    }

    void misbehavingAnswers()
    {
        QFETCH(QString, fault);
        QFETCH(QString, storedToken);
        QFETCH(QStringList, requests);
        QFETCH(int, hints);
        QJsonObject device = NanoleafSim::lightPanels("127.0.0.2");
        device.insert("tokens", QJsonArray { kKnownToken });
        startSim(QJsonArray { device });
        if (!storedToken.isEmpty())
            QVERIFY(TokenProfile::write(kLight, storedToken));
        QVERIFY(sim->setFault("127.0.0.2", QJsonObject { { "http", fault } }));
        QSignalSpy hint(&relay, SIGNAL(showTokenPage(int)));
        const int unreadable = log->count(kUnreadableLayout);
        pair(kLight, "127.0.0.2", 4);

        if (hints > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(hint.count(), hints, 20000);
            QCOMPARE(hint.last().first().toInt(), 4);
        } else {
            QVERIFY(log->waitFor(kUnreadableLayout, unreadable + 1, 20000));
            QCOMPARE(hint.count(), 0);
        }
        QCOMPARE(shapes(sim->requests("127.0.0.2")), requests);
        QCOMPARE(TokenProfile::read(kLight), storedToken);
        QVERIFY(!deviceMap.value(kLight).isPaired);
        QVERIFY(!deviceMap.snapshot().contains(""));
    }

    // Devices named neither "Light" nor "Canvas" go by the model number of
    // their info answer. A v2 model gets one v2 datagram per host frame for its
    // lit panels in position order, each showing host entry floor(12 j / n),
    // and UNPAIR names those panels; any other model is paired as before and
    // sent nothing. Colours are "id:r,g,b" in the simulator's layout order.
    void modelsByNumber_data()
    {
        QTest::addColumn<QJsonObject>("device");
        QTest::addColumn<QList<int>>("datagramSizes");
        QTest::addColumn<QStringList>("colours");
        QTest::addColumn<QString>("animData");
        QTest::addColumn<int>("notStreamedLines");

        // Controller (no LEDs) at the bottom left; hexagons on three rows.
        QTest::newRow("Shapes")
            << QJsonObject { { "name", "Shapes 07E7" }, { "model", "NL42" },
                   { "panels",
                       QJsonArray { piece(1, -200, 0, 12), piece(201, 0, 0, 7),
                           piece(202, 100, 200, 7), piece(203, -100, 200, 7), piece(204, 0, 100, 7),
                           piece(205, 200, 0, 7) } } }
            << QList<int> { 42 }
            << QStringList { "1:0,0,0", "201:17,107,207", "202:12,102,202", "203:10,100,200",
                   "204:14,104,204", "205:19,109,209" }
            << "5 203 1 255 201 29 0 12 202 1 255 201 29 0 12 204 1 255 201 29 0 12"
               " 201 1 255 201 29 0 12 205 1 255 201 29 0 12"
            << 0;
        // Hung upside down: the square's lower row is on top.
        QTest::newRow("Elements turned 180")
            << QJsonObject { { "name", "Elements 728C" }, { "model", "NL52" },
                   { "global_orientation", 180 },
                   { "panels",
                       QJsonArray { piece(301, 0, 0, 14), piece(302, 0, 100, 14),
                           piece(303, 100, 100, 14), piece(304, 100, 0, 14) } } }
            << QList<int> { 34 }
            << QStringList { "301:13,103,203", "302:19,109,209", "303:16,106,206",
                   "304:10,100,200" }
            << "4 304 1 255 201 29 0 12 301 1 255 201 29 0 12 303 1 255 201 29 0 12"
               " 302 1 255 201 29 0 12"
            << 0;
        QTest::newRow("Light Panels under another name")
            << QJsonObject { { "name", "Nanoleaf Aurora 1A" }, { "model", "NL22" },
                   { "panels", QJsonArray { 82, 15 } } }
            << QList<int> {} << QStringList {} << "2" << 1;
    }

    void modelsByNumber()
    {
        QFETCH(QJsonObject, device);
        QFETCH(QList<int>, datagramSizes);
        QFETCH(QStringList, colours);
        QFETCH(QString, animData);
        QFETCH(int, notStreamedLines);
        const QString name = device.value("name").toString();
        const QString ip = "127.0.0.4";
        device.insert("ip", ip);
        startSim(QJsonArray { device });
        const int notStreamed = log->count(kNotStreamed);
        QSignalSpy paired(&relay, SIGNAL(refreshIsPaired()));
        pair(name, ip);
        QVERIFY(paired.wait(10000));
        QVERIFY(deviceMap.value(name).isPaired);
        QTRY_COMPARE_WITH_TIMEOUT(
            sim->device(ip).value("mode").toString(), QString("extControl-v2"), 10000);
        QCOMPARE(log->count(kNotStreamed), notStreamed + notStreamedLines);

        int red[12], green[12], blue[12];
        for (int k = 0; k < 12; ++k) {
            red[k] = 10 + k;
            green[k] = 100 + k;
            blue[k] = 200 + k;
        }
        service->sendUdpDAta(12, red, green, blue);
        // Markers sent now queue behind whatever the frame sent to either port.
        const QByteArray marker("mark");
        QUdpSocket markers;
        QCOMPARE(markers.writeDatagram(marker, QHostAddress(ip), 60221), qint64(4));
        QCOMPARE(markers.writeDatagram(marker, QHostAddress(ip), 60222), qint64(4));
        QList<int> sizes;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                sizes.clear();
                int seen = 0;
                for (const QJsonValue& frame : sim->frames(ip)) {
                    if (frame.toObject().value("bytes").toString() == marker.toHex())
                        ++seen;
                    else
                        sizes << frame.toObject().value("size").toInt();
                }
                return seen == 2;
            }(),
            10000);
        QCOMPARE(sizes, datagramSizes);
        if (!colours.isEmpty()) {
            QStringList shown;
            for (const QJsonValue& panel : sim->device(ip).value("panels").toArray()) {
                const QJsonObject p = panel.toObject();
                shown << QString("%1:%2,%3,%4")
                             .arg(p.value("id").toInt())
                             .arg(p.value("r").toInt())
                             .arg(p.value("g").toInt())
                             .arg(p.value("b").toInt());
            }
            QCOMPARE(shown, colours);
        }

        unpair(name, ip);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests(ip).size(), 4, 10000);
        QCOMPARE(animDataOf(sim->requests(ip).at(3)), animData);
    }

    // PAIR on one device, then PAIR or UNPAIR on another before the first
    // answers: each answer acts on the device its request went to, with that
    // device's token, and the hint names that device's row.
    void answersStayWithTheirDevice_data()
    {
        QTest::addColumn<bool>("lightPairingMode");
        QTest::addColumn<bool>("canvasPaired");
        QTest::addColumn<QStringList>("canvasRequests");

        const QString layout = "GET /api/v1/" + kKnownToken + "/";
        const QString effects = "PUT /api/v1/" + kKnownToken + "/effects";
        QTest::newRow("pair meanwhile") << true << true << QStringList { layout, effects };
        QTest::newRow("unpair meanwhile") << true << false << QStringList { effects };
        QTest::newRow("refused while pairing") << false << true << QStringList { layout, effects };
    }

    void answersStayWithTheirDevice()
    {
        QFETCH(bool, lightPairingMode);
        QFETCH(bool, canvasPaired);
        QFETCH(QStringList, canvasRequests);
        QJsonObject canvas = NanoleafSim::canvas("127.0.0.3");
        canvas.insert("tokens", QJsonArray { kKnownToken });
        startSim(QJsonArray { NanoleafSim::lightPanels("127.0.0.2"), canvas });
        QVERIFY(sim->setPairing("127.0.0.2", lightPairingMode));
        QVERIFY(
            sim->setFault("127.0.0.2", QJsonObject { { "http", "slow" }, { "delay_ms", 2000 } }));
        QVERIFY(TokenProfile::write(kCanvas, kKnownToken));
        QSignalSpy hints(&relay, SIGNAL(showTokenPage(int)));

        pair(kLight, "127.0.0.2", 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests("127.0.0.2").size(), 1, 10000);
        if (canvasPaired)
            pair(kCanvas, "127.0.0.3", 1);
        else
            unpair(kCanvas, "127.0.0.3", 1);

        QTRY_COMPARE_WITH_TIMEOUT(
            methodsAndPaths(sim->requests("127.0.0.3")), canvasRequests, 10000);
        if (lightPairingMode) {
            QTRY_COMPARE_WITH_TIMEOUT(
                sim->device("127.0.0.2").value("mode").toString(), QString("extControl-v2"), 20000);
            const QString token = TokenProfile::read(kLight);
            QCOMPARE(token.size(), 32);
            QCOMPARE(methodsAndPaths(sim->requests("127.0.0.2")),
                (QStringList { "POST /api/v1/new", "GET /api/v1/" + token + "/",
                    "PUT /api/v1/" + token + "/effects" }));
            QVERIFY(deviceMap.value(kLight).isPaired);
            QCOMPARE(hints.count(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(hints.count(), 1, 20000);
            QCOMPARE(hints.first().first().toInt(), 0);
            QCOMPARE(
                methodsAndPaths(sim->requests("127.0.0.2")), QStringList { "POST /api/v1/new" });
            QCOMPARE(TokenProfile::read(kLight), QString());
        }
        QCOMPARE(TokenProfile::read(kCanvas), kKnownToken);
        QCOMPARE(service->currentDevice().nanoName, kCanvas);
        QCOMPARE(service->currentDevice().nanoToken, kKnownToken);
        QCOMPARE(deviceMap.value(kCanvas).isPaired, canvasPaired);
    }
};

QTEST_GUILESS_MAIN(tst_OpenApi)
#include "tst_openapi.moc"
