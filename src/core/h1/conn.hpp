// The HTTP/1 connection states of both roles: who owns the transport and its
// read, whether the connection is serving, closing, closed or handed off,
// and what a watcher's read means. Every decision the drivers act on is
// taken here, in one step under the owner's lock; the drivers only add the
// asynchronous machinery around it.
//
// Host objects (transports, done events, watcher handles, writer scopes,
// stored errors, body decoders, watcher reads) are opaque: the states store,
// move and hand them back, never look into them and never release them. A
// handle the state drops goes to its host's bury(), which releases it once
// every lock is gone. The host also supplies the few things a state cannot
// do on plain data (see ConnHost and ServerHost).
//
// Each state is a handful of small enums, each moved by one transition
// function, plus the per-method steps that read like the method tables:
//   Link       Serving -> LastRequest -> Closed -> HandedOff, never back
//   Exchange   Idle -> Claimed -> Started -> Idle          (client)
//   WatchSlot  Absent -> Armed -> Completed -> Consumed -> Absent
//   Claim      Open -> (AwaitContinue ->) Claimed          (server, per request)
//   Body       Unread <-> Owned (body reader or drain) -> Complete
//                                                          (server, per request)
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "h1/codec.hpp"
#include "h1/encode.hpp"
#include "h1/parse.hpp"
#include "h1/verdicts.hpp"
#include "http/header_map.hpp"

namespace quillon::h1 {

// What a connection state needs from its host inside a locked step.
//   Handle                       a host object: default-constructible (empty),
//                                copyable (a new reference), movable, and
//                                true when it holds an object
//   bury(Handle&&)               release it once every lock is gone
//   bytes(const Handle&)         the contents of a bytes object (a watcher's
//                                read), read without calling into the host
template <class H>
concept ConnHost = requires(H& host, typename H::Handle handle, const typename H::Handle& held) {
  host.bury(std::move(handle));
  { H::bytes(held) } -> std::same_as<std::string_view>;
  { static_cast<bool>(held) };
};

// The server state also reaches the connection's codec (whose lock the host
// already holds) and the current body decoder (which the host locks itself,
// inside the codec's lock).
//   codec(), config()            the codec's state and configuration
//   leftover(dec, whole)         moves bytes out of a body decoder: with
//                                `whole` everything it holds, otherwise only
//                                the bytes past a completed body
//   start_decoder(dec, kind, n, bytes)
//                                turns a fresh decoder into one for a body of
//                                `kind` (length `n`) fed `bytes`; true when
//                                the body is already complete
template <class H>
concept ServerHost = ConnHost<H> && requires(H& host, const typename H::Handle& dec, std::string&& bytes) {
  { host.codec() } -> std::same_as<CodecState&>;
  { host.config() } -> std::same_as<const CodecConfig&>;
  { host.leftover(dec, true) } -> std::same_as<std::string>;
  { host.start_decoder(dec, BodyKind::Empty, uint64_t{0}, std::move(bytes)) } -> std::same_as<bool>;
};

template <class H>
H take(H& slot) {
  return std::exchange(slot, H{});
}

// Where a connection stands. It only ever moves down the list: a connection
// made non-reusable never becomes reusable again, a closed one never
// reopens, a handed-off one is never closed by its state again.
enum class Link : uint8_t {
  Serving,      // another request may follow this one
  LastRequest,  // the current response is the last; then it closes
  Closed,       // serves no more requests
  HandedOff,    // the raw transport went to an upgrade or tunnel
};

// ---------------------------------------------------------------------------
// The watcher slot, shared by both roles: one parked read on an otherwise
// unread transport, whose result someone else consumes.

template <class H>
class WatchSlot {
 public:
  enum class State : uint8_t {
    Absent,
    Armed,      // the read is parked
    Completed,  // its result is recorded, not yet consumed
    Consumed,   // the result was taken; the handle still waits to be joined
  };

