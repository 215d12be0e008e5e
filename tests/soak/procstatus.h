#pragma once

#include <QStringList>
#include <QtGlobal>

// Figures of this process from /proc/self, for soak tests that look for growth.
// Each gives -1 when it cannot be read.
namespace ProcStatus
{

// Open file descriptors (entries of /proc/self/fd, not counting the one used to
// list them).
int openDescriptors();
// What the open descriptors refer to ("3 -> socket:[1234]"), for messages.
QStringList descriptorTargets();
// Threads of the process.
int threads();

} // namespace ProcStatus
