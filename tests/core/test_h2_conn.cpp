// SETTINGS applied to a connection's streams and decoder: the host can open
// no stream through this object yet, so the store is filled here, and the
// decoder's limits are read back directly.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "h2/conn.hpp"

using namespace quillon::h2;

namespace {

template <class F>
Fault::Kind fault_of(F&& f) {
  try {
    f();
  } catch (const Fault& fault) {
    return fault.kind();
  }
  return static_cast<Fault::Kind>(255);
}

// A stream in the store with a window pair on each side and a handle.
Stream& add(Connection& c, uint32_t id, int32_t window, void* handle) {
  Stream& s = c.streams().insert(id);
  s.send_flow = FlowControl(window, window);
  s.recv_flow = FlowControl(window, window);
  s.handle = handle;
  return s;
}

}  // namespace

TEST_CASE("h2 connection: a peer INITIAL_WINDOW_SIZE change moves open send windows") {
  Config cfg;
  Connection c(cfg);
  int open = 0, half_local = 0, half_remote = 0, reserved = 0;
  add(c, 1, 65535, &open).state.send_open(false);
  add(c, 3, 65535, &half_local).state.send_open(true);
  Stream& hr = add(c, 5, 65535, &half_remote);
  hr.state.send_open(false);
  hr.state.recv_open(true, false);
  add(c, 7, 65535, &reserved).state.reserve_remote();

  SettingsFrame down;
  down.initial_window_size = 100;
  bool initial = false;
  std::vector<void*> wake;
  auto no_codec = [](auto&&) { CHECK(!"the decoder is only needed for an ACK"); };
  c.recv_settings(down, initial, wake, no_codec);
  CHECK(initial && wake.empty());
  CHECK_EQ(c.streams().find(1)->send_flow.window(), 100);
  CHECK_EQ(c.peer_initial_window_size(), 100u);
  // Spend the window, then shrink it below zero.
  c.streams().find(1)->send_flow.send_data(100);
  SettingsFrame lower;
  lower.initial_window_size = 0;
  c.recv_settings(lower, initial, wake, no_codec);
  CHECK_EQ(c.streams().find(1)->send_flow.window(), -100);
  CHECK_EQ(c.streams().find(3)->send_flow.window(), 65535);  // our half is closed: untouched
  CHECK_EQ(c.streams().find(7)->send_flow.window(), 65535);

  SettingsFrame up;
  up.initial_window_size = 1000;
  c.recv_settings(up, initial, wake, no_codec);
  CHECK(!initial);
  CHECK(wake.size() == 2 && wake[0] == &open && wake[1] == &half_remote);
  CHECK_EQ(c.streams().find(1)->send_flow.window(), 900);

  // A change that would push a window past 2^31-1 is a flow-control error.
  c.streams().find(1)->send_flow.inc_window(FlowControl::kMaxWindow - 900);
  SettingsFrame huge;
  huge.initial_window_size = 2000;
  CHECK(fault_of([&] { c.recv_settings(huge, initial, wake, no_codec); }) == Fault::Kind::FlowControl);
  c.take_handles(wake);
}

TEST_CASE("h2 connection: our acknowledged window reaches every stream's receive window") {
  Config cfg;
  cfg.initial_window_size = 1000;
  Connection c(cfg);
  CHECK_EQ(c.recv_initial_window(), 65535u);  // the default holds until the ACK
  add(c, 1, 65535, nullptr);
  c.begin();
  SettingsFrame ack;
  ack.ack = true;
  bool initial = true, applied = false;
  std::vector<void*> wake;
  c.recv_settings(ack, initial, wake, [&](auto&& f) {
    applied = true;
    f(c);
  });
  CHECK(applied && !initial);
  CHECK_EQ(c.recv_initial_window(), 1000u);
  CHECK_EQ(c.streams().find(1)->recv_flow.window(), 1000);
  CHECK_EQ(c.streams().find(1)->recv_flow.available(), 1000);
  CHECK(c.settings_state() == Connection::SettingsAck::Acked);
}

TEST_CASE("h2 connection: our header-list limits hold from the first byte, the frame size once acknowledged") {
  Config cfg;
  cfg.max_frame_size = 32768;
  cfg.max_header_list_size = 16384;
  Connection c(cfg);
  c.begin();
  // A 20000-byte DATA frame: too large for the default 16384 until the ACK.
  std::string big(9, '\0');
  big[0] = 0;
  big[1] = static_cast<char>(20000 >> 8);
  big[2] = static_cast<char>(20000 & 0xff);
  big[8] = 1;  // stream 1
  big.append(20000, 'x');
  {
    Connection early(cfg);
    std::vector<Frame> out;
    CHECK(fault_of([&] { early.receive(big, out); }) == Fault::Kind::Protocol);
  }
  {
    // The peer's ACK and a large frame in one read: the frame follows the
    // ACK on the wire, so it is within the limit in force.
    Connection same_read(cfg);
    same_read.begin();
    std::string read;
    encode_settings_ack(read);
    read += big;
    std::vector<Frame> out;
    same_read.receive(read, out);
    CHECK(out.size() == 2 && std::get<DataFrame>(out[1]).data().size() == 20000);
  }
  // 16384 bytes of header list in 16384-byte frames: five CONTINUATION
  // frames before the ACK, not the 1280 of the 16 MiB protocol default.
  const uint64_t continuations_before = c.engine().max_continuation_frames();
  CHECK_EQ(continuations_before, 5u);
  SettingsFrame ack;
  ack.ack = true;
  bool initial = false;
  std::vector<void*> wake;
  c.recv_settings(ack, initial, wake, [&](auto&& f) { f(c); });
  std::vector<Frame> out;
  c.receive(big, out);
  CHECK(out.size() == 1 && std::get<DataFrame>(out[0]).data().size() == 20000);
  // The acknowledgement may lower the allowance, never raise it.
  CHECK(c.engine().max_continuation_frames() <= continuations_before);
}
