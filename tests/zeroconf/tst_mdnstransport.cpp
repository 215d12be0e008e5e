// The whole scan, over real sockets, inside a private network namespace
// (tools/netns-run): the query is broadcast to 255.255.255.255:5353 as in the
// product, a responder thread here answers it from 127.0.0.2 / 127.0.0.3, and the
// replies the scan returns are compared with what was sent.

#include "common/privatenetwork.h"
#include "dnsbuilder.h"
#include "zeroconf/mdnstransport.h"

#include <QDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace DnsBuilder;

namespace
{

constexpr int kScanSeconds = 1;

std::vector<std::pair<int, std::string>> g_log;

void captureLog(int level, const std::string& message)
{
    g_log.emplace_back(level, message);
}

int openFileCount()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

int udpSocketBoundTo(const char* address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Plays a device (or several): waits for one query on port 5353, then sends its
// scripted datagrams, in order, to the querier's port on 127.0.0.1.
class Responder
{
public:
    struct Datagram {
        int lastOctet; // sent from 127.0.0.<lastOctet>
        Bytes bytes;
    };

    ~Responder()
    {
        join();
        for (int fd : { m_listener, m_senders[0], m_senders[1] })
            if (fd >= 0)
                ::close(fd);
    }

    bool open()
    {
        m_listener = udpSocketBoundTo("0.0.0.0", 5353);
        m_senders[0] = udpSocketBoundTo("127.0.0.2", 0);
        m_senders[1] = udpSocketBoundTo("127.0.0.3", 0);
        return m_listener >= 0 && m_senders[0] >= 0 && m_senders[1] >= 0;
    }

    void start(std::vector<Datagram> script)
    {
        m_thread = std::thread([this, script = std::move(script)] { run(script); });
    }

    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    Bytes query;
    std::uint16_t queryPort = 0;
    std::atomic<int> sent { 0 };

private:
    void run(const std::vector<Datagram>& script)
    {
        // Loopback delivery is queued per CPU: sending everything from one CPU keeps
        // the arrival order equal to the sending order.
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(static_cast<unsigned>(sched_getcpu()), &cpus);
        sched_setaffinity(0, sizeof cpus, &cpus);

        pollfd wait = { m_listener, POLLIN, 0 };
        if (::poll(&wait, 1, 10000) != 1)
            return;
        std::uint8_t buffer[1024];
        sockaddr_in from;
        socklen_t fromLength = sizeof from;
        const ssize_t length = ::recvfrom(
            m_listener, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0)
            return;
        query.assign(buffer, buffer + length);
        queryPort = ntohs(from.sin_port);

        sockaddr_in to;
        std::memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = from.sin_port;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (const Datagram& datagram : script) {
            const int fd = m_senders[datagram.lastOctet == 3 ? 1 : 0];
            if (::sendto(fd, datagram.bytes.data(), datagram.bytes.size(), 0,
                    reinterpret_cast<sockaddr*>(&to), sizeof to)
                == static_cast<ssize_t>(datagram.bytes.size()))
                ++sent;
        }
    }

    int m_listener = -1;
    int m_senders[2] = { -1, -1 };
    std::thread m_thread;
};

Bytes questionOnly()
{
    Bytes bytes = header(0x8400);
    question(bytes);
    return bytes;
}

} // namespace

class tst_MdnsTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void scan_data();
    void scan();
};

void tst_MdnsTransport::initTestCase()
{
    // This test broadcasts; never let it do so on a real network.
    QVERIFY2(TestNetwork::inPrivateNetwork(), "run me through tools/netns-run (ctest does)");
}

void tst_MdnsTransport::init()
{
    g_log.clear();
    Zeroconf::LogSink = captureLog;
}

void tst_MdnsTransport::cleanup()
{
    Zeroconf::LogSink = nullptr;
}

