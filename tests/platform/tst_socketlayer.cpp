// The socket layer under the discovery scan, exercised over loopback only: address
// text, byte order, and above all that an oversized datagram is reported as such
// (and consumed) instead of being handed over cut.

#include "platform/socketlayer.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <QtTest>

#include <cstring>

namespace Net = Platform::Net;

class tst_SocketLayer : public QObject
{
    Q_OBJECT

private slots:
    void peerAddressToText_data();
    void peerAddressToText();
    void parseIpv4_data();
    void parseIpv4();
    void loopbackRoundTrip();
    void invalidHandleFails();
};

void tst_SocketLayer::peerAddressToText_data()
{
    QTest::addColumn<QByteArray>("address"); // 4 or 16 bytes, or empty for an unset peer
    QTest::addColumn<QString>("text");

    QTest::newRow("ipv4 loopback") << QByteArray::fromHex("7F000002") << "127.0.0.2";
    QTest::newRow("ipv4 broadcast") << QByteArray::fromHex("FFFFFFFF") << "255.255.255.255";
    QTest::newRow("ipv6 loopback")
        << QByteArray::fromHex("00000000000000000000000000000001") << "::1";
    QTest::newRow("ipv6 v4-mapped")
        << QByteArray::fromHex("00000000000000000000FFFF7F000001") << "::ffff:127.0.0.1";
    QTest::newRow("no family") << QByteArray() << "";
}

void tst_SocketLayer::peerAddressToText()
{
    QFETCH(QByteArray, address);
    QFETCH(QString, text);

    Net::PeerAddress peer;
    if (address.size() == 4) {
        std::array<std::uint8_t, 4> bytes;
        std::memcpy(bytes.data(), address.constData(), 4);
        peer = Net::makeIpv4Peer(bytes, 5353);
        QCOMPARE(Net::peerFamily(peer), Net::AddressFamily::Ipv4);
    } else if (address.size() == 16) {
        std::array<std::uint8_t, 16> bytes;
        std::memcpy(bytes.data(), address.constData(), 16);
        peer = Net::makeIpv6Peer(bytes, 5353);
        QCOMPARE(Net::peerFamily(peer), Net::AddressFamily::Ipv6);
    } else {
        QCOMPARE(Net::peerFamily(peer), Net::AddressFamily::Unspecified);
    }
    QCOMPARE(QString::fromStdString(Net::peerAddressToText(peer)), text);
}

void tst_SocketLayer::parseIpv4_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("address"); // wire order; empty when the text is refused

    QTest::newRow("loopback") << QByteArray("127.0.0.2") << QByteArray::fromHex("7F000002");
    QTest::newRow("private") << QByteArray("192.168.1.20") << QByteArray::fromHex("C0A80114");
    QTest::newRow("part above 255") << QByteArray("192.168.1.256") << QByteArray();
    QTest::newRow("leading zero") << QByteArray("10.01.1.1") << QByteArray();
    QTest::newRow("five parts") << QByteArray("10.1.1.1.1") << QByteArray();
    QTest::newRow("trailing dot") << QByteArray("10.1.1.1.") << QByteArray();
    QTest::newRow("port") << QByteArray("10.1.1.1:80") << QByteArray();
    QTest::newRow("nul inside") << QByteArray("10.1.1.1\0", 9) << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_SocketLayer::parseIpv4()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, address);

    std::array<std::uint8_t, 4> parsed { 0xAA, 0xAA, 0xAA, 0xAA };
    const bool ok = Net::parseIpv4(text.constData(), static_cast<std::size_t>(text.size()), parsed);
    QCOMPARE(ok, !address.isEmpty());
    const QByteArray expected
        = ok ? address : QByteArray::fromHex("AAAAAAAA"); // untouched when refused
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(parsed.data()), 4), expected);
}

