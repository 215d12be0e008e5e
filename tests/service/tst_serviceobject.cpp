#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"

#include <QtTest>

class tst_ServiceObject : public QObject
{
    Q_OBJECT

private slots:
    void constructionEmptiesRegistry()
    {
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        nanoleafAPIsync service;
        QCOMPARE(deviceMap.count(), 0);
        QVERIFY(service.currentDevice().nanoToken.isEmpty());
        QCOMPARE(service.currentDevice().nanoRow, 0);
    }

    void decToHex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("hex");
        QTest::newRow("16") << "16"
                            << "10";
        QTest::newRow("255") << "255"
                             << "ff";
        QTest::newRow("4096") << "4096"
                              << "1000";
        QTest::newRow("not a number") << "12ab"
                                      << "0";
    }

    void decToHex()
    {
        QFETCH(QString, text);
        QFETCH(QString, hex);
        nanoleafAPIsync service;
        const QString before = text;
        QCOMPARE(service.decToHex(&text), hex);
        QCOMPARE(text, before);
    }

    void byteConversions_data()
    {
        QTest::addColumn<bool>("fromDecimal");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("dec 255") << true << "255" << QByteArray("\xff", 1);
        QTest::newRow("dec 10") << true << "10" << QByteArray("\x0a", 1);
        QTest::newRow("dec 300") << true << "300" << QByteArray("\x01\x2c", 2);
        QTest::newRow("dec 0") << true << "0" << QByteArray("\x00", 1);
        QTest::newRow("dec 65535") << true << "65535" << QByteArray("\xff\xff", 2);
        QTest::newRow("hex 0a ff") << false << "0a ff" << QByteArray("\x0a\xff", 2);
        QTest::newRow("hex abc") << false << "abc" << QByteArray("\x0a\xbc", 2);
    }

    void byteConversions()
    {
        QFETCH(bool, fromDecimal);
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        nanoleafAPIsync service;
        QCOMPARE(
            fromDecimal ? service.DexToQbyteArray(&text) : service.HexToQbyteArray(&text), bytes);
    }

    void setNanoIPWithAndWithoutReset()
    {
        nanoleafAPIsync service;
        deviceMap.insert("Light A", DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        service.setNanoIP("http://127.0.0.2:16021", "127.0.0.2", "Light A", 4, false);
        QCOMPARE(deviceMap.value("Light A"), DeviceRecord::discoveryRecord("Light A", "127.0.0.2"));
        const auto current = service.currentDevice();
        QCOMPARE(current.nanoIP, QString("http://127.0.0.2:16021"));
        QCOMPARE(current.nanoAddress, QString("127.0.0.2"));
        QCOMPARE(current.nanoName, QString("Light A"));
        QCOMPARE(current.nanoRow, 4);

        service.setNanoIP("http://127.0.0.2:16021", "127.0.0.2", "Light A", 4, true);
        DeviceRecord expected = DeviceRecord::defaultRecord();
        expected.deviceName = "Light A";
        expected.ip = "127.0.0.2";
        QCOMPARE(deviceMap.value("Light A"), expected);
    }

    // Requests made from the GUI thread still have their answers handled on the
    // service thread. Port 1 on loopback refuses at once: an empty answer, which
    // asks for the pairing hint with the current row.
    void answersRunOnServiceThread()
    {
        QThread worker;
        auto* service = new nanoleafAPIsync;
        service->moveToThread(&worker);
        worker.start();
        service->setNanoIP("http://127.0.0.1:1", "127.0.0.1", "Light A", 2, false);

        QThread* emittedOn = nullptr;
        QMutex mutex;
        QObject::connect(
            service, &nanoleafAPIsync::showTokenPage, service,
            [&]() {
                QMutexLocker lock(&mutex);
                emittedOn = QThread::currentThread();
            },
            Qt::DirectConnection);
        QSignalSpy hint(service, SIGNAL(showTokenPage(int)));
        service->getToken();
        QVERIFY(hint.wait(10000));
        QCOMPARE(hint.first().first().toInt(), 2);
        {
            QMutexLocker lock(&mutex);
            QCOMPARE(emittedOn, &worker);
        }
        worker.quit();
        worker.wait();
        delete service;
    }
};

QTEST_GUILESS_MAIN(tst_ServiceObject)
#include "tst_serviceobject.moc"
