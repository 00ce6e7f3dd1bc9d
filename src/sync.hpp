// The per-object lock of the module and the failures it knows about. Plain
// C++ (no interpreter), so the core test runner can exercise it directly.
//
// Rules it serves: one mutex per stateful object, held only for one bounded
// operation and never across a call into the host, so waiting for it is a
// short spin; an internal failure while it is held poisons it, and every
// later acquisition raises the internal failure instead of touching state
// that may be half-changed.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace quillon::sync {

// A condition the system treats as impossible.
struct InternalFailure {
  std::string message;
};

// Failures that are part of an operation's contract (a protocol error, a bad
// argument) and may be thrown while a lock is held without poisoning it.
// Counted per thread while alive, so an unwinding Guard can tell them from
// anything unplanned.
inline thread_local int t_planned_in_flight = 0;

class Planned {
 public:
  Planned() { ++t_planned_in_flight; }
  Planned(const Planned&) { ++t_planned_in_flight; }
  Planned& operator=(const Planned&) = default;
  virtual ~Planned() { --t_planned_in_flight; }
};

class Mutex {
 public:
  class Guard {
   public:
    explicit Guard(Mutex& m) : m_(m), uncaught_(std::uncaught_exceptions()) {
      bool expected = false;
      unsigned spins = 0;
      while (!m_.held_.compare_exchange_weak(expected, true, std::memory_order_acquire, std::memory_order_relaxed)) {
        expected = false;
        if (++spins > 64) std::this_thread::yield();
      }
      if (m_.poisoned_.load(std::memory_order_relaxed)) {
        m_.held_.store(false, std::memory_order_release);
        throw InternalFailure{"object is unusable after an earlier internal failure"};
      }
    }
    ~Guard() {
      // Unwinding, and not because of a planned failure: the operation was
      // cut short somewhere its state changes were not meant to stop.
      if (std::uncaught_exceptions() > uncaught_ && t_planned_in_flight == 0)
        m_.poisoned_.store(true, std::memory_order_relaxed);
      m_.held_.store(false, std::memory_order_release);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // Marks the object unusable and raises the internal failure.
    [[noreturn]] void poison(std::string message) {
      m_.poisoned_.store(true, std::memory_order_relaxed);
      throw InternalFailure{std::move(message)};
    }

   private:
    Mutex& m_;
    int uncaught_;
  };

  Guard lock() { return Guard(*this); }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> poisoned_{false};
};

// Takes two distinct mutexes of one kind in address order, so two threads
// locking the same pair from opposite ends cannot deadlock. (An object is
// compared with itself without locking at all.)
class DualGuard {
 public:
  DualGuard(Mutex& a, Mutex& b) : first_(lower(a, b) ? a : b), second_(lower(a, b) ? b : a) {}

 private:
  static bool lower(Mutex& a, Mutex& b) { return std::less<Mutex*>()(&a, &b); }
  Mutex::Guard first_;
  Mutex::Guard second_;
};

}  // namespace quillon::sync
