#pragma once

#include "sync/hostintake.h"

#include <QMetaType>
#include <QString>
#include <QtGlobal>

Q_DECLARE_METATYPE(HostIntake::Action)

namespace HostIntake
{
// Readable failures for QCOMPARE / QTEST (found by argument-dependent lookup).
inline char* toString(Action action)
{
    static const char* const names[]
        = { "Ignore", "Decline", "Forward", "Drop", "ShortFrame", "SyncSwitch" };
    const int i = static_cast<int>(action);
    return qstrdup(i >= 0 && i < 6 ? names[i] : "?");
}
} // namespace HostIntake

// "r,g,b r,g,b": the colours of a decision's entries 0 and 11.
inline QString entryColours(const HostIntake::Decision& d)
{
    return QString::asprintf(
        "%d,%d,%d %d,%d,%d", d.red[0], d.green[0], d.blue[0], d.red[11], d.green[11], d.blue[11]);
}
