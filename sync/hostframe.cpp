#include "sync/hostframe.h"
#include "platform/hotpath.h"

#include <algorithm>
#include <utility>

namespace
{

void putLe(std::vector<unsigned char>& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>((value >> (8 * i)) & 0xFFu));
}

std::uint64_t getLe(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Offsets inside the framed request, counted from the size field.
constexpr std::size_t kMessageAt = 4;
constexpr std::size_t kWParamAt = 8;
constexpr std::size_t kDwDataAt = 16;
constexpr std::size_t kCbDataAt = 24;
constexpr std::size_t kPayloadAt = 28;

} // namespace

std::vector<unsigned char> encodeHostRequest(const HostIntake::Message& m)
{
    std::vector<unsigned char> out;
    if (m.cbData > kHostMaxPayload || (m.cbData > 0 && m.payload == nullptr))
        return out;
    out.reserve(kPayloadAt + m.cbData);
    putLe(out, kHostHeaderSize + m.cbData, 4);
    putLe(out, m.message, 4);
    putLe(out, m.wParam, 8);
    putLe(out, m.dwData, 8);
    putLe(out, m.cbData, 4);
    if (m.cbData > 0)
        out.insert(out.end(), m.payload, m.payload + m.cbData);
    return out;
}

PRISMARA_HOT std::array<unsigned char, kHostAnswerSize> encodeHostAnswer(
    bool handled, std::int64_t result)
{
    std::array<unsigned char, kHostAnswerSize> out {};
    out[0] = handled ? 1 : 0;
    const std::uint64_t bits = static_cast<std::uint64_t>(result);
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(1 + i)]
            = static_cast<unsigned char>((bits >> (8 * i)) & 0xFFu);
    return out;
}

bool decodeHostAnswer(const unsigned char* bytes, std::size_t size, HostIntake::HostAnswer& out)
{
    if (bytes == nullptr || size < kHostAnswerSize || bytes[0] > 1)
        return false;
    out.handled = bytes[0] == 1;
    out.result = static_cast<std::int64_t>(getLe(bytes + 1, 8));
    return true;
}

PRISMARA_HOT std::size_t HostFrameReader::feed(const unsigned char* data, std::size_t size)
{
    std::size_t consumed = 0;
    if (data == nullptr)
        return 0;
    while (consumed < size && !m_ready && m_error == Error::None) {
        std::size_t target;
        if (m_buffer.size() < kPayloadAt)
            target = m_buffer.size() < kHostSizeField ? kHostSizeField : kPayloadAt;
        else
            target = kHostSizeField + m_size;
        const std::size_t take = std::min(target - m_buffer.size(), size - consumed);
        m_buffer.insert(m_buffer.end(), data + consumed, data + consumed + take);
        consumed += take;
        if (m_buffer.size() < target)
            break;

        if (m_buffer.size() == kHostSizeField) {
            const std::uint64_t announced = getLe(m_buffer.data(), 4);
            if (announced < kHostHeaderSize)
                m_error = Error::SizeTooSmall;
            else if (announced > kHostMaxRequestSize)
                m_error = Error::SizeTooLarge;
            else
                m_size = static_cast<std::uint32_t>(announced);
            continue;
        }
        if (m_buffer.size() == kPayloadAt) {
            const std::uint64_t cbData = getLe(m_buffer.data() + kCbDataAt, 4);
            const std::uint64_t room = m_size - kHostHeaderSize;
            if (cbData > room) {
                m_error = Error::PayloadBeyondSize;
                continue;
            }
            if (cbData < room) {
                m_error = Error::SizeMismatch;
                continue;
            }
        }
        if (m_buffer.size() == kHostSizeField + m_size)
            complete();
    }
    return consumed;
}

PRISMARA_HOT void HostFrameReader::complete()
{
    m_message = static_cast<std::uint32_t>(getLe(m_buffer.data() + kMessageAt, 4));
    m_wParam = getLe(m_buffer.data() + kWParamAt, 8);
    m_dwData = getLe(m_buffer.data() + kDwDataAt, 8);
    m_ready = true;
}

PRISMARA_HOT HostIntake::Message HostFrameReader::request() const
{
    const std::size_t cbData = m_ready ? m_buffer.size() - kPayloadAt : 0;
    return HostIntake::Message { m_message, m_wParam, m_dwData, static_cast<std::uint32_t>(cbData),
        cbData > 0 ? m_buffer.data() + kPayloadAt : nullptr };
}

PRISMARA_HOT void HostFrameReader::next()
{
    if (!m_ready)
        return;
    m_buffer.clear(); // keeps its capacity
    m_size = 0;
    m_ready = false;
}

const char* HostFrameReader::errorText(Error error)
{
    switch (error) {
    case Error::None:
        return "no error";
    case Error::SizeTooSmall:
        return "size below the 24-byte header";
    case Error::SizeTooLarge:
        return "size over 64 KiB";
    case Error::PayloadBeyondSize:
        return "cbData beyond size";
    case Error::SizeMismatch:
        return "size does not match 24 + cbData";
    }
    return "unknown error";
}
