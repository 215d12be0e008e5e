// The whole scan in a private network namespace, answered from 127.0.0.2 / 127.0.0.3 by a
// thread: replies in arrival order, oversized ones dropped, the scan's socket closed.

#include "common/privatenetwork.h"
#include "zeroconf/mdnstransport.h"

#include <QDir>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace
{

// An answer from device `label`: one PTR to the instance, one A record owned by it.
QString answer(const char* label)
{
    const int n = int(qstrlen(label));
    return QString::asprintf(
               "0000 8400 0001 0001 0000 0001 0c5f6e616e6f6c656166617069045f746370056c"
               "6f63616c00000c0001 c00c 000c 0001 00000078 00%02x %02x",
               n + 3, n)
        + QByteArray(label).toHex() + " c00c c035 0001 0001 00000078 0004 7f000002";
}

int openFiles()
{
    return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size();
}

// Answers the first query to port 5353 from a thread with the datagrams of a script, in
// order: "2:hex" from 127.0.0.2, "3:hex" from 127.0.0.3. Keeps the query and its sender.
// Nothing may return between start() and join().
class Responder
{
public:
    bool start(const QStringList& script)
    {
        if (!m_listening.bind(QHostAddress::AnyIPv4, 5353, QUdpSocket::ShareAddress)
            || !m_sending[0].bind(QHostAddress("127.0.0.2"))
            || !m_sending[1].bind(QHostAddress("127.0.0.3")))
            return false;
        m_thread = std::thread([this, script] {
            // Loopback delivery is queued per CPU: one CPU keeps the sending order.
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(unsigned(sched_getcpu()), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            pollfd wait = { int(m_listening.socketDescriptor()), POLLIN, 0 };
            std::uint8_t buffer[1024];
            socklen_t length = sizeof querier;
            if (::poll(&wait, 1, 10000) != 1)
                return;
            const ssize_t n = ::recvfrom(
                wait.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&querier), &length);
            query.assign(buffer, buffer + std::max<ssize_t>(n, 0));
            sockaddr_in to = querier;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (const QString& datagram : script) {
                const QByteArray bytes
                    = QByteArray::fromHex(datagram.mid(2).remove(' ').toLatin1());
                ::sendto(int(m_sending[datagram.startsWith('3')].socketDescriptor()),
                    bytes.constData(), std::size_t(bytes.size()), 0,
                    reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        });
        return true;
    }
    void join() { m_thread.join(); }

    std::vector<std::uint8_t> query;
    sockaddr_in querier {};

private:
    QUdpSocket m_listening, m_sending[2]; // used through their descriptors
    std::thread m_thread;
};

std::vector<std::string> g_log;

} // namespace

class tst_MdnsTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        Zeroconf::LogSink = [](int level, const std::string& line) {
            g_log.push_back(std::to_string(level) + " " + line);
        };
    }

    // Arrival order, not address order; one of 512 bytes is still read; rejected ones
    // reported; the caller's choice drops answers as they arrive; its cancel flag, set
    // from another thread while the scan waits, ends a scan of 20 s well before its time.
    void scan()
    {
        const QStringList script { "3:" + answer("Beta"), "2:" + answer("Alpha"),
            "3:" + QString(1200, 'a'), "2:" + answer("Alpha") + QString(2 * (512 - 77), '0'),
            "3:", "2:" + answer("Gamma"), "2:" + answer("Alpha") };
        Responder responder;
        QVERIFY(responder.start(script));
        std::atomic<bool> cancel { false };
        std::atomic<int> seen { 0 };
        std::thread canceller([&] {
            for (int waits = 0; seen < 4 && waits < 1000; ++waits)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            cancel = true;
        });
        Zeroconf::ScanControl control;
        control.cancel = &cancel;
        control.keep = [&seen](const Zeroconf::Reply& reply) {
            ++seen;
            return reply.records.size() < 2 || reply.records[1].name != "Gamma";
        };
        const int filesBefore = openFiles();
        std::vector<Zeroconf::Reply> found(3); // stale entries must go
        QElapsedTimer clock;
        clock.start();
        const bool ok = Zeroconf::QueryService("_nanoleafapi._tcp.local", 20, found, control);
        const qint64 elapsed = clock.elapsed();
        const int filesAfter = openFiles();
        responder.join();
        canceller.join();
        QVERIFY(ok);
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
        QCOMPARE(filesAfter, filesBefore); // the scan's socket is closed
        QCOMPARE(responder.query.size(), std::size_t(41)); // its bytes: tst_dnsmessage
        QVERIFY(ntohs(responder.querier.sin_port) != 5353);
        QStringList got;
        for (const Zeroconf::Reply& reply : found)
            got << QString::fromStdString(reply.records.size() >= 2 ? reply.records[1].name : "")
                    + "@" + QString::fromStdString(Platform::Net::peerAddressToText(reply.peer));
        QCOMPARE(got.join(' '), "Beta@127.0.0.3 Alpha@127.0.0.2 Alpha@127.0.0.2");
        std::sort(g_log.begin(), g_log.end());
        QCOMPARE(g_log,
            (std::vector<std::string> { "1 Dropped oversized datagram of 600 bytes",
                "1 Found incorrect offset token while parsing responce" }));
    }
};

QTEST_GUILESS_MAIN(tst_MdnsTransport)
#include "tst_mdnstransport.moc"
