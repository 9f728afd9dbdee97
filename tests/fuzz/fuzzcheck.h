#pragma once

#include <cstdlib>

// A property that must hold for every input: libFuzzer keeps an input that breaks it as a crash.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
