#pragma once

#include <QByteArray>
#include <QString>

// What the device service's SSDP reply reader takes out of a text datagram: the
// value of its "Location: " header line, when the datagram mentions "nl29".
// A pure function over bytes: no QObject, no network.
namespace SsdpReader
{

// One datagram, read.
//
// text is the datagram decoded as UTF-8 up to its first zero byte; what follows
// that byte is never examined. matches says whether text holds "nl29"; the other
// fields are filled only then. firstIndex is the position of the first
// "Location: " in text and lastIndex that of the first "\r\nCache-Control:", each
// -1 when missing (every marker is matched case-sensitively). location is the
// part of text that starts at firstIndex + 10 and is lastIndex - firstIndex - 10
// characters long, cut as QString::mid cuts: a negative length takes the rest of
// the text, a start past its end gives the empty text. Neither position is
// checked first, so a missing "Location: " starts the cut at character 9, and a
// Cache-Control line before the Location line leaves the rest after "Location: ".
struct Reply {
    QString text;
    bool matches = false;
    int firstIndex = -1;
    int lastIndex = -1;
    QString location;
};
Reply readReply(const QByteArray& datagram);

} // namespace SsdpReader
