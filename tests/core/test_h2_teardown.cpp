// How an HTTP/2 stream leaves the connection, on every path: a reset
// received, a reset sent (by the user, on a stream error, by closing an
// unread body, by a server response that ends before its request body),
// both halves ended, a GOAWAY that never processed it, the connection
// failing. Whatever the path, the stream's handle comes back once, the
// capacity it held returns to the connection window exactly once, it stops
// counting as active, and a late sender learns why it stopped. The host
// sees each path through its own result only; these are the ledgers behind
// them. Every call is also held to the wake flag's meaning: set exactly
// when the call queued bytes for the write pump (the driver's only cue to
// write: a missed flag stalls the connection).
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "check.hpp"
#include "h2/conn.hpp"

using namespace quillon::h2;

namespace {

constexpr uint32_t kHeld = 1000;  // received body bytes the application holds
int token;
void* const kHandle = &token;

template <class F>
auto flagged(Connection& c, F&& f) {
  const size_t before = c.pending_size();
  auto r = f();
  uint32_t flags;
  if constexpr (std::is_integral_v<decltype(r)>)
    flags = r;
  else
    flags = r.flags;
  CHECK_EQ((flags & kFlagWake) != 0, c.pending_size() > before);
  return r;
}

Config config(Role role) {
  Config cfg;
  cfg.role = role;
  cfg.max_send_buf_size = 1 << 20;
  return cfg;
}

// Stream 1 with its response (client) or request (server) head received
// and kHeld body bytes received and not yet released.
void open_with_held_body(Connection& c) {
  c.begin();
  c.take_pending();
  HeadersInfo head;
  head.stream_id = 1;
  head.shape = c.is_server() ? HeadShape::Request : HeadShape::Response;
  if (c.is_server()) {
    CHECK(flagged(c, [&] { return c.recv_headers(head, kHandle); }).kind == HeadersKind::Opened);
    c.accepted(1);
  } else {
    CHECK(c.try_claim_slot());
    CHECK(c.open_stream("POST", "https://t.test/", nullptr, false, false, kHandle, std::nullopt, std::nullopt) == 1u);
    CHECK(flagged(c, [&] { return c.recv_headers(head, nullptr); }).kind == HeadersKind::Head);
  }
  CHECK(flagged(c, [&] { return c.recv_data(1, false, kHeld, kHeld); }).deliver);
  CHECK_EQ(c.conn_recv_flow().available(), int32_t(kDefaultInitialWindowSize - kHeld));
  c.take_pending();
}

struct Path {
  const char* name;
  Role role;
  std::function<void(Connection&)> close;
  Stop stop;            // what a late sender is told
  bool in_reset_store;  // frames still in flight on it are ignored
};

const std::vector<Path>& paths() {
  static const std::vector<Path> p = {
      {"peer reset", Role::Client,
       [](Connection& c) {
         ResetResult r = flagged(c, [&] { return c.recv_reset(1, code(Reason::Cancel)); });
         CHECK(r.handle == kHandle && r.notify_body && r.stop->reason == code(Reason::Cancel));
       },
       {code(Reason::Cancel), false}, false},
      {"user reset", Role::Client,
       [](Connection& c) { flagged(c, [&] { return c.reset_stream(1, code(Reason::Cancel), Initiator::User); }); },
       {code(Reason::Cancel), false}, true},
      {"reset on a stream error", Role::Server,
       [](Connection& c) { flagged(c, [&] { return c.reset_on_error(1, code(Reason::ProtocolError)); }); },
       {code(Reason::ProtocolError), false}, true},
      {"unread body closed", Role::Server,
       [](Connection& c) { CHECK(flagged(c, [&] { return c.aclose_body(1); }).handle == kHandle); },
       {code(Reason::Cancel), false}, true},
      {"response ends before the request body", Role::Server,
       [](Connection& c) {
         SendResult r = flagged(c, [&] { return c.send_response_head(1, 200, nullptr, true); });
         CHECK(r.done && r.handle == kHandle && r.reader_stop.reason == code(Reason::NoError));
       },
       {code(Reason::NoError), false}, true},
      {"GOAWAY below the stream", Role::Client,
       [](Connection& c) {
         std::vector<Stopped> aborted;
         flagged(c, [&] { return c.recv_go_away(0, code(Reason::InternalError), "", aborted); });
         CHECK(aborted.size() == 1 && aborted[0].handle == kHandle);
       },
       {code(Reason::InternalError), true}, false},
      {"connection failure", Role::Server,
       [](Connection& c) {
         std::vector<Stopped> out;
         CHECK(!c.fail(nullptr, "transport lost", out));
         CHECK(out.size() == 1 && out[0].handle == kHandle && out[0].stop.conn);
       },
       {std::nullopt, true}, false},
      {"both halves ended", Role::Client,
       [](Connection& c) {
         flagged(c, [&] { return c.send_data(1, "", true); });
         flagged(c, [&] { return c.recv_data(1, true, 0, 0); });
         // Closed, so no longer active, but kept while its bytes are held:
         // their release must still reach the windows.
         CHECK(c.streams().find(1) && c.num_streams() == 0 && c.num_open_streams() == 0 && !c.has_dead());
         flagged(c, [&] { return c.release_capacity(1, kHeld); });
       },
       {std::nullopt, false}, false},
  };
  return p;
}

}  // namespace