  State state() const { return state_; }
  bool exists() const { return state_ != State::Absent; }
  bool parked() const { return state_ == State::Armed; }
  H done() const { return done_; }
  const H& data() const { return data_; }

  // Absent -> Armed. The caller has checked that no slot exists.
  void arm(H done) {
    done_ = std::move(done);
    state_ = State::Armed;
  }

  // Stores the watcher task's handle; refused (handed back) when `closed`,
  // without a slot, or with a handle already stored.
  H store_handle(H handle, bool closed) {
    if (closed || !exists() || handle_) return handle;
    handle_ = std::move(handle);
    return H{};
  }

  // The read ended. Its result replaces any earlier one; `keep` false drops
  // it at once (an idle read whose bytes nobody may consume).
  template <class Bin>
  void complete(H data, H error, bool keep, Bin& bin) {
    bin.bury(take(data_));
    bin.bury(take(error_));
    if (keep) {
      data_ = std::move(data);
      error_ = std::move(error);
    } else {
      bin.bury(std::move(data));
      bin.bury(std::move(error));
    }
    state_ = State::Completed;
  }

  // The watcher ended without a read to report.
  template <class Bin>
  void aborted(Bin& bin) {
    if (state_ == State::Armed || state_ == State::Completed) complete(H{}, H{}, false, bin);
  }

  // The handle, once. A slot whose result is already consumed is done.
  template <class Bin>
  H take_handle(Bin& bin) {
    H h = take(handle_);
    if (state_ == State::Consumed) free(bin);
    return h;
  }

  // The recorded (data, error), once. With no handle left to join, the slot
  // is done; otherwise it stays so the handle can still be joined and the
  // done event still handed to a closer. A parked read has nothing yet.
  template <class Bin>
  std::pair<H, H> take_result(Bin& bin) {
    if (state_ == State::Absent || state_ == State::Armed) return {};
    std::pair<H, H> r{take(data_), take(error_)};
    if (handle_)
      state_ = State::Consumed;
    else
      free(bin);
    return r;
  }

  H take_data() { return take(data_); }

  template <class Bin>
  void free(Bin& bin) {
    bin.bury(take(done_));
    bin.bury(take(handle_));
    bin.bury(take(data_));
    bin.bury(take(error_));
    state_ = State::Absent;
  }

  template <class F>
  int visit(F&& f) const {
    for (const H* h : {&done_, &handle_, &data_, &error_})
      if (int r = f(*h)) return r;
    return 0;
  }

 private:
  State state_ = State::Absent;
  H done_, handle_, data_, error_;
};

// ---------------------------------------------------------------------------
// Client

// The state of one HTTP/1 client connection: the exchange slot, the body
// writer's scope, the idle watcher, and the one-time hand-out of the
// transport to whichever closer (fail, close_now, mark_closed, an idle EOF)
// or upgrade gets there first.
template <ConnHost Host>
class ClientConn {
 public:
  using H = typename Host::Handle;

  enum class Exchange : uint8_t {
    Idle,     // nobody holds the connection
    Claimed,  // an exchange holds it; a watcher read is still an idle read
    Started,  // its request is being written: a watcher read belongs to it
  };

  struct Closing {
    H transport, done, writer;
    bool idle = false;
  };

  explicit ClientConn(H transport) : transport_(std::move(transport)) {}

  bool closed() const { return link_ >= Link::Closed; }
  bool upgraded() const { return link_ == Link::HandedOff; }
  bool busy() const { return exchange_ != Exchange::Idle; }
  bool exchange_active() const { return exchange_ == Exchange::Started; }
  bool failed() const { return static_cast<bool>(error_); }
  bool has_watcher() const { return watch_.exists(); }
  bool peer_http10() const { return peer_http10_; }
  bool writer_finished() const { return writer_finished_; }
  H error() const { return error_; }
  H transport_ref() const { return transport_; }
  bool is_dead() const { return closed() || failed(); }

