#pragma once

// What an intake receiver hands over, kept for the test's thread: every frame, and how
// often the sources went live and were all gone. Qt-free.

#include "intake/intakereceiver.h"

#include <atomic>
#include <mutex>
#include <vector>

class IntakeSink : public IntakeReceiver::Sink
{
public:
    using Bytes = std::vector<std::uint8_t>;

    void frame(const std::uint8_t* strip, std::size_t size) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_frames.emplace_back(strip, strip + size);
    }
    void sourcesLive() override { ++live; }
    void sourcesGone() override { ++gone; }

    std::vector<Bytes> frames()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_frames;
    }
    // Whether some frame has value `a` at byte `i` and `b` at byte `j`.
    bool seen(std::size_t i, int a, std::size_t j, int b)
    {
        for (const Bytes& f : frames())
            if (f.size() > i && f.size() > j && f[i] == a && f[j] == b)
                return true;
        return false;
    }

    std::atomic<int> live { 0 };
    std::atomic<int> gone { 0 };

private:
    std::mutex m_lock;
    std::vector<Bytes> m_frames;
};
