// The socket layer over loopback: IPv4 text; an oversized datagram reported as such (and
// consumed), not handed over cut.

#include "platform/socketlayer.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

namespace Net = Platform::Net;

class tst_SocketLayer : public QObject
{
    Q_OBJECT

private slots:
    void parseIpv4() // refused text leaves the output untouched
    {
        std::array<std::uint8_t, 4> parsed { 0xAA, 0xAA, 0xAA, 0xAA };
        for (const QByteArray& bad : { QByteArray("192.168.1.256"), QByteArray("10.01.1.1"),
                 QByteArray("10.1.1.1.1"), QByteArray("10.1.1.1\0", 9), QByteArray() })
            QVERIFY2(
                !Net::parseIpv4(bad.constData(), std::size_t(bad.size()), parsed), bad.constData());
        QVERIFY(parsed == (std::array<std::uint8_t, 4> { 0xAA, 0xAA, 0xAA, 0xAA }));
        QVERIFY(Net::parseIpv4("192.168.1.20", 12, parsed));
        QVERIFY(parsed == (std::array<std::uint8_t, 4> { 192, 168, 1, 20 }));
    }

    void loopbackRoundTrip()
    {
        QUdpSocket partner;
        QVERIFY(partner.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const Net::SocketHandle handle = Net::createUdpSocket();
        QVERIFY(handle >= 0);
        QCOMPARE(Net::waitReadable(handle, 0, 0), Net::WaitResult::Timeout);
        const std::uint8_t hello[] = { 'h', 'i' };
        QCOMPARE(Net::sendTo(handle, hello, 2, { { 127, 0, 0, 1 }, partner.localPort() }), 2LL);
        QVERIFY(partner.waitForReadyRead(5000));
        const QNetworkDatagram hi = partner.receiveDatagram();
        QCOMPARE(hi.data(), QByteArray("hi"));
        const quint16 port = quint16(hi.senderPort());
        // Oversized: its real length, no spill into the next; exactly the buffer size: not cut.
        for (int size : { 600, 100, 512 })
            QCOMPARE(partner.writeDatagram(
                         QByteArray(size, char(size % 26 + 'A')), QHostAddress::LocalHost, port),
                qint64(size));
        for (int size : { 600, 100, 512 }) {
            std::uint8_t buffer[512] = {};
            Net::PeerAddress peer;
            QCOMPARE(Net::waitReadable(handle, 5, 0), Net::WaitResult::Readable);
            const Net::ReceiveResult r = Net::receiveFrom(handle, buffer, sizeof buffer, peer);
            QCOMPARE(r.status, size > 512 ? Net::ReceiveStatus::Truncated : Net::ReceiveStatus::Ok);
            QCOMPARE(r.length, std::size_t(size));
            if (size <= 512) {
                QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), size),
                    QByteArray(size, char(size % 26 + 'A')));
                QCOMPARE(Net::peerAddressToText(peer), std::string("127.0.0.1"));
            }
        }
        QCOMPARE(Net::closeSocket(handle), 0);
    }
};

QTEST_GUILESS_MAIN(tst_SocketLayer)
#include "tst_socketlayer.moc"
