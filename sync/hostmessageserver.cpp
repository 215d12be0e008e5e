#include "sync/hostmessageserver.h"

#include "platform/hoststream.h"
#include "platform/userfiles.h"
#include "sync/hostframe.h"

#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <algorithm>
#include <memory>

namespace
{

// Far more hosts than any setup has; beyond it new connections are refused so a
// runaway client cannot exhaust descriptors.
constexpr std::size_t kMaxConnections = 256;
constexpr int kProbeTimeoutMs = 250;
constexpr std::size_t kReadChunk = 16 * 1024;
// A host that sends without reading its answers stops being read once this much
// is waiting to go out; reading resumes as the answers drain.
constexpr std::size_t kMaxUnsentAnswerBytes = 64 * 1024;

} // namespace

// Accepts on the owner's thread and hands each connection's descriptor over.
class HostMessageServer::Listener : public QLocalServer
{
public:
    explicit Listener(HostMessageServer* owner)
        : QLocalServer(owner)
        , m_owner(owner)
    {
    }

protected:
    void incomingConnection(quintptr descriptor) override
    {
        m_owner->takeConnection(static_cast<int>(descriptor));
    }

private:
    HostMessageServer* m_owner;
};

struct HostMessageServer::Connection {
    int fd = -1;
    HostFrameReader reader;
    std::vector<unsigned char> unsent; // answers the system did not take yet
    bool closing = false; // malformed stream: no more requests are taken
    bool answerless = false; // the host stopped reading: frames count, answers go nowhere
};

HostMessageServer::HostMessageServer(HostMessageHandler* handler, QObject* parent)
    : QObject(parent)
    , m_handler(handler)
    , m_server(new Listener(this))
{
    m_server->setMaxPendingConnections(static_cast<int>(kMaxConnections));
}

HostMessageServer::~HostMessageServer()
{
    close();
}

QString HostMessageServer::resolveName(const QString& nameOrPath)
{
    const HostEndpointPath where = hostEndpointPath(QFile::encodeName(nameOrPath).toStdString());
    return QFile::decodeName(where.path.c_str());
}

bool HostMessageServer::fail(const QString& why)
{
    m_error = why;
    qDebug() << "HostMessageServer:" << why;
    return false;
}

bool HostMessageServer::listen(const QString& nameOrPath)
{
    close();
    m_error.clear();
    const HostEndpointPath where = hostEndpointPath(QFile::encodeName(nameOrPath).toStdString());
    const QString name = QFile::decodeName(where.path.c_str());
    std::string why;
    if (!where.ownFolder.empty() && !Platform::makePrivateFolder(where.ownFolder, why))
        return fail(
            QStringLiteral("cannot use the folder %1: %2")
                .arg(QFile::decodeName(where.ownFolder.c_str()), QString::fromStdString(why)));

    switch (Platform::pathKind(where.path)) {
    case Platform::PathKind::Missing:
        break;
    case Platform::PathKind::Other:
        return fail(QStringLiteral("%1 exists and is not a socket; it is left as it is").arg(name));
    case Platform::PathKind::Socket: {
        // Only a dead instance's socket file may be taken over.
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(kProbeTimeoutMs)) {
            probe.abort();
            return fail(QStringLiteral("another instance is listening on %1").arg(name));
        }
        if (!Platform::removePath(where.path, why))
            return fail(QStringLiteral("cannot remove the stale socket %1: %2")
                            .arg(name, QString::fromStdString(why)));
        break;
    }
    }
    // The socket file gets mode 0700: no one else may connect.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(name, m_server->errorString()));
    {
        QMutexLocker lock(&m_lock);
        m_stopping = false;
    }
    m_wake = new Platform::WakePipe;
    if (!m_wake->isOpen()) {
        close();
        return fail(QStringLiteral("cannot make the intake thread's wake-up pipe"));
    }
    // A plain thread: it waits on descriptors only and needs no event loop.
    m_intake = std::thread([this] { runIntake(); });
    qDebug() << "HostMessageServer: listening on" << m_server->fullServerName();
    return true;
}

void HostMessageServer::close()
{
    if (m_server->isListening())
        m_server->close();
    if (m_intake.joinable()) {
        {
            QMutexLocker lock(&m_lock);
            m_stopping = true;
        }
        m_wake->wake();
        m_intake.join();
    }
    delete m_wake;
    m_wake = nullptr;
    QMutexLocker lock(&m_lock);
    for (int fd : m_arrived)
        Platform::closeDescriptor(fd);
    m_arrived.clear();
}

bool HostMessageServer::isListening() const
{
    return m_server->isListening();
}

QString HostMessageServer::fullServerName() const
{
    return m_server->fullServerName();
}

