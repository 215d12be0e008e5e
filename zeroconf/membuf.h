#pragma once

#include <cstddef>
#include <cstdint>
#include <streambuf>

namespace Zeroconf
{
namespace Detail
{
namespace stdext
{

// Read-only stream buffer over bytes it neither owns nor copies, so that a datagram
// can be read through a std::istream in place. The bytes must outlive the buffer.
//
// Seeking is limited to what the reply parser needs: asking for offset 0 from the
// current position reports the read offset from the start of the range (that is
// what tellg() does); every other seek fails with position -1.
class membuf : public std::streambuf
{
public:
    membuf(const std::uint8_t* data, std::size_t size);
    ~membuf() override;

    membuf(const membuf&) = delete;
    membuf& operator=(const membuf&) = delete;

protected:
    pos_type seekoff(
        off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
};

} // namespace stdext
} // namespace Detail
} // namespace Zeroconf
