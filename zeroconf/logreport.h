#pragma once

#include "zeroconf/zeroconf.h"

#include <string>

namespace Zeroconf
{
namespace Detail
{

// Hands one message to the calling thread's LogSink, if it has one.
inline void Report(int level, const std::string& message)
{
    if (LogSink != nullptr)
        LogSink(level, message);
}

} // namespace Detail
} // namespace Zeroconf
