#include "stream/streamdatagram.h"

#include <algorithm>
#include <cstddef>

namespace StreamDatagram
{

namespace
{

std::uint8_t low8(int value)
{
    return static_cast<std::uint8_t>(static_cast<unsigned int>(value) & 0xFFu);
}

bool containsWord(const std::u16string& text, const char* word)
{
    std::u16string needle;
    for (const char* c = word; *c; ++c)
        needle.push_back(static_cast<char16_t>(*c));
    return text.find(needle) != std::u16string::npos;
}

int recordCount(int count, int panelNumbers)
{
    return std::max(0, std::min(count, panelNumbers));
}

} // namespace

Model modelForName(const std::u16string& name)
{
    if (containsWord(name, "Canvas"))
        return Model::Canvas;
    if (containsWord(name, "Light"))
        return Model::Light;
    return Model::None;
}

void buildLight(int count, const int* red, const int* green, const int* blue, int panelNumbers,
    const std::vector<int>& pidArrray, std::vector<std::uint8_t>& datagram)
{
    datagram.clear();
    const int records = recordCount(count, panelNumbers);
    if (records == 0)
        return;
    datagram.resize(static_cast<std::size_t>(count) * 8, 0);
    datagram[0] = low8(panelNumbers);
    for (int i = 0; i < records; ++i) {
        if (static_cast<std::size_t>(i) >= pidArrray.size())
            break;
        std::uint8_t* record = &datagram[1 + 7 * static_cast<std::size_t>(i)];
        record[0] = low8(pidArrray[static_cast<std::size_t>(i)]);
        record[1] = 1;
        record[2] = low8(red[i]);
        record[3] = low8(green[i]);
        record[4] = low8(blue[i]);
    }
}

void buildCanvas(int count, const int* red, const int* green, const int* blue, int panelNumbers,
    const std::vector<int>& pidArrray, std::vector<std::uint8_t>& datagram)
{
    datagram.clear();
    const int records = recordCount(count, panelNumbers);
    if (records == 0)
        return;
    datagram.resize(static_cast<std::size_t>(count) * 10, 0);
    datagram[1] = low8(panelNumbers);
    for (int i = 0; i < records; ++i) {
        const std::size_t idHigh = 2 * static_cast<std::size_t>(i);
        if (idHigh + 1 >= pidArrray.size())
            break;
        std::uint8_t* record = &datagram[2 + 8 * static_cast<std::size_t>(i)];
        record[0] = low8(pidArrray[idHigh]);
        record[1] = low8(pidArrray[idHigh + 1]);
        record[2] = low8(red[i]);
        record[3] = low8(green[i]);
        record[4] = low8(blue[i]);
    }
}

} // namespace StreamDatagram
