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

    // A frame is sent from the targets, so they must follow every change of a
    // record: pairing, a new layout, discovery at another address (which starts
    // the record afresh), a name of another model, an address that is no address,
    // a lookup that inserts; other fields stay as they were.
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
        // A lookup of a name nobody recorded inserts the default record; keys
        // sort by UTF-16 code unit ("Z" before "a").
        QCOMPARE(deviceMap.value("Canvas B").mPidArray, QVector<int> { 0 });
        deviceMap.insert("alpha", DeviceRecord::discoveryRecord("alpha", "127.0.0.5"));
        deviceMap.insert("Zeta", DeviceRecord::discoveryRecord("Zeta", "127.0.0.6"));
        QCOMPARE(targetLines(),
            (QStringList { "|unpaired|none|no address|0|0",
                "Canvas A|paired|Canvas|no address|1|4,210",
                "Zeta|unpaired|none|127.0.0.6:60221|0|",
                "alpha|unpaired|none|127.0.0.5:60221|0|" }));
        QCOMPARE(
            deviceMap.snapshot().keys(), (QStringList { "Canvas B", "Light A", "Zeta", "alpha" }));
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
