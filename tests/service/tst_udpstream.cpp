// sendUdpDAta through real sockets, in a private network: which devices get a
// datagram, on which port, in which order, and what the test sender sends.

#include "app/zelnanoleaftool.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace
{

struct Sink {
    std::unique_ptr<QUdpSocket> socket { new QUdpSocket };
    bool bind(const QString& ip, quint16 port) { return socket->bind(QHostAddress(ip), port); }
    // Every datagram that arrived before the call. A marker sent now queues
    // behind all of them (loopback delivers at send time), so reading up to it
    // proves nothing else came. A marker that never shows adds "no marker",
    // which no expectation accepts.
    QList<QByteArray> take()
    {
        const QByteArray marker("end of take");
        QUdpSocket().writeDatagram(marker, socket->localAddress(), socket->localPort());
        QList<QByteArray> out;
        for (int waits = 0; waits < 250; ++waits) {
            while (socket->hasPendingDatagrams()) {
                const QByteArray datagram = socket->receiveDatagram().data();
                if (datagram == marker)
                    return out;
                out << datagram;
            }
            socket->waitForReadyRead(20);
        }
        return out << QByteArray("no marker");
    }
};

void addPaired(const QString& name, const QString& ip, int panels, const QVector<int>& pid)
{
    DeviceRecord record = DeviceRecord::discoveryRecord(name, ip);
    record.panelNumbers = panels;
    record.pidArrray = pid;
    record.isPaired = true;
    deviceMap.insert(name, record);
}

} // namespace

class tst_UdpStream : public QObject
{
    Q_OBJECT

    int red[12] = { 255, 0, 16, 300 };
    int green[12] = { 0, 255, 32 };
    int blue[12] = { 0, 0, 48 };

private slots:
    void init() { deviceMap.clear(); }

    // Each paired device with a model gets one datagram per frame on its model's
    // port, in ascending name order (UTF-16 code units: "Z" before "a"); a paired
    // device without panels an empty one; unpaired devices and names of neither
    // model nothing.
    void pairedDevicesGetTheirDatagram()
    {
        Sink light, canvas, lower, unpaired, ordered, empty;
        QVERIFY(light.bind("127.0.0.2", 60221));
        QVERIFY(canvas.bind("127.0.0.3", 60222));
        QVERIFY(lower.bind("127.0.0.4", 60221));
        QVERIFY(unpaired.bind("127.0.0.5", 60221));
        QVERIFY(ordered.bind("127.0.0.6", 60221));
        QVERIFY(empty.bind("127.0.0.7", 60221));
        nanoleafAPIsync service;
        addPaired("Light Panels A", "127.0.0.2", 3, { 82, 15, 200 });
        addPaired("Canvas B", "127.0.0.3", 2, { 4, 210, 0, 7 });
        addPaired("light panels c", "127.0.0.4", 3, { 1, 2, 3 });
        deviceMap.insert(
            "Light Panels D", DeviceRecord::discoveryRecord("Light Panels D", "127.0.0.5"));
        addPaired("aLight second", "127.0.0.6", 1, { 2 });
        addPaired("ZLight first", "127.0.0.6", 1, { 1 });
        addPaired("Light Panels E", "127.0.0.7", 0, {});
        service.sendUdpDAta(12, red, green, blue);

        const QList<QByteArray> lightGot = light.take();
        QCOMPARE(lightGot.size(), 1);
        QCOMPARE(lightGot.first().size(), 96);
        QCOMPARE(lightGot.first().left(22).toHex(),
            QByteArray("035201ff000000000f0100ff000000c8011020300000"));
        const QList<QByteArray> canvasGot = canvas.take();
        QCOMPARE(canvasGot.size(), 1);
        QCOMPARE(
            canvasGot.first().left(18).toHex(), QByteArray("000204d2ff0000000000000700ff00000000"));
        QCOMPARE(lower.take().size(), 0);
        QCOMPARE(unpaired.take().size(), 0);
        const QList<QByteArray> inOrder = ordered.take();
        QCOMPARE(inOrder.size(), 2);
        QCOMPARE(inOrder.at(0).left(2).toHex(), QByteArray("0101"));
        QCOMPARE(inOrder.at(1).left(2).toHex(), QByteArray("0102"));
        QCOMPARE(empty.take(), QList<QByteArray> { QByteArray() });
    }

    void testSenderNeverSends255()
    {
        Sink sink;
        QVERIFY(sink.bind("127.0.0.2", 60221));
        ZelNanoleafTool window;
        addPaired("Light Panels A", "127.0.0.2", 12, { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 });
        window.isStartUpdate(true);
        QVERIFY(window.sendTimer->isActive());
        QCOMPARE(window.sendTimer->interval(), 1000);
        window.isStartUpdate(false);
        QVERIFY(!window.sendTimer->isActive());
        for (int i = 0; i < 50; ++i)
            window.slot_SendData();
        const QList<QByteArray> got = sink.take();
        QCOMPARE(got.size(), 50);
        for (const QByteArray& datagram : got)
            for (int panel = 0; panel < 12; ++panel)
                for (int channel = 0; channel < 3; ++channel)
                    QVERIFY(quint8(datagram.at(3 + 7 * panel + channel)) != 255);
    }
};

QTEST_MAIN(tst_UdpStream)
#include "tst_udpstream.moc"
