// Fuzz harness for the HTTP/2 connection's intake: received bytes decoded by
// the connection (server role matching the preface first, or primed), and
// every record applied as the driver would: SETTINGS, PING, HEADERS, DATA,
// WINDOW_UPDATE, RST_STREAM and GOAWAY, with a stream error answered by
// reset_on_error, received bytes released (sometimes twice, sometimes not at
// all), responses and body data sent back, batches taken and credited.
// Input layout:
//   byte 0: bit 0 server role, bit 1 prepend the client preface,
//           bit 2 prime the first piece instead of receiving it,
//           bits 3..6 how many open streams the store starts with,
//           bit 7 never apply a SETTINGS ACK (our limits must hold anyway)
//   byte 1: bits 0..6 seed for the sizes of the pieces the rest is fed in;
//           bit 7 script mode
//   rest:   the bytes received, or in script mode a script of frames that
//           a peer engine encodes (so header blocks decode and most frames
//           reach the stream logic): per frame a kind byte, a flags byte, a
//           stream id byte (small ids, odd and even), a size byte and the
//           payload bytes it calls for
// Checks: no crash or sanitizer report; a failed decoder keeps failing; no
// head keeps more than our header-list size, nor one receive call more than
// its batch bound, ACK or no ACK; a backlog is drained by calls with no new
// bytes; the pending buffer only ever holds whole frames; every handle handed back is
// one of ours; the connection receive capacity never exceeds what we
// advertise; the counted active streams match the store; every handle
// comes back exactly once (through the dead list or the final take).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "h2/conn.hpp"

using namespace quillon::h2;

