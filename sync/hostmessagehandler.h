#pragma once

#include "sync/hostintake.h"

// Whoever answers host messages (the main window in the tool). Called on the
// thread of the HostMessageServer, one message at a time.
class HostMessageHandler
{
public:
    virtual ~HostMessageHandler();
    virtual HostIntake::HostAnswer hostMessage(const HostIntake::Message& message) = 0;
};
