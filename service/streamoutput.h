#pragma once

#include "intake/pixelmap.h"
#include "service/deviceregistry.h"
#include "stream/framepacker.h"
#include "stream/streamsender.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// The stream to the devices from both kinds of frames: the host's (twelve entries,
// from the host intake) and the network's (one strip, from the network intake). Both
// layouts are kept laid out for the registry's targets, so either kind of frame only
// writes its colours, and both leave through the same per-device sockets, one frame
// at a time under one lock. While network frames are shown the host's are held back.
//
// With a cap on the frame rate, a frame that comes before a device's next allowed time
// is kept for that device (the latest wins) and sent by a pacer thread of its own when
// the time comes; without one there is no such thread and nothing more per frame.
//
// Every call may come from any thread: the host connections' threads, the GUI thread,
// the network receiver's thread, the service thread.
class StreamOutput
{
public:
    StreamOutput();
    ~StreamOutput();
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    // A host frame of count entries (at most 12) to every streamed device, unless
    // network frames are shown. Returns whether it went out.
    bool sendHost(int count, const int* red, const int* green, const int* blue);
    // The debug log's lines on the last host frame's datagrams (base: the current
    // device's URL, which they name).
    void logHostFrame(
        int count, const int* red, const int* green, const int* blue, const QString& base);

    // The strip's devices for the registry's targets as they are now, name and pixels
    // in table order, and a tag that changes exactly when that list does: the tag of
    // the pixel map made from it.
    std::vector<PixelMap::Device> stripDevices(std::uint64_t& tag);
    // A network frame: size bytes decoded by the map tagged mapTag. It goes out while
    // network frames are shown and that map is the one for the devices now; a strip
    // decoded for other devices would put its colours on the wrong panels, so it is
    // dropped. Returns whether it went out.
    bool sendStrip(const std::uint8_t* strip, std::size_t size, std::uint64_t mapTag);

    // Network frames shown and host frames held (true), or the other way round. Once
    // it returns, no frame of the other kind is taken; one the cap kept back still
    // leaves when its time comes, unless a newer frame replaces it.
    void showNetwork(bool shown);

    // At most maxFps frames per second to each device (1 to 1000), or every frame
    // as it comes (0). Starts or stops (and joins) the pacer thread. Call from one
    // thread.
    void setMaxFps(int maxFps);

private:
    // Lays both kinds of frames out again when the targets changed, and the host
    // frames when their count did. The caller holds m_frameLock.
    void refresh(int hostCount);
    // Tells the user of devices that started dropping datagrams or take them again.
    void reportFlow();
    // After a paced send: wakes the pacer when a datagram kept now falls due before
    // the pacer would look. The caller holds m_frameLock.
    void schedulePacer();
    // The pacer thread: sends the kept datagrams as they fall due, waiting in between
    // without the frame lock.
    void pace();
    void stopPacer();

    std::mutex m_frameLock;
    FramePacker m_host;
    FramePacker m_strip;
    StreamSender m_sender;
    std::uint64_t m_laidOut = ~std::uint64_t(0); // the registry generation laid out
    DeviceRegistry::StreamTargets m_targets;
    int m_hostCount = 12;
    std::vector<PixelMap::Device> m_stripDevices;
    std::uint64_t m_stripTag = 0;
    std::atomic<bool> m_network { false };

    // Under m_frameLock: whether frames are paced, and when the pacer looks next.
    bool m_paced = false;
    std::int64_t m_pacerDue = StreamSender::kNothingDue;
    // Under m_pacerLock: the pacer is asked to look now, or to end. Taken after
    // m_frameLock, never before it.
    std::mutex m_pacerLock;
    std::condition_variable m_pacerWake;
    bool m_pacerCalled = false;
    bool m_pacerStop = false;
    std::thread m_pacer;
};
