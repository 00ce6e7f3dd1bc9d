// A deliberately tiny test harness for the protocol core: the core has no
// interpreter dependency, so its tests should not need one either.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace qtest {

struct Case {
  const char* name;
  void (*fn)();
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, void (*fn)()) { registry().push_back({name, fn}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
  ++failures();
}

}  // namespace qtest

#define QTEST_CAT2(a, b) a##b
#define QTEST_CAT(a, b) QTEST_CAT2(a, b)
#define TEST_CASE(name)                                                   \
  static void QTEST_CAT(qtest_fn_, __LINE__)();                          \
  static qtest::Register QTEST_CAT(qtest_reg_, __LINE__)(name,           \
                                                         &QTEST_CAT(qtest_fn_, __LINE__)); \
  static void QTEST_CAT(qtest_fn_, __LINE__)()

#define CHECK(cond)                                            \
  do {                                                         \
    if (!(cond)) qtest::fail(__FILE__, __LINE__, #cond);       \
  } while (0)

#define CHECK_EQ(a, b)                                                     \
  do {                                                                     \
    auto&& qa_ = (a);                                                      \
    auto&& qb_ = (b);                                                      \
    if (!(qa_ == qb_)) qtest::fail(__FILE__, __LINE__, #a " == " #b);      \
  } while (0)
