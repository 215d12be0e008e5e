#include "sync/hostframe.h"
#include "sync/hostmessageserver.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using Bytes = std::vector<unsigned char>;

namespace
{

constexpr int kWaitMs = 20000;

struct Seen {
    std::uint32_t message;
    std::uint64_t wParam;
    std::uint64_t dwData;
    Bytes payload;
};

// Answers in a way that ties every answer to its request: handled when the
// message number is even, result derived from wParam.
class FakeHandler : public HostMessageHandler
{
public:
    static HostIntake::HostAnswer answerFor(std::uint32_t message, std::uint64_t wParam)
    {
        return HostIntake::HostAnswer { message % 2 == 0,
            static_cast<std::int64_t>(wParam) * 3 - 7 };
    }

    HostIntake::HostAnswer hostMessage(const HostIntake::Message& m) override
    {
        Seen s { m.message, m.wParam, m.dwData, Bytes() };
        if (m.cbData > 0)
            s.payload.assign(m.payload, m.payload + m.cbData);
        seen.push_back(s);
        return answerFor(m.message, m.wParam);
    }

    std::vector<Seen> seen;
};

Bytes request(std::uint32_t message, std::uint64_t wParam, std::uint64_t dwData = 10001,
    const Bytes& payload = Bytes())
{
    const HostIntake::Message m { message, wParam, dwData,
        static_cast<std::uint32_t>(payload.size()), payload.empty() ? nullptr : payload.data() };
    return encodeHostRequest(m);
}

Bytes le32(std::uint32_t v)
{
    return Bytes { static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24) };
}

void send(QLocalSocket& socket, const Bytes& bytes)
{
    socket.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    socket.flush();
}

std::vector<HostIntake::HostAnswer> readAnswers(QLocalSocket& socket)
{
    std::vector<HostIntake::HostAnswer> out;
    while (socket.bytesAvailable() >= static_cast<qint64>(kHostAnswerSize)) {
        unsigned char raw[kHostAnswerSize];
        if (socket.read(reinterpret_cast<char*>(raw), sizeof raw)
            != static_cast<qint64>(sizeof raw))
            break;
        HostIntake::HostAnswer a {};
        if (!decodeHostAnswer(raw, sizeof raw, a))
            break;
        out.push_back(a);
    }
    return out;
}

bool sameAnswer(const HostIntake::HostAnswer& a, const HostIntake::HostAnswer& b)
{
    return a.handled == b.handled && a.result == b.result;
}

void setEnvironment(const char* name, const QString& value)
{
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, QFile::encodeName(value));
}

// What a crashed instance leaves behind: a socket file nobody listens on.
bool makeStaleSocket(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && std::size_t(name.size()) < sizeof address.sun_path;
}

bool makeFolder(const QString& path, mode_t mode)
{
    return QDir().mkdir(path) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Puts one kind of thing at path; a link points at a thing of the kind the
// endpoint would accept, made next to it.
bool put(const QString& thing, const QString& path)
{
    const QByteArray p = QFile::encodeName(path);
    if (thing == "nothing")
        return true;
    if (thing == "stale socket")
        return makeStaleSocket(path);
    if (thing == "file") {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write("keep me") == 7;
    }
    if (thing == "private folder")
        return makeFolder(path, 0700);
    if (thing == "open folder")
        return makeFolder(path, 0755);
    if (thing == "fifo")
        return ::mkfifo(p.constData(), 0600) == 0;
    if (thing == "foreign folder")
        return makeFolder(path, 0700) && ::chown(p.constData(), 65534, 65534) == 0;
    if (thing == "link to stale socket" || thing == "link to private folder")
        return put(thing.mid(8), path + ".target") && QFile::link(path + ".target", path);
    return false;
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

} // namespace

class tst_HostMessageServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void endpointPath_data();
    void endpointPath();
    void listensWhereTheEnvironmentSays();
    void roundTrip_data();
    void roundTrip();
    void severalRequestsInOneWrite();
    void requestSplitByteByByte();
    void twoClientsInterleaved();
    void garbageClosesOnlyItsConnection_data();
    void garbageClosesOnlyItsConnection();
    void silentClientBlocksNoOne();
    void lastFramesBeforeHangUpAreHandled();
    void hostThatDoesNotReadIsThrottledNotLost();
    void fiftyClients();
    void onlyAStaleSocketIsReplaced_data();
    void onlyAStaleSocketIsReplaced();
    void liveInstanceIsNotTakenOver();
    void toolSaysWhyItCannotListen();

private:
    std::unique_ptr<QLocalSocket> connectClient();

    QTemporaryDir m_dir;
    QString m_path;
    QByteArray m_tmpdir;
    std::unique_ptr<QTemporaryDir> m_scratch;
    std::unique_ptr<FakeHandler> m_handler;
    std::unique_ptr<HostMessageServer> m_server;
};

