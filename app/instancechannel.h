#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

// Keeps one tool per user session. The first tool takes a lock and opens the
// activation channel, a local socket beside its host endpoint (so in the same
// folder of the user's own, see sync/hostendpoint.h, and one tool per endpoint);
// a later start finds the lock taken, connects, hands over its command line
// (app/activationmessage.h) and ends with the exit code the tool answers.
//
// The lock is a kernel lock on a file: it goes with its process however that ends,
// so two tools starting at once, or one starting while another ends, always leave
// exactly one holder. The channel lives on the thread that made this object.
class InstanceChannel : public QObject
{
    Q_OBJECT

public:
    enum class Role {
        First, // this process holds the lock; errorString() says why a channel
               // asked for could not be opened, if it could not
        Later, // another tool holds it and answers: hand over
        Unanswered, // another tool holds it but did not answer in time
        Failed // the lock could not be taken or checked; see errorString()
    };

    struct Answer {
        int exitCode;
        QString error; // for standard error when not empty
    };
    using Handler = std::function<Answer(const QStringList& arguments)>;

    explicit InstanceChannel(QObject* parent = nullptr);
    ~InstanceChannel() override;

    // Takes the lock, or connects to the tool that holds it. A holder that does not
    // answer yet (starting, or ending) is waited for, at most timeoutMs. With open,
    // First also opens the channel. The lock file's folder is made first when it is
    // the default one.
    Role claim(int timeoutMs, bool open);
    // After First: each later start's arguments (program name left out) go to
    // handler on this object's thread, and what it returns goes back.
    void serve(Handler handler);

    // After Later: hands arguments over and waits at most timeoutMs for the answer.
    // Without one: exit code 1 and the reason.
    Answer handOver(const QStringList& arguments, int timeoutMs);
    // After Later: waits until the tool that held the lock has ended. False when it
    // still runs after timeoutMs.
    bool waitForEnd(int timeoutMs);

    QString errorString() const { return m_error; }
    // The channel's socket file.
    QString channelPath() const { return m_path; }

public slots:
    // Stops taking later starts; the lock stays until the process ends.
    void close();

private slots:
    void takeConnections();
    void readRequest();

private:
    Role fail(Role role, const QString& why);
    bool listen();
    // Answers the request socket holds, once it holds a whole line.
    void serveRequest(QLocalSocket* socket);

    QString m_path;
    std::string m_lockPath;
    int m_lock = -1;
    QLocalServer* m_server = nullptr;
    QLocalSocket* m_running = nullptr; // after Later: the connection to the running tool
    Handler m_handler;
    QString m_error;
};
