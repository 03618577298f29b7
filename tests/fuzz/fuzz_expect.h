#pragma once
// A property broken ends the run, so that the fuzzer keeps the input.

#include <cstdlib>

inline void Expect(bool condition) {
    if (!condition) std::abort();
}