TEST_CASE("h2 teardown: every path returns the handle once, the held capacity once, and the stop") {
  for (const Path& p : paths()) {
    const int failed_before = qtest::failures();
    Connection c(config(p.role));
    open_with_held_body(c);
    p.close(c);
    const std::vector<void*> dead = c.take_dead();
    CHECK(dead.size() == 1 && dead[0] == kHandle);
    CHECK(!c.streams().find(1) && c.num_streams() == 0 && c.num_open_streams() == 0);
    CHECK_EQ(c.conn_recv_flow().available(), int32_t(kDefaultInitialWindowSize));
    // A late release of the same bytes gives nothing back a second time.
    CHECK_EQ(flagged(c, [&] { return c.release_capacity(1, kHeld); }), 0u);
    CHECK_EQ(c.conn_recv_flow().available(), int32_t(kDefaultInitialWindowSize));
    SendResult late = flagged(c, [&] { return c.send_data(1, "x", false); });
    CHECK(late.stopped && late.stopped->reason == p.stop.reason && late.stopped->conn == p.stop.conn);
    CHECK_EQ(c.reset_store().contains(1), p.in_reset_store);
    if (qtest::failures() != failed_before) std::fprintf(stderr, "  on the path: %s\n", p.name);
  }
}

TEST_CASE("h2 teardown: frames in flight on a reset stream are ignored until the reset store forgets it") {
  Connection c(config(Role::Server));
  open_with_held_body(c);
  flagged(c, [&] { return c.reset_stream(1, code(Reason::Cancel), Initiator::User); });
  c.take_dead();
  c.take_pending();
  // Ignored, but the connection window still counts the DATA and gets it
  // back: the peer's view of the window must not drift.
  for (int i = 0; i < 40; ++i) {
    const DataResult r = flagged(c, [&] { return c.recv_data(1, false, kHeld, kHeld); });
    CHECK(!r.handle && !r.deliver);
  }
  CHECK_EQ(c.conn_recv_flow().available(), int32_t(kDefaultInitialWindowSize));
  CHECK(c.pending_size() > 0);  // the window came back to the peer as WINDOW_UPDATEs
  HeadersInfo trailers;
  trailers.stream_id = 1;
  trailers.end_stream = true;
  CHECK(flagged(c, [&] { return c.recv_headers(trailers, nullptr); }).kind == HeadersKind::Ignored);
  flagged(c, [&] { return c.recv_reset(1, code(Reason::NoError)); });

  // The store's clock is the monotonic one and cannot be injected: once the
  // entry's time to live has passed, the next recorded reset drops it, and
  // the same frame is now a frame on a closed stream.
  std::this_thread::sleep_for(std::chrono::nanoseconds(kResetStoreTtlNanos) + std::chrono::milliseconds(20));
  flagged(c, [&] { return c.reset_on_error(3, code(Reason::ProtocolError)); });
  CHECK(!c.reset_store().contains(1) && c.reset_store().contains(3));
  bool stream_closed = false;
  try {
    c.recv_data(1, false, 10, 10);
  } catch (const Fault& f) {
    stream_closed = f.kind() == Fault::Kind::Stream;
  }
  CHECK(stream_closed);
}

TEST_CASE("h2 connection: the wake flag is set exactly when a call queued bytes") {
  Connection c(config(Role::Server));
  open_with_held_body(c);
  auto wakes = [&](auto&& call) {
    const auto r = flagged(c, call);
    if constexpr (std::is_integral_v<decltype(r)>)
      return (r & kFlagWake) != 0;
    else
      return (r.flags & kFlagWake) != 0;
  };
  CHECK(wakes([&] { return c.recv_ping(false, "12345678"); }));  // answered
  CHECK(!wakes([&] { return c.recv_ping(true, "12345678"); }));  // an ACK of nothing we sent
  CHECK(!wakes([&] { return c.recv_data(1, false, 30000, 30000); }));
  // Released capacity is announced only once it is worth a WINDOW_UPDATE.
  CHECK(!wakes([&] { return c.release_capacity(1, kHeld); }));
  CHECK(wakes([&] { return c.release_capacity(1, 30000); }));
  CHECK(!wakes([&] { return c.release_capacity(1, 30000); }));  // nothing left to release
  CHECK(wakes([&] { return c.send_response_head(1, 200, nullptr, false); }));
  // DATA until the peer's windows run out; then a sender queues nothing.
  const std::string body(20000, 'x');
  for (int i = 0; i < 4; ++i) CHECK(wakes([&] { return c.send_data(1, body, false); }));
  CHECK(!wakes([&] { return c.send_data(1, body, false); }));
  CHECK_EQ(c.conn_send_flow().window(), 0);
  CHECK(wakes([&] { return c.begin_graceful_shutdown(); }));
  CHECK(!wakes([&] { return c.begin_graceful_shutdown(); }));
}
