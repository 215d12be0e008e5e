#pragma once

#include "tools/nanoleaf-sim/socketloop.h"

#include <QJsonArray>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class SimDevice;

// The one mDNS responder of the simulator, on 0.0.0.0:5353. It answers legacy unicast
// queries (source port other than 5353) for "_nanoleafapi._tcp.local" the way RFC 6762
// §6.7 asks: one unicast datagram per device to the querier's address and port, each
// sent from the device's own address. Queries from port 5353 would need a multicast
// answer and are only logged, and so are queries from addresses that are not this
// machine's, so no answer ever leaves it.
class MdnsResponder
{
public:
    explicit MdnsResponder(std::vector<SimDevice*> devices);
    ~MdnsResponder();
    MdnsResponder(const MdnsResponder&) = delete;
    MdnsResponder& operator=(const MdnsResponder&) = delete;

    bool bind();
    void start();
    void stop();
    std::string errorString() const { return m_error; }

    QJsonArray queriesJson(std::int64_t since) const;
    void clearLog();
    // Answers for the device from its address anew, after it moved.
    bool rebind(SimDevice* device);

    static constexpr int kPort = 5353;
    // Answers a device with the "flood" fault sends to one query.
    static constexpr int kFloodReplies = 2000;

private:
    struct LoggedQuery {
        std::int64_t seq = 0;
        std::int64_t timeNs = 0;
        std::string from;
        std::vector<std::uint8_t> bytes;
        std::size_t size = 0;
        int answered = 0;
        std::string outcome;
    };
    // Reads a bounded batch of queries, on the loop's thread.
    void drain();
    void handle(const std::uint8_t* data, std::size_t size, std::uint32_t fromAddr,
        std::uint16_t fromPort, std::int64_t timeNs);
    void log(LoggedQuery entry);
    void closeAll();
    // A UDP socket bound to <ip>:0; -1 (with m_error) when it cannot be.
    int replySocket(const std::string& ip);

    std::vector<SimDevice*> m_devices;
    // One per device, bound to <ip>:0; replaced when a device moves.
    std::mutex m_sendMutex;
    std::vector<int> m_sendSockets;
    int m_socket = -1;
    std::string m_error;

    mutable std::mutex m_logMutex;
    std::deque<LoggedQuery> m_log;
    std::int64_t m_nextSeq = 1;

    std::vector<std::uint8_t> m_buffer; // the loop's thread only
    SocketLoop m_loop;
};