  // The exchange slot, as one transition: Idle -> Claimed on begin, Claimed
  // -> Started on start, either -> Idle on end. True when it moved.
  enum class ExchangeEvent : uint8_t { Begin, Start, End };
  bool exchange(ExchangeEvent e) {
    switch (exchange_) {
      case Exchange::Idle:
        if (e != ExchangeEvent::Begin) return false;
        exchange_ = Exchange::Claimed;
        writer_finished_ = false;
        return true;
      case Exchange::Claimed:
        if (e == ExchangeEvent::Begin) return false;
        exchange_ = e == ExchangeEvent::Start ? Exchange::Started : Exchange::Idle;
        return true;
      case Exchange::Started:
        if (e != ExchangeEvent::End) return false;
        exchange_ = Exchange::Idle;
        return true;
    }
    return false;
  }

  // The one closing step: the link moves to Closed (or HandedOff) and the
  // transport leaves, so racing closers get it exactly once between them and
  // none gets it after an upgrade.
  H close(Link to = Link::Closed) {
    if (to > link_) link_ = to;
    return take(transport_);
  }

  H fail(H exc, Host& host) {
    if (!error_ && exc)
      error_ = std::move(exc);
    else
      host.bury(std::move(exc));
    return close();
  }

  Closing mark_closed() {
    Closing c;
    c.transport = close();
    c.done = watch_.done();
    c.writer = take(writer_);
    c.idle = !busy();
    return c;
  }

  H upgrade() { return close(Link::HandedOff); }

  void set_peer_http10(bool v) { peer_http10_ = v; }

  // Refused (handed back for the exchange to tear down) once closed.
  H store_writer(H scope, Host& host) {
    if (closed()) return scope;
    host.bury(std::exchange(writer_, std::move(scope)));
    return H{};
  }
  H take_writer() { return take(writer_); }
  void writer_done() { writer_finished_ = true; }

  // One watcher per idle period, on a live connection with a transport. The
  // read it parks is an idle read until an exchange starts again.
  bool arm_watcher(H done, Host& host) {
    if (closed() || failed() || !transport_ || watch_.exists()) {
      host.bury(std::move(done));
      return false;
    }
    if (exchange_ == Exchange::Started) exchange_ = Exchange::Claimed;
    watch_.arm(std::move(done));
    return true;
  }

  H store_watcher_handle(H handle) { return watch_.store_handle(std::move(handle), closed()); }
  void watcher_aborted(Host& host) { watch_.aborted(host); }
  H watcher_done() const { return watch_.done(); }
  H take_watcher_handle(Host& host) { return watch_.take_handle(host); }
  std::pair<H, H> take_watcher_result(Host& host) { return watch_.take_result(host); }

  // The watcher's read ended: `data` (empty = EOF) or `error`, both empty
  // when it found no transport. The verdict, and the transport on an idle
  // EOF for the caller to close.
  std::pair<Watch, H> watcher_completed(H data, H error, Host& host) {
    if (!watch_.exists()) {
      host.bury(std::move(data));
      host.bury(std::move(error));
      return {Watch::Ignored, H{}};
    }
    const bool has_error = static_cast<bool>(error);
    const bool has_bytes = data && !Host::bytes(data).empty();
    // Only a started exchange may consume what the read brought.
    const bool handoff = exchange_ == Exchange::Started;
    watch_.complete(std::move(data), std::move(error), handoff, host);
    if (handoff) return {Watch::Handoff, H{}};
    if (has_error) return {closed() ? Watch::Ignored : Watch::IdleError, H{}};
    if (has_bytes) return {Watch::IdleBytes, H{}};
    return {Watch::IdleEof, close()};
  }

  template <class F>
  int visit(F&& f) const {
    for (const H* h : {&transport_, &error_, &writer_})
      if (int r = f(*h)) return r;
    return watch_.visit(f);
  }

