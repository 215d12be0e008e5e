#include "app/instancechannel.h"

#include "app/activationmessage.h"
#include "platform/userfiles.h"
#include "service/checkedconnect.h"
#include "sync/hostendpoint.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

namespace
{

// Later starts come from a user's clicks, a few at a time; more at once are refused.
constexpr int kMaxWaiting = 8;
// A connection that has not sent its request by then is dropped.
constexpr int kRequestMs = 5000;
constexpr int kConnectMs = 200;
constexpr int kRetryMs = 50;

} // namespace

InstanceChannel::InstanceChannel(QObject* parent)
    : QObject(parent)
{
}

InstanceChannel::~InstanceChannel()
{
    close();
    Platform::unlockFile(m_lock);
}

InstanceChannel::Role InstanceChannel::fail(Role role, const QString& why)
{
    m_error = why;
    return role;
}

InstanceChannel::Role InstanceChannel::claim(int timeoutMs, bool open)
{
    const HostEndpointPath endpoint = hostEndpointPath();
    std::string why;
    if (!endpoint.ownFolder.empty() && !Platform::makePrivateFolder(endpoint.ownFolder, why))
        return fail(Role::Failed,
            QStringLiteral("cannot use the folder %1: %2")
                .arg(QFile::decodeName(endpoint.ownFolder.c_str()), QString::fromStdString(why)));
    m_path = QFile::decodeName(endpoint.path.c_str()) + QStringLiteral(".instance");
    m_lockPath = endpoint.path + ".lock";

    // Bounded by the deadline: each round either decides or waits kRetryMs.
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        switch (Platform::lockFile(m_lockPath, m_lock, why)) {
        case Platform::LockState::Held:
            if (open)
                listen();
            return Role::First;
        case Platform::LockState::Failed:
            return fail(Role::Failed, QString::fromStdString(why));
        case Platform::LockState::Busy:
            break;
        }
        auto* socket = new QLocalSocket(this);
        socket->connectToServer(m_path);
        if (socket->waitForConnected(kConnectMs)) {
            m_running = socket;
            return Role::Later;
        }
        delete socket;
        if (deadline.hasExpired())
            return fail(Role::Unanswered,
                QStringLiteral("another tool holds %1 but does not answer on %2")
                    .arg(QFile::decodeName(m_lockPath.c_str()), m_path));
        QThread::msleep(kRetryMs);
    }
}

bool InstanceChannel::listen()
{
    // Only the lock's holder gets here, so a socket file left at the path is a dead
    // tool's; anything else is not ours to remove.
    const std::string path = QFile::encodeName(m_path).toStdString();
    std::string why;
    switch (Platform::pathKind(path)) {
    case Platform::PathKind::Missing:
        break;
    case Platform::PathKind::Other:
        m_error = QStringLiteral("%1 exists and is not a socket; it is left as it is").arg(m_path);
        return false;
    case Platform::PathKind::Socket:
        if (!Platform::removePath(path, why)) {
            m_error = QStringLiteral("cannot remove the stale socket %1: %2")
                          .arg(m_path, QString::fromStdString(why));
            return false;
        }
        break;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(kMaxWaiting);
    if (!m_server->listen(m_path)) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(m_path, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    checkedConnect(m_server, SIGNAL(newConnection()), this, SLOT(takeConnections()));
    return true;
}

void InstanceChannel::serve(Handler handler)
{
    m_handler = std::move(handler);
}

void InstanceChannel::close()
{
    if (m_server == nullptr)
        return;
    m_server->close(); // also removes the socket file
    delete m_server;
    m_server = nullptr;
}

void InstanceChannel::takeConnections()
{
    while (m_server != nullptr && m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        if (findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly).size()
            >= kMaxWaiting) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        // A connection that never finishes its request does not stay.
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        checkedConnect(timer, SIGNAL(timeout()), socket, SLOT(deleteLater()));
        timer->start(kRequestMs);
        checkedConnect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
        checkedConnect(socket, SIGNAL(readyRead()), this, SLOT(readRequest()));
        serveRequest(socket);
    }
}

void InstanceChannel::readRequest()
{
    if (auto* socket = qobject_cast<QLocalSocket*>(sender()))
        serveRequest(socket);
}

void InstanceChannel::serveRequest(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= Activation::kActivationMaxLine)
            socket->abort(); // no line will come within the limit
        return;
    }
    const QByteArray line = socket->readLine(Activation::kActivationMaxLine + 1);
    // Answered once; anything after the request line is not read.
    socket->disconnect(this);
    QStringList arguments;
    Answer answer { 1, QStringLiteral("the running tool could not read the request") };
    if (Activation::decodeRequest(line, arguments) && m_handler)
        answer = m_handler(arguments);
    socket->write(Activation::encodeAnswer(answer.exitCode, answer.error));
    // Out at once: the handler may have asked the event loop to end.
    socket->flush();
    socket->disconnectFromServer();
}

InstanceChannel::Answer InstanceChannel::handOver(const QStringList& arguments, int timeoutMs)
{
    if (m_running == nullptr)
        return { 1, QStringLiteral("no running tool to hand over to") };
    const QByteArray request = Activation::encodeRequest(arguments);
    if (request.isEmpty())
        return { 1, QStringLiteral("the command line is too long to hand over") };
    m_running->write(request);
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_running->canReadLine() && m_running->state() == QLocalSocket::ConnectedState
        && !deadline.hasExpired())
        m_running->waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 1000)));
    Answer answer { 1, QString() };
    if (!m_running->canReadLine())
        answer.error = QStringLiteral("the running tool did not answer on %1").arg(m_path);
    else if (!Activation::decodeAnswer(m_running->readLine(Activation::kActivationMaxLine + 1),
                 answer.exitCode, answer.error))
        answer = { 1, QStringLiteral("the running tool's answer is unreadable") };
    m_running->abort();
    return answer;
}

bool InstanceChannel::waitForEnd(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        int descriptor = -1;
        std::string why;
        const Platform::LockState state = Platform::lockFile(m_lockPath, descriptor, why);
        Platform::unlockFile(descriptor);
        if (state != Platform::LockState::Busy)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kRetryMs);
    }
}
