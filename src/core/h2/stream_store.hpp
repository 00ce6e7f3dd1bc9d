// The streams of one HTTP/2 connection, keyed by stream id.
//
// Why this shape: every received frame and every send looks its stream up,
// a busy connection holds thousands of streams, and ids only increase (both
// peers allocate them upwards, RFC 9113 section 5.1.1), so streams arrive
// and leave in roughly id order. An index by id offset from the oldest live
// stream would be the fastest lookup, but one long-lived stream would pin the
// base while the id range grows with every stream opened after it: memory in
// ids seen, not streams held, which a peer controls. So: an open-addressing
// table of (id, slot) pairs, 8 bytes each, kept at most half full, with a
// multiplicative hash (sequential odd ids spread evenly) and backward-shift
// deletion (no tombstones to pile up under constant churn). Entries live in
// a slab that reuses freed slots, so a connection in steady state allocates
// nothing per stream; the slab is as large as the most streams ever held at
// once, which the concurrency limits bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "h2/stream.hpp"

namespace quillon::h2 {

// The streams kept in the reset store, and how long each stays: late frames
// of a stream we reset are absorbed for that long instead of being treated as
// protocol errors; the cap bounds what a reset flood can make us remember.
inline constexpr size_t kResetStoreCap = 50;
inline constexpr uint64_t kResetStoreTtlNanos = 1'000'000'000;

// One stream as the connection keeps it.
struct Stream {
  uint32_t id = 0;  // 0: a free slab slot
  StreamState state;
  FlowControl send_flow;
  FlowControl recv_flow;
  ContentLength content_length;
  // The driver's handle object for this stream: an owned reference the core
  // never looks into. Whoever removes the stream takes it out and releases
  // it once no lock is held.
  void* handle = nullptr;
  uint64_t send_buffered = 0;  // bytes committed to the pending buffer, not yet credited
  uint64_t unreleased = 0;     // received flow-controlled bytes the application holds
  uint64_t charged = 0;        // DATA-framing budget held by unread chunks
  bool reclaimed = false;      // in-flight receive capacity already given back
  bool holds_slot = false;     // owns one of the client's concurrency slots
  bool active = false;         // counted in the connection's active streams
  bool unpulled = false;       // server: accepted, not yet pulled by the application
  bool marked = false;         // scratch: already collected in the current call
};

class StreamStore {
 public:
  // The stream with `id`, or nullptr. The pointer is valid until the next
  // insert or erase.
  Stream* find(uint32_t id);
  const Stream* find(uint32_t id) const;

  // A fresh entry for `id`, which must not be in the store (and is not 0).
  Stream& insert(uint32_t id);

  // Removes `id` if present and returns its handle (nullptr when absent or
  // without one) for the caller to release.
  void* erase(uint32_t id);

  size_t size() const { return size_; }

  template <class F>
  void for_each(F&& f) {
    for (Stream& s : slab_)
      if (s.id != 0) f(s);
  }
  template <class F>
  void for_each(F&& f) const {
    for (const Stream& s : slab_)
      if (s.id != 0) f(s);
  }

 private:
  struct Slot {
    uint32_t id = 0;  // 0: empty
    uint32_t index = 0;
  };

  size_t home(uint32_t id) const { return (id * 0x9E3779B1u) >> shift_; }
  // The table position holding `id`, or the empty one where it would go.
  size_t probe(uint32_t id) const;
  void grow();

  std::vector<Slot> table_;
  unsigned shift_ = 32;
  std::vector<Stream> slab_;
  std::vector<uint32_t> free_;
  size_t size_ = 0;
};

// Ids of streams we reset recently, each with the monotonic time it was
// recorded (nanoseconds).
class ResetStore {
 public:
  // Drops entries older than the TTL, then records `id` when fewer than the
  // cap remain. False when it was not recorded.
  bool record(uint32_t id, uint64_t now);
  bool contains(uint32_t id) const;
  size_t size() const { return ids_.size(); }

 private:
  struct Entry {
    uint32_t id;
    uint64_t at;
  };
  std::vector<Entry> ids_;  // oldest first
};

}  // namespace quillon::h2
