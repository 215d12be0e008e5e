#include "tools/nanoleaf-sim/mdnsmessage.h"

#include <algorithm>
#include <cctype>

namespace MdnsMessage
{

namespace
{

constexpr std::size_t kHeaderSize = 12;
constexpr int kMaxPointerHops = 64;
constexpr std::size_t kMaxQuestions = 16;

std::uint16_t read16(const std::uint8_t* p)
{
    return std::uint16_t((p[0] << 8) | p[1]);
}

// Reads the name at `offset`; on success `offset` is moved past the name as it stands
// in the message (past the first pointer, if any).
bool readName(const std::uint8_t* data, std::size_t size, std::size_t& offset, Labels& labels,
    std::string& reason)
{
    labels.clear();
    std::size_t pos = offset;
    std::size_t total = 0;
    bool jumped = false;
    int hops = 0;
    for (;;) {
        if (pos >= size) {
            reason = "name runs past the end";
            return false;
        }
        const std::uint8_t len = data[pos];
        if ((len & 0xC0) == 0xC0) {
            if (pos + 1 >= size) {
                reason = "compression pointer cut off";
                return false;
            }
            const std::size_t target = std::size_t(((len & 0x3F) << 8) | data[pos + 1]);
            // Only backwards: a pointer to itself or forwards could loop.
            if (target >= pos || ++hops > kMaxPointerHops) {
                reason = "compression pointer does not point backwards";
                return false;
            }
            if (!jumped)
                offset = pos + 2;
            jumped = true;
            pos = target;
            continue;
        }
        if (len & 0xC0) {
            reason = "reserved label type";
            return false;
        }
        if (len == 0) {
            if (!jumped)
                offset = pos + 1;
            return true;
        }
        if (size - pos - 1 < len) {
            reason = "label runs past the end";
            return false;
        }
        total += std::size_t(len) + 1;
        if (total > 255) {
            reason = "name longer than 255 bytes";
            return false;
        }
        labels.emplace_back(reinterpret_cast<const char*>(data + pos + 1), len);
        pos += std::size_t(len) + 1;
    }
}

std::string lowered(const std::string& s)
{
    std::string out = s;
    std::transform(
        out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

bool sameName(const Labels& a, const Labels& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowered(a[i]) != lowered(b[i]))
            return false;
    return true;
}

// Writes a message and remembers where each name suffix was written so that later
// names can point at it.
class Writer
{
public:
    std::vector<std::uint8_t> bytes;

    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u16(std::uint16_t v)
    {
        bytes.push_back(std::uint8_t(v >> 8));
        bytes.push_back(std::uint8_t(v));
    }
    void u32(std::uint32_t v)
    {
        u16(std::uint16_t(v >> 16));
        u16(std::uint16_t(v));
    }
    void put16(std::size_t at, std::uint16_t v)
    {
        bytes[at] = std::uint8_t(v >> 8);
        bytes[at + 1] = std::uint8_t(v);
    }

    void name(const Labels& labels, bool compress)
    {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            const std::string key = suffixKey(labels, i);
            if (compress) {
                for (const auto& known : m_suffixes) {
                    if (known.first == key) {
                        u16(std::uint16_t(0xC000 | known.second));
                        return;
                    }
                }
            }
            if (bytes.size() < 0x4000)
                m_suffixes.emplace_back(key, std::uint16_t(bytes.size()));
            u8(std::uint8_t(labels[i].size()));
            bytes.insert(bytes.end(), labels[i].begin(), labels[i].end());
        }
        u8(0);
    }

    std::size_t offsetOf(const Labels& labels) const
    {
        const std::string key = suffixKey(labels, 0);
        for (const auto& known : m_suffixes)
            if (known.first == key)
                return known.second;
        return 0;
    }

    // Owner name, type, class IN, TTL and a RDLENGTH placeholder; returns where
    // RDLENGTH sits.
    std::size_t recordHead(const Labels& owner, std::uint16_t type, std::uint32_t ttl)
    {
        name(owner, true);
        u16(type);
        u16(ClassIn);
        u32(ttl);
        const std::size_t at = bytes.size();
        u16(0);
        return at;
    }
    void closeRecord(std::size_t rdlengthAt)
    {
        put16(rdlengthAt, std::uint16_t(bytes.size() - rdlengthAt - 2));
    }

private:
    static std::string suffixKey(const Labels& labels, std::size_t from)
    {
        std::string key;
        for (std::size_t i = from; i < labels.size(); ++i) {
            key += char(labels[i].size());
            key += lowered(labels[i]);
        }
        return key;
    }

    std::vector<std::pair<std::string, std::uint16_t>> m_suffixes;
};

} // namespace

bool parseQuery(const std::uint8_t* data, std::size_t size, Query& out, std::string& reason)
{
    out = Query {};
    if (size < kHeaderSize) {
        reason = "shorter than a DNS header";
        return false;
    }
    out.id = read16(data);
    out.flags = read16(data + 2);
    if (out.flags & 0x8000) {
        reason = "a response, not a query";
        return false;
    }
    if ((out.flags >> 11) & 0xF) {
        reason = "opcode other than QUERY";
        return false;
    }
    const std::uint16_t qdcount = read16(data + 4);
    if (qdcount == 0 || qdcount > kMaxQuestions) {
        reason = "question count " + std::to_string(qdcount);
        return false;
    }
    std::size_t pos = kHeaderSize;
    for (std::uint16_t i = 0; i < qdcount; ++i) {
        Question q;
        if (!readName(data, size, pos, q.name, reason))
            return false;
        if (size - pos < 4) {
            reason = "question ends before its type and class";
            return false;
        }
        q.type = read16(data + pos);
        q.qclass = read16(data + pos + 2);
        pos += 4;
        out.questions.push_back(std::move(q));
    }
    return true;
}

int findServiceQuestion(const Query& query, const Labels& service)
{
    for (std::size_t i = 0; i < query.questions.size(); ++i) {
        const Question& q = query.questions[i];
        const std::uint16_t qclass = q.qclass & 0x7FFF;
        if ((q.type == TypePtr || q.type == TypeAny) && (qclass == ClassIn || qclass == TypeAny)
            && sameName(q.name, service))
            return int(i);
    }
    return -1;
}

std::vector<std::uint8_t> buildLegacyAnswer(
    const Query& query, const Service& service, Damage damage)
{
    Writer w;
    w.u16(query.id);
    // QR and AA set, opcode 0, RCODE 0 (RFC 6762 §18.2 to §18.11); "badflags" leaves AA off.
    w.u16(damage == Damage::BadFlags ? 0x8000 : 0x8400);
    w.u16(std::uint16_t(query.questions.size()));
    w.u16(1); // ANCOUNT: the PTR record
    w.u16(0); // NSCOUNT
    w.u16(3); // ARCOUNT: SRV, TXT, A

    for (const Question& q : query.questions) {
        w.name(q.name, true);
        w.u16(q.type);
        w.u16(q.qclass);
    }

    Labels instanceName { service.instance };
    instanceName.insert(instanceName.end(), service.serviceName.begin(), service.serviceName.end());
    const Labels hostName { service.host, "local" };

    std::size_t rd = w.recordHead(service.serviceName, TypePtr, service.ttl);
    w.name(instanceName, true);
    w.closeRecord(rd);

    const std::size_t srvStart = w.bytes.size();
    if (damage == Damage::Loop) {
        // The owner name is a pointer to the pointer itself.
        w.u16(std::uint16_t(0xC000 | srvStart));
        w.u16(TypeSrv);
        w.u16(ClassIn);
        w.u32(service.ttl);
        rd = w.bytes.size();
        w.u16(0);
    } else {
        rd = w.recordHead(instanceName, TypeSrv, service.ttl);
    }
    w.u16(0); // priority
    w.u16(0); // weight
    w.u16(service.port);
    w.name(hostName, false);
    w.closeRecord(rd);
    const std::size_t srvEnd = w.bytes.size();

    rd = w.recordHead(instanceName, TypeTxt, service.ttl);
    for (const std::string& entry : service.txt) {
        const std::size_t len = std::min<std::size_t>(entry.size(), 255);
        w.u8(std::uint8_t(len));
        w.bytes.insert(w.bytes.end(), entry.begin(), entry.begin() + std::ptrdiff_t(len));
    }
    if (damage == Damage::Oversized) {
        // Well-formed, but larger than the 512 bytes a legacy querier is promised.
        const std::size_t aRecordSize = 16;
        for (int i = 0; i < 8 && w.bytes.size() + aRecordSize <= 600; ++i) {
            const std::string pad = "pad=" + std::string(200, char('a' + i));
            w.u8(std::uint8_t(pad.size()));
            w.bytes.insert(w.bytes.end(), pad.begin(), pad.end());
        }
    }
    w.closeRecord(rd);

    rd = w.recordHead(hostName, TypeA, service.ttl);
    w.bytes.insert(w.bytes.end(), service.address.begin(), service.address.end());
    w.closeRecord(rd);

    if (damage == Damage::Truncated)
        w.bytes.resize(srvStart + (srvEnd - srvStart) / 2);
    return w.bytes;
}

} // namespace MdnsMessage