void tst_HostMessageServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath(QStringLiteral("host.sock"));
    m_tmpdir = qgetenv("TMPDIR");
    qunsetenv("XDG_RUNTIME_DIR");
}

void tst_HostMessageServer::init()
{
    qputenv(HostMessageServer::kEnvironmentName, QFile::encodeName(m_path));
    qputenv("TMPDIR", m_tmpdir);
    qunsetenv("XDG_RUNTIME_DIR");
    m_scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(m_scratch->isValid());
    m_handler = std::make_unique<FakeHandler>();
    m_server = std::make_unique<HostMessageServer>(m_handler.get());
    QVERIFY(m_server->listen());
}

void tst_HostMessageServer::cleanup()
{
    m_server.reset();
    m_handler.reset();
    m_scratch.reset();
}

std::unique_ptr<QLocalSocket> tst_HostMessageServer::connectClient()
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(m_path);
    if (!socket->waitForConnected(kWaitMs))
        return nullptr;
    return socket;
}

void tst_HostMessageServer::endpointPath_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>(
        "expected"); // $RUN: a private runtime folder; $OWN: our fallback folder
    QTest::newRow("default") << QString() << QString() << "run"
                             << "$RUN/prismara-nanoleaf-host";
    QTest::newRow("no runtime folder")
        << QString() << QString() << QString() << "$OWN/prismara-nanoleaf-host";
    QTest::newRow("runtime folder open to others") << QString() << QString() << "open"
                                                   << "$OWN/prismara-nanoleaf-host";
    QTest::newRow("runtime folder missing") << QString() << QString() << "none"
                                            << "$OWN/prismara-nanoleaf-host";
    QTest::newRow("runtime folder relative") << QString() << QString() << "relative"
                                             << "$OWN/prismara-nanoleaf-host";
    QTest::newRow("environment name") << QString() << "other-host"
                                      << "run"
                                      << "$RUN/other-host";
    QTest::newRow("environment name, no runtime")
        << QString() << "other-host" << QString() << "$OWN/other-host";
    QTest::newRow("environment path") << QString() << "/run/x/host.sock"
                                      << "run"
                                      << "/run/x/host.sock";
    QTest::newRow("argument wins") << "given"
                                   << "other-host"
                                   << "run"
                                   << "$RUN/given";
}

void tst_HostMessageServer::endpointPath()
{
    QFETCH(QString, given);
    QFETCH(QString, environment);
    QFETCH(QString, runtime);
    QFETCH(QString, expected);
    const QString run = m_scratch->filePath(QStringLiteral("run"));
    QVERIFY(makeFolder(run, 0700) && makeFolder(m_scratch->filePath(QStringLiteral("open")), 0755));
    const QString own
        = m_scratch->filePath(QStringLiteral("prismara-nanoleaf-%1").arg(::geteuid()));
    setEnvironment(HostMessageServer::kEnvironmentName, environment);
    if (!runtime.isEmpty())
        runtime = runtime == "relative" ? QStringLiteral("run") : m_scratch->filePath(runtime);
    setEnvironment("XDG_RUNTIME_DIR", runtime);
    setEnvironment("TMPDIR", m_scratch->path());
    QCOMPARE(
        HostMessageServer::resolveName(given), expected.replace("$RUN", run).replace("$OWN", own));
}

