#include "guardedpayload.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

GuardedPayload::GuardedPayload(const std::vector<std::uint8_t>& bytes)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    const std::size_t dataPages = (bytes.size() + page - 1) / page;
    const std::size_t total = (dataPages + 1) * page;
    m_block = VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (m_block == nullptr)
        return;
    auto* base = static_cast<std::uint8_t*>(m_block);
    DWORD previous = 0;
    if (!VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &previous))
        return;
    m_guard = base + dataPages * page;
    m_size = bytes.size();
    if (m_size != 0) {
        auto* start = base + dataPages * page - m_size;
        std::memcpy(start, bytes.data(), m_size);
        m_data = start;
    }
}

GuardedPayload::~GuardedPayload()
{
    if (m_block != nullptr)
        VirtualFree(m_block, 0, MEM_RELEASE);
}
