// What every harness shares: the one way to report a broken invariant
// (print where, then abort, so every fuzz driver records the input), and a
// reader that turns the input into decisions and byte runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_ASSERT(cond)                                                                     \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "%s:%d: fuzz invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace fuzz {

// Reads past the end as zero bytes and empty runs, so a harness never needs
// to check how much input is left before deciding something.
struct Reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool more() const { return at < n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
  std::string_view bytes(size_t k) {
    k = std::min(k, n - at);
    std::string_view s(reinterpret_cast<const char*>(p) + at, k);
    at += k;
    return s;
  }
};

}  // namespace fuzz
