// The simulator's socket loop: the handler runs for each readable descriptor with
// its index, for no other; a loop stopped and started again serves its new
// descriptors.

#include "tools/nanoleaf-sim/socketloop.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

class tst_SocketLoop : public QObject
{
    Q_OBJECT

    struct Pipe {
        int fd[2] = { -1, -1 };
        Pipe() { QVERIFY(pipe2(fd, O_CLOEXEC | O_NONBLOCK) == 0); }
        ~Pipe()
        {
            for (int f : fd)
                close(f);
        }
        void put(char byte) { QCOMPARE(write(fd[1], &byte, 1), ssize_t(1)); }
    };

private slots:
    void servesReadableDescriptors()
    {
        Pipe a, b, c;
        std::mutex lock;
        QStringList seen; // per call "index:byte", or "index:-" when nothing was there
        const auto handler = [&](const std::vector<int>& fds) {
            return [&, fds](std::size_t i) {
                char byte = 0;
                const bool read1 = read(fds[i], &byte, 1) == 1;
                std::lock_guard<std::mutex> hold(lock);
                seen << QStringLiteral("%1:%2").arg(i).arg(read1 ? QString::number(byte) : "-");
            };
        };
        const auto seenNow = [&] {
            std::lock_guard<std::mutex> hold(lock);
            return seen;
        };
        SocketLoop loop;
        std::string error;
        QVERIFY(loop.open(error));
        loop.start({ a.fd[0], b.fd[0] }, handler({ a.fd[0], b.fd[0] }));
        b.put(7);
        QTRY_COMPARE(seenNow(), QStringList { "1:7" });
        a.put(3);
        QTRY_COMPARE(seenNow(), (QStringList { "1:7", "0:3" }));
        loop.stop();

        // Started again over other descriptors; the old ones are no longer read.
        a.put(4);
        loop.start({ c.fd[0] }, handler({ c.fd[0] }));
        c.put(5);
        QTRY_COMPARE(seenNow(), (QStringList { "1:7", "0:3", "0:5" }));
        loop.stop();
    }
};

QTEST_GUILESS_MAIN(tst_SocketLoop)
#include "tst_socketloop.moc"
