#include "stream/v2datagram.h"

#include "stream/panelmodel.h"

namespace StreamDatagram
{

namespace
{

constexpr std::size_t kRecordSize = 8;

std::uint8_t low8(int value)
{
    return static_cast<std::uint8_t>(static_cast<unsigned int>(value) & 0xFFu);
}

} // namespace

std::size_t buildV2(std::uint8_t* out, std::size_t capacity, const std::vector<std::uint16_t>& ids,
    const int* red, const int* green, const int* blue, int entries)
{
    const std::size_t n = ids.size();
    // Dividing instead of computing 2 + 8 * n keeps the size check free of
    // overflow; the count field has two bytes.
    if (n == 0 || n > 0xFFFF || entries <= 0 || capacity < 2 || n > (capacity - 2) / kRecordSize)
        return 0;
    out[0] = static_cast<std::uint8_t>(n >> 8);
    out[1] = static_cast<std::uint8_t>(n & 0xFF);
    std::uint8_t* record = out + 2;
    for (std::size_t j = 0; j < n; ++j, record += kRecordSize) {
        const int entry
            = PanelModel::spreadEntry(static_cast<int>(j), static_cast<int>(n), entries);
        record[0] = static_cast<std::uint8_t>(ids[j] >> 8);
        record[1] = static_cast<std::uint8_t>(ids[j] & 0xFF);
        record[2] = low8(red[entry]);
        record[3] = low8(green[entry]);
        record[4] = low8(blue[entry]);
        record[5] = 0;
        record[6] = 0;
        record[7] = 0;
    }
    return 2 + kRecordSize * n;
}

} // namespace StreamDatagram
