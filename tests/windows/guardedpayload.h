#pragma once

// Bytes placed so that they end exactly where readable memory ends: the page after
// them is PAGE_NOACCESS, so reading even one byte past the end is an access
// violation instead of a silent over-read.

#include <cstddef>
#include <cstdint>
#include <vector>

class GuardedPayload
{
public:
    explicit GuardedPayload(const std::vector<std::uint8_t>& bytes);
    ~GuardedPayload();
    GuardedPayload(const GuardedPayload&) = delete;
    GuardedPayload& operator=(const GuardedPayload&) = delete;

    // Null when the memory could not be set up (or for an empty payload: then there
    // is nothing to point at).
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    // The first byte that must never be read.
    const std::uint8_t* guard() const { return m_guard; }

private:
    void* m_block = nullptr;
    const std::uint8_t* m_data = nullptr;
    const std::uint8_t* m_guard = nullptr;
    std::size_t m_size = 0;
};
