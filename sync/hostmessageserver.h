#pragma once

#include "sync/hostendpoint.h"
#include "sync/hostmessagehandler.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <thread>
#include <vector>

namespace Platform
{
class WakePipe;
}

// Local endpoint through which a host application on a system without window
// messages drives the tool, with the same messages and answers (see
// sync/hostframe.h for the wire format). Connections are accepted on this
// object's thread; everything read from them is served on an intake thread of
// the endpoint's own, which waits on the connections alone, so a frame is
// forwarded the moment it arrives whatever the window is busy with. Each complete
// request is handed to the handler synchronously on that thread and answered at
// once, so a host sees the same blocking send a Windows host sees. Any number of
// hosts may be connected; a malformed request closes only its own connection.
class HostMessageServer : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* kDefaultName = kHostEndpointName;
    static constexpr const char* kEnvironmentName = kHostEndpointEnvironment;

    // handler must outlive the server, and take calls on the intake thread.
    explicit HostMessageServer(HostMessageHandler* handler, QObject* parent = nullptr);
    ~HostMessageServer() override;

    // Listens on nameOrPath; empty means $PRISMARA_HOST_SOCKET, or the default
    // name when that is unset (see sync/hostendpoint.h for where a name lands).
    // Only the user running the tool can connect. A socket file nothing answers
    // on (left by a dead instance) is replaced; a live instance, or anything
    // that is not a socket, is left alone and listen() fails, with the reason
    // in errorString().
    bool listen(const QString& nameOrPath = QString());
    // Stops listening, closes every connection and stops the intake thread; no
    // handler call is running or starts once it returns.
    void close();
    bool isListening() const;
    QString fullServerName() const;
    // Why the last listen() failed, naming the path; empty after a success.
    QString errorString() const;
    // Connections the intake thread holds.
    int connectionCount() const;

    static QString resolveName(const QString& nameOrPath);

private:
    class Listener;
    friend class Listener;
    struct Connection;

    // From the listener, on this object's thread.
    void takeConnection(int descriptor);
    // The intake thread.
    void runIntake();
    bool serve(Connection& c, unsigned char* chunk, std::size_t capacity);
    static bool flush(Connection& c);
    void answer(Connection& c, const unsigned char* bytes, std::size_t size);

    bool fail(const QString& why);

    HostMessageHandler* m_handler;
    Listener* m_server;
    QString m_error;
    std::thread m_intake;
    Platform::WakePipe* m_wake = nullptr;
    std::atomic<int> m_connectionCount { 0 };

    // Shared with the intake thread.
    QMutex m_lock;
    std::vector<int> m_arrived; // accepted, not yet taken by the intake thread
    bool m_stopping = false;
};
