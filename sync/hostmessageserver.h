#pragma once

#include "sync/hostendpoint.h"
#include "sync/hostmessagehandler.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// Local endpoint through which a host application on a system without window
// messages drives the tool, with the same messages and answers (see
// sync/hostframe.h for the wire format). Connections are accepted on this
// object's thread; each is then served by a thread of its own that waits in a
// read on that connection alone, so a frame is forwarded the moment it arrives,
// whatever the window is busy with. Each complete request is handed to the
// handler synchronously, one message at a time across all hosts, and answered
// at once, so a host sees the same blocking send a Windows host sees. A host
// that does not read its answers is not read from until it does. Any number of
// hosts may be connected; a malformed request closes only its own connection.
class HostMessageServer : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* kDefaultName = kHostEndpointName;
    static constexpr const char* kEnvironmentName = kHostEndpointEnvironment;

    // handler must outlive the server; it is called on the connections' threads.
    explicit HostMessageServer(HostMessageHandler* handler, QObject* parent = nullptr);
    ~HostMessageServer() override;

    // Listens on nameOrPath; empty means $PRISMARA_HOST_SOCKET, or the default
    // name when that is unset (see sync/hostendpoint.h for where a name lands).
    // Only the user running the tool can connect. A socket file nothing answers
    // on (left by a dead instance) is replaced; a live instance, or anything
    // that is not a socket, is left alone and listen() fails, with the reason
    // in errorString().
    bool listen(const QString& nameOrPath = QString());
    // Stops listening and closes every connection; no handler call is running
    // or starts once it returns.
    void close();
    bool isListening() const;
    QString fullServerName() const;
    // Why the last listen() failed, naming the path; empty after a success.
    QString errorString() const;
    // Connections being served.
    int connectionCount() const;

    static QString resolveName(const QString& nameOrPath);

private:
    class Listener;
    friend class Listener;
    struct Connection;

    // From the listener, on this object's thread.
    void takeConnection(int descriptor);
    // Joins the threads of connections that ended. Call with m_lock held.
    void reapFinished();
    // The thread of one connection.
    void serve(Connection* c);

    bool fail(const QString& why);

    HostMessageHandler* m_handler;
    Listener* m_server;
    QString m_error;
    std::atomic<int> m_connectionCount { 0 };
    std::mutex m_handlerLock; // one host message at a time

    // Shared with the connections' threads.
    std::mutex m_lock;
    std::vector<std::unique_ptr<Connection>> m_connections;
};