  void clear(Host& host) {
    host.bury(take(transport_));
    host.bury(take(error_));
    host.bury(take(writer_));
    watch_.free(host);
  }

 private:
  H transport_, error_, writer_;
  WatchSlot<H> watch_;
  Link link_ = Link::Serving;
  Exchange exchange_ = Exchange::Idle;
  bool peer_http10_ = false;
  bool writer_finished_ = false;
};

// ---------------------------------------------------------------------------
// Server

// The per-request state the server keeps, set from the request head.
struct ServerRequest {
  // Who owns the response: nobody yet; the body reader's 100 Continue, which
  // must be written before the head; or the responder (or a detach).
  enum class Claim : uint8_t { Open, AwaitContinue, Claimed };
  // The request body: unread with the transport read free, unread with the
  // read owned by the body reader or the drain, or read to its end.
  enum class Body : uint8_t { Unread, Owned, Complete };

  bool expect_continue = false;
  bool http10 = false;
  bool keep_alive = false;
  bool upgrade_asked = false;
  bool connect = false;
  Claim claim = Claim::Open;
  // Before the first request, and once a request is fully done, the
  // response is done and the body complete: the connection is positioned at
  // the next head.
  bool response_done = true;
  Body body = Body::Complete;
  bool continue_claimed = false;
  bool peer_closed = false;
  bool head_negotiated = false;
  bool hand_off = false;
  bool reuse = false;
  bool want = false;

  bool may_switch() const { return upgrade_asked || connect; }
  bool responded() const { return claim != Claim::Open; }
  bool body_complete() const { return body == Body::Complete; }
  // The body reader or the drain gives the read back; `complete` when it
  // read the body to its end.
  void release_body(bool complete) {
    if (body == Body::Owned || complete) body = complete ? Body::Complete : Body::Unread;
  }
};

ServerRequest request_from_head(const RequestHead& head, bool body_complete);

// The state of one HTTP/1 server connection: the transport and its one
// reader (the idle read, the body reader, the drain or the mid-message
// watcher), the current request and its response claim, the watcher, and
// the ends: reuse, close, hand-off, graceful shutdown.
template <ServerHost Host>
class ServerConn {
 public:
  using H = typename Host::Handle;

  struct Verdict {
    Next code;
    H object;
  };
  struct Accepted {
    HeadStatus status = HeadStatus::Incomplete;
    ParseKind error = ParseKind::Internal;
    uint64_t seq = 0;
  };
  struct Responded {
    Req code = Req::Stale;
    bool armed = false;
    EncodeError error;
  };
  struct Finished {
    bool hand_off = false;
    bool close = false;
    H transport;
    std::optional<std::string> leftover;
  };
  struct Detached {
    Req code = Req::Stale;
    H transport;
    std::optional<std::string> leftover;
  };
  struct Closing {
    H transport, done;
    bool was_closed = false;
  };

  ServerConn(H transport, bool keep_alive, bool half_close)
      : transport_(std::move(transport)), keep_alive_enabled_(keep_alive), half_close_(half_close) {}

  bool closed() const { return link_ >= Link::Closed; }
  bool reusable() const { return link_ == Link::Serving; }
  bool upgraded() const { return link_ == Link::HandedOff; }
  bool half_close() const { return half_close_; }
  bool keep_alive_enabled() const { return keep_alive_enabled_; }
  bool shutdown_requested() const { return shutdown_; }
  bool has_watcher() const { return watch_.exists(); }
  bool watcher_parked() const { return watch_.parked(); }
  uint64_t current_seq() const { return seq_; }
  const ServerRequest& request() const { return req_; }
  // The transport while this state still holds it: also after
  // stop_serving(), whose caller may still be writing the last response.
  H transport_ref() const { return transport_; }
  H current_decoder() const { return decoder_; }

