#include <thread>
#include <vector>

#include "check.hpp"
#include "sync.hpp"

using quillon::sync::DualGuard;
using quillon::sync::InternalFailure;
using quillon::sync::Mutex;
using quillon::sync::Planned;

namespace {

struct ProtocolError : Planned {};

enum class Outcome { Planned, Internal, Other };

template <class F>
Outcome run_locked(Mutex& m, F&& body) {
  try {
    auto g = m.lock();
    body(g);
  } catch (const ProtocolError&) {
    return Outcome::Planned;
  } catch (const InternalFailure&) {
    return Outcome::Internal;
  } catch (...) {
    return Outcome::Other;
  }
  return Outcome::Other;
}

bool lock_fails(Mutex& m) {
  try {
    auto g = m.lock();
  } catch (const InternalFailure&) {
    return true;
  }
  return false;
}

}  // namespace

TEST_CASE("sync: planned failures leave the mutex usable, unplanned ones poison it") {
  struct Row {
    const char* what;
    void (*body)(Mutex::Guard&);
    Outcome outcome;
    bool poisoned;
  };
  const Row rows[] = {
      {"planned error", [](Mutex::Guard&) { throw ProtocolError{}; }, Outcome::Planned, false},
      {"internal failure", [](Mutex::Guard&) { throw InternalFailure{"boom"}; }, Outcome::Internal, true},
      {"explicit poison", [](Mutex::Guard& g) { g.poison("invariant"); }, Outcome::Internal, true},
      {"allocation failure", [](Mutex::Guard&) { throw std::bad_alloc(); }, Outcome::Other, true},
  };
  for (const Row& r : rows) {
    Mutex m;
    CHECK(run_locked(m, r.body) == r.outcome);
    CHECK_EQ(m.poisoned(), r.poisoned);
    CHECK_EQ(lock_fails(m), r.poisoned);
    // Poison is permanent.
    CHECK_EQ(lock_fails(m), r.poisoned);
  }
}

TEST_CASE("sync: a planned error caught inside the locked step does not poison") {
  Mutex m;
  {
    auto g = m.lock();
    try {
      throw ProtocolError{};
    } catch (const ProtocolError&) {
    }
  }
  CHECK(!m.poisoned());
  CHECK(!lock_fails(m));
}

TEST_CASE("sync: the mutex excludes concurrent holders") {
  Mutex m;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        auto g = m.lock();
        long v = counter;
        std::this_thread::yield();
        counter = v + 1;
      }
    });
  }
  for (auto& th : threads) th.join();
  CHECK_EQ(counter, 4L * 50000);
}

TEST_CASE("sync: two mutexes are taken in one order whichever comes first") {
  Mutex a, b;
  long counter = 0;
  auto work = [&](Mutex& x, Mutex& y) {
    for (int i = 0; i < 20000; ++i) {
      DualGuard g(x, y);
      ++counter;
    }
  };
  std::thread t1(work, std::ref(a), std::ref(b));
  std::thread t2(work, std::ref(b), std::ref(a));
  t1.join();
  t2.join();
  CHECK_EQ(counter, 40000L);
}
