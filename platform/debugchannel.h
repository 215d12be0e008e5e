#pragma once

// The debugger output channel that discovery diagnostics are written to. On Windows
// this is OutputDebugStringW (seen in a debugger or DebugView); elsewhere the text
// goes to standard error, and only when PRISMARA_DEBUG_CHANNEL=1, so that a normal
// run stays quiet.

#include <cstddef>
#include <string>

namespace Platform
{

// Longest text, in bytes, handed to the channel in one write.
constexpr std::size_t kDebugChannelMaxBytes = 4095;

// Cuts `text` to at most kDebugChannelMaxBytes bytes. This is a plain byte cut: a
// multi-byte character that straddles the limit is cut in two.
std::string debugChannelCut(std::string text);

// Writes one text as it is (never interpreted as a format). Windows converts it from
// the thread's ANSI code page to UTF-16. A null pointer writes nothing.
void debugChannelWrite(const char* text);

} // namespace Platform