void tst_SocketLayer::loopbackRoundTrip()
{
    QUdpSocket partner;
    QVERIFY(partner.bind(QHostAddress(QHostAddress::LocalHost), 0));

    const Net::SocketHandle handle = Net::createUdpSocket();
    QVERIFY(handle >= 0);
    QCOMPARE(Net::allowBroadcast(handle), 0);

    // Nothing has arrived yet.
    QCOMPARE(Net::waitReadable(handle, 0, 0), Net::WaitResult::Timeout);

    Net::Ipv4Endpoint partnerEndpoint;
    partnerEndpoint.address = { 127, 0, 0, 1 };
    partnerEndpoint.port = partner.localPort();
    const std::uint8_t hello[] = { 'h', 'i' };
    QCOMPARE(Net::sendTo(handle, hello, sizeof hello, partnerEndpoint), 2LL);

    QVERIFY(partner.waitForReadyRead(5000));
    QHostAddress from;
    quint16 fromPort = 0;
    char got[16];
    QCOMPARE(partner.readDatagram(got, sizeof got, &from, &fromPort), qint64(2));

    // An oversized datagram, then a normal one: the first is reported with its real
    // length and does not spill into the second.
    QCOMPARE(partner.writeDatagram(QByteArray(600, 'L'), QHostAddress::LocalHost, fromPort),
        qint64(600));
    QCOMPARE(partner.writeDatagram(QByteArray(100, 'S'), QHostAddress::LocalHost, fromPort),
        qint64(100));

    std::uint8_t buffer[512];
    Net::PeerAddress peer;
    QCOMPARE(Net::waitReadable(handle, 5, 0), Net::WaitResult::Readable);
    Net::ReceiveResult received = Net::receiveFrom(handle, buffer, sizeof buffer, peer);
    QCOMPARE(received.status, Net::ReceiveStatus::Truncated);
    QCOMPARE(received.length, std::size_t(600));

    std::memset(buffer, 0, sizeof buffer);
    peer = Net::PeerAddress();
    QCOMPARE(Net::waitReadable(handle, 5, 0), Net::WaitResult::Readable);
    received = Net::receiveFrom(handle, buffer, sizeof buffer, peer);
    QCOMPARE(received.status, Net::ReceiveStatus::Ok);
    QCOMPARE(received.length, std::size_t(100));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), 100), QByteArray(100, 'S'));
    QCOMPARE(Net::peerFamily(peer), Net::AddressFamily::Ipv4);
    QCOMPARE(Net::peerAddressToText(peer), std::string("127.0.0.1"));

    // A datagram of exactly the buffer size is not truncated.
    QCOMPARE(partner.writeDatagram(QByteArray(512, 'E'), QHostAddress::LocalHost, fromPort),
        qint64(512));
    QCOMPARE(Net::waitReadable(handle, 5, 0), Net::WaitResult::Readable);
    received = Net::receiveFrom(handle, buffer, sizeof buffer, peer);
    QCOMPARE(received.status, Net::ReceiveStatus::Ok);
    QCOMPARE(received.length, std::size_t(512));

    QCOMPARE(Net::waitReadable(handle, 0, 0), Net::WaitResult::Timeout);
    QCOMPARE(Net::closeSocket(handle), 0);
}

void tst_SocketLayer::invalidHandleFails()
{
    std::uint8_t buffer[8];
    Net::PeerAddress peer;
    QCOMPARE(Net::waitReadable(-1, 0, 0), Net::WaitResult::Error);
    QVERIFY(Net::lastError() != 0);
    QCOMPARE(Net::receiveFrom(-1, buffer, sizeof buffer, peer).status, Net::ReceiveStatus::Error);
    QVERIFY(Net::lastError() != 0);
    Net::Ipv4Endpoint loopback;
    loopback.address = { 127, 0, 0, 1 };
    loopback.port = 9;
    QVERIFY(Net::sendTo(-1, buffer, sizeof buffer, loopback) < 0);
    QVERIFY(Net::allowBroadcast(-1) != 0);
}

QTEST_GUILESS_MAIN(tst_SocketLayer)
#include "tst_socketlayer.moc"