void tst_HostMessageServer::listensWhereTheEnvironmentSays()
{
    QVERIFY(m_server->isListening());
    QCOMPARE(m_server->fullServerName(), m_path);
    QVERIFY(QFile::exists(m_path));
}

void tst_HostMessageServer::roundTrip_data()
{
    QTest::addColumn<uint>("message");
    QTest::addColumn<quint64>("wParam");
    QTest::addColumn<quint64>("dwData");
    QTest::addColumn<int>("payloadSize");

    QTest::newRow("colour frame") << 74u << quint64(0) << quint64(10001) << 56;
    QTest::newRow("sync switch") << 33024u << quint64(0xFFFFFFFF00000002ull) << quint64(0) << 0;
    QTest::newRow("wide values") << 0xFFFFFFFFu << ~quint64(0) << ~quint64(0) << 1;
    QTest::newRow("largest payload") << 74u << quint64(9) << quint64(10001) << int(kHostMaxPayload);
}

void tst_HostMessageServer::roundTrip()
{
    QFETCH(uint, message);
    QFETCH(quint64, wParam);
    QFETCH(quint64, dwData);
    QFETCH(int, payloadSize);

    Bytes payload(static_cast<std::size_t>(payloadSize));
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 7 + 1);

    auto client = connectClient();
    QVERIFY(client);
    send(*client, request(message, wParam, dwData, payload));
    QTRY_VERIFY_WITH_TIMEOUT(client->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    const auto answers = readAnswers(*client);
    QCOMPARE(answers.size(), std::size_t(1));
    QVERIFY(sameAnswer(answers[0], FakeHandler::answerFor(message, wParam)));
    QCOMPARE(m_handler->seen.size(), std::size_t(1));
    const Seen& seen = m_handler->seen[0];
    QCOMPARE(seen.message, std::uint32_t(message));
    QCOMPARE(seen.wParam, std::uint64_t(wParam));
    QCOMPARE(seen.dwData, std::uint64_t(dwData));
    QVERIFY(seen.payload == payload);
    QCOMPARE(client->bytesAvailable(), qint64(0));
}

void tst_HostMessageServer::severalRequestsInOneWrite()
{
    const int count = 40;
    Bytes batch;
    for (int i = 0; i < count; ++i) {
        const Bytes one
            = request(74 + static_cast<std::uint32_t>(i % 2), static_cast<std::uint64_t>(i), 10001,
                Bytes(static_cast<std::size_t>(i), static_cast<unsigned char>(i)));
        batch.insert(batch.end(), one.begin(), one.end());
    }
    auto client = connectClient();
    QVERIFY(client);
    send(*client, batch);

    std::vector<HostIntake::HostAnswer> answers;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
        const auto more = readAnswers(*client);
        answers.insert(answers.end(), more.begin(), more.end());
        return answers.size() >= std::size_t(count);
    }()),
        kWaitMs);
    QCOMPARE(answers.size(), std::size_t(count));
    for (int i = 0; i < count; ++i) {
        QVERIFY2(sameAnswer(answers[std::size_t(i)],
                     FakeHandler::answerFor(74 + std::uint32_t(i % 2), std::uint64_t(i))),
            qPrintable(QStringLiteral("answer %1 out of order").arg(i)));
        QCOMPARE(m_handler->seen[std::size_t(i)].wParam, std::uint64_t(i));
        QCOMPARE(m_handler->seen[std::size_t(i)].payload.size(), std::size_t(i));
    }
}

