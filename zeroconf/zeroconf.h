#pragma once

// Finds services on the local link with one DNS-SD question sent to the mDNS port,
// and turns the answers into a small structured form. Everything here is blocking
// and free of shared state; reports go only to the calling thread's LogSink.
// This is what the device service uses; the DNS message format is in
// zeroconf/dnsmessage.h, the scan's transport in zeroconf/mdnstransport.h.

#include "platform/socketlayer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Zeroconf
{

// One resource record of a reply. The record spans message[position, position + length).
struct ReplyRecord {
    std::uint16_t type = 0;
    std::size_t position = 0; // offset of the record's first byte (the 0xC0 pointer byte)
    std::size_t length = 0; // RDLENGTH + 12: pointer, type, class, TTL, RDLENGTH, RDATA
    std::string name; // the single label the owner pointer points at
};

struct Reply {
    Platform::Net::PeerAddress peer; // who sent the datagram
    std::uint16_t firstType = 0; // TYPE after the first name (the repeated question)
    std::string firstName; // first name of the message, dotted
    std::vector<std::uint8_t> message;
    std::vector<ReplyRecord> records; // in message order
};

// Report channel of the module: level 0 for transport failures and an unreadable
// first name, level 1 for the other rejections. Null (no reports) on every new
// thread; the application never installs one.
using LogSinkFunction = void (*)(int level, const std::string& message);
extern thread_local LogSinkFunction LogSink;

// What a caller may ask of a scan beyond its question.
struct ScanControl {
    // Set from any thread to end the scan early: it then returns within about
    // kCancelCheckMs, keeping what it collected. Null: the scan runs its time.
    const std::atomic<bool>* cancel = nullptr;
    // Asked for every accepted answer, in arrival order, as it arrives: false drops
    // it. Null keeps every answer. It runs on the scanning thread.
    std::function<bool(const Reply&)> keep;
};

// How often a scan with a cancel flag looks at it while it waits.
constexpr int kCancelCheckMs = 100;

// Sends one PTR question for `name` to 255.255.255.255:5353 and collects answers for
// `scanTime` seconds (the call returns between one and about two scan times later).
// `replies` is cleared, then filled with every answer the parser accepts, in arrival
// order, with no de-duplication. Returns false only when the query could not be built
// or a socket operation failed; `replies` is then empty. Oversized datagrams are
// dropped (reported at level 1) without ending the scan. The socket layer must have
// been started (Platform::Net::startup()).
bool QueryService(const std::string& name, std::int64_t scanTime, std::vector<Reply>& replies);
// The same, with control's cancel flag and its choice of the answers kept. A
// cancelled scan returns true with the answers kept so far.
bool QueryService(const std::string& name, std::int64_t scanTime, std::vector<Reply>& replies,
    const ScanControl& control);

} // namespace Zeroconf
