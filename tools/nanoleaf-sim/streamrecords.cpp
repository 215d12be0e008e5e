#include "tools/nanoleaf-sim/streamrecords.h"

#include <cctype>

namespace StreamRecords
{

namespace
{

StreamDecode reject(StreamDecode d, std::string reason)
{
    d.ok = false;
    d.reason = std::move(reason);
    d.records.clear();
    return d;
}

} // namespace

StreamDecode decodeV1(const std::uint8_t* data, std::size_t size)
{
    StreamDecode d;
    if (size < 1)
        return reject(d, "empty datagram");
    d.count = data[0];
    std::size_t pos = 1;
    for (int i = 0; i < d.count; ++i) {
        if (size - pos < 2)
            return reject(d, "ends inside the entry of panel " + std::to_string(i));
        StreamRecord rec;
        rec.panelId = data[pos];
        rec.frames = data[pos + 1];
        pos += 2;
        const std::size_t need = std::size_t(rec.frames) * 5;
        if (size - pos < need)
            return reject(d, "ends inside the frames of panel " + std::to_string(i));
        if (rec.frames > 0) {
            const std::uint8_t* last = data + pos + need - 5;
            rec.r = last[0];
            rec.g = last[1];
            rec.b = last[2];
            rec.w = last[3];
            rec.transition = last[4];
        }
        pos += need;
        d.records.push_back(rec);
    }
    d.trailing = size - pos;
    d.ok = true;
    return d;
}

StreamDecode decodeV2(const std::uint8_t* data, std::size_t size)
{
    StreamDecode d;
    if (size < 2)
        return reject(d, size == 0 ? "empty datagram" : "shorter than its 2-byte panel count");
    d.count = (int(data[0]) << 8) | data[1];
    constexpr std::size_t entry = 8;
    if ((size - 2) / entry < std::size_t(d.count))
        return reject(d,
            "holds " + std::to_string((size - 2) / entry) + " whole entries, its count says "
                + std::to_string(d.count));
    std::size_t pos = 2;
    d.records.reserve(std::size_t(d.count));
    for (int i = 0; i < d.count; ++i, pos += entry) {
        StreamRecord rec;
        rec.panelId = (int(data[pos]) << 8) | data[pos + 1];
        rec.r = data[pos + 2];
        rec.g = data[pos + 3];
        rec.b = data[pos + 4];
        rec.w = data[pos + 5];
        rec.transition = (int(data[pos + 6]) << 8) | data[pos + 7];
        d.records.push_back(rec);
    }
    d.trailing = size - pos;
    d.ok = true;
    return d;
}

StreamDecode parseAnimData(const std::string& text)
{
    StreamDecode d;
    constexpr std::size_t maxNumbers = 200000;
    std::vector<long> numbers;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (!std::isdigit(c))
            return reject(d, "animData holds something other than decimal numbers");
        long value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            value = value * 10 + (text[i] - '0');
            if (value > 1000000)
                return reject(d, "animData number too large");
            ++i;
        }
        if (numbers.size() >= maxNumbers)
            return reject(d, "animData too long");
        numbers.push_back(value);
    }
    if (numbers.empty())
        return reject(d, "animData is empty");

    std::size_t pos = 0;
    const long count = numbers[pos++];
    if (count > 65535)
        return reject(d, "animData panel count too large");
    d.count = int(count);
    for (long p = 0; p < count; ++p) {
        if (numbers.size() - pos < 2)
            return reject(d, "animData ends inside the entry of panel " + std::to_string(p));
        StreamRecord rec;
        if (numbers[pos] > 65535)
            return reject(d, "animData panel id above 65535");
        rec.panelId = int(numbers[pos]);
        const long frames = numbers[pos + 1];
        pos += 2;
        if (frames > 255 || numbers.size() - pos < std::size_t(frames) * 5)
            return reject(d, "animData ends inside the frames of panel " + std::to_string(p));
        rec.frames = int(frames);
        for (long f = 0; f < frames; ++f, pos += 5) {
            for (int k = 0; k < 4; ++k)
                if (numbers[pos + std::size_t(k)] > 255)
                    return reject(d, "animData colour value above 255");
            rec.r = std::uint8_t(numbers[pos]);
            rec.g = std::uint8_t(numbers[pos + 1]);
            rec.b = std::uint8_t(numbers[pos + 2]);
            rec.w = std::uint8_t(numbers[pos + 3]);
            rec.transition = int(numbers[pos + 4]);
        }
        d.records.push_back(rec);
    }
    d.trailing = numbers.size() - pos;
    d.ok = true;
    return d;
}

} // namespace StreamRecords
