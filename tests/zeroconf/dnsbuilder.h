#pragma once

// Hand-assembles DNS answers byte by byte, so that each test states the exact shape
// it feeds the parser instead of relying on the module's own encoder.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace DnsBuilder
{

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

inline void put32(Bytes& out, unsigned long value)
{
    put16(out, static_cast<unsigned>((value >> 16) & 0xFFFF));
    put16(out, static_cast<unsigned>(value & 0xFFFF));
}

inline Bytes header(
    unsigned flags, unsigned qd = 1, unsigned an = 0, unsigned ns = 0, unsigned ar = 0)
{
    Bytes out;
    put16(out, 0);
    put16(out, flags);
    put16(out, qd);
    put16(out, an);
    put16(out, ns);
    put16(out, ar);
    return out;
}

// Plain labels and the terminating zero.
inline void labels(Bytes& out, std::initializer_list<std::string> parts)
{
    for (const std::string& part : parts) {
        out.push_back(static_cast<std::uint8_t>(part.size()));
        out.insert(out.end(), part.begin(), part.end());
    }
    out.push_back(0);
}

// The question "_nanoleafapi._tcp.local" PTR IN, right after the header (offset 12).
inline void question(Bytes& out, unsigned type = 0x000C, unsigned klass = 0x0001)
{
    labels(out, { "_nanoleafapi", "_tcp", "local" });
    put16(out, type);
    put16(out, klass);
}

// A record whose owner is the pointer C0 target, followed by `data` as RDATA.
inline void record(Bytes& out, std::uint8_t target, unsigned type, const Bytes& data,
    unsigned klass = 0x0001, unsigned long ttl = 120)
{
    out.push_back(0xC0);
    out.push_back(target);
    put16(out, type);
    put16(out, klass);
    put32(out, ttl);
    put16(out, static_cast<unsigned>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

inline Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A typical device answer: the question repeated, a PTR to the instance
// "<instance>._nanoleafapi._tcp.local", then SRV, TXT and A records owned by the
// instance. The instance label is the PTR's RDATA, at offset 41 + 12 = 53.
struct DeviceAnswer {
    Bytes bytes;
    std::size_t instanceOffset = 0; // offset of the instance label's length byte
};

inline DeviceAnswer deviceAnswer(const std::string& instance, std::uint8_t lastOctet = 2)
{
    DeviceAnswer answer;
    Bytes& out = answer.bytes;
    out = header(0x8400, 1, 1, 0, 3);
    question(out);
    // PTR: owner C0 0C, RDATA = <instance> C0 0C
    Bytes ptrData;
    ptrData.push_back(static_cast<std::uint8_t>(instance.size()));
    ptrData.insert(ptrData.end(), instance.begin(), instance.end());
    ptrData.push_back(0xC0);
    ptrData.push_back(0x0C);
    answer.instanceOffset = out.size() + 12;
    record(out, 0x0C, 0x000C, ptrData);
    const auto instanceAt = static_cast<std::uint8_t>(answer.instanceOffset);
    // SRV: priority 0, weight 0, port 16021, target C0 <instance>
    Bytes srv;
    put16(srv, 0);
    put16(srv, 0);
    put16(srv, 16021);
    srv.push_back(0xC0);
    srv.push_back(instanceAt);
    record(out, instanceAt, 0x0021, srv, 0x8001);
    // TXT
    Bytes txt;
    const std::string entry = "id=12:34:56:78:9A:BC";
    txt.push_back(static_cast<std::uint8_t>(entry.size()));
    txt.insert(txt.end(), entry.begin(), entry.end());
    record(out, instanceAt, 0x0010, txt, 0x8001);
    // A 127.0.0.x
    record(out, instanceAt, 0x0001, Bytes { 127, 0, 0, lastOctet }, 0x8001);
    return answer;
}

} // namespace DnsBuilder