namespace {

// Frames from the script, encoded as a peer of `role` would send them.
std::string script_frames(fuzz::Reader& in, bool peer_is_client) {
  Engine peer(peer_is_client);
  std::string out;
  while (in.more()) {
    const uint8_t kind = in.byte() % 9;
    const uint8_t flags = in.byte();
    const uint32_t sid = in.byte() % 24;
    const uint8_t size = in.byte();
    switch (kind) {
      case 0:
      case 1:
      case 2: {  // DATA, the most common frame: plain or padded
        const std::string_view payload = in.bytes(size);
        const bool padded = flags & 0x8;
        const uint32_t pad = padded ? flags >> 4 : 0;
        const uint32_t len = static_cast<uint32_t>(payload.size()) + (padded ? 1 + pad : 0);
        char hdr[kFrameHeaderLen];
        write_frame_header(hdr, len, kData, static_cast<uint8_t>((flags & kEndStream) | (padded ? kPadded : 0)), sid);
        out.append(hdr, sizeof hdr);
        if (padded) out.push_back(static_cast<char>(pad));
        out.append(payload);
        out.append(pad, '\0');
        break;
      }
      case 3:
      case 4: {  // HEADERS: a request, a response, a 1xx or a trailer block
        quillon::http::HeaderMapCore fields;
        if (flags & 0x10) fields.add("content-length", std::to_string(size % 8));
        if (flags & 0x20) fields.add("content-length", "x1");
        Fault f;
        if ((flags & 0xC0) == 0xC0) {
          f = peer.encode_trailers(sid, fields, out);
        } else if (peer_is_client) {
          f = peer.encode_request(sid, (flags & 0x40) ? "HEAD" : "POST", "https://f.test/", &fields, flags & kEndStream,
                                  std::nullopt, std::nullopt, out);
        } else {
          f = peer.encode_response(sid, (flags & 0x40) ? 103 : 200, &fields, flags & kEndStream, false, out);
        }
        break;
      }
      case 5:
        encode_window_update(sid, size ? size * 257u : 0x7FFFFFFFu, out);
        break;
      case 6:
        encode_rst_stream(sid, size % 14, out);
        break;
      case 7: {
        const char payload[8] = {'S', 'H', 'U', 'T', 'D', 'O', 'W', 'N'};
        if (flags & 1) {
          encode_ping(payload, flags & 2, out);
        } else {
          SettingsValues v;
          if (flags & 2) v.initial_window_size = size * 1000u;
          if (flags & 4) v.max_concurrent_streams = size % 4;
          if (flags & 8) {
            encode_settings_ack(out);
          } else {
            encode_settings(v, out);
          }
        }
        break;
      }
      case 8:
        encode_go_away(size, flags % 14, in.bytes(flags >> 5), out);
        break;
    }
  }
  return out;
}

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
  const uint8_t piece_byte = in.byte();
  uint32_t seed = piece_byte & 0x7F;
  const bool script = piece_byte & 0x80;
  Config cfg;
  cfg.role = (mode & 1) ? Role::Server : Role::Client;
  cfg.initial_window_size = 1000;
  cfg.connection_window = 1 << 20;
  cfg.max_send_buf_size = 4096;
  cfg.max_concurrent_streams = 6;
  cfg.max_pending_accept_reset_streams = 4;
  cfg.max_local_error_reset_streams = 64;
  cfg.max_header_list_size = 4096;
  cfg.max_batch_header_bytes = 128;  // small, so reads often leave a backlog
  const bool never_ack = mode & 0x80;
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
  // Handles are slots of this array; each is handed to the connection once
  // and must come back once.
  static constexpr size_t kTokens = 4096;
  static char tokens[kTokens];
  std::vector<uint8_t> returned(kTokens, 0);
  size_t next_token = 0;
  auto token = [&]() -> void* { return next_token < kTokens ? &tokens[next_token++] : nullptr; };
  auto ours = [&](void* h) { return h >= static_cast<void*>(tokens) && h < static_cast<void*>(tokens + kTokens); };
  auto give_back = [&](void* h) {
    FUZZ_ASSERT(ours(h));
    const size_t i = static_cast<char*>(h) - tokens;
    FUZZ_ASSERT(!returned[i]);
    returned[i] = 1;
  };
  auto drain = [&] {
    for (void* h : c.take_dead()) give_back(h);
  };
  // Client streams opened the public way: their ids and windows are real.
  for (uint32_t i = 0; i < ((mode >> 3) & 0xF); ++i) {
    if (!c.try_claim_slot()) break;
    void* h = token();
    try {
      if (!c.open_stream(i % 2 ? "GET" : "POST", "https://fuzz.test/", nullptr, i % 3 == 0, i % 5 == 0, h,
                         std::nullopt, std::nullopt))
        give_back(h);
    } catch (const Fault&) {
      give_back(h);
    }
  }
  drain();
  std::string input = (mode & 2) ? std::string(kPreface) : std::string();
  if (script) {
    input.append(script_frames(in, c.is_server()));
  } else {
    input.append(in.bytes(size));
  }
  std::string_view rest = input;

