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
    // proves nothing else came. A marker that never shows adds an empty datagram,
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
        return out << QByteArray();
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

    void pairedDevicesGetTheirLayout()
    {
        Sink light, canvas, lower, unpaired;
        QVERIFY(light.bind("127.0.0.2", 60221));
        QVERIFY(canvas.bind("127.0.0.3", 60222));
        QVERIFY(lower.bind("127.0.0.4", 60221));
        QVERIFY(unpaired.bind("127.0.0.5", 60221));
        nanoleafAPIsync service;
        addPaired("Light Panels A", "127.0.0.2", 3, { 82, 15, 200 });
        addPaired("Canvas B", "127.0.0.3", 2, { 4, 210, 0, 7 });
        addPaired("light panels c", "127.0.0.4", 3, { 1, 2, 3 });
        deviceMap.insert(
            "Light Panels D", DeviceRecord::discoveryRecord("Light Panels D", "127.0.0.5"));
        service.sendUdpDAta(12, red, green, blue);

        const QList<QByteArray> lightGot = light.take();
        QCOMPARE(lightGot.size(), 1);
        QCOMPARE(lightGot.first().size(), 96);
        QCOMPARE(lightGot.first().left(22).toHex(),
            QByteArray("035201ff000000000f0100ff000000c8011020300000"));
        const QList<QByteArray> canvasGot = canvas.take();
        QCOMPARE(canvasGot.size(), 1);
        QCOMPARE(canvasGot.first().size(), 120);
        QCOMPARE(canvasGot.first().left(18).toHex(),
            QByteArray("000204d2ff00000000000007"
                       "00ff00000000"));
        QCOMPARE(lower.take().size(), 0);
        QCOMPARE(unpaired.take().size(), 0);
    }

    void noPanelsSendsEmptyDatagram()
    {
        Sink light;
        QVERIFY(light.bind("127.0.0.2", 60221));
        nanoleafAPIsync service;
        addPaired("Light Panels A", "127.0.0.2", 0, {});
        service.sendUdpDAta(12, red, green, blue);
        const QList<QByteArray> got = light.take();
        QCOMPARE(got.size(), 1);
        QVERIFY(got.first().isEmpty());
    }

    // Two paired devices, each its own datagram, sent in ascending name order
    // (UTF-16 code units: "Z" before "a"), both with the same colours.
    void twoDevicesInKeyOrder()
    {
        Sink sink;
        QVERIFY(sink.bind("127.0.0.2", 60221));
        nanoleafAPIsync service;
        addPaired("aLight second", "127.0.0.2", 1, { 2 });
        addPaired("ZLight first", "127.0.0.2", 1, { 1 });
        service.sendUdpDAta(12, red, green, blue);
        const QList<QByteArray> got = sink.take();
        QCOMPARE(got.size(), 2);
        QCOMPARE(int(got.at(0).at(1)), 1);
        QCOMPARE(int(got.at(1).at(1)), 2);
        QCOMPARE(got.at(0).mid(2), got.at(1).mid(2));
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

    // A colour frame from the host reaches the device in the same call, also
    // with the window hidden; a frame of another source does not.
    void hostFramesAreForwardedWhileHidden()
    {
        Sink sink;
        QVERIFY(sink.bind("127.0.0.2", 60221));
        ZelNanoleafTool window;
        window.hide();
        addPaired("Light Panels A", "127.0.0.2", 1, { 9 });
        unsigned char record[56] = {};
        record[0] = 200;
        record[1] = 100;
        record[2] = 50;
        record[3] = 7;
        record[52] = 1;
        HostIntake::Message frame { HostIntake::kCopyData, 0, 10001, 56, record };
        HostIntake::HostAnswer answer = window.hostMessage(frame);
        QVERIFY(answer.handled);
        QCOMPARE(answer.result, std::int64_t(1));
        QList<QByteArray> got = sink.take();
        QCOMPARE(got.size(), 1);
        QCOMPARE(got.first().left(8).toHex(), QByteArray("0109 01c8643200 00").replace(" ", ""));

        record[52] = 2;
        answer = window.hostMessage(frame);
        QCOMPARE(answer.result, std::int64_t(1));
        QCOMPARE(sink.take().size(), 0);

        HostIntake::Message shortFrame { HostIntake::kCopyData, 0, 10001, 20, record };
        answer = window.hostMessage(shortFrame);
        QVERIFY(answer.handled);
        QCOMPARE(answer.result, std::int64_t(0));
        QCOMPARE(sink.take().size(), 0);

        HostIntake::Message other { HostIntake::kCopyData, 0, 10000, 56, record };
        QVERIFY(!window.hostMessage(other).handled);
    }
};

QTEST_MAIN(tst_UdpStream)
#include "tst_udpstream.moc"