void tst_HostMessageServer::requestSplitByteByByte()
{
    const Bytes one = request(74, 5, 10001, Bytes(56, 9));
    auto client = connectClient();
    QVERIFY(client);
    for (unsigned char byte : one) {
        send(*client, Bytes { byte });
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY_WITH_TIMEOUT(client->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    const auto answers = readAnswers(*client);
    QCOMPARE(answers.size(), std::size_t(1));
    QVERIFY(sameAnswer(answers[0], FakeHandler::answerFor(74, 5)));
    QCOMPARE(m_handler->seen.size(), std::size_t(1));
    QVERIFY(m_handler->seen[0].payload == Bytes(56, 9));
}

void tst_HostMessageServer::twoClientsInterleaved()
{
    auto a = connectClient();
    auto b = connectClient();
    QVERIFY(a && b);
    const Bytes ra = request(74, 100, 10001, Bytes(56, 0xA0));
    const Bytes rb = request(74, 200, 10001, Bytes(56, 0xB0));

    // a's request stops halfway; b's whole request must not be mixed into it.
    send(*a, Bytes(ra.begin(), ra.begin() + 30));
    send(*b, rb);
    QTRY_VERIFY_WITH_TIMEOUT(b->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    QVERIFY(sameAnswer(readAnswers(*b).at(0), FakeHandler::answerFor(74, 200)));
    QCOMPARE(m_handler->seen.size(), std::size_t(1));
    QVERIFY(m_handler->seen[0].payload == Bytes(56, 0xB0));

    send(*a, Bytes(ra.begin() + 30, ra.end()));
    QTRY_VERIFY_WITH_TIMEOUT(a->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    QVERIFY(sameAnswer(readAnswers(*a).at(0), FakeHandler::answerFor(74, 100)));
    QCOMPARE(m_handler->seen.size(), std::size_t(2));
    QVERIFY(m_handler->seen[1].payload == Bytes(56, 0xA0));
}

void tst_HostMessageServer::garbageClosesOnlyItsConnection_data()
{
    QTest::addColumn<QByteArray>("garbage");
    const auto q = [](const Bytes& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size()));
    };

    Bytes beyond = le32(24); // size says: no payload
    beyond.insert(beyond.end(), 20, 0);
    const Bytes cb = le32(1); // cbData says: one byte
    beyond.insert(beyond.end(), cb.begin(), cb.end());
    beyond.push_back(0xEE);

    QTest::newRow("size 3") << q(Bytes { 3, 0, 0, 0, 1, 2, 3 });
    QTest::newRow("size over 64 KiB") << q(le32(65537));
    QTest::newRow("cbData beyond size") << q(beyond);
}

void tst_HostMessageServer::garbageClosesOnlyItsConnection()
{
    QFETCH(QByteArray, garbage);
    auto bad = connectClient();
    auto good = connectClient();
    QVERIFY(bad && good);

    // A valid request ahead of the garbage is still answered.
    Bytes stream = request(74, 1);
    stream.insert(stream.end(), garbage.begin(), garbage.end());
    send(*bad, stream);
    QTRY_COMPARE_WITH_TIMEOUT(bad->state(), QLocalSocket::UnconnectedState, kWaitMs);
    const auto badAnswers = readAnswers(*bad);
    QCOMPARE(badAnswers.size(), std::size_t(1));
    QVERIFY(sameAnswer(badAnswers[0], FakeHandler::answerFor(74, 1)));

    send(*good, request(74, 2));
    QTRY_VERIFY_WITH_TIMEOUT(good->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    QVERIFY(sameAnswer(readAnswers(*good).at(0), FakeHandler::answerFor(74, 2)));
    QCOMPARE(good->state(), QLocalSocket::ConnectedState);
    QCOMPARE(m_handler->seen.size(), std::size_t(2));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 1, kWaitMs);
}

void tst_HostMessageServer::silentClientBlocksNoOne()
{
    auto silent = connectClient();
    QVERIFY(silent);
    // Half a request and then nothing: the same as silence for the reader.
    send(*silent, Bytes { 28, 0 });
    auto other = connectClient();
    QVERIFY(other);
    for (std::uint64_t i = 0; i < 5; ++i) {
        send(*other, request(74, i));
        QTRY_VERIFY_WITH_TIMEOUT(other->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
        QVERIFY(sameAnswer(readAnswers(*other).at(0), FakeHandler::answerFor(74, i)));
    }
    QCOMPARE(silent->state(), QLocalSocket::ConnectedState);
    QCOMPARE(m_server->connectionCount(), 2);
}

void tst_HostMessageServer::lastFramesBeforeHangUpAreHandled()
{
    auto client = connectClient();
    QVERIFY(client);
    Bytes stream;
    for (std::uint64_t i = 0; i < 3; ++i) {
        const Bytes one = request(74, i, 10001, Bytes(56, static_cast<unsigned char>(i)));
        stream.insert(stream.end(), one.begin(), one.end());
    }
    send(*client, stream);
    QVERIFY(client->waitForBytesWritten(kWaitMs) || client->bytesToWrite() == 0);
    client->disconnectFromServer();
    QTRY_COMPARE_WITH_TIMEOUT(m_handler->seen.size(), std::size_t(3), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
}

void tst_HostMessageServer::hostThatDoesNotReadIsThrottledNotLost()
{
    // Far more answers than the socket buffers hold: the server has to stop
    // reading this host and pick it up again once answers drain.
    const int count = 100000;
    const Bytes one = request(74, 0);
    Bytes stream;
    stream.reserve(one.size() * count);
    for (int i = 0; i < count; ++i)
        stream.insert(stream.end(), one.begin(), one.end());

    auto client = connectClient();
    QVERIFY(client);
    // Answers stay in the kernel, as with a host that is busy elsewhere.
    client->setReadBufferSize(qint64(kHostAnswerSize));
    send(*client, stream);
    // No answer is read yet: the server still takes at least as many requests as
    // fit 64 KiB of pending answers...
    QTRY_VERIFY_WITH_TIMEOUT(m_handler->seen.size() >= std::size_t(7000), kWaitMs);
    // ...and takes the rest as the host reads.
    client->setReadBufferSize(0);
    std::size_t answers = 0;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
        answers += readAnswers(*client).size();
        return answers == std::size_t(count);
    }()),
        kWaitMs * 3);
    QCOMPARE(m_handler->seen.size(), std::size_t(count));
    QCOMPARE(client->state(), QLocalSocket::ConnectedState);
}

void tst_HostMessageServer::fiftyClients()
{
    const int clients = 50;
    const int perClient = 3;
    std::vector<std::unique_ptr<QLocalSocket>> sockets;
    for (int c = 0; c < clients; ++c) {
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(m_path);
        sockets.push_back(std::move(socket));
    }
    for (auto& socket : sockets)
        QVERIFY(
            socket->state() == QLocalSocket::ConnectedState || socket->waitForConnected(kWaitMs));

    for (int c = 0; c < clients; ++c) {
        Bytes stream;
        for (int r = 0; r < perClient; ++r) {
            const Bytes one = request(74, static_cast<std::uint64_t>(c * 100 + r));
            stream.insert(stream.end(), one.begin(), one.end());
        }
        send(*sockets[std::size_t(c)], stream);
    }
    std::vector<std::vector<HostIntake::HostAnswer>> answers(clients);
    const auto allAnswered = [&] {
        bool done = true;
        for (int c = 0; c < clients; ++c) {
            const auto more = readAnswers(*sockets[std::size_t(c)]);
            answers[std::size_t(c)].insert(answers[std::size_t(c)].end(), more.begin(), more.end());
            done = done && answers[std::size_t(c)].size() >= std::size_t(perClient);
        }
        return done;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allAnswered(), kWaitMs);
    for (int c = 0; c < clients; ++c) {
        QCOMPARE(answers[std::size_t(c)].size(), std::size_t(perClient));
        for (int r = 0; r < perClient; ++r)
            QVERIFY(sameAnswer(answers[std::size_t(c)][std::size_t(r)],
                FakeHandler::answerFor(74, std::uint64_t(c * 100 + r))));
    }
    QCOMPARE(m_handler->seen.size(), std::size_t(clients * perClient));
    QCOMPARE(m_server->connectionCount(), clients);

    for (auto& socket : sockets)
        socket->disconnectFromServer();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
}

void tst_HostMessageServer::onlyAStaleSocketIsReplaced_data()
{
    QTest::addColumn<bool>(
        "ownFolder"); // the thing sits where our own folder goes, not at the endpoint
    QTest::addColumn<QString>("thing");
    QTest::addColumn<bool>("listens");
    QTest::newRow("nothing") << false << "nothing" << true;
    QTest::newRow("stale socket") << false << "stale socket" << true;
    QTest::newRow("file") << false << "file" << false;
    QTest::newRow("folder") << false << "private folder" << false;
    QTest::newRow("fifo") << false << "fifo" << false;
    QTest::newRow("link to a stale socket") << false << "link to stale socket" << false;
    QTest::newRow("no own folder yet") << true << "nothing" << true;
    QTest::newRow("own folder") << true << "private folder" << true;
    QTest::newRow("own folder open to others") << true << "open folder" << false;
    QTest::newRow("own folder is a link") << true << "link to private folder" << false;
    QTest::newRow("own folder is a file") << true << "file" << false;
    QTest::newRow("own folder of another user") << true << "foreign folder" << false;
}

void tst_HostMessageServer::onlyAStaleSocketIsReplaced()
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
    setEnvironment("TMPDIR", m_scratch->path());
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
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_mode & 077, mode_t(0));
    QLocalSocket client;
    client.connectToServer(path);
    QVERIFY(client.waitForConnected(kWaitMs));
    send(client, request(74, 11));
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    QVERIFY(sameAnswer(readAnswers(client).at(0), FakeHandler::answerFor(74, 11)));
}

