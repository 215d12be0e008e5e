#include "sync/hostmessageserver.h"
#include "platform/hotpath.h"

#include "platform/hoststream.h"
#include "platform/userfiles.h"
#include "sync/hostframe.h"

#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>
#include <system_error>
#include <thread>

namespace
{

// Far more hosts than any setup has; beyond it new connections are refused so a
// runaway client cannot exhaust descriptors.
constexpr std::size_t kMaxConnections = 256;
constexpr int kProbeTimeoutMs = 250;
constexpr std::size_t kReadChunk = 16 * 1024;

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
    int fd = -1; // -1 once its thread closed it
    std::thread thread;
};

HostMessageServer::HostMessageServer(HostMessageHandler* handler, QObject* parent)
    : QObject(parent)
    , m_handler(handler)
    , m_server(new Listener(this))
{
    // Also the listen backlog: many hosts may connect at once.
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
    qDebug() << "HostMessageServer: listening on" << m_server->fullServerName();
    return true;
}

void HostMessageServer::close()
{
    if (m_server->isListening())
        m_server->close();
    std::vector<std::unique_ptr<Connection>> ending;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // A thread waiting in a read or a write on its connection returns at once.
        for (const auto& c : m_connections)
            if (c->fd >= 0)
                Platform::shutDown(c->fd);
        ending.swap(m_connections);
    }
    for (const auto& c : ending)
        c->thread.join();
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
    std::lock_guard<std::mutex> lock(m_lock);
    reapFinished();
    if (m_connections.size() >= kMaxConnections) {
        qDebug() << "HostMessageServer: too many hosts connected, refusing one";
        Platform::closeDescriptor(descriptor);
        return;
    }
    if (!Platform::makeWaiting(descriptor)) {
        qDebug() << "HostMessageServer: cannot serve a host's connection, refusing it";
        Platform::closeDescriptor(descriptor);
        return;
    }
    auto c = std::make_unique<Connection>();
    c->fd = descriptor;
    Connection* served = c.get();
    m_connections.push_back(std::move(c));
    ++m_connectionCount;
    // The thread's first step takes m_lock, so it sees the connection in place.
    try {
        served->thread = std::thread([this, served] { serve(served); });
    } catch (const std::system_error&) {
        qDebug() << "HostMessageServer: no thread for a host's connection, refusing it";
        Platform::closeDescriptor(descriptor);
        m_connections.pop_back();
        --m_connectionCount;
    }
}

void HostMessageServer::reapFinished()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->fd >= 0) {
            ++it;
            continue;
        }
        (*it)->thread.join(); // it has closed its descriptor: nothing more to wait for
        it = m_connections.erase(it);
    }
}

PRISMARA_HOT void HostMessageServer::serve(Connection* c)
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        fd = c->fd;
    }
    HostFrameReader reader;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kReadChunk]);
    bool answering = true;
    bool malformed = false;
    while (!malformed) {
        // Waits here, and only here, for the host: the same blocking read a
        // bare forwarder would make. What the host sent before it hung up is
        // read before the end of the stream.
        const long long n = Platform::readWaiting(fd, chunk.get(), kReadChunk);
        if (n <= 0)
            break;
        const std::size_t size = static_cast<std::size_t>(n);
        for (std::size_t at = 0; at < size;) {
            at += reader.feed(chunk.get() + at, size - at);
            if (reader.failed()) {
                qDebug() << "HostMessageServer: malformed request, closing the connection:"
                         << HostFrameReader::errorText(reader.error());
                malformed = true;
                break;
            }
            if (!reader.hasRequest())
                continue;
            HostIntake::HostAnswer reply { false, 0 };
            if (m_handler != nullptr) {
                std::lock_guard<std::mutex> one(m_handlerLock);
                reply = m_handler->hostMessage(reader.request());
            }
            reader.next();
            // The write waits while the host does not read its answers, and
            // so does the reading. A host that hung up after sending still
            // has its frames handled, but there is no one left to answer.
            const auto bytes = encodeHostAnswer(reply.handled, reply.result);
            if (answering)
                answering = Platform::writeAllWaiting(fd, bytes.data(), bytes.size());
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    Platform::closeDescriptor(fd);
    c->fd = -1;
    --m_connectionCount;
}
