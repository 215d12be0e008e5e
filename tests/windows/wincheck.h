#pragma once

// The check harness of the Windows test programs (there is no Qt Test for
// mingw-w64 here). Every check prints one line, "PASS name" or
// "FAIL name: detail", and finish() prints the closing "N passed, N failed" line
// that tests/windows/run-windows-tests.sh adds up. A program that dies before
// finish() is counted as failed by the driver.

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

class WinCheck
{
public:
    explicit WinCheck(const char* program)
        : m_program(program)
    {
#ifdef _WIN32
        // Plain "\n" line ends, so the driver reads the same lines on every host.
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    }

    bool check(bool ok, const std::string& name, const std::string& detail = std::string())
    {
        if (ok) {
            ++m_passed;
            std::printf("PASS %s: %s\n", m_program, name.c_str());
        } else {
            ++m_failed;
            std::printf("FAIL %s: %s%s%s\n", m_program, name.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
        }
        std::fflush(stdout);
        return ok;
    }

    template <typename Actual, typename Expected>
    bool equal(const Actual& actual, const Expected& expected, const std::string& name)
    {
        const bool ok = actual == expected;
        return check(
            ok, name, ok ? std::string() : "got " + text(actual) + ", expected " + text(expected));
    }

    // A line that is neither a check nor the summary: context for a reader.
    void note(const std::string& line)
    {
        std::printf("     %s: %s\n", m_program, line.c_str());
        std::fflush(stdout);
    }

    int failed() const
    {
        return m_failed;
    }

    // Prints the summary; the exit code of the program.
    int finish()
    {
        std::printf("%d passed, %d failed\n", m_passed, m_failed);
        std::fflush(stdout);
        return m_failed == 0 ? 0 : 1;
    }

    static std::string hex(const std::vector<std::uint8_t>& bytes)
    {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        out.reserve(bytes.size() * 2);
        for (std::uint8_t b : bytes) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    }

    template <typename T> static std::string text(const T& value)
    {
        if constexpr (std::is_convertible<const T&, std::string>::value)
            return "\"" + std::string(value) + "\"";
        else if constexpr (std::is_same<T, std::vector<std::uint8_t>>::value)
            return "[" + hex(value) + "]";
        else if constexpr (std::is_same<T, bool>::value)
            return value ? "true" : "false";
        else if constexpr (std::is_enum<T>::value)
            return std::to_string(static_cast<long long>(value));
        else if constexpr (std::is_integral<T>::value && std::is_signed<T>::value)
            return std::to_string(static_cast<long long>(value));
        else if constexpr (std::is_integral<T>::value)
            return std::to_string(static_cast<unsigned long long>(value));
        else
            return value == nullptr ? "null" : "a pointer";
    }

private:
    const char* m_program;
    int m_passed = 0;
    int m_failed = 0;
};
