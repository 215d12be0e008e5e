#pragma once

#include "sync/hostendpoint.h"
#include "sync/hostframe.h"
#include "sync/hostmessagehandler.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <memory>
#include <unordered_map>

class QLocalServer;
class QLocalSocket;

// Local endpoint through which a host application on a system without window
// messages drives the tool, with the same messages and answers (see
// sync/hostframe.h for the wire format). Each complete request is handed to the
// handler synchronously on this object's thread and answered at once, so a host
// sees the same blocking send a Windows host sees. Any number of hosts may be
// connected; a malformed request closes only its own connection.
class HostMessageServer : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* kDefaultName = kHostEndpointName;
    static constexpr const char* kEnvironmentName = kHostEndpointEnvironment;

    // handler must outlive the server.
    explicit HostMessageServer(HostMessageHandler* handler, QObject* parent = nullptr);
    ~HostMessageServer() override;

    // Listens on nameOrPath; empty means $PRISMARA_HOST_SOCKET, or the default
    // name when that is unset (see sync/hostendpoint.h for where a name lands).
    // Only the user running the tool can connect. A socket file nothing answers
    // on (left by a dead instance) is replaced; a live instance, or anything
    // that is not a socket, is left alone and listen() fails, with the reason
    // in errorString().
    bool listen(const QString& nameOrPath = QString());
    void close();
    bool isListening() const;
    QString fullServerName() const;
    // Why the last listen() failed, naming the path; empty after a success.
    QString errorString() const;
    int connectionCount() const;

    static QString resolveName(const QString& nameOrPath);

private slots:
    void acceptConnections();
    void readFromSocket();
    void socketDisconnected();
    void answersWritten();

private:
    struct Connection;

    void serve(QLocalSocket* socket);
    void sendAnswer(QLocalSocket* socket, const unsigned char* bytes, std::size_t size);
    void drop(QLocalSocket* socket);

    bool fail(const QString& why);

    HostMessageHandler* m_handler;
    QLocalServer* m_server;
    QString m_error;
    std::unordered_map<QLocalSocket*, std::unique_ptr<Connection>> m_connections;
};