  // The one step that moves the link down; leaving Serving for Closed or
  // HandedOff takes the transport unless `keep_transport`.
  H degrade(Link to, bool keep_transport = false) {
    if (to > link_) link_ = to;
    if (to < Link::Closed || keep_transport) return H{};
    return take(transport_);
  }

  // --- the read side ---------------------------------------------------------

  Verdict begin_read(Host& host) {
    if (!reusable()) return {Next::None, H{}};
    if (!req_.response_done) return {Next::Raise, H{}};
    switch (req_.body) {
      case ServerRequest::Body::Unread:
        req_.body = ServerRequest::Body::Owned;
        return {Next::Drain, H{}};
      case ServerRequest::Body::Owned:  // a parked reader cannot be drained from under it
        return {Next::Close, degrade(Link::Closed)};
      case ServerRequest::Body::Complete:
        break;
    }
    return next_head(host);
  }

  Verdict drain_done(bool complete, Host& host) {
    req_.release_body(complete);
    if (!complete) return {Next::Close, degrade(Link::Closed)};
    // A shutdown or close during the drain shows in the read verdict itself
    // (ReadShutdown, ReadEof), which the driver already handles as the end.
    return next_head(host);
  }

  // An idle read ended; true when a shutdown closed the connection under it.
  bool unpark_idle_read() {
    idle_parked_ = false;
    return closed();
  }

  // Parses a head from the codec's buffer plus `data`. On Done, `out` holds
  // the head, `decoder` (a fresh decoder) is started with the bytes that
  // followed it and becomes current, and the request gets its seq.
  Accepted accept_head(std::string_view data, H decoder, RequestHead& out, Host& host) {
    CodecState& codec = host.codec();
    codec.read.append(data);
    HeadResult r = parse_request_head(codec, host.config(), out);
    if (r.status != HeadStatus::Done) {
      host.bury(std::move(decoder));
      return {r.status, r.error, 0};
    }
    const bool complete = host.start_decoder(decoder, out.body_kind, out.content_length.value_or(0),
                                             codec.read.take_all());
    host.bury(std::exchange(decoder_, std::move(decoder)));
    seq_ = next_seq_++;
    req_ = request_from_head(out, complete);
    // Whatever read brought this head is over: a shutdown from now on must
    // let the new request's response finish rather than close under it.
    idle_parked_ = false;
    return {HeadStatus::Done, ParseKind::Internal, seq_};
  }

  H fail_read() { return degrade(Link::Closed); }
  void stop_serving() { degrade(Link::Closed, true); }
  void mark_unusable() { degrade(Link::LastRequest); }

  Closing mark_closed() {
    Closing c;
    c.was_closed = closed();
    c.transport = degrade(Link::Closed);
    c.done = watch_.done();
    return c;
  }

  // Closing the transport is what ends a parked idle read, so the caller
  // gets it at once; otherwise the current response is the last.
  H request_shutdown() {
    shutdown_ = true;
    return degrade(idle_parked_ ? Link::Closed : Link::LastRequest);
  }

  // --- per request -----------------------------------------------------------

  bool current(uint64_t seq) const { return seq != 0 && seq == seq_; }

  bool try_send_continue(uint64_t seq) {
    if (!current(seq) || !req_.expect_continue || req_.responded() || req_.continue_claimed || req_.http10)
      return false;
    req_.continue_claimed = true;
    return true;
  }

  bool begin_body_read(uint64_t seq) {
    if (!current(seq) || req_.body != ServerRequest::Body::Unread) return false;
    req_.body = ServerRequest::Body::Owned;
    return true;
  }

  void end_body_read(uint64_t seq, bool complete) {
    if (current(seq)) req_.release_body(complete);
  }

  // Stale: false. In the window: nothing yet (arm the watcher and wait).
  // Else whether the watcher saw the client leave.
  std::optional<bool> peer_closed_now(uint64_t seq) const {
    if (!current(seq)) return false;
    if (!req_.response_done) return std::nullopt;
    return req_.peer_closed;
  }
  bool peer_closed_flag(uint64_t seq) const { return current(seq) && req_.peer_closed; }

