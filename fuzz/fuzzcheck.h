// The one way a fuzz target reports a broken property: abort, which libFuzzer
// and the corpus replay both take as a failure.
#pragma once

#include <cstdlib>

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}
