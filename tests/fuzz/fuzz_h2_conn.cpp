// Fuzz harness for the HTTP/2 connection's intake: received bytes decoded by
// the connection (server role matching the preface first, or primed), and
// every SETTINGS and PING applied as the driver would. Input layout:
//   byte 0: bit 0 server role, bit 1 prepend the client preface,
//           bit 2 prime the first piece instead of receiving it,
//           bits 3..7 how many open streams the store starts with
//   byte 1: seed for the sizes of the pieces the rest is fed in
//   rest:   the bytes received
// Checks: no crash or sanitizer report; a failed decoder keeps failing; the
// pending buffer only ever holds whole frames; every wake handle is a stream
// of the store; send windows stay within the signed 31-bit range the flow
// control allows.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "h2/conn.hpp"

using namespace quillon::h2;

namespace {

// The pending buffer is a run of complete frames.
void check_frames(std::string_view out) {
  while (!out.empty()) {
    FUZZ_ASSERT(out.size() >= kFrameHeaderLen);
    const uint32_t len = (uint32_t(uint8_t(out[0])) << 16) | (uint32_t(uint8_t(out[1])) << 8) | uint8_t(out[2]);
    FUZZ_ASSERT(out.size() >= kFrameHeaderLen + len);
    out.remove_prefix(kFrameHeaderLen + len);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in{data, size};
  const uint8_t mode = in.byte();
  uint32_t seed = in.byte();
  Config cfg;
  cfg.role = (mode & 1) ? Role::Server : Role::Client;
  cfg.initial_window_size = 1000;
  cfg.connection_window = 1 << 20;
  Connection c(cfg);
  c.begin();
  {
    const std::string taken = c.take_pending();
    std::string_view hello = taken;
    if (!c.is_server()) {
      FUZZ_ASSERT(hello.substr(0, kPreface.size()) == kPreface);
      hello.remove_prefix(kPreface.size());
    }
    check_frames(hello);
  }
  int tokens[32];
  for (uint32_t i = 0; i < (mode >> 3); ++i) {
    Stream& s = c.streams().insert(2 * i + 1);
    s.send_flow = FlowControl(65535, 65535);
    s.handle = &tokens[i];
    if (i % 3 == 0) s.state.send_open(i % 2 == 0);
    if (i % 3 == 1) s.state.recv_open(false, false);
  }
  std::string input = (mode & 2) ? std::string(kPreface) : std::string();
  input.append(in.bytes(size));
  std::string_view rest = input;

  bool failed = false;
  bool first = true;
  while (!rest.empty()) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(rest.size(), 1 + (seed >> 16) % 64);
    const std::string_view piece = rest.substr(0, n);
    rest.remove_prefix(n);
    std::vector<Frame> frames;
    if (first && (mode & 4)) {
      first = false;
      c.prime(piece);
      continue;
    }
    first = false;
    try {
      c.receive(piece, frames);
      FUZZ_ASSERT(!failed);
    } catch (const Fault& f) {
      FUZZ_ASSERT(f.kind() == Fault::Kind::Protocol);
      failed = true;
    }
    for (Frame& fr : frames) {
      try {
        if (auto* s = std::get_if<SettingsFrame>(&fr)) {
          bool initial = false;
          std::vector<void*> wake;
          c.recv_settings(*s, initial, wake, [&](auto&& apply) { apply(c); });
          for (void* h : wake) FUZZ_ASSERT(h >= static_cast<void*>(tokens) && h < static_cast<void*>(tokens + 32));
        } else if (auto* p = std::get_if<PingFrame>(&fr)) {
          c.recv_ping(p->ack, std::string_view(p->data, sizeof p->data));
        }
      } catch (const Fault&) {
        // A protocol, flow-control or value error: the driver fails the connection.
      }
    }
    check_frames(c.take_pending());
  }
  std::vector<void*> handles;
  c.take_handles(handles);
  return 0;
}
