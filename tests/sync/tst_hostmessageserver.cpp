// The local host endpoint: where it listens, what it refuses to replace, and one
// table of host-socket abuse. In every row a well-behaved host keeps being answered
// correctly while the abusive clients do their worst; malformed connections are
// closed, and every descriptor is released once the clients are gone.

#include "common/hostrequest.h"
#include "sync/hostframe.h"
#include "sync/hostmessageserver.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using HostTest::Bytes;
using HostTest::request;

namespace
{

constexpr int kWaitMs = 20000;
constexpr std::uint64_t kLastWords = 777; // dwData of requests sent right before a hang-up
constexpr int kFloodFrames = 100000; // far more answers than the socket buffers hold

// Answers with a result that depends on every field, so a request that is mixed up
// with another, cut or shifted gets a wrong answer.
class FakeHandler : public HostMessageHandler
{
public:
    static HostIntake::HostAnswer answerFor(const Bytes& request)
    {
        std::int64_t sum = 0;
        for (std::size_t i = 4; i < request.size(); ++i)
            sum += std::int64_t(request[i]) * std::int64_t(i * i + 1);
        return HostIntake::HostAnswer { request[4] % 2 == 0, sum };
    }

    HostIntake::HostAnswer hostMessage(const HostIntake::Message& m) override
    {
        ++seen;
        lastWords += m.dwData == kLastWords;
        return answerFor(
            request(m.message, m.wParam, m.dwData, Bytes(m.payload, m.payload + m.cbData)));
    }

    // Written on the endpoint's intake thread.
    std::atomic<int> seen { 0 };
    std::atomic<int> lastWords { 0 };
};

void send(QLocalSocket& socket, const Bytes& bytes)
{
    socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    socket.flush();
}

// `count` answers arrive in time, each the one the handler gives to `request`.
bool answered(QLocalSocket& socket, const Bytes& request, std::size_t count = 1)
{
    const HostIntake::HostAnswer want = FakeHandler::answerFor(request);
    HostIntake::HostAnswer a {};
    std::size_t got = 0;
    for (QDeadlineTimer deadline(kWaitMs); got < count && !deadline.hasExpired();) {
        if (socket.bytesAvailable() < qint64(kHostAnswerSize)) {
            QTest::qWait(1);
            continue;
        }
        const QByteArray raw = socket.read(kHostAnswerSize);
        if (!decodeHostAnswer(
                reinterpret_cast<const unsigned char*>(raw.constData()), kHostAnswerSize, a)
            || a.handled != want.handled || a.result != want.result)
            return false;
        ++got;
    }
    return got == count;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

void setEnvironment(const char* name, const QString& value)
{
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, QFile::encodeName(value));
}

bool makeFolder(const QString& path, mode_t mode)
{
    return QDir().mkdir(path) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Puts one kind of thing at path; a link points at a thing of the kind the
// endpoint would accept, made next to it. A stale socket is what a crashed
// instance leaves behind: a socket file nobody listens on.
bool put(const QString& thing, const QString& path)
{
    const QByteArray p = QFile::encodeName(path);
    if (thing == "stale socket") {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, p.constData(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound
            = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return bound && std::size_t(p.size()) < sizeof address.sun_path;
    }
    if (thing == "file") {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write("keep me") == 7;
    }
    if (thing.startsWith("link to "))
        return put(thing.mid(8), path + ".target") && QFile::link(path + ".target", path);
    return thing == "nothing" || (thing == "fifo" && ::mkfifo(p.constData(), 0600) == 0)
        || (thing == "private folder" && makeFolder(path, 0700))
        || (thing == "open folder" && makeFolder(path, 0755))
        || (thing == "foreign folder" && makeFolder(path, 0700)
            && ::chown(p.constData(), 65534, 65534) == 0);
}

// Kind, mode, owner and content of what is at path, to see that it is untouched.
QString describe(const QString& path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    QFile f(path);
    const QByteArray content
        = S_ISREG(st.st_mode) && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    return QStringLiteral("type %1 mode %2 uid %3 link '%4' content '%5'")
        .arg(st.st_mode >> 12, 0, 8)
        .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))
        .arg(st.st_uid)
        .arg(QFile::symLinkTarget(path), QString::fromLatin1(content));
}

// Which malformed requests the reader refuses is tst_hostformat's; here, that the
// connection is closed, after what came before is answered.
enum Kind {
    ValidThenGarbage, // one good request, then a bad size field
    Half, // half a size field, then nothing more
    Silent, // connects, never sends
    TruncatedHangUp, // part of a request, then the client hangs up
    LastWordsHangUp, // three requests, then the client hangs up
    ByteByByte, // one request, a byte at a time, interleaved with the good host
    Flood, // thousands of requests, answers never read
};

// What the clients of the first kinds send.
const char* const kAbuse[]
    = { "18000000 4a000000 0100000000000000 1127000000000000 00000000 03000000 010203", "1c00", "",
          "50000000 4a000000 0000000000000000 1127000000000000 3800" };

const Bytes kFrame = HostTest::colourFrame(1, 200, 100, 50, 3);

Bytes abuseBytes(int kind)
{
    if (kind <= TruncatedHangUp) {
        const QByteArray b = QByteArray::fromHex(QByteArray(kAbuse[kind]).replace(' ', ""));
        return Bytes(b.begin(), b.end());
    }
    Bytes out;
    for (int i = 0; kind == LastWordsHangUp && i < 3; ++i) {
        const Bytes one = request(74, std::uint64_t(i), kLastWords, Bytes(56, std::uint8_t(i)));
        out.insert(out.end(), one.begin(), one.end());
    }
    for (int i = 0; kind == Flood && i < kFloodFrames; ++i)
        out.insert(out.end(), kFrame.begin(), kFrame.end());
    return out;
}

} // namespace