QString HostMessageServer::errorString() const
{
    return m_error;
}

int HostMessageServer::connectionCount() const
{
    return m_connectionCount.load();
}

void HostMessageServer::takeConnection(int descriptor)
{
    QMutexLocker lock(&m_lock);
    if (!m_intake.joinable() || m_stopping) {
        Platform::closeDescriptor(descriptor);
        return;
    }
    m_arrived.push_back(descriptor);
    m_wake->wake();
}

void HostMessageServer::runIntake()
{
    std::vector<std::unique_ptr<Connection>> connections;
    Platform::ReadinessSet ready;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kReadChunk]);
    for (;;) {
        {
            QMutexLocker lock(&m_lock);
            if (m_stopping)
                break;
            for (int fd : m_arrived) {
                if (connections.size() >= kMaxConnections) {
                    qDebug() << "HostMessageServer: too many hosts connected, refusing one";
                    Platform::closeDescriptor(fd);
                    continue;
                }
                connections.push_back(std::make_unique<Connection>());
                connections.back()->fd = fd;
            }
            m_arrived.clear();
        }
        m_connectionCount.store(static_cast<int>(connections.size()));

        ready.clear();
        ready.add(m_wake->readEnd(), true, false);
        for (const auto& c : connections)
            ready.add(c->fd, !c->closing && c->unsent.size() <= kMaxUnsentAnswerBytes,
                !c->unsent.empty());
        if (ready.wait(-1) < 0) {
            qDebug() << "HostMessageServer: cannot wait on the host connections";
            break;
        }
        if (ready.readable(0))
            m_wake->drain();

        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = *connections[i];
            const std::size_t at = i + 1;
            bool keep = true;
            if (ready.writable(at) || ready.broken(at))
                keep = flush(c);
            if (keep && (ready.readable(at) || ready.broken(at)))
                keep = serve(c, chunk.get(), kReadChunk);
            // Answers already given still go out before a malformed stream's
            // connection closes.
            if (!keep || (c.closing && c.unsent.empty())) {
                Platform::closeDescriptor(c.fd);
                c.fd = -1;
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                              [](const std::unique_ptr<Connection>& c) { return c->fd < 0; }),
            connections.end());
    }
    for (const auto& c : connections)
        Platform::closeDescriptor(c->fd);
    m_connectionCount.store(0);
}

bool HostMessageServer::serve(Connection& c, unsigned char* chunk, std::size_t capacity)
{
    if (c.closing)
        return true;
    const long long n = Platform::readWithoutWaiting(c.fd, chunk, capacity);
    if (n == Platform::kNothingYet)
        return true;
    // The end of the stream or a broken connection: what the host sent before
    // it hung up has been served by earlier reads.
    if (n <= 0)
        return false;
    const std::size_t size = static_cast<std::size_t>(n);
    std::size_t at = 0;
    while (at < size) {
        at += c.reader.feed(chunk + at, size - at);
        if (c.reader.failed()) {
            qDebug() << "HostMessageServer: malformed request, closing the connection:"
                     << HostFrameReader::errorText(c.reader.error());
            c.closing = true;
            break;
        }
        if (!c.reader.hasRequest())
            continue;
        const HostIntake::HostAnswer reply = m_handler ? m_handler->hostMessage(c.reader.request())
                                                       : HostIntake::HostAnswer { false, 0 };
        c.reader.next();
        const auto bytes = encodeHostAnswer(reply.handled, reply.result);
        answer(c, bytes.data(), bytes.size());
    }
    return true;
}

void HostMessageServer::answer(Connection& c, const unsigned char* bytes, std::size_t size)
{
    // Straight to the system while nothing waits before it: the host gets its
    // answer in the wake-up that forwarded its frame. What the system does not
    // take now waits for the connection to take more, in order.
    if (c.answerless)
        return;
    std::size_t at = 0;
    if (c.unsent.empty()) {
        const long long n = Platform::writeWithoutWaiting(c.fd, bytes, size);
        if (n < 0) {
            // A host that hung up after sending still has its frames handled,
            // but there is no one left to answer.
            c.answerless = true;
            return;
        }
        at = static_cast<std::size_t>(n);
    }
    c.unsent.insert(c.unsent.end(), bytes + at, bytes + size);
}

bool HostMessageServer::flush(Connection& c)
{
    if (c.unsent.empty())
        return true;
    const long long n = Platform::writeWithoutWaiting(c.fd, c.unsent.data(), c.unsent.size());
    if (n < 0) {
        c.answerless = true;
        c.unsent.clear();
        // Nothing more can be answered; a malformed stream is done with.
        return !c.closing;
    }
    c.unsent.erase(c.unsent.begin(), c.unsent.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}
