#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
  const char* only = argc > 1 ? argv[1] : nullptr;
  int ran = 0;
  for (const auto& c : qtest::registry()) {
    if (only && !std::strstr(c.name, only)) continue;
    int before = qtest::failures();
    c.fn();
    ++ran;
    if (qtest::failures() != before) std::fprintf(stderr, "FAILED: %s\n", c.name);
  }
  std::printf("%d core test cases, %d failed checks\n", ran, qtest::failures());
  return qtest::failures() == 0 && ran > 0 ? 0 : 1;
}