class tst_HostMessageServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<QTemporaryDir> m_scratch;
    std::unique_ptr<FakeHandler> m_handler;
    std::unique_ptr<HostMessageServer> m_server;

    std::unique_ptr<QLocalSocket> connectClient(const QString& path = QString())
    {
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(path.isEmpty() ? m_path : path);
        return socket->waitForConnected(kWaitMs) ? std::move(socket) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("host.sock"));
    }

    void init()
    {
        // The fallback folder goes to a scratch folder of each test's own.
        m_scratch = std::make_unique<QTemporaryDir>(m_dir.filePath(QStringLiteral("XXXXXX")));
        QVERIFY(m_scratch->isValid());
        setEnvironment("TMPDIR", m_scratch->path());
        setEnvironment(HostMessageServer::kEnvironmentName, m_path);
        qunsetenv("XDG_RUNTIME_DIR");
        m_handler = std::make_unique<FakeHandler>();
        m_server = std::make_unique<HostMessageServer>(m_handler.get());
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        m_server.reset();
        m_handler.reset();
        m_scratch.reset();
    }

    // Where the endpoint goes, by argument, environment and runtime folder ($RUN: a private
    // runtime folder; $OWN: our fallback folder, for a missing, open or relative one).
    void endpointPath()
    {
        const QString run = m_scratch->filePath(QStringLiteral("run"));
        QVERIFY(makeFolder(run, 0700) && makeFolder(m_scratch->filePath("open"), 0755));
        const QString own
            = m_scratch->filePath(QStringLiteral("prismara-nanoleaf-%1").arg(::geteuid()));
        // runtime: a folder in the scratch folder, "" for none, "relative" for the path "run"
        const auto resolved = [&](const char* given, const char* environment,
                                  const QString& runtime) {
            setEnvironment(HostMessageServer::kEnvironmentName, environment);
            const QString folder = runtime.isEmpty() ? runtime : m_scratch->filePath(runtime);
            setEnvironment(
                "XDG_RUNTIME_DIR", runtime == "relative" ? QStringLiteral("run") : folder);
            return HostMessageServer::resolveName(given).replace(run, "$RUN").replace(own, "$OWN");
        };
        QCOMPARE(resolved("", "", "run"), "$RUN/prismara-nanoleaf-host");
        QCOMPARE(resolved("", "", ""), "$OWN/prismara-nanoleaf-host");
        QCOMPARE(resolved("", "", "open"), "$OWN/prismara-nanoleaf-host");
        QCOMPARE(resolved("", "", "relative"), "$OWN/prismara-nanoleaf-host");
        QCOMPARE(resolved("", "other-host", "run"), "$RUN/other-host");
        QCOMPARE(resolved("", "/run/x/host.sock", "run"), "/run/x/host.sock");
        QCOMPARE(resolved("given", "other-host", "run"), "$RUN/given"); // the argument wins
    }

    void abuse()
    {
        QVector<int> kinds { Flood }; // one entry per abusive client: five of each other kind
        for (int i = 0; i < 5 * Flood; ++i)
            kinds << i % Flood;
        const int descriptorsBefore = openDescriptors();
        auto good = connectClient();
        QVERIFY(good);
        // Requests in one write are answered in order.
        const auto nth = [](int i) {
            return request(
                74 + i % 2, std::uint64_t(i), 10001, Bytes(std::size_t(i), std::uint8_t(i)));
        };
        Bytes batch;
        for (int i = 0; i < 40; ++i) {
            const Bytes one = nth(i);
            batch.insert(batch.end(), one.begin(), one.end());
        }
        send(*good, batch);
        for (int i = 0; i < 40; ++i)
            QVERIFY2(answered(*good, nth(i)), qPrintable(QString::number(i)));

        std::vector<std::unique_ptr<QLocalSocket>> abusers;
        for (int kind : kinds) {
            abusers.push_back(connectClient());
            QVERIFY(abusers.back());
            if (kind == Flood)
                abusers.back()->setReadBufferSize(1);
            send(*abusers.back(), abuseBytes(kind));
            if (kind == TruncatedHangUp || kind == LastWordsHangUp)
                abusers.back()->disconnectFromServer();
        }
        const Bytes split = request(74, 5, 10001, kFrame);
        for (std::size_t i = 0; i < split.size(); ++i) {
            // Byte-by-byte clients trickle while the good host goes on, wide values and
            // the largest payload included.
            for (int c = 0; c < kinds.size(); ++c)
                if (kinds[c] == ByteByByte)
                    send(*abusers[std::size_t(c)], Bytes { split[i] });
            const Bytes mine = i == 7 ? request(74, 9, 10001, Bytes(65512, 0xA5))
                : i % 2 ? request(0xFFFFFFFFu, ~0ull, ~0ull, Bytes(1, std::uint8_t(i)))
                        : request(33024, 0xFFFFFFFF00000002ull, 0);
            send(*good, mine);
            QVERIFY2(answered(*good, mine), qPrintable(QStringLiteral("request %1").arg(i)));
        }
        for (int c = 0; c < kinds.size(); ++c) {
            QLocalSocket& a = *abusers[std::size_t(c)];
            const int kind = kinds[c];
            if (kind <= ValidThenGarbage) // closed by the tool
                QTRY_COMPARE_WITH_TIMEOUT(a.state(), QLocalSocket::UnconnectedState, kWaitMs);
            if (kind == ValidThenGarbage)
                QVERIFY(answered(a, request(74, 1)));
            if (kind == ByteByByte)
                QVERIFY(answered(a, split));
            if (kind == Flood) {
                // Throttled: while the host reads nothing, answers pile up only to a
                // bound (64 KiB unsent plus the socket buffers: some 28,000 here)...
                QVERIFY2(
                    m_handler->seen < 60000, qPrintable(QString::number(m_handler->seen.load())));
                // ...and not lost: every request is answered once the host reads.
                a.setReadBufferSize(0);
                QVERIFY(answered(a, kFrame, kFloodFrames));
            }
        }
        // Every hang-up's last three requests handled; open: the good host, the half, silent
        // and byte-by-byte clients and the flooding one.
        QTRY_COMPARE_WITH_TIMEOUT(m_handler->lastWords.load(), 5 * 3, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 1 + 3 * 5 + 1, kWaitMs);
        abusers.clear();
        good.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= descriptorsBefore, kWaitMs);
    }

    void onlyAStaleSocketIsReplaced_data()
    {
        // ownFolder: the thing sits where our own folder goes, not at the endpoint
        QTest::addColumn<bool>("ownFolder");
        QTest::addColumn<QString>("thing");
        QTest::addColumn<bool>("listens");
        const auto row = [](bool ownFolder, const char* thing, bool listens) {
            QTest::newRow(qPrintable(QString(ownFolder ? "own folder: " : "") + thing))
                << ownFolder << thing << listens;
        };
        for (const char* thing : { "nothing", "stale socket" })
            row(false, thing, true);
        for (const char* thing : { "file", "fifo", "link to stale socket" })
            row(false, thing, false);
        for (const char* thing : { "nothing", "private folder" })
            row(true, thing, true);
        for (const char* thing :
            { "open folder", "link to private folder", "file", "foreign folder" })
            row(true, thing, false);
    }

    void onlyAStaleSocketIsReplaced()
    {
        QFETCH(bool, ownFolder);
        QFETCH(QString, thing);
        QFETCH(bool, listens);
        m_server.reset();
        // Either an endpoint path of our choosing, or the default one without a runtime folder.
        const QString folder
            = m_scratch->filePath(QStringLiteral("prismara-nanoleaf-%1").arg(::geteuid()));
        const QString path
            = ownFolder ? folder + "/prismara-nanoleaf-host" : m_scratch->filePath("host.sock");
        setEnvironment(HostMessageServer::kEnvironmentName, ownFolder ? QString() : path);
        const QString at = ownFolder ? folder : path;
        const bool made = put(thing, at);
        if (!made && thing == "foreign folder")
            QSKIP("only root can hand a folder to another user");
        QVERIFY(made);
        const QString before = describe(at);

        m_server = std::make_unique<HostMessageServer>(m_handler.get());
        QCOMPARE(m_server->listen(), listens);
        if (!listens) {
            QVERIFY2(m_server->errorString().contains(at), qPrintable(m_server->errorString()));
            QVERIFY(thing != "file" || ownFolder
                || m_server->errorString()
                    == at + " exists and is not a socket; it is left as it is");
            QCOMPARE(describe(at), before);
            return;
        }
        QCOMPARE(m_server->fullServerName(), path);
        // Nobody else may reach the socket: not through its folder, nor by its mode.
        if (ownFolder)
            QCOMPARE(describe(folder),
                QStringLiteral("type 4 mode 0700 uid %1 link '' content ''").arg(::geteuid()));
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QVERIFY(S_ISSOCK(st.st_mode) && (st.st_mode & 077) == 0);
        auto client = connectClient(path);
        QVERIFY(client);
        send(*client, request(74, 11));
        QVERIFY(answered(*client, request(74, 11)));
    }

    // A second instance does not take the endpoint over; the host is served while the
    // owner's thread runs no event loop (here it sits in a blocking wait for the answer).
    void oneInstanceServingABusyOwner()
    {
        FakeHandler otherHandler;
        HostMessageServer second(&otherHandler);
        QVERIFY(!second.listen() && !second.isListening());
        QCOMPARE(second.errorString(), "another instance is listening on " + m_path);
        auto client = connectClient();
        QVERIFY(client);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 1, kWaitMs);
        const Bytes r = request(74, 13, 10001, Bytes(56, 7));
        send(*client, r);
        QVERIFY(client->waitForReadyRead(kWaitMs) && client->bytesAvailable() >= 9);
        QVERIFY(answered(*client, r));
        QCOMPARE(m_handler->seen.load(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_HostMessageServer)
#include "tst_hostmessageserver.moc"