  bool arm_watcher(uint64_t seq, H done, bool want, bool head_negotiated, Host& host) {
    if (!current(seq)) {
      host.bury(std::move(done));
      return false;
    }
    if (head_negotiated) req_.head_negotiated = true;
    if (want) req_.want = true;
    return arm_decision(std::move(done), host);
  }

  bool close_window(uint64_t seq) {
    if (!current(seq) || req_.response_done) return false;
    req_.response_done = true;
    return true;
  }

  // Claims the response and encodes its head into `out`.
  Responded respond_head(uint64_t seq, uint16_t status, const http::HeaderMapCore& headers, BodyLength body, bool want,
                         H done, std::string& out, Host& host) {
    Responded r = claim_response(seq);
    if (r.code != Req::Ok || req_.peer_closed) {
      if (r.code == Req::Ok) r.code = Req::PeerClosed;  // nothing is written; the claim stays
      host.bury(std::move(done));
      return r;
    }
    CodecState& codec = host.codec();
    // Keep-alive only while the connection may still serve another request:
    // a response that the close follows must say so.
    const bool keep_alive = keep_alive_enabled_ && req_.keep_alive && !shutdown_ && reusable();
    r.error = serialize_response(codec, host.config(), status, headers, keep_alive, req_.http10, body, out);
    if (r.error) {
      host.bury(std::move(done));
      return r;
    }
    req_.hand_off = (status == 101 && req_.upgrade_asked) || (req_.connect && status >= 200 && status < 300);
    req_.reuse = !codec.response_is_last && !codec.response_close_delimited;
    req_.head_negotiated = true;
    if (want) req_.want = true;
    r.armed = arm_decision(std::move(done), host);
    return r;
  }

  Finished finish_response(uint64_t seq, Host& host) {
    Finished f;
    if (!current(seq)) return f;
    req_.response_done = true;
    if (req_.hand_off) {
      f.hand_off = true;
      f.leftover = gather_leftover(host);
      f.transport = degrade(Link::HandedOff);
      return f;
    }
    if (!req_.reuse) degrade(Link::LastRequest);
    if (!reusable()) {
      f.close = true;
      f.transport = degrade(Link::Closed);
    }
    return f;
  }

  // A stale call is refused like every other per-request call: closing here
  // would cut off the response of the request now current.
  H fail_response(uint64_t seq) {
    if (!current(seq)) return H{};
    req_.response_done = true;
    return degrade(Link::Closed);
  }

  Detached detach(uint64_t seq, Host& host) {
    Detached d;
    if (!current(seq)) return d;
    if (req_.responded()) {
      d.code = Req::Already;
      return d;
    }
    // A parked read can be neither handed over nor cancelled without
    // risking the bytes it may be taking.
    if (watch_.parked()) {
      d.code = Req::Parked;
      return d;
    }
    req_.claim = ServerRequest::Claim::Claimed;
    req_.response_done = true;
    d.code = Req::Ok;
    d.leftover = gather_leftover(host);
    d.transport = degrade(Link::HandedOff);
    return d;
  }

  // --- the mid-message watcher -------------------------------------------------

  H store_watcher_handle(H handle) { return watch_.store_handle(std::move(handle), closed()); }
  void watcher_aborted(Host& host) { watch_.aborted(host); }
  H watcher_done() const { return watch_.done(); }
  H take_watcher_handle(Host& host) { return watch_.take_handle(host); }
  std::pair<H, H> take_watcher_result(Host& host) { return watch_.take_result(host); }

