// The socket layer under the discovery scan, exercised over loopback only: address
// text, byte order, and above all that an oversized datagram is reported as such
// (and consumed) instead of being handed over cut; a batch send delivers every
// datagram it can, whole and in order, past the ones the system refuses.

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
    void sendBatch_data();
    void sendBatch();
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

// Destinations of a batch: 0 and 1 are two loopback sockets, -1 a port nothing
// listens on, -2 port 0, which the system refuses outright.
void tst_SocketLayer::sendBatch_data()
{
    QTest::addColumn<QVector<int>>("destinations");
    QTest::addColumn<int>("sent");
    QTest::newRow("empty") << QVector<int> {} << 0;
    QTest::newRow("interleaved") << QVector<int> { 0, 1, 0, 0, 1 } << 5;
    QTest::newRow("a closed port between") << QVector<int> { 0, -1, 1 } << 3;
    QTest::newRow("a refused one first, between and last")
        << QVector<int> { -2, 0, -2, 1, -2 } << 2;
    QVector<int> many;
    for (int i = 0; i < 150; ++i)
        many.append(i % 3 == 2 ? -2 : i % 2);
    QTest::newRow("150, more than one call takes") << many << 100;
}

void tst_SocketLayer::sendBatch()
{
    QFETCH(QVector<int>, destinations);
    QFETCH(int, sent);
    QUdpSocket sinks[2];
    QUdpSocket closed;
    for (QUdpSocket* s : { &sinks[0], &sinks[1], &closed })
        QVERIFY(s->bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 closedPort = closed.localPort();
    closed.close();

    // Datagram i is "<i>" padded with i dashes, so each has its own bytes and size.
    std::vector<QByteArray> payloads;
    std::vector<Net::OutgoingDatagram> batch;
    QList<QByteArray> expected[2];
    for (int i = 0; i < destinations.size(); ++i)
        payloads.push_back(QByteArray::number(i) + QByteArray(i, '-'));
    for (int i = 0; i < destinations.size(); ++i) {
        const int d = destinations[i];
        Net::OutgoingDatagram out;
        out.data = reinterpret_cast<const std::uint8_t*>(payloads[std::size_t(i)].constData());
        out.size = std::size_t(payloads[std::size_t(i)].size());
        out.to.address = { 127, 0, 0, 1 };
        out.to.port = d >= 0 ? sinks[d].localPort() : d == -1 ? closedPort : 0;
        batch.push_back(out);
        if (d >= 0)
            expected[d].append(payloads[std::size_t(i)]);
    }

    const Net::SocketHandle handle = Net::createUdpSocket();
    QVERIFY(handle >= 0);
    QCOMPARE(Net::sendBatch(handle, batch.data(), batch.size()), std::size_t(sent));
    for (int k = 0; k < 2; ++k) {
        QList<QByteArray> got;
        while (got.size() < expected[k].size()
            && (sinks[k].hasPendingDatagrams() || sinks[k].waitForReadyRead(5000))) {
            QByteArray datagram(int(sinks[k].pendingDatagramSize()), '\0');
            sinks[k].readDatagram(datagram.data(), datagram.size());
            got.append(datagram);
        }
        QCOMPARE(got, expected[k]);
        QVERIFY(!sinks[k].hasPendingDatagrams());
    }
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
    const Net::OutgoingDatagram one { buffer, sizeof buffer, loopback };
    QCOMPARE(Net::sendBatch(-1, &one, 1), std::size_t(0));
    QVERIFY(Net::allowBroadcast(-1) != 0);
}

QTEST_GUILESS_MAIN(tst_SocketLayer)
#include "tst_socketlayer.moc"
