// The whole scan over real sockets in a private network namespace: a responder thread
// answers the broadcast query from 127.0.0.2 / 127.0.0.3; the scan returns the replies
// in arrival order, drops oversized ones and closes its socket.

#include "common/privatenetwork.h"
#include "zeroconf/mdnstransport.h"

#include <QDir>
#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace
{

using Bytes = std::vector<std::uint8_t>;

// An answer from device `label` (one PTR to the instance, one A record owned by it).
QString answer(const QString& label)
{
    const QByteArray name = label.toLatin1();
    return QStringLiteral("0000 8400 0001 0001 0000 0001 %1 c00c 000c 0001 00000078 00%2 %3 c00c "
                          "c035 0001 0001 00000078 0004 7f000002")
        .arg("0c5f6e616e6f6c656166617069045f746370056c6f63616c00000c0001")
        .arg(name.size() + 3, 2, 16, QLatin1Char('0'))
        .arg(QString::number(name.size(), 16).rightJustified(2, '0') + name.toHex());
}

int udpSocket(const char* address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 ? fd : -1;
}

int openFiles()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

std::vector<std::string> g_log;

} // namespace

class tst_MdnsTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(TestNetwork::inPrivateNetwork(), "run me through tools/netns-run (ctest does)");
        Zeroconf::LogSink = [](int level, const std::string& line) {
            g_log.push_back(std::to_string(level) + " " + line);
        };
    }

    // Replies come back in arrival order, not address order; an oversized datagram
    // among them is dropped, one of 512 bytes still read, and rejected ones reported.
    void scan()
    {
        const QStringList script { "3:" + answer("Beta"), "2:" + answer("Alpha"),
            "3:" + QString(1200, 'a'), "2:" + answer("Alpha") + QString(2 * (512 - 77), '0'),
            "2:0000 8000 0001 0000 0000 0000", "3:", "2:" + answer("Alpha") };
        const int listener = udpSocket("0.0.0.0", 5353);
        const int senders[] = { udpSocket("127.0.0.2", 0), udpSocket("127.0.0.3", 0) };
        QVERIFY(listener >= 0 && senders[0] >= 0 && senders[1] >= 0);
        Bytes query;
        sockaddr_in querier {};
        std::thread responder([&] {
            // Loopback delivery is queued per CPU: one CPU keeps the sending order.
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(unsigned(sched_getcpu()), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            pollfd wait = { listener, POLLIN, 0 };
            std::uint8_t buffer[1024];
            socklen_t length = sizeof querier;
            if (::poll(&wait, 1, 10000) != 1)
                return;
            const ssize_t n = ::recvfrom(
                listener, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&querier), &length);
            query.assign(buffer, buffer + std::max<ssize_t>(n, 0));
            sockaddr_in to = querier;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (const QString& datagram : script) {
                const QByteArray bytes
                    = QByteArray::fromHex(datagram.mid(2).remove(' ').toLatin1());
                ::sendto(senders[datagram.startsWith('3')], bytes.constData(),
                    std::size_t(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        });
        const int filesBefore = openFiles();
        std::vector<Zeroconf::Reply> found(3); // stale entries must go
        const bool ok = Zeroconf::QueryService("_nanoleafapi._tcp.local", 1, found);
        const int filesAfter = openFiles();
        responder.join();
        for (int fd : { listener, senders[0], senders[1] })
            ::close(fd);
        QVERIFY(ok);
        QCOMPARE(filesAfter, filesBefore); // the scan's socket is closed
        QCOMPARE(query.size(), std::size_t(41)); // its bytes: tst_dnsmessage
        QVERIFY(ntohs(querier.sin_port) != 5353);
        QStringList got;
        for (const Zeroconf::Reply& reply : found)
            got << QString::fromStdString(reply.records.size() >= 2 ? reply.records[1].name : "")
                    + "@" + QString::fromStdString(Platform::Net::peerAddressToText(reply.peer));
        QCOMPARE(got.join(' '), "Beta@127.0.0.3 Alpha@127.0.0.2 Alpha@127.0.0.2");
        std::sort(g_log.begin(), g_log.end());
        QCOMPARE(g_log,
            (std::vector<std::string> { "1 Dropped oversized datagram of 600 bytes",
                "1 Found incorrect offset token while parsing responce",
                "1 Found unexpected Flags value while parsing responce" }));
    }
};

QTEST_GUILESS_MAIN(tst_MdnsTransport)
#include "tst_mdnstransport.moc"
