#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Animated GIF89a writer for the spinner: one global colour table, optional
// transparent index, NETSCAPE2.0 loop block, full-frame images that are cleared
// to the background before the next one (so transparent pixels stay transparent).
class GifEncoder
{
public:
    GifEncoder(int width, int height);

    // Up to 256 colours as 0xRRGGBB; the table is padded to a power of two.
    void setPalette(const std::vector<std::uint32_t>& rgb);
    // -1 for none.
    void setTransparentIndex(int index);
    // 0 loops forever.
    void setLoopCount(int count);

    // indices holds width * height palette indices, row by row. Returns false
    // (and adds nothing) when the frame has the wrong size or names a colour
    // outside the palette.
    bool addFrame(const std::vector<std::uint8_t>& indices, int delayCentiseconds);

    int frameCount() const { return static_cast<int>(m_frames.size()); }

    // The whole file.
    std::vector<std::uint8_t> encode() const;

    // GIF's LZW variant over the given indices, packed into data sub-blocks and
    // closed by the block terminator; exposed so the compressor can be checked
    // on its own.
    static std::vector<std::uint8_t> compress(
        const std::vector<std::uint8_t>& indices, int minCodeSize);

private:
    struct Frame {
        std::vector<std::uint8_t> indices;
        int delay;
    };

    int tableBits() const;

    int m_width;
    int m_height;
    std::vector<std::uint32_t> m_palette;
    int m_transparent = -1;
    int m_loopCount = 0;
    std::vector<Frame> m_frames;
};
