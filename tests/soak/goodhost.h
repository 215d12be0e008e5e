#pragma once

#include <QMutex>
#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

// A well-behaved host on a thread of its own: connects to the tool's host
// endpoint and sends, one at a time and waiting for each answer as a host's
// blocking send does, a repeating cycle of a sync switch (types 1 to 4 in turn),
// a colour frame of that type, a frame too short to hold a record, and a colour
// message meant for someone else. Every answer is checked against what the tool
// must say to that message.
//
// Plain POSIX sockets, so it needs no event loop and runs beside a test that
// keeps the tool's event loop busy.
class GoodHost
{
public:
    explicit GoodHost(const QString& socketPath);
    ~GoodHost();
    GoodHost(const GoodHost&) = delete;
    GoodHost& operator=(const GoodHost&) = delete;

    // Connects (retrying for a bounded time) and starts sending.
    bool start();
    // Asks the host to stop after the exchange in progress. That exchange needs
    // the tool's event loop: keep it running until finished().
    void requestStop() { stopping.store(true); }
    bool finished() const { return done.load(); }
    // Stops (blocking until the exchange in progress ends) and disconnects.
    void stop();

    int answered() const { return answeredCount.load(); }
    // The type of the latest sync switch the tool answered, 0 before the first.
    int lastSwitch() const { return switched.load(); }
    // Why the host gave up (no answer in time, a wrong answer, a lost
    // connection); empty while all is well.
    QString failure() const;

private:
    void run();
    void fail(const QString& why);
    bool exchange(const unsigned char* request, std::size_t size, unsigned char* answer);

    const QString path;
    int fd = -1;
    std::thread worker;
    std::atomic<bool> stopping { false };
    std::atomic<bool> done { false };
    std::atomic<bool> interrupted { false };
    std::atomic<int> answeredCount { 0 };
    std::atomic<int> switched { 0 };
    mutable QMutex mutex;
    QString why;
};
