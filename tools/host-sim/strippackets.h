#pragma once

// One strip of RGB pixels as a lighting program sends it over DDP, E1.31 or Art-Net: each
// frame cut into that protocol's packets, numbered as its receivers expect. Qt-free and
// pure (no sockets); the caller sends the datagrams in the order given.

#include "tools/host-sim/lightpackets.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class StripPackets
{
public:
    enum class Protocol { Ddp, E131, ArtNet };
    static constexpr std::size_t kDdpPixelsPerPacket = LightPackets::kDdpMaxData / 3;
    // 510 of a universe's 512 channels, so that no pixel straddles two universes.
    static constexpr std::size_t kPixelsPerUniverse = 170;
    static constexpr std::size_t kTerminationRepeats = 3;

    struct Settings {
        Protocol protocol = Protocol::Ddp;
        std::size_t pixels = kPixelsPerUniverse;
        // E1.31: the first universe; Art-Net: Port-Address universe - 1 onwards.
        std::uint16_t universe = 1;
        LightPackets::E131Source source; // E1.31 only
    };

    struct Datagram {
        LightPackets::Bytes bytes;
        std::uint16_t universe = 0; // E1.31 and Art-Net: the universe it carries; DDP: 0
    };

    // What makes `settings` unsendable, e.g. "universes 63990-64001 reach past 63999";
    // empty when they can be sent.
    static std::string problem(const Settings& settings);

    // Settings that problem() accepted.
    explicit StripPackets(const Settings& settings);

    // Universes a frame spans (E1.31, Art-Net), or DDP packets per frame.
    std::size_t packetsPerFrame() const;

    // The datagrams of one frame; `strip` holds pixels * 3 bytes (R, G, B per pixel). DDP:
    // at most 480 pixels a packet, push on the last; E1.31 and Art-Net: 170 pixels a
    // universe, from the first universe up, so the highest one ends the frame. Sequence
    // numbers advance: DDP 1-15 per packet, E1.31 0-255 per universe, Art-Net 1-255 per
    // universe. Valid until the next call.
    const std::vector<Datagram>& frame(const std::uint8_t* strip);

    // What ends a run: for E1.31 three stream-terminated packets per universe, carrying
    // `strip`, as the standard asks of a source that stops; nothing for DDP and Art-Net,
    // whose receivers notice the silence.
    const std::vector<Datagram>& end(const std::uint8_t* strip);

private:
    void universe(Datagram& out, std::size_t index, const std::uint8_t* strip, bool terminated);

    Settings m_settings;
    std::uint8_t m_ddpSequence = 0;
    std::vector<std::uint8_t> m_sequences; // per universe
    std::vector<Datagram> m_out; // kept from call to call, so its buffers are reused
};
