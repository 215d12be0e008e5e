#include "sync/hostmessageserver.h"

#include "platform/userfiles.h"
#include "sync/checkedconnect.h"

#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <vector>

namespace
{

// Far more hosts than any setup has; beyond it new connections are refused so a
// runaway client cannot exhaust descriptors.
constexpr std::size_t kMaxConnections = 256;
constexpr int kProbeTimeoutMs = 250;
constexpr qint64 kReadChunk = 16 * 1024;
// One request in progress plus what the socket may hold unread.
constexpr qint64 kSocketReadBuffer = static_cast<qint64>(kHostSizeField + kHostMaxRequestSize);
// A host that sends without reading its answers stops being read once this much
// is waiting to go out; reading resumes as the answers drain.
constexpr qint64 kMaxUnsentAnswerBytes = 64 * 1024;

} // namespace

struct HostMessageServer::Connection {
    HostFrameReader reader;
    bool busy = false; // inside serve(), possibly in a nested event loop of the handler
    bool gone = false; // disconnected while busy: serve() drops it when done
    bool closing = false; // malformed stream: no more requests are taken
};

HostMessageServer::HostMessageServer(HostMessageHandler* handler, QObject* parent)
    : QObject(parent)
    , m_handler(handler)
    , m_server(new QLocalServer(this))
{
    m_server->setMaxPendingConnections(static_cast<int>(kMaxConnections));
    checkedConnect(m_server, SIGNAL(newConnection()), this, SLOT(acceptConnections()));
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
    std::vector<QLocalSocket*> sockets;
    sockets.reserve(m_connections.size());
    for (const auto& entry : m_connections)
        sockets.push_back(entry.first);
    for (QLocalSocket* socket : sockets) {
        auto it = m_connections.find(socket);
        if (it->second->busy)
            it->second->gone = true;
        else
            drop(socket);
    }
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
    return static_cast<int>(m_connections.size());
}

void HostMessageServer::acceptConnections()
{
    while (m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        if (socket == nullptr)
            break;
        if (m_connections.size() >= kMaxConnections) {
            qDebug() << "HostMessageServer: too many hosts connected, refusing one";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setReadBufferSize(kSocketReadBuffer);
        m_connections.emplace(socket, std::make_unique<Connection>());
        checkedConnect(socket, SIGNAL(readyRead()), this, SLOT(readFromSocket()));
        checkedConnect(socket, SIGNAL(disconnected()), this, SLOT(socketDisconnected()));
        checkedConnect(socket, SIGNAL(bytesWritten(qint64)), this, SLOT(answersWritten()));
        if (socket->state() != QLocalSocket::ConnectedState) {
            // Gone before we got to it; still answer what it managed to send.
            serve(socket);
            drop(socket);
        } else if (socket->bytesAvailable() > 0) {
            serve(socket);
        }
    }
}

void HostMessageServer::readFromSocket()
{
    if (QLocalSocket* socket = qobject_cast<QLocalSocket*>(sender()))
        serve(socket);
}

void HostMessageServer::answersWritten()
{
    QLocalSocket* socket = qobject_cast<QLocalSocket*>(sender());
    if (socket != nullptr && socket->bytesAvailable() > 0
        && socket->bytesToWrite() <= kMaxUnsentAnswerBytes)
        serve(socket);
}

void HostMessageServer::socketDisconnected()
{
    QLocalSocket* socket = qobject_cast<QLocalSocket*>(sender());
    if (socket == nullptr)
        return;
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->second->busy) {
        it->second->gone = true;
        return;
    }
    // A host may send its last frames and close at once: they still count.
    serve(socket);
    drop(socket);
}

void HostMessageServer::serve(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection* c = it->second.get();
    if (c->busy || c->closing)
        return;
    c->busy = true;

    unsigned char chunk[kReadChunk];
    while (!c->gone && !c->closing && socket->bytesToWrite() <= kMaxUnsentAnswerBytes) {
        if (socket->bytesAvailable() <= 0)
            break;
        const qint64 n = socket->read(reinterpret_cast<char*>(chunk), kReadChunk);
        if (n <= 0)
            break;
        const std::size_t size = static_cast<std::size_t>(n);
        std::size_t at = 0;
        while (at < size && !c->gone) {
            at += c->reader.feed(chunk + at, size - at);
            if (c->reader.failed()) {
                qDebug() << "HostMessageServer: malformed request, closing the connection:"
                         << HostFrameReader::errorText(c->reader.error());
                c->closing = true;
                break;
            }
            if (!c->reader.hasRequest())
                continue;
            const HostRequest request = c->reader.takeRequest();
            const HostIntake::HostAnswer answer = m_handler
                ? m_handler->hostMessage(request.toMessage())
                : HostIntake::HostAnswer { false, 0 };
            const auto bytes = encodeHostAnswer(answer.handled, answer.result);
            // A host that hung up after sending still had its frames handled,
            // but there is no one left to answer.
            if (socket->state() == QLocalSocket::ConnectedState)
                sendAnswer(socket, bytes.data(), bytes.size());
        }
    }

    // Hand the answers to the system now rather than on the next pass of the
    // event loop: the host waits for them before it sends its next frame.
    if (socket->state() == QLocalSocket::ConnectedState && socket->bytesToWrite() > 0)
        socket->flush();

    c->busy = false;
    if (c->gone) {
        drop(socket);
    } else if (c->closing) {
        // Answers already written still go out before the connection closes;
        // disconnected() then drops it.
        socket->disconnectFromServer();
    }
}

void HostMessageServer::sendAnswer(
    QLocalSocket* socket, const unsigned char* bytes, std::size_t size)
{
    // Straight to the system while nothing waits before it: the host gets its
    // answer in the wake-up that forwarded its frame, and the socket's write
    // notifier is not switched on and off (two more wake-ups of the event loop)
    // for every frame. What the system does not take now, or an error, goes the
    // buffered way, which keeps the order and reports the error as usual.
    std::size_t at = 0;
    if (socket->bytesToWrite() == 0) {
        const long long n = Platform::writeWithoutWaiting(
            static_cast<int>(socket->socketDescriptor()), bytes, size);
        if (n > 0)
            at = static_cast<std::size_t>(n);
    }
    if (at < size)
        socket->write(reinterpret_cast<const char*>(bytes + at), static_cast<qint64>(size - at));
}

void HostMessageServer::drop(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    m_connections.erase(it);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
