#include "service/ssdpreader.h"

#include <QTextCodec>

namespace SsdpReader
{

Reply readReply(const QByteArray& datagram)
{
    Reply reply;
    const int zero = datagram.indexOf('\0');
    reply.text = QTextCodec::codecForMib(106)->toUnicode(zero < 0 ? datagram : datagram.left(zero));
    if (!reply.text.contains(QLatin1String("nl29")))
        return reply;
    reply.matches = true;
    reply.firstIndex = reply.text.indexOf(QLatin1String("Location: "));
    reply.lastIndex = reply.text.indexOf(QLatin1String("\r\nCache-Control:"));
    // mid() clamps both ends, so the unchecked positions never read outside the text.
    reply.location = reply.text.mid(reply.firstIndex + 10, reply.lastIndex - reply.firstIndex - 10);
    return reply;
}

} // namespace SsdpReader
