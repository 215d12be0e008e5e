#include "soak/goodhost.h"

#include "sync/hostframe.h"
#include "sync/hostintake.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// One answer may take this long before the host counts it as missing. A hang
// detector: the tool answers in microseconds.
constexpr int kAnswerWaitMs = 20000;
constexpr int kConnectWaitMs = 10000;
// Upper bound on messages per run, whatever the caller does.
constexpr int kMaxMessages = 5000000;
constexpr std::uint64_t kForeignDwData = 999;

std::vector<unsigned char> request(std::uint32_t message, std::uint64_t wParam,
    std::uint64_t dwData, const std::vector<unsigned char>& payload)
{
    const HostIntake::Message m { message, wParam, dwData,
        static_cast<std::uint32_t>(payload.size()), payload.empty() ? nullptr : payload.data() };
    return encodeHostRequest(m);
}

std::vector<unsigned char> colourRecord(int type, int seed)
{
    std::vector<unsigned char> record(HostIntake::kRecordSize, 0);
    for (std::size_t i = 0; i < 48; ++i)
        record[i] = static_cast<unsigned char>((seed * 31 + static_cast<int>(i) * 7) & 0xFF);
    const auto t = static_cast<std::uint32_t>(type);
    record[52] = static_cast<unsigned char>(t);
    record[53] = static_cast<unsigned char>(t >> 8);
    record[54] = static_cast<unsigned char>(t >> 16);
    record[55] = static_cast<unsigned char>(t >> 24);
    return record;
}

} // namespace

GoodHost::GoodHost(const QString& socketPath)
    : path(socketPath)
{
}

GoodHost::~GoodHost()
{
    stop();
}

bool GoodHost::start()
{
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || static_cast<std::size_t>(name.size()) >= sizeof(address.sun_path)) {
        fail(QStringLiteral("socket path unusable: ") + path);
        return false;
    }
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));

    const QDeadlineTimer deadline(kConnectWaitMs);
    while (true) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(QStringLiteral("socket: ") + QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        const int error = errno;
        ::close(fd);
        fd = -1;
        if (deadline.hasExpired()) {
            fail(QStringLiteral("connect: ") + QString::fromLocal8Bit(std::strerror(error)));
            return false;
        }
        ::poll(nullptr, 0, 20);
    }
    worker = std::thread([this] { run(); });
    return true;
}

void GoodHost::stop()
{
    stopping.store(true);
    if (worker.joinable()) {
        // Waiting for an answer the blocked event loop cannot give: cut it short.
        if (!done.load()) {
            interrupted.store(true);
            ::shutdown(fd, SHUT_RDWR);
        }
        worker.join();
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

QString GoodHost::failure() const
{
    QMutexLocker lock(&mutex);
    return why;
}

void GoodHost::fail(const QString& text)
{
    if (interrupted.load())
        return;
    QMutexLocker lock(&mutex);
    if (why.isEmpty())
        why = text;
}

bool GoodHost::exchange(const unsigned char* bytes, std::size_t size, unsigned char* answer)
{
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(QStringLiteral("send: ") + QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::size_t got = 0;
    const QDeadlineTimer deadline(kAnswerWaitMs);
    while (got < kHostAnswerSize) {
        pollfd readable { fd, POLLIN, 0 };
        const int ready
            = ::poll(&readable, 1, static_cast<int>(qMax<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            fail(QStringLiteral("no answer in time to message %1").arg(answeredCount.load() + 1));
            return false;
        }
        const ssize_t n = ::recv(fd, answer + got, kHostAnswerSize - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(QStringLiteral("connection lost"));
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void GoodHost::run()
{
    struct Finished {
        std::atomic<bool>& flag;
        ~Finished() { flag.store(true); }
    } finished { done };
    for (int i = 0; i < kMaxMessages && !stopping.load(); ++i) {
        const int type = (i / 4) % 4 + 1;
        std::vector<unsigned char> bytes;
        HostIntake::HostAnswer expected { false, 0 };
        switch (i % 4) {
        case 0: // the host switches the mirrored source: not "handled"
            bytes = request(HostIntake::kSyncSwitch, static_cast<std::uint64_t>(type), 0, {});
            break;
        case 1: // a frame of the source just chosen: taken
            bytes = request(HostIntake::kCopyData, 0, 10001, colourRecord(type, i));
            expected = HostIntake::HostAnswer { true, 1 };
            break;
        case 2: // too short for a record: answered, not taken
            bytes = request(HostIntake::kCopyData, 0, 10001, std::vector<unsigned char>(20, 0x5A));
            expected = HostIntake::HostAnswer { true, 0 };
            break;
        default: // meant for another window: left alone
            bytes = request(HostIntake::kCopyData, 0, kForeignDwData, colourRecord(type, i));
            break;
        }
        unsigned char raw[kHostAnswerSize];
        if (!exchange(bytes.data(), bytes.size(), raw))
            return;
        HostIntake::HostAnswer answer {};
        if (!decodeHostAnswer(raw, sizeof raw, answer)) {
            fail(QStringLiteral("undecodable answer to message %1").arg(i));
            return;
        }
        if (answer.handled != expected.handled || answer.result != expected.result) {
            fail(QStringLiteral("message %1 (kind %2) answered %3/%4, expected %5/%6")
                     .arg(i)
                     .arg(i % 4)
                     .arg(int(answer.handled))
                     .arg(qint64(answer.result))
                     .arg(int(expected.handled))
                     .arg(qint64(expected.result)));
            return;
        }
        if (i % 4 == 0)
            switched.store(type);
        answeredCount.fetch_add(1);
    }
}
