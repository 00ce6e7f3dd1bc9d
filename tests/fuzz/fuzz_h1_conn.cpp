// Fuzz harness for the HTTP/1 connection states (h1/conn.hpp): random
// sequences of every step of one client or server state, driven through a
// host of counted references (tests/core/h1_conn_host.hpp), with the server
// fed a pipelined run of requests in random pieces through heads, body
// reads, drains and watcher reads.
// Input layout:
//   byte 0: bit 0 server role, bit 1 keep-alive, bit 2 half-close,
//           bit 3 corrupt one byte of the requests, bits 4..7 how many
//           requests (server)
//   then the server's request kinds, one byte each, and the corrupted
//           position (two bytes) when bit 3 is set
//   rest:   one operation per byte, its arguments in the bytes after it
// Checks: no crash or sanitizer report; no reference released inside a
// step; the transport handed to a closer at most once, and only the one
// given in; a connection never reopens and a hand-off is never undone;
// request seqs count up by one; what the server still holds of the fed
// bytes is always a contiguous tail of them (nothing lost, duplicated or
// reordered), and uncorrupted requests arrive in order; after clear() the
// state holds nothing.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../core/h1_conn_host.hpp"
#include "fuzz_support.hpp"

using namespace quillon::h1;
using h1host::Ref;
using h1host::World;