void tst_MdnsTransport::scan_data()
{
    QTest::addColumn<QList<int>>("senders");
    QTest::addColumn<QByteArrayList>("datagrams");
    QTest::addColumn<QStringList>("peers"); // of the accepted replies, in order
    QTest::addColumn<QStringList>("devices"); // their records[1] names ("" = fewer records)
    QTest::addColumn<QStringList>("log"); // reports expected from the scan

    auto bytes = [](const Bytes& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size()));
    };
    const QByteArray alpha = bytes(deviceAnswer("Alpha", 2).bytes);
    const QByteArray beta = bytes(deviceAnswer("Beta", 3).bytes);

    QTest::newRow("two devices, in arrival order")
        << QList<int> { 2, 3 } << QByteArrayList { alpha, beta }
        << QStringList { "127.0.0.2", "127.0.0.3" } << QStringList { "Alpha", "Beta" }
        << QStringList();
    QTest::newRow("arrival order, not address order")
        << QList<int> { 3, 2 } << QByteArrayList { beta, alpha }
        << QStringList { "127.0.0.3", "127.0.0.2" } << QStringList { "Beta", "Alpha" }
        << QStringList();
    QTest::newRow("same device twice") << QList<int> { 2, 2 } << QByteArrayList { alpha, alpha }
                                       << QStringList { "127.0.0.2", "127.0.0.2" }
                                       << QStringList { "Alpha", "Alpha" } << QStringList();
    QTest::newRow("oversized datagram among good ones")
        << QList<int> { 2, 3, 3 } << QByteArrayList { alpha, QByteArray(600, '\x84'), beta }
        << QStringList { "127.0.0.2", "127.0.0.3" } << QStringList { "Alpha", "Beta" }
        << QStringList { "1 Dropped oversized datagram of 600 bytes" };
    QTest::newRow("largest datagram still taken")
        << QList<int> { 2 } << QByteArrayList { bytes(questionOnly()) + QByteArray(512 - 41, '\0') }
        << QStringList() << QStringList()
        << QStringList { "1 Found incorrect offset token while parsing responce" };
    QTest::newRow("question-only answer is kept")
        << QList<int> { 3 } << QByteArrayList { bytes(questionOnly()) }
        << QStringList { "127.0.0.3" } << QStringList { "" } << QStringList();
    QTest::newRow("no answers") << QList<int>() << QByteArrayList() << QStringList()
                                << QStringList() << QStringList();
    QTest::newRow("every answer rejected")
        << QList<int> { 2, 3, 2 }
        << QByteArrayList { bytes(header(0x8000)), bytes(header(0x8400)), QByteArray() }
        << QStringList() << QStringList()
        << QStringList { "1 Found unexpected Flags value while parsing responce",
               "0 Failed to parse query name" };
}

void tst_MdnsTransport::scan()
{
    QFETCH(QList<int>, senders);
    QFETCH(QByteArrayList, datagrams);
    QFETCH(QStringList, peers);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, log);
    QCOMPARE(senders.size(), datagrams.size());

    std::vector<Responder::Datagram> script;
    for (int i = 0; i < senders.size(); ++i)
        script.push_back({ senders[i], Bytes(datagrams[i].begin(), datagrams[i].end()) });

    Responder responder;
    QVERIFY(responder.open());
    responder.start(script);

    const int filesBefore = openFileCount();
    std::vector<Zeroconf::Reply> replies(3); // stale entries must be cleared
    const bool ok = Zeroconf::QueryService("_nanoleafapi._tcp.local", kScanSeconds, replies);
    const int filesAfter = openFileCount();
    responder.join();

    QVERIFY(ok);
    QCOMPARE(filesAfter, filesBefore); // the scan's socket is closed
    QCOMPARE(responder.query, Zeroconf::Detail::BuildQuery("_nanoleafapi._tcp.local"));
    QVERIFY(responder.queryPort != 5353);
    QCOMPARE(responder.sent.load(), int(script.size()));

    QStringList gotPeers;
    QStringList gotDevices;
    for (const Zeroconf::Reply& reply : replies) {
        gotPeers << QString::fromStdString(Platform::Net::peerAddressToText(reply.peer));
        gotDevices << (reply.records.size() >= 2 ? QString::fromStdString(reply.records[1].name)
                                                 : QString());
    }
    QCOMPARE(gotPeers, peers);
    QCOMPARE(gotDevices, devices);

    QStringList gotLog;
    for (const auto& line : g_log)
        gotLog << QString::number(line.first) + " " + QString::fromStdString(line.second);
    QCOMPARE(gotLog, log);
}

QTEST_GUILESS_MAIN(tst_MdnsTransport)
#include "tst_mdnstransport.moc"
