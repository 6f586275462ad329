#pragma once
// Shared by the fuzz targets: a property check that stops the run with a readable message,
// so that libFuzzer records the input and the corpus replay fails loudly.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond);   \
            abort();                                                                        \
        }                                                                                   \
    } while (0)