namespace {

struct Transport {
  Ref ref = Ref::make();
  int handed = 0;
  void handed_back(const Ref& r) {
    if (!r) return;
    FUZZ_ASSERT(r == ref);
    FUZZ_ASSERT(++handed == 1);
  }
};

template <class Core, class H, class F>
decltype(auto) run(Core& c, H& h, F&& f) {
  struct Check {
    ~Check() { FUZZ_ASSERT(World::get().released_in_step == 0); }
  } check;
  return h1host::step(c, h, std::forward<F>(f));
}

Ref maybe_ref(fuzz::Reader& in) { return in.byte() & 1 ? Ref::make() : Ref(); }

// A watcher read: EOF, an error, or some bytes.
std::pair<Ref, Ref> watcher_read(fuzz::Reader& in, std::string_view bytes) {
  switch (in.byte() % 3) {
    case 0:
      return {Ref::make_bytes(""), Ref()};
    case 1:
      return {Ref(), Ref::make()};
    default:
      return {Ref::make_bytes(bytes), Ref()};
  }
}

void run_client(fuzz::Reader& in) {
  h1host::Host host;
  Transport t;
  ClientConn<h1host::Host> c(t.ref);
  bool was_closed = false, was_upgraded = false;
  while (in.more()) {
    switch (in.byte() % 12) {
      case 0:
        run(c, host, [&](auto& c, auto&) { return c.exchange(ClientConn<h1host::Host>::ExchangeEvent(in.byte() % 3)); });
        break;
      case 1:
        t.handed_back(run(c, host, [&](auto& c, auto& h) { return c.fail(maybe_ref(in), h); }));
        break;
      case 2:
        switch (in.byte() % 3) {
          case 0:
            t.handed_back(run(c, host, [](auto& c, auto&) { return c.close(); }));
            break;
          case 1:
            t.handed_back(run(c, host, [](auto& c, auto&) { return c.mark_closed(); }).transport);
            break;
          default:
            t.handed_back(run(c, host, [](auto& c, auto&) { return c.upgrade(); }));
        }
        break;
      case 3: {
        Ref scope = Ref::make();
        const int id = scope.id();
        Ref back = run(c, host, [&](auto& c, auto& h) { return c.store_writer(std::move(scope), h); });
        FUZZ_ASSERT(!back || (back.id() == id && c.closed()));
        break;
      }
      case 4:
        run(c, host, [](auto& c, auto&) { return c.take_writer(); });
        break;
      case 5:
        run(c, host, [](auto& c, auto&) { c.writer_done(); });
        break;
      case 6:
        run(c, host, [](auto& c, auto& h) { return c.arm_watcher(Ref::make(), h); });
        break;
      case 7:
        run(c, host, [](auto& c, auto&) { return c.store_watcher_handle(Ref::make()); });
        break;
      case 8:
        run(c, host, [](auto& c, auto& h) { c.watcher_aborted(h); });
        break;
      case 9: {
        auto [data, error] = watcher_read(in, "x");
        auto [verdict, tr] = run(c, host, [&](auto& c, auto& h) {
          return c.watcher_completed(std::move(data), std::move(error), h);
        });
        FUZZ_ASSERT(!tr || verdict == Watch::IdleEof);
        t.handed_back(tr);
        break;
      }
      case 10:
        if (in.byte() & 1)
          run(c, host, [](auto& c, auto& h) { return c.take_watcher_handle(h); });
        else
          run(c, host, [](auto& c, auto& h) { return c.take_watcher_result(h); });
        break;
      default:
        run(c, host, [&](auto& c, auto&) { c.set_peer_http10(in.byte() & 1); });
    }
    FUZZ_ASSERT(!was_closed || c.closed());
    FUZZ_ASSERT(!was_upgraded || c.upgraded());
    FUZZ_ASSERT(!c.upgraded() || !c.transport_ref());
    was_closed = c.closed();
    was_upgraded = c.upgraded();
  }
  run(c, host, [](auto& c, auto& h) { c.clear(h); });
  FUZZ_ASSERT(h1host::held(c).empty());
}

// Pipelined requests, numbered in their targets from 1.
std::string requests(fuzz::Reader& in, unsigned n) {
  std::string w;
  for (unsigned i = 1; i <= n; ++i) {
    const std::string num = std::to_string(i);
    const uint8_t kind = in.byte();
    switch (kind % 7) {
      case 0:
        w += "GET /" + num + " HTTP/1.1\r\nhost: h\r\n\r\n";
        break;
      case 1:
        w += "POST /" + num + " HTTP/1.1\r\nhost: h\r\ncontent-length: " + std::to_string(kind >> 3) + "\r\n\r\n";
        w.append(kind >> 3, 'b');
        break;
      case 2:
        w += "POST /" + num + " HTTP/1.1\r\nhost: h\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
        break;
      case 3:
        w += "PUT /" + num + " HTTP/1.1\r\nhost: h\r\nexpect: 100-continue\r\ncontent-length: 2\r\n\r\nhi";
        break;
      case 4:
        w += "GET /" + num + " HTTP/1.1\r\nhost: h\r\nupgrade: websocket\r\nconnection: upgrade\r\n\r\n";
        break;
      case 5:
        w += "CONNECT /" + num + " HTTP/1.1\r\nhost: h\r\n\r\n";
        break;
      default:
        w += "GET /" + num + " HTTP/1.0\r\nconnection: keep-alive\r\n\r\n";
    }
  }
  return w;
}

struct ServerRun {
  using Core = ServerConn<h1host::ServerHost>;
  fuzz::Reader& in;
  std::string wire;
  bool corrupt;
  h1host::ServerHost host;
  Transport t;
  Core c;
  size_t fed = 0;
  std::string returned;  // bytes a watcher read brought back: fed again first
  uint64_t seq = 0;
  unsigned last_target = 0;
  bool reading_body = false;
  bool head_error = false;
  // The driver's discipline, which the byte checks rely on: a head is read
  // only where begin_read() positioned the connection, and nothing is read
  // off the transport while a watcher's read is parked or its bytes wait.
  bool positioned = true;
  bool watcher_bytes = false;

  ServerRun(fuzz::Reader& r, std::string w, bool bad, bool keep_alive, bool half_close)
      : in(r), wire(std::move(w)), corrupt(bad), c(t.ref, keep_alive, half_close) {}

  std::string_view next_piece() {
    if (!returned.empty()) return returned;
    const size_t n = std::min<size_t>(1 + in.byte() % 64, wire.size() - fed);
    const std::string_view piece = std::string_view(wire).substr(fed, n);
    fed += n;
    return piece;
  }
  void piece_used() { returned.clear(); }

  uint64_t pick_seq() { return in.byte() % 4 ? seq : seq - 1; }

  // Bytes the state holds (the codec buffer, the current decoder's unread
  // input, a kept watcher read) plus those waiting here are a tail of what
  // was fed, with nothing missing between them.
  void check_tail(std::string_view leftover) {
    FUZZ_ASSERT(leftover.size() + returned.size() <= fed);
    const std::string tail = std::string(leftover) + returned;
    FUZZ_ASSERT(std::string_view(wire).substr(fed - tail.size(), tail.size()) == tail);
  }

