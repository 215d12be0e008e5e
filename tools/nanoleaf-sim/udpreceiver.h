#pragma once

#include "tools/nanoleaf-sim/socketloop.h"

#include <cstdint>
#include <string>
#include <vector>

class SimDevice;

// The external-control receivers: for every device a UDP socket on <ip>:60221 and one
// on <ip>:60222, served by one thread that stamps each datagram with CLOCK_MONOTONIC
// right after it is read, keeps the kernel's receive stamp (CLOCK_REALTIME, from
// SO_TIMESTAMPNS) next to it, and hands it to its device.
class UdpReceiver
{
public:
    explicit UdpReceiver(std::vector<SimDevice*> devices);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool bind();
    void start();
    void stop();
    // Binds the device's two ports at its address anew, after it moved.
    bool rebind(SimDevice* device);
    std::string errorString() const { return m_error; }

    static constexpr int kV1Port = 60221;
    static constexpr int kV2Port = 60222;

private:
    struct Binding {
        int fd = -1;
        int port = 0;
        SimDevice* device = nullptr;
    };
    // Reads a bounded batch of the binding's datagrams, on the loop's thread.
    void drain(std::size_t binding);
    void closeAll();

    std::vector<SimDevice*> m_devices;
    std::vector<Binding> m_bindings;
    std::string m_error;
    std::vector<std::uint8_t> m_buffer; // the loop's thread only
    SocketLoop m_loop;
};