void tst_HostMessageServer::liveInstanceIsNotTakenOver()
{
    FakeHandler otherHandler;
    HostMessageServer second(&otherHandler);
    QVERIFY(!second.listen());
    QVERIFY(!second.isListening());
    QCOMPARE(second.errorString(), "another instance is listening on " + m_path);

    auto client = connectClient();
    QVERIFY(client);
    send(*client, request(74, 12));
    QTRY_VERIFY_WITH_TIMEOUT(client->bytesAvailable() >= qint64(kHostAnswerSize), kWaitMs);
    QCOMPARE(m_handler->seen.size(), std::size_t(1));
    QVERIFY(otherHandler.seen.empty());
}

void tst_HostMessageServer::toolSaysWhyItCannotListen()
{
    const QString path = m_scratch->filePath(QStringLiteral("not-a-socket"));
    QVERIFY(put(QStringLiteral("file"), path));
    const QString before = describe(path);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRISMARA_HOST_SOCKET"), path);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_scratch->filePath(QStringLiteral("config")));
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(PRISMARA_BIN_DIR "/prismara-nanoleaf-tool"), QStringList());
    QVERIFY(tool.waitForStarted(kWaitMs));
    QByteArray err;
    const QByteArray expected = "prismara-nanoleaf-tool: host endpoint not listening: "
        + QFile::encodeName(path) + " exists and is not a socket; it is left as it is\n";
    QTRY_VERIFY_WITH_TIMEOUT((err += tool.readAllStandardError()).contains(expected)
            || tool.state() == QProcess::NotRunning,
        kWaitMs);
    tool.kill();
    tool.waitForFinished(kWaitMs);
    QVERIFY2(err.contains(expected), err.constData());
    QCOMPARE(describe(path), before);
}

QTEST_GUILESS_MAIN(tst_HostMessageServer)
#include "tst_hostmessageserver.moc"