  void feed() {
    const Ref dec = c.current_decoder();
    if (reading_body && dec && !h1host::ServerHost::decoder(dec).is_complete()) {
      h1host::ServerHost::decoder(dec).feed(next_piece());
      piece_used();
      return;
    }
    if (head_error || !positioned || c.closed() || c.watcher_parked() || watcher_bytes) return;
    const std::string_view piece = next_piece();
    RequestHead head;
    Core::Accepted a = run(c, host, [&](Core& c, auto& h) { return c.accept_head(piece, Ref::make_decoder(), head, h); });
    piece_used();
    if (a.status == HeadStatus::Error) {
      head_error = true;
      t.handed_back(run(c, host, [](Core& c, auto&) { return c.fail_read(); }));
      return;
    }
    if (a.status != HeadStatus::Done) return;
    FUZZ_ASSERT(a.seq == seq + 1 && c.current_seq() == a.seq);
    seq = a.seq;
    reading_body = false;
    positioned = false;
    const std::string_view target = head.target.view();
    if (!corrupt) {
      FUZZ_ASSERT(target == "/" + std::to_string(last_target + 1));
      ++last_target;
    }
  }

  void read_body() {
    const Ref dec = c.current_decoder();
    if (!dec) return;
    BodyDecoder& d = h1host::ServerHost::decoder(dec);
    std::string_view piece;
    while (d.decode(piece) == BodyDecoder::Status::Data) {
    }
  }

  void read_verdict(const Core::Verdict& v) {
    if (v.code == Next::Close) t.handed_back(v.object);
    if (v.code >= Next::ReadParse) positioned = true;
  }

  void handed_off(bool off, const Ref& tr, const std::optional<std::string>& leftover) {
    if (!off) return;
    FUZZ_ASSERT(c.upgraded() && leftover);
    check_tail(*leftover);
    t.handed_back(tr);
  }

