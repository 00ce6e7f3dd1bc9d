// The per-object lock of the module and the failures it knows about. Plain
// C++ (no interpreter), so the core test runner can exercise it directly.
//
// Rules it serves: one mutex per stateful object, held only for one bounded
// operation and never across a call into the host, so waiting for it is a
// short spin; an internal failure while it is held poisons it, and every
// later acquisition raises the internal failure instead of touching state
// that may be half-changed.
//
// There is one way to hold it: `m.run(f)` (or `run_both(a, b, f)`), which
// runs `f` under the lock and is the one place that decides whether a
// failure escaping `f` was planned (the object stays usable) or not (the
// object is poisoned).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace quillon::sync {

// A condition the system treats as impossible.
struct InternalFailure {
  std::string message;
};

// Marks failures that are part of an operation's contract (a protocol error,
// a bad argument): thrown out of a locked step, they leave the object usable.
// Anything else that escapes a locked step poisons the object.
class Planned {
 public:
  virtual ~Planned() = default;
};

class Mutex {
  static constexpr const char* kPoisonedMessage = "object is unusable after an earlier internal failure";

 public:
  // Runs `f` with the mutex held and returns what it returns.
  //
  // Raises InternalFailure without running `f` when the object is poisoned,
  // or when this thread already holds the mutex: a re-entrant call (a
  // finaliser run by an allocation inside the step, say) would otherwise
  // spin forever on a lock that cannot be released until it returns. The
  // re-entrant call fails; the step it interrupted goes on unharmed.
  template <class F>
  decltype(auto) run(F&& f) {
    Hold hold(*this);
    try {
      return f();
    } catch (const Planned&) {
      throw;
    } catch (...) {
      // Cut short somewhere its changes were not meant to stop.
      poisoned_.store(true, std::memory_order_relaxed);
      throw;
    }
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  // Raises what an acquisition of a poisoned mutex raises: for a caller
  // about to take this mutex inside another object's step, so that a
  // poisoned leaf fails the step before it starts instead of poisoning it.
  void check_usable() const {
    if (poisoned()) throw InternalFailure{kPoisonedMessage};
  }

 private:
  class Hold {
   public:
    explicit Hold(Mutex& m) : m_(m) { m_.acquire(); }
    ~Hold() { m_.owner_.store(nullptr, std::memory_order_release); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Mutex& m_;
  };

  // Any address unique to the running thread names it as the owner.
  // Initial-exec: the module's one thread-local, read on every acquisition,
  // is then a fixed offset from the thread pointer instead of a call into
  // the dynamic loader.
  static const void* self() {
#if defined(__GNUC__)
    [[gnu::tls_model("initial-exec")]] static thread_local char tag;
#else
    static thread_local char tag;
#endif
    return &tag;
  }

  void acquire() {
    const void* me = self();
    unsigned spins = 0;
    for (;;) {
      const void* seen = nullptr;
      if (owner_.compare_exchange_weak(seen, me, std::memory_order_acquire, std::memory_order_relaxed)) break;
      if (seen == me) throw InternalFailure{"re-entrant call on an object this thread is already using"};
      if (++spins > 64) std::this_thread::yield();
    }
    if (poisoned_.load(std::memory_order_relaxed)) {
      owner_.store(nullptr, std::memory_order_release);
      throw InternalFailure{kPoisonedMessage};
    }
  }

  std::atomic<const void*> owner_{nullptr};
  std::atomic<bool> poisoned_{false};
};

// Runs `f` under two distinct mutexes of one kind, taken in address order so
// two threads locking the same pair from opposite ends cannot deadlock. An
// unplanned failure poisons both. (An object compared with itself is not
// locked twice: callers handle that case without locking.)
template <class F>
decltype(auto) run_both(Mutex& a, Mutex& b, F&& f) {
  const bool a_first = std::less<Mutex*>()(&a, &b);
  Mutex& first = a_first ? a : b;
  Mutex& second = a_first ? b : a;
  return first.run([&]() -> decltype(auto) { return second.run(f); });
}

}  // namespace quillon::sync
