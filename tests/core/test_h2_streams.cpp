// The HTTP/2 stream store under churn (against std::map) and the reset
// store's expiry and cap: internals the host only sees through lookups.
#include <cstdint>
#include <map>
#include <random>

#include "check.hpp"
#include "h2/stream_store.hpp"

using namespace quillon::h2;

TEST_CASE("h2 stream store: lookups agree with a map under random churn") {
  std::mt19937 rng(7);
  StreamStore store;
  std::map<uint32_t, uint64_t> model;
  uint32_t next = 1;
  for (int step = 0; step < 200000; ++step) {
    const unsigned op = rng() % 8;
    if (op < 3 || model.empty()) {
      // New streams only ever get higher ids.
      Stream& s = store.insert(next);
      s.send_buffered = next * 3ull;
      model[next] = next * 3ull;
      next += 2;
    } else if (op < 6) {
      // Mostly the oldest streams finish; sometimes any of them.
      auto it = model.begin();
      if (rng() % 4 == 0) std::advance(it, rng() % model.size());
      const uint32_t id = it->first;
      model.erase(it);
      CHECK(store.erase(id) == nullptr);
      CHECK(store.find(id) == nullptr);
    } else {
      const uint32_t id = 1 + 2 * (rng() % (next / 2 + 1));
      const Stream* s = store.find(id);
      auto it = model.find(id);
      CHECK((s != nullptr) == (it != model.end()));
      if (s && it != model.end()) CHECK_EQ(s->send_buffered, it->second);
    }
    CHECK_EQ(store.size(), model.size());
  }
  size_t seen = 0;
  store.for_each([&](const Stream& s) {
    ++seen;
    CHECK(model.count(s.id) == 1);
  });
  CHECK_EQ(seen, model.size());
}

TEST_CASE("h2 stream store: erase hands back the handle and recycles the slot clean") {
  StreamStore store;
  int token = 0;
  Stream& s = store.insert(1);
  s.handle = &token;
  s.state.set_reset(1, 8, Initiator::User);
  CHECK(store.erase(1) == &token);
  CHECK(store.erase(1) == nullptr);
  Stream& t = store.insert(3);
  CHECK(t.handle == nullptr && t.state.is_idle() && t.id == 3);
}

TEST_CASE("h2 reset store: entries expire after the TTL and the cap holds") {
  ResetStore r;
  for (uint32_t i = 0; i < kResetStoreCap; ++i) CHECK(r.record(2 * i + 1, i));
  CHECK(!r.record(1001, kResetStoreCap));  // full, nothing old enough to drop
  CHECK(r.contains(1) && !r.contains(1001));
  // Past the TTL of the first ten entries: they make room.
  CHECK(r.record(1001, kResetStoreTtlNanos + 10));
  CHECK(!r.contains(1) && !r.contains(19) && r.contains(21) && r.contains(1001));
  CHECK_EQ(r.size(), kResetStoreCap - 10 + 1);
}