  bool failed = false;
  bool first = true;
  while (!rest.empty()) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(rest.size(), 1 + (seed >> 16) % 64);
    const std::string_view piece = rest.substr(0, n);
    rest.remove_prefix(n);
    if (first && (mode & 4)) {
      first = false;
      c.prime(piece);
      continue;
    }
    first = false;
    // The documented pattern: the piece, then calls with no new bytes while
    // a backlog waits.
    std::string_view feed = piece;
    for (bool more = true; more;) {
      std::vector<Frame> frames;
      try {
        c.receive(feed, frames);
        FUZZ_ASSERT(!failed);
      } catch (const Fault& f) {
        FUZZ_ASSERT(f.kind() == Fault::Kind::Protocol);
        failed = true;
      }
      feed = {};
      more = !failed && c.backlog();
      uint64_t batch = 0;
      for (const Frame& fr : frames) {
        const auto* h = std::get_if<HeadersFrame>(&fr);
        if (!h) continue;
        uint64_t kept = 0;
        h->headers.for_each([&](std::string_view n, std::string_view v) { kept += n.size() + v.size() + 32; });
        FUZZ_ASSERT(kept <= cfg.max_header_list_size);
        batch += kept;
      }
      FUZZ_ASSERT(batch <= cfg.max_batch_header_bytes + cfg.max_header_list_size);
      for (Frame& fr : frames) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t choice = seed >> 24;
        uint32_t sid = 0;
        try {
          if (auto* s = std::get_if<SettingsFrame>(&fr)) {
            if (s->ack && never_ack) continue;
            bool initial = false;
            std::vector<void*> wake;
            c.recv_settings(*s, initial, wake, [&](auto&& apply) { apply(c); });
            for (void* h : wake) FUZZ_ASSERT(ours(h));
          } else if (auto* p = std::get_if<PingFrame>(&fr)) {
            c.recv_ping(p->ack, std::string_view(p->data, sizeof p->data));
          } else if (auto* h = std::get_if<HeadersFrame>(&fr)) {
            sid = h->stream_id;
            const HeadersInfo info = HeadersInfo::of(*h);
            void* spare = c.is_server() ? token() : nullptr;
            HeadersResult r;
            try {
              r = c.recv_headers(info, spare);
            } catch (...) {
              if (spare) give_back(spare);
              throw;
            }
            if (r.kind != HeadersKind::Opened && spare) give_back(spare);
            if (r.handle) FUZZ_ASSERT(ours(r.handle));
            if (r.kind == HeadersKind::Opened) {
              if (choice & 1) c.accepted(sid);
              if (choice & 2) c.send_response_head(sid, 200, nullptr, choice & 4);
            }
          } else if (auto* d = std::get_if<DataFrame>(&fr)) {
            sid = d->stream_id;
            const DataResult r = c.recv_data(sid, d->end_stream, d->flow_controlled_len, d->data().size());
            if (r.handle) FUZZ_ASSERT(ours(r.handle));
            if (r.budgeted && (choice & 1)) c.release_data_frame(sid, d->data().size());
            if (choice & 2) c.release_capacity(sid, d->data().size() * ((choice >> 2) % 3));
            if ((choice & 0x30) == 0x30) c.aclose_body(sid);
            if ((choice & 0xC0) == 0xC0) c.send_data(sid, d->data(), choice & 8);
          } else if (auto* w = std::get_if<WindowUpdateFrame>(&fr)) {
            sid = w->stream_id;
            std::vector<void*> wake;
            c.recv_window_update(sid, w->increment, wake);
            for (void* h : wake) FUZZ_ASSERT(ours(h));
          } else if (auto* r = std::get_if<RstStreamFrame>(&fr)) {
            sid = r->stream_id;
            c.recv_reset(sid, r->error_code);
          } else if (auto* g = std::get_if<GoAwayFrame>(&fr)) {
            std::vector<Stopped> aborted;
            c.recv_go_away(g->last_stream_id, g->error_code, g->debug_data, aborted);
            for (const Stopped& a : aborted) FUZZ_ASSERT(!a.handle || ours(a.handle));
            c.maybe_goaway_reply();
          } else if (auto* e = std::get_if<StreamErrorFrame>(&fr)) {
            c.reset_on_error(e->stream_id, e->error_code);
          }
        } catch (const Fault& f) {
          // A stream error is answered by resetting the stream; anything else
          // fails the connection, which the driver then records.
          drain();
          try {
            if (f.kind() == Fault::Kind::Stream) {
              c.reset_on_error(sid, f.error().reason);
            } else if (choice & 1) {
              std::vector<Stopped> out;
              c.fail(nullptr, "fuzz", out);
            }
          } catch (const Fault&) {
          }
        }
        drain();
        FUZZ_ASSERT(c.conn_recv_flow().available() <= std::max<int64_t>(cfg.connection_window, 65535));
        uint64_t active = 0;
        c.streams().for_each([&](const Stream& s) { active += s.active; });
        FUZZ_ASSERT(active == c.num_streams());
      }
    }
    check_frames(c.take_pending());
    std::vector<void*> wake;
    c.credit_written(wake);
    for (void* h : wake) FUZZ_ASSERT(ours(h));
  }
  std::vector<void*> handles;
  c.take_handles(handles);
  for (void* h : handles) give_back(h);
  for (size_t i = 0; i < next_token; ++i) FUZZ_ASSERT(returned[i]);
  return 0;
}