  void op() {
    // Reads, body reads and responses come up most, closers least, so most
    // inputs get through several requests.
    static constexpr uint8_t kOps[32] = {0, 0, 0, 0, 0, 2, 2, 2, 2, 3, 3, 4, 4, 4, 5, 6,
                                         6, 6, 7, 7, 7, 8, 9, 10, 10, 11, 11, 12, 12, 13, 14, 15};
    switch (kOps[in.byte() % 32]) {
      case 0:
      case 1:
        feed();
        break;
      case 2: {
        Core::Verdict v = run(c, host, [](Core& c, auto& h) { return c.begin_read(h); });
        read_verdict(v);
        if (v.code == Next::Drain) {
          BodyDecoder& d = h1host::ServerHost::decoder(c.current_decoder());
          read_body();
          while (!d.is_complete() && fed < wire.size() && returned.empty() && in.byte() & 1) {
            d.feed(next_piece());
            read_body();
          }
          const bool complete = d.is_complete();
          read_verdict(run(c, host, [&](Core& c, auto& h) { return c.drain_done(complete, h); }));
        }
        break;
      }
      case 3:
        reading_body = run(c, host, [&](Core& c, auto&) { return c.begin_body_read(pick_seq()); }) || reading_body;
        break;
      case 4:
        if (reading_body) {
          read_body();
          const bool complete = h1host::ServerHost::decoder(c.current_decoder()).is_complete();
          if (complete || in.byte() & 1) {
            run(c, host, [&](Core& c, auto&) { c.end_body_read(seq, complete); });
            reading_body = false;
          }
        }
        break;
      case 5:
        run(c, host, [&](Core& c, auto&) { return c.try_send_continue(pick_seq()); });
        break;
      case 6: {
        static constexpr uint16_t kStatus[] = {200, 101, 204, 304, 407, 200, 500, 201};
        const uint8_t b = in.byte();
        const BodyLength body = b & 8 ? BodyLength::known(b >> 4) : b & 16 ? BodyLength::unknown() : BodyLength::none();
        std::string out;
        run(c, host, [&](Core& c, auto& h) {
          return c.respond_head(pick_seq(), kStatus[b % 8], {}, body, b & 32, Ref::make(), out, h);
        });
        break;
      }
      case 7: {
        Core::Finished f = run(c, host, [&](Core& c, auto& h) { return c.finish_response(pick_seq(), h); });
        handed_off(f.hand_off, f.transport, f.leftover);
        if (!f.hand_off) t.handed_back(f.transport);
        if (f.close) FUZZ_ASSERT(c.closed());
        break;
      }
      case 8:
        t.handed_back(run(c, host, [&](Core& c, auto&) { return c.fail_response(pick_seq()); }));
        break;
      case 9: {
        Core::Detached d = run(c, host, [&](Core& c, auto& h) { return c.detach(pick_seq(), h); });
        FUZZ_ASSERT((d.code == Req::Ok) == static_cast<bool>(d.leftover));
        handed_off(d.code == Req::Ok, d.transport, d.leftover);
        break;
      }
      case 10: {
        const uint8_t b = in.byte();
        run(c, host, [&](Core& c, auto& h) { return c.arm_watcher(pick_seq(), Ref::make(), b & 1, b & 2, h); });
        break;
      }
      case 11: {
        // A parked watcher read takes the next bytes off the transport; a
        // read ends once, so a slot that is not parked only sees one that
        // comes too late.
        if (c.has_watcher() && !c.watcher_parked()) break;
        std::string_view piece = c.watcher_parked() && returned.empty() ? next_piece() : std::string_view();
        auto [data, error] = watcher_read(in, piece);
        const bool kept = data && !h1host::Host::bytes(data).empty();
        if (!kept) fed -= piece.size();  // not read after all
        watcher_bytes = watcher_bytes || kept;
        run(c, host, [&](Core& c, auto& h) { return c.watcher_completed(std::move(data), std::move(error), h); });
        break;
      }
      case 12:
        switch (in.byte() % 4) {
          case 0: {
            auto [data, error] = run(c, host, [](Core& c, auto& h) { return c.take_watcher_result(h); });
            if (data && !h1host::Host::bytes(data).empty()) {
              returned = std::string(h1host::Host::bytes(data)) + returned;
              watcher_bytes = false;
            }
            break;
          }
          case 1:
            run(c, host, [](Core& c, auto& h) { return c.take_watcher_handle(h); });
            break;
          case 2:
            run(c, host, [](Core& c, auto&) { return c.store_watcher_handle(Ref::make()); });
            break;
          default:  // a watcher ends without a read only while it is parked
            if (c.watcher_parked()) run(c, host, [](Core& c, auto& h) { c.watcher_aborted(h); });
        }
        break;
      case 13:
        run(c, host, [&](Core& c, auto&) {
          const uint64_t s = pick_seq();
          c.peer_closed_now(s);
          c.peer_closed_flag(s);
          return c.close_window(s);
        });
        break;
      case 14:
        switch (in.byte() % 5) {
          case 0:
            t.handed_back(run(c, host, [](Core& c, auto&) { return c.request_shutdown(); }));
            break;
          case 1:
            run(c, host, [](Core& c, auto&) { c.stop_serving(); });
            break;
          case 2:
            run(c, host, [](Core& c, auto&) { c.mark_unusable(); });
            break;
          case 3:
            t.handed_back(run(c, host, [](Core& c, auto&) { return c.mark_closed(); }).transport);
            break;
          default:
            t.handed_back(run(c, host, [](Core& c, auto&) { return c.fail_read(); }));
        }
        break;
      default:
        run(c, host, [](Core& c, auto&) { return c.unpark_idle_read(); });
    }
  }

  void go() {
    bool was_closed = false, was_upgraded = false, was_unusable = false;
    while (in.more()) {
      op();
      FUZZ_ASSERT(!was_closed || c.closed());
      FUZZ_ASSERT(!was_upgraded || c.upgraded());
      FUZZ_ASSERT(!was_unusable || !c.reusable());
      was_closed = c.closed();
      was_upgraded = c.upgraded();
      was_unusable = !c.reusable();
    }
    run(c, host, [](Core& c, auto& h) { c.clear(h); });
    FUZZ_ASSERT(h1host::held(c).empty());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World::get().reset();
  {
    fuzz::Reader in{data, size};
    const uint8_t cfg = in.byte();
    if (!(cfg & 1)) {
      run_client(in);
    } else {
      std::string wire = requests(in, 1 + (cfg >> 4));
      const bool corrupt = cfg & 8;
      if (corrupt) {
        const size_t at = (size_t{in.byte()} << 8 | in.byte()) % wire.size();
        wire[at] = static_cast<char>(in.byte());
      }
      ServerRun(in, std::move(wire), corrupt, cfg & 2, cfg & 4).go();
    }
  }
  for (const auto& [id, n] : World::get().refs) FUZZ_ASSERT(n == 0);
  return 0;
}
