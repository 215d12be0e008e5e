// The service's scan against simulated devices in a private network: each
// answering device is announced once by instance label and sender address, and a
// broken answer never hides the good ones.

#include "common/logwatch.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/nanoleafapisync.h"

#include <QtTest>

namespace
{

using Announced = QSet<QPair<QString, QString>>;

Announced announced(const QSignalSpy& spy)
{
    Announced out;
    for (const QList<QVariant>& call : spy)
        out.insert({ call.at(0).toString(), call.at(1).toString() });
    return out;
}

} // namespace

class tst_Discovery : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogWatch> log;

    // Runs one scan of a service on this thread; true once it has ended.
    bool scanned(nanoleafAPIsync& service)
    {
        const int ended = log->count("END");
        service.searchDeive_noBonjour();
        return log->waitFor("END", ended + 1, 20000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        log = std::make_unique<LogWatch>(QStringList { "END" });
    }

    void twoDevicesAreAnnounced()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        nanoleafAPIsync service;
        QSignalSpy found(&service, SIGNAL(bonjourGetIpName(QString, QString)));
        QVERIFY(scanned(service));
        QCOMPARE(found.count(), 2);
        QCOMPARE(announced(found),
            (Announced {
                { "Light Panels 52:33:A1", "127.0.0.2" }, { "Canvas 1F:2B:3C", "127.0.0.3" } }));
        QCOMPARE(sim.mdnsQueries().size(), 1);
    }

    void noDeviceAnnouncesNothing()
    {
        nanoleafAPIsync service;
        QSignalSpy found(&service, SIGNAL(bonjourGetIpName(QString, QString)));
        QVERIFY(scanned(service));
        QCOMPARE(found.count(), 0);
    }

    void brokenAnswersDoNotHideGoodOnes_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("oversized") << "oversized";
        QTest::newRow("truncated") << "truncated";
        QTest::newRow("wrong flags") << "badflags";
        QTest::newRow("looping pointer") << "loop";
        QTest::newRow("silent") << "silent";
    }

    void brokenAnswersDoNotHideGoodOnes()
    {
        QFETCH(QString, fault);
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault("127.0.0.2", QJsonObject { { "mdns", fault } }));
        nanoleafAPIsync service;
        QSignalSpy found(&service, SIGNAL(bonjourGetIpName(QString, QString)));
        QVERIFY(scanned(service));
        // Only the good device: the broken answer is dropped whole, even where
        // (looping pointer) its PTR record came before the damage.
        QCOMPARE(found.count(), 1);
        QCOMPARE(announced(found), (Announced { { "Canvas 1F:2B:3C", "127.0.0.3" } }));
    }

    // Scans asked for while one runs wait for it and then run one after the other;
    // a device that answers both is announced by each.
    void queuedScansAnnounceAgain()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QThread worker;
        auto* service = new nanoleafAPIsync;
        service->moveToThread(&worker);
        worker.start();
        QSignalSpy found(service, SIGNAL(bonjourGetIpName(QString, QString)));
        QMetaObject::invokeMethod(service, "searchDeive_noBonjour", Qt::QueuedConnection);
        QMetaObject::invokeMethod(service, "searchDeive_noBonjour", Qt::QueuedConnection);
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 4, 20000);
        QCOMPARE(sim.mdnsQueries().size(), 2);
        worker.quit();
        worker.wait();
        delete service;
    }

    // The service destroyed while its scan listens waits for that scan and drops
    // the one waiting behind it: nothing runs or emits on a destroyed service.
    void serviceGoneDuringScan()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        auto* service = new nanoleafAPIsync;
        service->searchDeive_noBonjour();
        service->searchDeive_noBonjour();
        QTRY_COMPARE_WITH_TIMEOUT(sim.mdnsQueries().size(), 1, 10000);
        delete service;
        QCOMPARE(sim.mdnsQueries().size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Discovery)
#include "tst_discovery.moc"
