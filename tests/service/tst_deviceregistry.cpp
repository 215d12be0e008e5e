#include "service/deviceregistry.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace
{

// One line per stream target, in registry order: name, paired, model, where to.
QStringList targetLines()
{
    QStringList lines;
    const QVector<StreamTarget> targets = deviceMap.streamTargets();
    for (const StreamTarget& t : targets) {
        const char* model = t.model == StreamDatagram::Model::Light ? "Light"
            : t.model == StreamDatagram::Model::Canvas              ? "Canvas"
                                                                    : "none";
        const QString to = t.addressOk ? QString("%1.%2.%3.%4:%5")
                                             .arg(t.to.address[0])
                                             .arg(t.to.address[1])
                                             .arg(t.to.address[2])
                                             .arg(t.to.address[3])
                                             .arg(t.to.port)
                                       : QString("no address");
        QStringList ids;
        for (int id : t.pidArrray)
            ids << QString::number(id);
        lines << QString("%1|%2|%3|%4|%5|%6")
                     .arg(t.deviceName, t.isPaired ? "paired" : "unpaired", model, to)
                     .arg(t.panelNumbers)
                     .arg(ids.join(','));
    }
    return lines;
}

} // namespace

class tst_DeviceRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init() { deviceMap.clear(); }

    void lookupOfMissingNameInsertsDefaultRecord()
    {
        const DeviceRecord record = deviceMap.value("Light Panels 1");
        QCOMPARE(deviceMap.count(), 1);
        QCOMPARE(record.pidArrray, QVector<int> { 0 });
        QCOMPARE(record.mPidArray, QVector<int> { 0 });
        QCOMPARE(record.panelNumbers, 0);
        QVERIFY(record.deviceName.isEmpty());
        QVERIFY(record.ip.isEmpty());
        QVERIFY(!record.isPaired);
    }

    void discoveryRecordDiffersFromDefault()
    {
        const DeviceRecord discovered = DeviceRecord::discoveryRecord("Canvas 9", "127.0.0.3");
        QVERIFY(discovered.pidArrray.isEmpty());
        QVERIFY(discovered.mPidArray.isEmpty());
        QCOMPARE(discovered.deviceName, QString("Canvas 9"));
        QCOMPARE(discovered.ip, QString("127.0.0.3"));
        QVERIFY(!(discovered == DeviceRecord::defaultRecord()));
    }

    void laterDiscoveryReplacesEarlierOne()
    {
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.isPaired = true;
            r.panelNumbers = 3;
            r.pidArrray = { 82, 15, 200 };
        });
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.9"));
        QCOMPARE(deviceMap.count(), 1);
        const DeviceRecord record = deviceMap.value("Light A");
        QCOMPARE(record.ip, QString("127.0.0.9"));
        QVERIFY(!record.isPaired);
        QCOMPARE(record.panelNumbers, 0);
        QVERIFY(record.pidArrray.isEmpty());
    }

    void updateKeepsOtherFields()
    {
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.isPaired = true;
            r.panelNumbers = 2;
            r.mPidArray = { 1, 2 };
        });
        const DeviceRecord unpaired
            = deviceMap.update("Light A", [](DeviceRecord& r) { r.isPaired = false; });
        QVERIFY(!unpaired.isPaired);
        QCOMPARE(unpaired.panelNumbers, 2);
        QCOMPARE(unpaired.mPidArray, (QVector<int> { 1, 2 }));
        QCOMPARE(unpaired.ip, QString("127.0.0.2"));
    }

    void iterationFollowsUtf16KeyOrder()
    {
        deviceMap.insert("alpha", DeviceRecord::discoveryRecord("alpha", "127.0.0.2"));
        deviceMap.insert("Zeta", DeviceRecord::discoveryRecord("Zeta", "127.0.0.3"));
        deviceMap.insert("Beta", DeviceRecord::discoveryRecord("Beta", "127.0.0.4"));
        QCOMPARE(deviceMap.snapshot().keys(), (QStringList { "Beta", "Zeta", "alpha" }));
    }

    // A frame is sent from the targets, so they must follow every change of a
    // record: pairing, a new layout, discovery at another address, a name of
    // another model, an address that is no address, a lookup that inserts.
    void streamTargetsFollowEveryChange()
    {
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.2:60221|0|" });
        const auto pair = [](int panels, QVector<int> ids) {
            return [panels, ids](DeviceRecord& r) {
                r.isPaired = true;
                r.panelNumbers = panels;
                r.pidArrray = ids;
            };
        };
        deviceMap.update("Light A", pair(3, { 82, 15, 200 }));
        QCOMPARE(targetLines(), QStringList { "Light A|paired|Light|127.0.0.2:60221|3|82,15,200" });
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.9"));
        QCOMPARE(targetLines(), QStringList { "Light A|unpaired|Light|127.0.0.9:60221|0|" });
        deviceMap.update("Light A", pair(1, { 7 }));
        QCOMPARE(targetLines(), QStringList { "Light A|paired|Light|127.0.0.9:60221|1|7" });
        deviceMap.update("Light A", [](DeviceRecord& r) {
            r.deviceName = "Canvas A";
            r.ip = "127.0.0.4";
            r.pidArrray = { 4, 210 };
        });
        QCOMPARE(targetLines(), QStringList { "Canvas A|paired|Canvas|127.0.0.4:60222|1|4,210" });
        deviceMap.update("Light A", [](DeviceRecord& r) { r.ip = "127.0.0.256"; });
        QCOMPARE(targetLines(), QStringList { "Canvas A|paired|Canvas|no address|1|4,210" });
        deviceMap.value("Canvas B");
        QCOMPARE(targetLines(),
            (QStringList {
                "|unpaired|none|no address|0|0", "Canvas A|paired|Canvas|no address|1|4,210" }));
        deviceMap.clear();
        QVERIFY(targetLines().isEmpty());
    }

    // The layout answer writes on the service thread while the GUI thread walks
    // and changes the map; under the sanitizer build this also shows that no
    // access escapes the lock.
    void concurrentUseFromTwoThreads()
    {
        std::atomic<bool> stop { false };
        std::thread writer([&]() {
            for (int i = 0; i < 20000; ++i) {
                const QString name = QString("Light %1").arg(i % 50);
                deviceMap.update(name, [i](DeviceRecord& r) {
                    r.panelNumbers = i;
                    r.pidArrray.append(i % 256);
                    if (r.pidArrray.size() > 8)
                        r.pidArrray.remove(0);
                    r.isPaired = true;
                });
            }
            stop = true;
        });
        int walks = 0;
        while (!stop && walks < 1000000) {
            const auto all = deviceMap.snapshot();
            for (auto it = all.cbegin(); it != all.cend(); ++it)
                QVERIFY(it.value().pidArrray.size() <= 9);
            const QVector<StreamTarget> targets = deviceMap.streamTargets();
            for (const StreamTarget& target : targets)
                QVERIFY(target.pidArrray.size() <= 9);
            deviceMap.insert("Canvas X", DeviceRecord::discoveryRecord("Canvas X", "127.0.0.5"));
            deviceMap.value("Light 7");
            ++walks;
        }
        writer.join();
        QCOMPARE(deviceMap.count(), 51);
    }
};

QTEST_GUILESS_MAIN(tst_DeviceRegistry)
#include "tst_deviceregistry.moc"
