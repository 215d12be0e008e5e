#include "zeroconf/dnsmessage.h"

#include "zeroconf/logreport.h"
#include "zeroconf/membuf.h"

#include <ios>
#include <istream>
#include <new>
#include <utility>

namespace Zeroconf
{

thread_local LogSinkFunction LogSink = nullptr;

namespace Detail
{

namespace
{

constexpr std::uint16_t kAcceptedFlags = 0x8400; // response, authoritative, no error
constexpr std::uint8_t kPointerToken = 0xC0; // owner pointer into the first 256 bytes
constexpr std::size_t kMaxLabelLength = 255; // what one length byte can express
// Pointer, TYPE, CLASS, TTL and RDLENGTH in front of RDATA.
constexpr std::size_t kRecordFixedBytes = 12;

std::uint8_t ReadU8(std::istream& in)
{
    char byte = 0;
    in.read(&byte, 1);
    return static_cast<std::uint8_t>(byte);
}

std::uint16_t ReadU16(std::istream& in)
{
    unsigned char bytes[2] = { 0, 0 };
    in.read(reinterpret_cast<char*>(bytes), 2);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void Skip(std::istream& in, std::size_t count)
{
    in.ignore(static_cast<std::streamsize>(count));
}

void ReportStreamError(const char* description)
{
    Report(1, std::string("Stream error while parsing responce: ") + description);
}

} // namespace

bool EncodeName(const std::string& name, std::vector<std::uint8_t>& buffer)
{
    const std::size_t originalSize = buffer.size();
    std::size_t lengthAt = buffer.size();
    buffer.push_back(0);
    std::size_t labelLength = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool dot = name[i] == '.';
        if (!dot) {
            buffer.push_back(static_cast<std::uint8_t>(name[i]));
            ++labelLength;
        }
        if ((dot || i + 1 == name.size()) && labelLength != 0) {
            if (labelLength > kMaxLabelLength) {
                buffer.resize(originalSize);
                return false;
            }
            buffer[lengthAt] = static_cast<std::uint8_t>(labelLength);
            lengthAt = buffer.size();
            buffer.push_back(0);
            labelLength = 0;
        }
    }
    return true;
}

std::vector<std::uint8_t> BuildQuery(const std::string& name)
{
    std::vector<std::uint8_t> query = {
        0x00, 0x00, // ID
        0x00, 0x00, // Flags: standard query
        0x00, 0x01, // QDCOUNT
        0x00, 0x00, // ANCOUNT
        0x00, 0x00, // NSCOUNT
        0x00, 0x00, // ARCOUNT
    };
    if (!EncodeName(name, query))
        return {};
    // QTYPE PTR, QCLASS IN with the unicast-response bit clear.
    query.insert(query.end(), { 0x00, 0x0C, 0x00, 0x01 });
    return query;
}

std::size_t ReadName(const std::vector<std::uint8_t>& message, std::size_t start, std::string& out)
{
    out.clear();
    const std::size_t size = message.size();
    if (start >= size)
        return 0;
    std::size_t p = start;
    // p grows by at least one byte per label, so the loop ends within size steps.
    for (;;) {
        const std::size_t length = message[p];
        const std::size_t next = p + 1 + length;
        if (next > size)
            return 0;
        if (length == 0)
            break;
        if (!out.empty())
            out += '.';
        out.append(reinterpret_cast<const char*>(message.data() + p + 1), length);
        if (next >= size)
            return 0; // no room left for the terminating zero
        p = next;
    }
    return p + 1 - start;
}

bool ParseReply(const RawReply& raw, Reply& reply)
{
    const std::vector<std::uint8_t>& bytes = raw.bytes;
    if (bytes.empty())
        return false;

    reply.firstName.clear();
    reply.records.clear();
    reply.peer = raw.peer;
    reply.message = bytes;

    stdext::membuf buffer(bytes.data(), bytes.size());
    std::istream in(&buffer);
    const std::ios_base::iostate failures
        = std::ios_base::badbit | std::ios_base::failbit | std::ios_base::eofbit;
    try {
        in.exceptions(failures);

        Skip(in, 2); // ID: answers to a multicast question need not echo it
        if (ReadU16(in) != kAcceptedFlags) {
            Report(1, "Found unexpected Flags value while parsing responce");
            return false;
        }
        Skip(in, 8); // section counts: records are read to the end of the datagram instead

        const std::size_t nameLength = ReadName(bytes, 12, reply.firstName);
        if (nameLength == 0) {
            Report(0, "Failed to parse query name");
            return false;
        }
        Skip(in, nameLength);
        reply.firstType = ReadU16(in);
        Skip(in, 2); // class

        for (;;) {
            in.exceptions(std::ios_base::goodbit);
            if (in.peek() == std::istream::traits_type::eof())
                return true;
            in.exceptions(failures);

            ReplyRecord record;
            record.position = static_cast<std::size_t>(in.tellg());
            if (ReadU8(in) != kPointerToken) {
                Report(1, "Found incorrect offset token while parsing responce");
                return false;
            }
            const std::size_t target = ReadU8(in);
            if (target >= bytes.size() || target + bytes[target] >= bytes.size()) {
                Report(1, "Failed to parse record name");
                return false;
            }
            const auto labelBegin = bytes.begin() + static_cast<std::ptrdiff_t>(target + 1);
            record.name.assign(labelBegin, labelBegin + bytes[target]);

            record.type = ReadU16(in);
            Skip(in, 6); // class and TTL
            const std::uint16_t dataLength = ReadU16(in);
            Skip(in, dataLength);
            record.length = kRecordFixedBytes + dataLength;
            reply.records.push_back(std::move(record));
        }
    } catch (const std::ios_base::failure& failure) {
        ReportStreamError(failure.what());
        return false;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& failure) {
        // Some libstdc++ builds throw the stream failure of the other string ABI
        // (GCC bug 66145), which the handler above does not match.
        ReportStreamError(failure.what());
        return false;
    }
}

} // namespace Detail
} // namespace Zeroconf
