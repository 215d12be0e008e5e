#pragma once

// host-sim's network senders: a strip of pixels sent over DDP, E1.31 or Art-Net to the
// addresses it was given, paced like the host frames. Qt-free.

#include "tools/host-sim/framesource.h"
#include "tools/host-sim/strippackets.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct NetworkTarget {
    StripPackets::Protocol protocol = StripPackets::Protocol::Ddp;
    std::array<std::uint8_t, 4> address {};
    std::uint16_t port = 0;
    bool multicast = false; // E1.31: each universe to its own group, port 5568
    std::string text; // as the summary names it, e.g. "ddp 127.0.0.1:4048"
};

// Reads "HOST[:PORT]" (an IPv4 address; the protocol's port when none is given) or, for
// E1.31, "multicast". False with `why` set for anything else.
bool parseNetworkTarget(StripPackets::Protocol protocol, const std::string& text,
    NetworkTarget& target, std::string& why);

struct NetworkRun {
    std::vector<NetworkTarget> targets;
    StripPackets::Settings strip; // its protocol is each target's own
    double rate = 30.0;
    std::int64_t frames = 1;
    std::int64_t sequenceFrom = 0;
    bool sequenceEveryPixel = false; // pixel 0's colour (the number) on every pixel
    bool quiet = false;
    std::string timestamps; // a file for one line per frame; none when empty
};

// Sends run.frames frames of `source` to every target on absolute deadlines, then what
// ends a run (E1.31 stream-terminated packets); SIGINT or SIGTERM end the frames early,
// still with that ending. Prints one line per frame (unless quiet) and a summary per
// target; with run.timestamps writes each frame's send times, the last one taken
// just before the datagram that completes the frame (CLOCK_REALTIME, the clock of
// a receiving socket's kernel stamps). Returns 0 when every datagram was sent (and
// the file written), 1 otherwise.
int runNetwork(const NetworkRun& run, const FrameSource& source);

// The "pacing:" summary line: the rate asked for, the rate the frames actually left at
// (from the first to the last send), and how many left more than a period late.
void printPacing(double rate, std::int64_t frames, std::int64_t firstSentNs,
    std::int64_t lastSentNs, std::int64_t late, std::int64_t worstLateNs);
