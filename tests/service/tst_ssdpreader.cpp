// The SSDP reply reader, and the slot that feeds it every datagram pending on the
// service's own socket.

#include "service/nanoleafapisync.h"
#include "service/ssdpreader.h"

#include <QUdpSocket>
#include <QtTest>

namespace
{

// The bytes of a literal up to its end, zero bytes inside included.
template <int N> QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

} // namespace

class tst_SsdpReader : public QObject
{
    Q_OBJECT

private slots:
    // Where a reply does not match, the location is empty.
    void cutsOutLocation_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QString>("location");
        QTest::newRow("location then cache-control") << QByteArray(
            "HTTP/1.1 200 OK\r\nST: nanoleaf:nl29\r\nLocation: http://127.0.0.3:16021\r\n"
            "Cache-Control: max-age=60\r\n\r\n") << true
                                                     << "http://127.0.0.3:16021";
        QTest::newRow("cache-control first")
            << QByteArray("ST: nl29\r\nCache-Control: y\r\nLocation: http://b\r\n") << true
            << "http://b\r\n";
        // Without "Location: " the cut starts at character 9.
        QTest::newRow("neither marker") << QByteArray("nl29 and more") << true << "more";
        QTest::newRow("value cut at a zero byte")
            << bytes("nl29\r\nLocation: http://e\0\r\nCache-Control: y") << true << "http://e";
        QTest::newRow("value in UTF-8")
            << QByteArray("nl29\r\nLocation: http://caf\xc3\xa9\r\nCache-Control: y") << true
            << QString::fromUtf8("http://caf\xc3\xa9");
        QTest::newRow("marker in capitals")
            << QByteArray("ST: NL29\r\nLocation: http://c\r\nCache-Control: y") << false << "";
        QTest::newRow("marker after a zero byte")
            << bytes("ST: x\r\nLocation: http://d\0nl29\r\nCache-Control: y") << false << "";
    }

    void cutsOutLocation()
    {
        QFETCH(QByteArray, datagram);
        const SsdpReader::Reply reply = SsdpReader::readReply(datagram);
        QTEST(reply.matches, "matches");
        QTEST(reply.location, "location");
    }

    // Every pending datagram is read in arrival order; a reply that does not
    // match leaves the base URL as it was, each match replaces it and is emitted.
    void slotReadsEveryPendingReply()
    {
        nanoleafAPIsync service;
        service.setNanoIP("http://127.0.0.9:16021", "127.0.0.9", "Canvas", 0, false);
        QSignalSpy url(&service, SIGNAL(getNanoIp(QString)));
        auto* socket = service.findChild<QUdpSocket*>();
        QVERIFY(socket);
        QVERIFY(socket->bind(QHostAddress(QHostAddress::LocalHost), quint16(0)));
        QUdpSocket sender;
        for (const QByteArray& datagram :
            { QByteArray("nl29\r\nLocation: first\r\nCache-Control: a"),
                QByteArray("NL29\r\nLocation: ignored\r\nCache-Control: a"),
                QByteArray("nl29\r\nLocation: second\r\nCache-Control: a") })
            QCOMPARE(sender.writeDatagram(datagram, QHostAddress::LocalHost, socket->localPort()),
                qint64(datagram.size()));
        QTRY_VERIFY_WITH_TIMEOUT((service.receiveIP(), url.count() == 2), 5000);
        QCOMPARE(url.at(0).first().toString(), QString("first"));
        QCOMPARE(url.at(1).first().toString(), QString("second"));
        QCOMPARE(service.currentDevice().nanoIP, QString("second"));
    }
};

QTEST_GUILESS_MAIN(tst_SsdpReader)
#include "tst_ssdpreader.moc"
