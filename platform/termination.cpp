#include "platform/termination.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = { -1, -1 };

extern "C" void onTerminationSignal(int)
{
    // Only async-signal-safe work here.
    struct sigaction fallBack = {};
    fallBack.sa_handler = SIG_DFL;
    sigemptyset(&fallBack.sa_mask);
    sigaction(SIGINT, &fallBack, nullptr);
    sigaction(SIGTERM, &fallBack, nullptr);
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

} // namespace

namespace Platform
{

int watchTerminationSignals()
{
    // Never blocking, so a burst of signals cannot stall the handler on a full pipe.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return signalPipe[0];
}

} // namespace Platform
