#include "stream/streamsender.h"

namespace Net = Platform::Net;

StreamSender::StreamSender()
{
    started = Net::startup() == 0;
    if (started)
        handle = Net::createUdpSocket();
}

StreamSender::~StreamSender()
{
    if (handle >= 0)
        Net::closeSocket(handle);
    if (started)
        Net::cleanup();
}

bool StreamSender::send(
    const std::string& ipv4, std::uint16_t port, const std::vector<std::uint8_t>& datagram)
{
    Net::Ipv4Endpoint to;
    to.port = port;
    if (!Net::parseIpv4(ipv4.data(), ipv4.size(), to.address))
        return false;
    return send(to, datagram);
}

bool StreamSender::send(const Net::Ipv4Endpoint& to, const std::vector<std::uint8_t>& datagram)
{
    if (handle < 0)
        return false;
    const long long sent = Net::sendTo(handle, datagram.data(), datagram.size(), to);
    return sent >= 0 && static_cast<std::size_t>(sent) == datagram.size();
}

std::size_t StreamSender::sendBatch(const Net::OutgoingDatagram* datagrams, std::size_t count)
{
    if (handle < 0)
        return 0;
    return Net::sendBatch(handle, datagrams, count);
}
