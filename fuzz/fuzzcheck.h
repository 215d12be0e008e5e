// The one way a fuzz target reports a broken property: abort, which libFuzzer
// and the corpus replay both take as a failure.
#pragma once

#include <cstdlib>

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

// Qt 5.15's JSON parser loses the first value of a key that appears twice when that value
// is an object or an array (fuzz/corpus/layout/duplicate-keys): a leak of Qt's, not of the
// readers. Only leaks allocated inside Qt Core are let through. One target per program.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt5Core.so\n";
}
