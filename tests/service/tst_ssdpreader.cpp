// The SSDP reply reader takes the Location value out of replies that mention
// "nl29", through real datagrams on the service's own socket.

#include "service/nanoleafapisync.h"

#include <QUdpSocket>
#include <QtTest>

class tst_SsdpReader : public QObject
{
    Q_OBJECT

    // Sends each datagram to the service's socket and waits until they are there.
    static void deliver(nanoleafAPIsync& service, const QList<QByteArray>& datagrams)
    {
        auto* socket = service.findChild<QUdpSocket*>();
        QVERIFY(socket);
        if (socket->state() != QAbstractSocket::BoundState)
            QVERIFY(socket->bind(QHostAddress(QHostAddress::LocalHost), quint16(0)));
        QUdpSocket sender;
        for (const QByteArray& datagram : datagrams)
            QCOMPARE(sender.writeDatagram(datagram, QHostAddress::LocalHost, socket->localPort()),
                     qint64(datagram.size()));
        QTRY_VERIFY_WITH_TIMEOUT(socket->hasPendingDatagrams(), 5000);
    }

private slots:
    void cutsOutLocation_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("emits");
        QTest::addColumn<QString>("value");
        QTest::newRow("location then cache-control")
            << QByteArray("HTTP/1.1 200 OK\r\nST: nanoleaf:nl29\r\nLocation: http://127.0.0.3:16021\r\n"
                          "Cache-Control: max-age=60\r\n\r\n")
            << true << "http://127.0.0.3:16021";
        QTest::newRow("intervening header")
            << QByteArray("ST: nl29\r\nLocation: http://a\r\nServer: x\r\nCache-Control: y\r\n")
            << true << "http://a\r\nServer: x";
        QTest::newRow("cache-control first")
            << QByteArray("ST: nl29\r\nCache-Control: y\r\nLocation: http://b\r\n")
            << true << "http://b\r\n";
        QTest::newRow("neither marker") << QByteArray("nl29 and more") << true << "more"; // from character 9 on
        QTest::newRow("marker in capitals is ignored")
            << QByteArray("ST: NL29\r\nLocation: http://c\r\nCache-Control: y") << false << QString();
        QTest::newRow("text after a zero byte is not examined")
            << QByteArray("ST: x\r\nLocation: http://d\0nl29\r\nCache-Control: y", 44) << false << QString();
    }

    void cutsOutLocation()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, emits);
        QFETCH(QString, value);
        nanoleafAPIsync service;
        service.setNanoIP("http://127.0.0.9:16021", "127.0.0.9", "Canvas", 0, false);
        QSignalSpy url(&service, SIGNAL(getNanoIp(QString)));
        deliver(service, {datagram});
        service.receiveIP();
        QCOMPARE(url.count(), emits ? 1 : 0);
        if (emits) {
            QCOMPARE(url.first().first().toString(), value);
            QCOMPARE(service.currentDevice().nanoIP, value);
        } else {
            QCOMPARE(service.currentDevice().nanoIP, QString("http://127.0.0.9:16021"));
        }
    }

    void twoRepliesInArrivalOrder()
    {
        nanoleafAPIsync service;
        QSignalSpy url(&service, SIGNAL(getNanoIp(QString)));
        deliver(service, {"nl29\r\nLocation: first\r\nCache-Control: a",
                          "nl29\r\nLocation: second\r\nCache-Control: a"});
        QTRY_VERIFY_WITH_TIMEOUT((service.receiveIP(), url.count() == 2), 5000);
        QCOMPARE(url.at(0).first().toString(), QString("first"));
        QCOMPARE(url.at(1).first().toString(), QString("second"));
        QCOMPARE(service.currentDevice().nanoIP, QString("second"));
    }
};

QTEST_GUILESS_MAIN(tst_SsdpReader)
#include "tst_ssdpreader.moc"
