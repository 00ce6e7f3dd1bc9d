// Fuzz harness for the HTTP/2 frame engine with HPACK behind it. The input
// is read as a script of frames, so even random bytes make well-framed
// traffic that reaches the per-type checks and the header-block logic:
//   byte 0: bit 0 server role (preface expected), bits 1..2 a smaller max
//           header list size, bit 3 a decoder table size update queued
//   then per frame: type, flags, stream id (0..3), a payload source byte
//           (raw bytes, or a header block our encoder made from the
//           input's fields), a length byte; occasionally a header that
//           lies about its length. Unless the source byte asks otherwise,
//           fixed-size frames get their size, HEADERS plain flags and
//           CONTINUATION the open block's stream, so most scripts get far.
//   the last byte seeds the sizes of the pieces the stream is fed in.
// Checks: no crash or sanitizer report; feeding in pieces gives the records
// and the error of feeding whole; DATA payloads and header lists respect
// their bounds; the read buffer never holds a whole frame after a call.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "h2/frames.hpp"

using namespace quillon::h2;

namespace {

std::string describe(const Frame& f) {
  struct V {
    std::string operator()(const DataFrame& d) {
      return "D" + std::to_string(d.stream_id) + (d.end_stream ? "e" : "") + std::to_string(d.flow_controlled_len) +
             ":" + std::string(d.data());
    }
    std::string operator()(const HeadersFrame& h) {
      std::string s = "H" + std::to_string(h.stream_id) + (h.end_stream ? "e" : "");
      for (const auto* p : {&h.method, &h.scheme, &h.authority, &h.path, &h.protocol}) s += p->has_value() ? "[" + **p + "]" : "-";
      s += h.status ? std::to_string(*h.status) : "-";
      h.headers.for_each([&](std::string_view n, std::string_view v) {
        s.append(n).append(":").append(v).append(";");
      });
      s += h.content_length ? std::to_string(*h.content_length) : (h.content_length_invalid ? "!" : "-");
      return s;
    }
    std::string operator()(const PriorityFrame& p) { return "P" + std::to_string(p.stream_id); }
    std::string operator()(const RstStreamFrame& r) { return "R" + std::to_string(r.stream_id) + "/" + std::to_string(r.error_code); }
    std::string operator()(const SettingsFrame& s) {
      std::string o = s.ack ? "Sa" : "S";
      for (const auto* v : {&s.header_table_size, &s.max_concurrent_streams, &s.initial_window_size, &s.max_frame_size,
                            &s.max_header_list_size})
        o += v->has_value() ? std::to_string(**v) + "," : "-,";
      return o + (s.enable_push ? (*s.enable_push ? "1" : "0") : "-");
    }
    std::string operator()(const PingFrame& p) { return std::string(p.ack ? "Ia" : "I") + std::string(p.data, 8); }
    std::string operator()(const GoAwayFrame& g) {
      return "G" + std::to_string(g.last_stream_id) + "/" + std::to_string(g.error_code) + g.debug_data;
    }
    std::string operator()(const WindowUpdateFrame& w) {
      return "W" + std::to_string(w.stream_id) + "/" + std::to_string(w.increment);
    }
    std::string operator()(const StreamErrorFrame& e) { return "E" + std::to_string(e.stream_id); }
  };
  return std::visit(V{}, f);
}

struct Run {
  std::vector<std::string> records;
  std::string error;
};

void configure(Engine& e, uint8_t cfg) {
  if (cfg & 1) e.expect_preface();
  if (cfg & 6) e.set_max_header_list_size(uint64_t{64} << (cfg & 6));
  if (cfg & 8) e.set_recv_header_table_size(256);
}

void collect(Engine& e, uint64_t max_list, std::vector<Frame>& frames, Run& r) {
  for (const Frame& f : frames) {
    if (const auto* h = std::get_if<HeadersFrame>(&f)) {
      // Kept fields stay below the advertised list size.
      uint64_t size = 0;
      h->headers.for_each([&](std::string_view n, std::string_view v) { size += n.size() + v.size() + 32; });
      FUZZ_ASSERT(size <= max_list);
    }
    if (const auto* d = std::get_if<DataFrame>(&f)) FUZZ_ASSERT(d->data().size() <= d->flow_controlled_len);
    r.records.push_back(describe(f));
  }
  frames.clear();
  FUZZ_ASSERT(e.buffered() < kFrameHeaderLen + kDefaultMaxFrameSize);
}

Run feed(uint8_t cfg, std::string_view wire, uint32_t seed, bool whole) {
  Engine e(true);
  configure(e, cfg);
  const uint64_t max_list = (cfg & 6) ? uint64_t{64} << (cfg & 6) : kDefaultMaxHeaderListSize;
  Run r;
  std::vector<Frame> frames;
  uint32_t s = seed;
  while (!wire.empty()) {
    s = s * 1103515245u + 12345u;
    size_t n = whole ? wire.size() : 1 + ((s >> 16) % ((s & 0x100) ? 200 : 10));
    n = std::min(n, wire.size());
    // The engine may keep views of the input only during the call.
    const std::string piece(wire.substr(0, n));
    wire.remove_prefix(n);
    Fault f = e.receive(piece, frames);
    if (f) {
      r.error = f.message();
      return r;
    }
    collect(e, max_list, frames, r);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fuzz::Reader in{data, size - 1};
  const uint32_t seed = data[size - 1];
  const uint8_t cfg = in.byte();
  std::string wire;
  if (cfg & 1) wire.append(kPreface);
  Engine encoder(true);
  uint32_t headers_sid = 1;
  while (in.more()) {
    uint8_t type = in.byte() % 11;
    uint8_t flags = in.byte();
    uint32_t sid = in.byte() % 4;
    const uint8_t source = in.byte();
    if (type == kPushPromise && !(source & 0x40)) type = kHeaders;  // always a connection error
    // Mostly well-formed header traffic, so the block logic is reached:
    // plain flags unless asked otherwise, CONTINUATION on the open block.
    if (type == kHeaders && !(source & 0x10)) flags &= kEndHeaders | kEndStream;
    if (type == kHeaders) headers_sid = sid;
    if (type == kContinuation && (source & 0x08)) sid = headers_sid;
    std::string payload;
    if ((type == kHeaders || type == kContinuation) && (source & 3) == 0) {
      // A real header block from our encoder, cut to a random fragment.
      quillon::http::HeaderMapCore h;
      const size_t fields = in.byte() % 6;
      for (size_t i = 0; i < fields; ++i) {
        static const char* const names[] = {"a", "cookie", "content-length", "te", "x-long-name", "connection"};
        std::string_view v = in.bytes(in.byte() % 40);
        std::string value;
        for (char c : v) value.push_back(static_cast<char>('!' + static_cast<unsigned char>(c) % 90));
        h.add(names[in.byte() % 6], value);
      }
      std::string frames;
      encoder.encode_response(1, 200 + (source >> 2), &h, false, false, frames);
      payload.assign(frames, kFrameHeaderLen);
      payload.resize(std::min<size_t>(payload.size(), in.byte() + 1u));
    } else {
      size_t n = in.byte();
      // Mostly the sizes the fixed-size types need, so decoding goes on.
      if (!(source & 0x40)) {
        switch (type) {
          case kPriority: n = 5; break;
          case kRstStream: case kWindowUpdate: n = 4; break;
          case kPing: n = 8; break;
          case kSettings: n = n / 6 * 6; break;
          case kGoAway: n = std::max<size_t>(n, 8); break;
          default: break;
        }
      }
      payload.assign(in.bytes(n));
      payload.resize(n, '\x01');
    }
    uint32_t len = static_cast<uint32_t>(payload.size());
    if (source == 0xFF) len = 16385 + in.byte();  // a lying, oversized header
    char h[kFrameHeaderLen];
    write_frame_header(h, len, type, flags, sid);
    wire.append(h, kFrameHeaderLen).append(payload);
  }

  Run whole = feed(cfg, wire, seed, true);
  Run pieces = feed(cfg, wire, seed, false);
  FUZZ_ASSERT(whole.error == pieces.error);
  if (whole.error.empty()) FUZZ_ASSERT(whole.records == pieces.records);
  return 0;
}
