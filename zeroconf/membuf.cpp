#include "zeroconf/membuf.h"

namespace Zeroconf
{
namespace Detail
{
namespace stdext
{

membuf::membuf(const std::uint8_t* data, std::size_t size)
{
    // The get area is never written through: without a put area and with the
    // default pbackfail, the stream can only move the read pointer.
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(begin, begin, begin + size);
}

membuf::~membuf() = default;

membuf::pos_type membuf::seekoff(
    off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode)
{
    if (offset == 0 && direction == std::ios_base::cur)
        return pos_type(off_type(gptr() - eback()));
    return pos_type(off_type(-1));
}

} // namespace stdext
} // namespace Detail
} // namespace Zeroconf
