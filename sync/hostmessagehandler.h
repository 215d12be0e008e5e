#pragma once

#include "sync/hostintake.h"

// Whoever answers host messages (the main window in the tool). The local endpoint
// calls it on the thread serving the host's connection, one message at a time
// across all hosts; the message must not wait for the endpoint owner's thread.
class HostMessageHandler
{
public:
    virtual ~HostMessageHandler();
    virtual HostIntake::HostAnswer hostMessage(const HostIntake::Message& message) = 0;
};
