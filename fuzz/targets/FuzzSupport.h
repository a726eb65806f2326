#pragma once
// What the fuzz targets share: a named abort for a broken invariant, so that libFuzzer keeps
// the input that broke it as a crash, just as it keeps one a sanitizer stopped.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                                    \
    do {                                                                                               \
        if (!(condition)) {                                                                            \
            std::fprintf(stderr, "fuzz: %s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition);      \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)
