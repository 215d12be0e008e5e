// Feeds arbitrary datagrams to the SSDP reply reader and checks what the service
// relies on: the text stops before the first zero byte and is no longer than the
// datagram; only a text holding "nl29" matches; the Location value is a piece of
// that text, found right after "Location: " when that marker is there.

#include "fuzzcheck.h"
#include "service/ssdpreader.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65535)
        return 0; // no UDP datagram is longer
    const QByteArray datagram(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const SsdpReader::Reply reply = SsdpReader::readReply(datagram);

    check(!reply.text.contains(QChar(0)) && reply.text.size() <= datagram.size());
    const int zero = datagram.indexOf('\0');
    const QByteArray examined = zero < 0 ? datagram : datagram.left(zero);
    check(reply.text.size() >= (examined.isEmpty() ? 0 : 1));
    bool ascii = true;
    for (char c : examined)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        check(reply.text == QLatin1String(examined));

    check(reply.matches == reply.text.contains(QLatin1String("nl29")));
    if (!reply.matches) {
        check(reply.firstIndex == -1 && reply.lastIndex == -1 && reply.location.isEmpty());
        return 0;
    }
    check(reply.firstIndex >= -1 && reply.firstIndex < reply.text.size());
    check(reply.lastIndex >= -1 && reply.lastIndex < reply.text.size());
    check(reply.location.size() <= reply.text.size());
    check(reply.text.contains(reply.location));
    if (reply.firstIndex >= 0) {
        check(reply.text.midRef(reply.firstIndex, 10) == QLatin1String("Location: "));
        check(reply.text.midRef(reply.firstIndex + 10).startsWith(reply.location));
    }
    if (reply.lastIndex >= 0)
        check(reply.text.midRef(reply.lastIndex, 16) == QLatin1String("\r\nCache-Control:"));
    // A value that ends before "\r\nCache-Control:" ends right there.
    if (reply.firstIndex >= 0 && reply.lastIndex >= reply.firstIndex + 10)
        check(reply.firstIndex + 10 + reply.location.size() == reply.lastIndex);
    return 0;
}
