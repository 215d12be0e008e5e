// The device registry, its stream targets, and sendUdpDAta through real sockets: which
// devices get a datagram, where, in which order, and what is said of one that drops them.

#include "common/logwatch.h"
#include "common/privatenetwork.h"
#include "common/unreachablenet.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <thread>
#include <tuple>

namespace
{

// One line per stream target, in registry order: name, paired, model, where to;
// and one more when the targets were not renewed since the last call.
QStringList targetLines()
{
    static std::uint64_t last = ~std::uint64_t(0);
    std::uint64_t renewed = 0;
    QStringList lines;
    const DeviceRegistry::StreamTargets targets = deviceMap.streamTargets(renewed);
    for (const StreamDevice& t : *targets) {
        const char* model = t.model == StreamDatagram::Model::Light ? "Light"
            : t.model == StreamDatagram::Model::Canvas              ? "Canvas"
                                                                    : "none";
        QStringList to, ids;
        for (int part : t.to.address)
            to << QString::number(part);
        for (int id : t.pidArrray)
            ids << QString::number(id);
        lines << QString("%1|%2|%3|%4|%5|%6")
                     .arg(QString::fromStdString(t.name), t.isPaired ? "paired" : "unpaired", model,
                         t.addressOk ? to.join('.') + ':' + QString::number(t.to.port) : "none")
                     .arg(t.panelNumbers)
                     .arg(ids.join(','));
    }
    if (renewed == last)
        lines << "not renewed";
    last = renewed;
    return lines;
}

void addPaired(const QString& name, const QString& ip, int panels, const QVector<int>& pid)
{
    DeviceRecord record = DeviceRecord::discoveryRecord(name, ip);
    std::tie(record.panelNumbers, record.pidArrray, record.isPaired)
        = std::make_tuple(panels, pid, true);
    deviceMap.insert(name, record);
}

// Every datagram that arrived before the call, in hex: a marker sent now queues
// behind them all (loopback delivers at send time).
QStringList take(QUdpSocket& socket)
{
    QUdpSocket().writeDatagram("end", socket.localAddress(), socket.localPort());
    QStringList out;
    for (int waits = 0; waits < 250; ++waits) {
        while (socket.hasPendingDatagrams()) {
            const QByteArray datagram = socket.receiveDatagram().data();
            if (datagram == "end")
                return out;
            out << QString::fromLatin1(datagram.toHex());
        }
        socket.waitForReadyRead(20);
    }
    return out << "no marker";
}

} // namespace