  // True when the client left while the response is in progress: the
  // caller resolves the request's peer_closed().
  bool watcher_completed(H data, H error, Host& host) {
    if (!watch_.exists()) {
      host.bury(std::move(data));
      host.bury(std::move(error));
      return false;
    }
    // Bytes are the start of the next request: kept for whoever reads next.
    const bool has_bytes = data && !Host::bytes(data).empty();
    watch_.complete(std::move(data), std::move(error), true, host);
    if (has_bytes || req_.response_done || req_.peer_closed) return false;
    degrade(Link::LastRequest);
    req_.peer_closed = true;
    return true;
  }

  template <class F>
  int visit(F&& f) const {
    for (const H* h : {&transport_, &decoder_})
      if (int r = f(*h)) return r;
    return watch_.visit(f);
  }

  void clear(Host& host) {
    host.bury(take(transport_));
    host.bury(take(decoder_));
    watch_.free(host);
  }

 private:
  Responded claim_response(uint64_t seq) {
    using Claim = ServerRequest::Claim;
    Responded r;
    if (!current(seq)) return r;
    switch (req_.claim) {
      case Claim::AwaitContinue:  // the 100 Continue went out: the claim stands
        req_.claim = Claim::Claimed;
        break;
      case Claim::Claimed:
        r.code = Req::Already;
        return r;
      case Claim::Open:
        if (req_.continue_claimed) {
          req_.claim = Claim::AwaitContinue;
          r.code = Req::Continue;
          return r;
        }
        req_.claim = Claim::Claimed;
        break;
    }
    r.code = Req::Ok;
    return r;
  }

  // Positions the connection at the next head and says where it comes from.
  Verdict next_head(Host& host) {
    CodecState& codec = host.codec();
    if (decoder_) codec.read.append(host.leftover(decoder_, false));
    codec.reset();
    host.bury(take(decoder_));
    req_.response_done = true;
    req_.body = ServerRequest::Body::Complete;
    if (!codec.read.empty()) return {Next::ReadParse, H{}};
    if (shutdown_) return {Next::ReadShutdown, H{}};
    if (watch_.exists()) {
      // The watcher's parked read is the one to await.
      idle_parked_ = true;
      return {Next::ReadWatcher, watch_.done()};
    }
    if (transport_) {
      idle_parked_ = true;
      return {Next::ReadTransport, transport_};
    }
    return {Next::ReadEof, H{}};
  }

  // Arms the mid-message watcher with `done` when someone wants it and it
  // can notice nothing but the client leaving: the body fully read, the
  // response in progress, no next request already buffered.
  bool arm_decision(H done, Host& host) {
    bool arm = req_.want && !half_close_ && !closed() && transport_ && !watch_.exists() && req_.body_complete() &&
               !req_.response_done;
    if (arm && req_.may_switch()) arm = req_.head_negotiated && !req_.hand_off;
    if (arm && decoder_) {
      std::string rest = host.leftover(decoder_, false);
      if (!rest.empty()) {
        host.codec().read.append(rest);
        arm = false;
      }
    }
    if (arm && !host.codec().read.empty()) arm = false;
    if (!arm) {
      host.bury(std::move(done));
      return false;
    }
    watch_.arm(std::move(done));
    return true;
  }

  // Every byte read from the transport and not consumed as this request:
  // the decoder's unread input, then the codec's buffer, then what a
  // completed watcher read brought.
  std::string gather_leftover(Host& host) {
    CodecState& codec = host.codec();
    if (decoder_) codec.read.append(host.leftover(decoder_, true));
    if (H data = watch_.take_data()) {
      codec.read.append(Host::bytes(data));
      host.bury(std::move(data));
    }
    return codec.read.take_all();
  }

  H transport_;
  H decoder_;
  WatchSlot<H> watch_;
  Link link_ = Link::Serving;
  uint64_t next_seq_ = 1;
  uint64_t seq_ = 0;
  ServerRequest req_;
  const bool keep_alive_enabled_;
  const bool half_close_;
  bool shutdown_ = false;
  bool idle_parked_ = false;
};

}  // namespace quillon::h1
