// The one way a harness reports a broken invariant: print where, then abort,
// so every fuzz driver (libFuzzer or the random driver) records the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_ASSERT(cond)                                                                     \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "%s:%d: fuzz invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)