class tst_DeviceRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init() { deviceMap.clear(); }

    // Targets follow every change of a record: pairing, a new layout, a fresh record, a name
    // of another model, a bad address, a stream port, a lookup that inserts.
    void streamTargetsFollowEveryChange()
    {
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.2:60221|0|" });
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.isPaired = true;
            r.panelNumbers = 3;
            r.pidArrray = { 82, 15, 200 };
        });
        QCOMPARE(targetLines(), QStringList { "Light A|paired|Light|127.0.0.2:60221|3|82,15,200" });
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.9"));
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.9:60221|0|" });
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.deviceName = "Canvas A";
            r.ip = "127.0.0.4";
            r.pidArrray = { 4, 210 };
        });
        QCOMPARE(targetLines(), QStringList { "Canvas A|unpaired|Canvas|127.0.0.4:60222|0|4,210" });
        deviceMap.update("Light A", [](DeviceRecord& r) { r.ip = "127.0.0.256"; });
        QCOMPARE(targetLines(), QStringList { "Canvas A|unpaired|Canvas|none|0|4,210" });
        // Light Panels streamed v2 go to 60222, or to the port their answer named.
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.deviceName = "Light A";
            r.ip = "127.0.0.4";
            r.lightV2 = true;
        });
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.4:60222|0|4,210" });
        QVERIFY(deviceMap.streamTargets()->front().v2);
        deviceMap.update("Light A", [](DeviceRecord& r) { r.streamPort = 60300; });
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.4:60300|0|4,210" });
        QCOMPARE(deviceMap.value("Canvas B").mPidArray, QVector<int> { 0 });
        QCOMPARE(targetLines(),
            (QStringList {
                "|unpaired|none|none|0|0", "Light A|unpaired|Light|127.0.0.4:60300|0|4,210" }));
        deviceMap.clear();
        QVERIFY(targetLines().isEmpty());
    }

    // A discovery report keeps what the user set up: the same address renews nothing, a new
    // one moves the paired record, a nameless one takes its name; forgetting spares paired.
    void discoveryKeepsTheRecord()
    {
        using Found = DeviceRegistry::Found;
        QCOMPARE(deviceMap.discovered("Light A", "127.0.0.2"), Found::Added);
        addPaired("Light B", "127.0.0.3", 2, { 7, 9 });
        targetLines();
        DeviceRecord record;
        QCOMPARE(deviceMap.discovered("Light B", "127.0.0.3", &record), Found::Known);
        QVERIFY(record.isPaired);
        QCOMPARE(targetLines().last(), QString("not renewed"));
        QCOMPARE(deviceMap.discovered("Light B", "127.0.0.9", &record), Found::Moved);
        QCOMPARE(record.pidArrray, (QVector<int> { 7, 9 }));
        QCOMPARE(targetLines(),
            (QStringList { "Light A|unpaired|Light|127.0.0.2:60221|0|",
                "Light B|paired|Light|127.0.0.9:60221|2|7,9" }));
        deviceMap.update("Light C", [](DeviceRecord& r) { r.isPaired = true; });
        QCOMPARE(deviceMap.discovered("Light C", "127.0.0.4", &record), Found::Moved);
        QCOMPARE(record.deviceName, QString("Light C"));

        QCOMPARE(deviceMap.forget({ "Light A", "Light B", "Light C", "Light D" }), 1);
        QCOMPARE(deviceMap.snapshot().keys(), (QStringList { "Light B", "Light C" }));
        targetLines();
        QCOMPARE(deviceMap.forget({ "Light B" }), 0);
        QCOMPARE(targetLines().last(), QString("not renewed"));

        // A device given by address takes the name it answers with, and its address
        // with it; a note sticks to a record without moving it.
        deviceMap.setNote("127.0.0.5", "127.0.0.5", "No answer");
        deviceMap.setNote("Light C", "127.0.0.9", "Unknown host");
        QCOMPARE(deviceMap.value("Light C").ip, QString("127.0.0.4"));
        deviceMap.rename("127.0.0.5", "Light E");
        deviceMap.value("Light F"); // a lookup inserts a nameless record
        deviceMap.setNote("127.0.0.6", "127.0.0.6", QString());
        deviceMap.rename("127.0.0.6", "Light F");
        const QMap<QString, DeviceRecord> now = deviceMap.snapshot();
        QCOMPARE(now.keys(), (QStringList { "Light B", "Light C", "Light E", "Light F" }));
        QCOMPARE(now["Light C"].note, QString("Unknown host"));
        QCOMPARE(QStringList({ now["Light E"].deviceName, now["Light E"].ip, now["Light E"].note }),
            (QStringList { "Light E", "127.0.0.5", "" }));
        QCOMPARE(now["Light F"].deviceName + " " + now["Light F"].ip, QString("Light F 127.0.0.6"));
    }

    // Each paired device of a model gets a datagram per frame on its model's port,
    // by name order (one without panels an empty one); the rest nothing.
    void pairedDevicesGetTheirDatagram()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QUdpSocket sinks[6]; // at 127.0.0.2 to .7, the second on Canvas's port
        for (int i = 0; i < 6; ++i)
            QVERIFY(sinks[i].bind(QHostAddress(0x7F000002u + i), i == 1 ? 60222 : 60221));
        nanoleafAPIsync service;
        addPaired("Light Panels A", "127.0.0.2", 3, { 82, 15, 200 });
        addPaired("Canvas B", "127.0.0.3", 2, { 4, 210, 0, 7 });
        addPaired("light panels c", "127.0.0.4", 3, { 1, 2, 3 });
        deviceMap.insert(
            "Light Panels D", DeviceRecord::discoveryRecord("Light Panels D", "127.0.0.5"));
        addPaired("aLight second", "127.0.0.6", 1, { 2 });
        addPaired("ZLight first", "127.0.0.6", 1, { 1 });
        addPaired("Light Panels E", "127.0.0.7", 0, {});
        int red[12] = { 255, 0, 16 }, green[12] = { 0, 255, 32 }, blue[12] = { 0, 0, 48 };
        service.sendUdpDAta(12, red, green, blue);

        QCOMPARE(take(sinks[0]),
            QStringList { "035201ff000000000f0100ff000000c8011020300000" + QString(148, '0') });
        QCOMPARE(take(sinks[1]),
            QStringList { "000204d2ff0000000000000700ff00000000" + QString(204, '0') });
        QCOMPARE(take(sinks[2]) + take(sinks[3]), QStringList());
        const QStringList ordered = take(sinks[4]);
        QCOMPARE(ordered.size(), 2);
        QVERIFY(ordered.at(0).startsWith("0101") && ordered.at(1).startsWith("0102"));
        QCOMPARE(take(sinks[5]), QStringList { "" });
    }

    // A device nothing answers for, beside one that takes every frame: one warning when its
    // datagrams start to be dropped, none per frame, one more once it takes them again.
    void aDroppingDeviceIsWarnedAboutOnce()
    {
        UnreachableNet net;
        QVERIFY2(net.up(), qPrintable(net.errorString()));
        QUdpSocket live;
        QVERIFY(live.bind(QHostAddress("127.0.0.2"), 60221));
        nanoleafAPIsync service;
        addPaired("Light Panels A", "127.0.0.2", 3, { 82, 15, 200 });
        addPaired("Light Panels B", "198.18.0.2", 3, { 82, 15, 200 });
        const QString stream = "Stream to ";
        const QString dropped = stream + "\"Light Panels B\" (198.18.0.2:60221): datagrams dropped";
        const QString again
            = stream + "\"Light Panels B\" (198.18.0.2:60221): datagrams taken again";
        LogWatch log({ stream, dropped, again });
        int red[12] = {}, green[12] = {}, blue[12] = {};
        int frames = 0;
        QStringList received;
        const auto frame = [&]() {
            service.sendUdpDAta(12, red, green, blue);
            ++frames;
            received << take(live);
        };
        while (log.count(stream) == 0 && frames < 5000)
            frame();
        for (int i = 0; i < 50; ++i)
            frame();
        QCOMPARE(log.count(dropped), 1);
        QVERIFY2(net.answerFor("198.18.0.2"), qPrintable(net.errorString()));
        QElapsedTimer clock;
        clock.start();
        while (log.count(again) == 0 && clock.elapsed() < 20000) {
            frame();
            QTest::qWait(20);
        }
        QCOMPARE(log.count(again), 1);
        QCOMPARE(log.count(stream), 2);
        QCOMPARE(received.size(), frames);
    }

    // The layout answer writes on the service thread while the GUI thread walks
    // and changes the map; the sanitizer builds show no access escapes the lock.
    void concurrentUseFromTwoThreads()
    {
        std::atomic<bool> stop { false };
        std::thread writer([&]() {
            for (int i = 0; i < 20000; ++i)
                deviceMap.update(QString("Light %1").arg(i % 50), [i](DeviceRecord& r) {
                    r.panelNumbers = i;
                    r.pidArrray.append(i % 256);
                    if (r.pidArrray.size() > 8)
                        r.pidArrray.remove(0);
                    r.isPaired = true;
                });
            stop = true;
        });
        for (int walks = 0; !stop && walks < 1000000; ++walks) {
            // Held as const copies: iterating a temporary would detach it.
            const auto records = deviceMap.snapshot();
            for (const DeviceRecord& record : records)
                QVERIFY(record.pidArrray.size() <= 9);
            const auto targets = deviceMap.streamTargets();
            for (const StreamDevice& target : *targets)
                QVERIFY(target.pidArrray.size() <= 9);
            deviceMap.insert("Canvas X", DeviceRecord::discoveryRecord("Canvas X", "127.0.0.5"));
            deviceMap.value("Light 7");
        }
        writer.join();
        QCOMPARE(deviceMap.count(), 51);
    }
};

QTEST_GUILESS_MAIN(tst_DeviceRegistry)
#include "tst_deviceregistry.moc"
