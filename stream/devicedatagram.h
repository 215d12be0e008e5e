#pragma once

#include "platform/socketlayer.h"

#include <cstddef>
#include <cstdint>

// A frame's datagrams and their destinations are keyed by the device's position
// in the layout they were made for (FramePacker's device order, which is the
// registry's), so whatever is kept per device (its socket, whether it drops)
// is found by that position alone.

// Where the device at a layout position sends; sent false: it gets no datagrams.
struct DeviceDestination {
    bool sent = false;
    Platform::Net::Ipv4Endpoint to;
};

// One datagram of a frame: size bytes at data for the device at position
// `device`. Borrows data.
struct DeviceDatagram {
    std::size_t device = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};
