#pragma once

// The check harness of the Windows test programs (there is no Qt Test for
// mingw-w64 here). Every check prints one line, "PASS name" or
// "FAIL name: detail", and finish() prints the closing "N passed, N failed" line
// that tests/windows/run-windows-tests.sh adds up. A program that dies before
// finish() is counted as failed by the driver.

#include <cstdio>
#include <string>
#include <type_traits>

#include <fcntl.h>
#include <io.h>

class WinCheck
{
public:
    explicit WinCheck(const char* program)
        : m_program(program)
    {
        _setmode(_fileno(stdout), _O_BINARY); // plain "\n" line ends
        std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    }

    bool check(bool ok, const std::string& name, const std::string& detail = std::string())
    {
        ++(ok ? m_passed : m_failed);
        std::printf("%s %s: %s%s%s\n", ok ? "PASS" : "FAIL", m_program, name.c_str(),
            ok || detail.empty() ? "" : ": ", ok ? "" : detail.c_str());
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

    int finish()
    {
        std::printf("%d passed, %d failed\n", m_passed, m_failed);
        std::fflush(stdout);
        return m_failed == 0 ? 0 : 1;
    }

    template <typename T> static std::string text(const T& value)
    {
        if constexpr (std::is_convertible<const T&, std::string>::value)
            return "\"" + std::string(value) + "\"";
        else
            return std::to_string(static_cast<long long>(value));
    }

private:
    const char* m_program;
    int m_passed = 0;
    int m_failed = 0;
};
