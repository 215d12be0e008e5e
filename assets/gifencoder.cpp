#include "assets/gifencoder.h"

#include <algorithm>
#include <unordered_map>

namespace
{

void putByte(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFFu));
}

void putLe16(std::vector<std::uint8_t>& out, unsigned value)
{
    putByte(out, value);
    putByte(out, value >> 8);
}

// Collects variable-width codes least significant bit first and cuts the byte
// stream into sub-blocks of at most 255 bytes, as GIF image data wants it.
class CodeWriter
{
public:
    explicit CodeWriter(std::vector<std::uint8_t>& out)
        : m_out(out)
    {
    }

    void write(unsigned code, int width)
    {
        m_bits |= static_cast<std::uint32_t>(code) << m_bitCount;
        m_bitCount += width;
        while (m_bitCount >= 8) {
            pushByte(static_cast<std::uint8_t>(m_bits & 0xFFu));
            m_bits >>= 8;
            m_bitCount -= 8;
        }
    }

    void finish()
    {
        if (m_bitCount > 0)
            pushByte(static_cast<std::uint8_t>(m_bits & 0xFFu));
        m_bits = 0;
        m_bitCount = 0;
        flushBlock();
        m_out.push_back(0); // block terminator
    }

private:
    void pushByte(std::uint8_t byte)
    {
        m_block.push_back(byte);
        if (m_block.size() == 255)
            flushBlock();
    }

    void flushBlock()
    {
        if (m_block.empty())
            return;
        m_out.push_back(static_cast<std::uint8_t>(m_block.size()));
        m_out.insert(m_out.end(), m_block.begin(), m_block.end());
        m_block.clear();
    }

    std::vector<std::uint8_t>& m_out;
    std::vector<std::uint8_t> m_block;
    std::uint32_t m_bits = 0;
    int m_bitCount = 0;
};

} // namespace

GifEncoder::GifEncoder(int width, int height)
    : m_width(std::max(1, std::min(width, 0xFFFF)))
    , m_height(std::max(1, std::min(height, 0xFFFF)))
{
}

void GifEncoder::setPalette(const std::vector<std::uint32_t>& rgb)
{
    m_palette.assign(rgb.begin(),
        rgb.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(rgb.size(), 256)));
    if (m_palette.empty())
        m_palette.push_back(0);
}

void GifEncoder::setTransparentIndex(int index)
{
    m_transparent = (index >= 0 && index < 256) ? index : -1;
}

void GifEncoder::setLoopCount(int count)
{
    m_loopCount = std::max(0, std::min(count, 0xFFFF));
}

bool GifEncoder::addFrame(const std::vector<std::uint8_t>& indices, int delayCentiseconds)
{
    if (indices.size() != static_cast<std::size_t>(m_width) * static_cast<std::size_t>(m_height))
        return false;
    const std::size_t colours = std::max<std::size_t>(m_palette.size(), 1);
    for (std::uint8_t index : indices) {
        if (index >= colours)
            return false;
    }
    m_frames.push_back(Frame { indices, std::max(0, std::min(delayCentiseconds, 0xFFFF)) });
    return true;
}

int GifEncoder::tableBits() const
{
    int bits = 1;
    while ((std::size_t { 1 } << bits) < m_palette.size())
        ++bits;
    return bits;
}

std::vector<std::uint8_t> GifEncoder::compress(
    const std::vector<std::uint8_t>& indices, int minCodeSize)
{
    std::vector<std::uint8_t> out;
    minCodeSize = std::max(2, std::min(minCodeSize, 8));
    const unsigned clearCode = 1u << minCodeSize;
    const unsigned endCode = clearCode + 1;
    const unsigned maxCodes = 4096;

    CodeWriter writer(out);
    // Key: prefix code << 8 | next index.
    std::unordered_map<std::uint32_t, unsigned> table;
    unsigned nextCode = endCode + 1;
    int codeSize = minCodeSize + 1;

    writer.write(clearCode, codeSize);
    if (indices.empty()) {
        writer.write(endCode, codeSize);
        writer.finish();
        return out;
    }

    unsigned prefix = indices[0];
    for (std::size_t i = 1; i < indices.size(); ++i) {
        const unsigned k = indices[i];
        const std::uint32_t key = (static_cast<std::uint32_t>(prefix) << 8) | k;
        const auto hit = table.find(key);
        if (hit != table.end()) {
            prefix = hit->second;
            continue;
        }
        writer.write(prefix, codeSize);
        if (nextCode < maxCodes) {
            table.emplace(key, nextCode++);
            // The decoder adds its entries one code later than we do, so it
            // widens its codes when our next code passes the current width.
            if (nextCode > (1u << codeSize) && codeSize < 12)
                ++codeSize;
        } else {
            writer.write(clearCode, codeSize);
            table.clear();
            nextCode = endCode + 1;
            codeSize = minCodeSize + 1;
        }
        prefix = k;
    }
    writer.write(prefix, codeSize);
    writer.write(endCode, codeSize);
    writer.finish();
    return out;
}

std::vector<std::uint8_t> GifEncoder::encode() const
{
    std::vector<std::uint8_t> out;
    const int bits = tableBits();
    const std::size_t tableSize = std::size_t { 1 } << bits;

    const char* magic = "GIF89a";
    out.insert(out.end(), magic, magic + 6);
    putLe16(out, static_cast<unsigned>(m_width));
    putLe16(out, static_cast<unsigned>(m_height));
    // Global table present, 8 bits of colour resolution, table size 2^bits.
    putByte(out, 0x80u | (7u << 4) | static_cast<unsigned>(bits - 1));
    putByte(out, m_transparent >= 0 ? static_cast<unsigned>(m_transparent) : 0u);
    putByte(out, 0); // square pixels
    for (std::size_t i = 0; i < tableSize; ++i) {
        const std::uint32_t rgb = i < m_palette.size() ? m_palette[i] : 0;
        putByte(out, rgb >> 16);
        putByte(out, rgb >> 8);
        putByte(out, rgb);
    }

    const char* app = "NETSCAPE2.0";
    putByte(out, 0x21);
    putByte(out, 0xFF);
    putByte(out, 11);
    out.insert(out.end(), app, app + 11);
    putByte(out, 3);
    putByte(out, 1);
    putLe16(out, static_cast<unsigned>(m_loopCount));
    putByte(out, 0);

    const int minCodeSize = std::max(2, bits);
    for (const Frame& frame : m_frames) {
        // Graphic control: dispose to background (2), transparency flag.
        putByte(out, 0x21);
        putByte(out, 0xF9);
        putByte(out, 4);
        putByte(out, (2u << 2) | (m_transparent >= 0 ? 1u : 0u));
        putLe16(out, static_cast<unsigned>(frame.delay));
        putByte(out, m_transparent >= 0 ? static_cast<unsigned>(m_transparent) : 0u);
        putByte(out, 0);

        putByte(out, 0x2C);
        putLe16(out, 0);
        putLe16(out, 0);
        putLe16(out, static_cast<unsigned>(m_width));
        putLe16(out, static_cast<unsigned>(m_height));
        putByte(out, 0); // no local table, not interlaced

        putByte(out, static_cast<unsigned>(minCodeSize));
        const std::vector<std::uint8_t> data = compress(frame.indices, minCodeSize);
        out.insert(out.end(), data.begin(), data.end());
    }
    putByte(out, 0x3B);
    return out;
}
