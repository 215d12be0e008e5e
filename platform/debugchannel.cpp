#include "platform/debugchannel.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>
#else
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace Platform
{

std::string debugChannelCut(std::string text)
{
    if (text.size() > kDebugChannelMaxBytes)
        text.resize(kDebugChannelMaxBytes);
    return text;
}

void debugChannelWrite(const char* text)
{
    if (text == nullptr)
        return;
#ifdef _WIN32
    // CP_ACP is the ANSI code page of the thread's system locale, which is what
    // the rest of the tool's narrow text is written in.
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (wideLength <= 0)
        return;
    std::vector<wchar_t> wide(static_cast<std::size_t>(wideLength), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), wideLength) <= 0)
        return;
    OutputDebugStringW(wide.data());
#else
    const char* enabled = std::getenv("PRISMARA_DEBUG_CHANNEL");
    if (enabled == nullptr || std::strcmp(enabled, "1") != 0)
        return;
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
#endif
}

} // namespace Platform
