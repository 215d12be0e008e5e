#pragma once

// The process's answer to SIGINT and SIGTERM, POSIX only: the first of them writes
// one byte to a pipe the event loop watches; the next takes its default action, so
// a second Ctrl+C or SIGTERM ends the process at once even while it waits for
// devices to take their scenes back.

namespace Platform
{

// Installs the handlers of SIGINT and SIGTERM. Returns the pipe's read end, never
// blocking, readable once a first signal came; -1 when the pipe cannot be made
// (the handlers then stay as they were).
int watchTerminationSignals();

} // namespace Platform
