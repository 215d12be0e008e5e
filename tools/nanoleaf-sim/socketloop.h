#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// One thread that waits until one of a set of descriptors is readable and calls the
// handler with that descriptor's index, until stop(). A wake pipe ends the wait at
// once; the wait also gives up every 500 ms, so the thread ends even if the pipe
// cannot be written. The handler reads a bounded batch and returns, so every
// descriptor gets its turn.
class SocketLoop
{
public:
    using Handler = std::function<void(std::size_t index)>;

    SocketLoop() = default;
    ~SocketLoop();
    SocketLoop(const SocketLoop&) = delete;
    SocketLoop& operator=(const SocketLoop&) = delete;

    // Makes the wake pipe; false (with error) when it cannot be made.
    bool open(std::string& error);
    // Serves descriptors on a new thread; they stay the caller's and must stay open
    // until stop() returns.
    void start(std::vector<int> descriptors, Handler handler);
    // Ends and joins the thread; start() may be called again afterwards.
    void stop();

private:
    void run();

    int m_wake[2] = { -1, -1 };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
    std::vector<int> m_descriptors;
    Handler m_handler;
};
