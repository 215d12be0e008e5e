#pragma once

#include "sync/hostintake.h"

#include <QMetaType>
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
