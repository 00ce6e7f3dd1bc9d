// H2 connection: the send path, the receive path, resets, GOAWAY, graceful
// shutdown and failure. Every function here runs under the state lock and
// is one check-and-act step: a fault thrown part-way leaves what was queued
// before it queued (the driver fails the connection or resets the stream).
//
// Stream lifetime: a stream is counted out of the active streams (and gives
// back its client slot) the moment it closes, but stays in the store while
// the application still holds received bytes or DATA-framing charge of it,
// so that its releases still reach the windows. A reset, a GOAWAY or a
// failure tears it down at once instead, always through close_stream: its
// held capacity goes back to the connection ("reclaimed") and it is
// forgotten.
#include <algorithm>
#include <chrono>

#include "h2/conn.hpp"

namespace quillon::h2 {

namespace {

Fault idle_stream(uint32_t sid) {
  return Fault::protocol(code(Reason::ProtocolError), "frame on idle stream " + std::to_string(sid));
}

// Amounts handed to the window pairs are at most a window's size; larger
// releases are split (they can only come from a long-held total).
template <class F>
void in_window_steps(uint64_t n, F&& f) {
  while (n > 0) {
    const uint32_t step = static_cast<uint32_t>(std::min<uint64_t>(n, FlowControl::kMaxWindow));
    f(step);
    n -= step;
  }
}

}  // namespace

uint64_t Connection::now_nanos() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// --- shared stream bookkeeping ----------------------------------------------------

bool Connection::is_idle_id(uint32_t sid) const {
  if (is_local_id(sid)) return is_server() || sid >= next_stream_id_;
  return sid > highest_peer_id_;
}

void Connection::count_out(Stream& s, uint32_t& flags) {
  if (s.active) {
    s.active = false;
    if (active_streams_ > 0) --active_streams_;
    if (shutdown_final() && active_streams_ == 0) flags |= kFlagStopAccepting;
  }
  if (s.holds_slot) {
    s.holds_slot = false;
    if (open_slots_ > 0) --open_slots_;
    flags |= kFlagSlotFreed;
  }
}

void Connection::forget(uint32_t sid) {
  if (void* h = store_.erase(sid)) dead_.push_back(h);
}

void Connection::settle(Stream& s, uint32_t& flags) {
  if (!s.state.is_closed()) return;
  count_out(s, flags);
  if (s.unreleased == 0 && s.charged == 0) forget(s.id);
}

void Connection::release_connection(uint64_t n) {
  in_window_steps(n, [&](uint32_t step) { conn_recv_.assign_capacity(step); });
  queue_connection_window_update();
}

void Connection::reclaim(Stream& s) {
  if (s.reclaimed) return;
  s.reclaimed = true;
  budget_.release(std::exchange(s.charged, 0));
  release_connection(std::exchange(s.unreleased, 0));
}

void Connection::release_stream(Stream& s, uint64_t n) {
  // Never more than the stream holds: a release of bytes never received
  // (twice, or too much) must not grow our windows past what we advertise.
  n = std::min(n, s.unreleased);
  if (n == 0) return;
  s.unreleased -= n;
  in_window_steps(n, [&](uint32_t step) { s.recv_flow.assign_capacity(step); });
  if (const auto unclaimed = s.recv_flow.unclaimed_capacity(); unclaimed && !s.state.is_recv_end_stream()) {
    const auto increment = static_cast<uint32_t>(*unclaimed);
    s.recv_flow.inc_window(increment);
    encode_window_update(s.id, increment, pending_);
  }
  release_connection(n);
}

void Connection::absorb(uint32_t len) {
  if (conn_recv_.window() < 0 || static_cast<uint32_t>(conn_recv_.window()) < len) throw Fault::flow_control();
  conn_recv_.dec_recv_window(len);
  release_connection(len);
}

ResetResult Connection::core_reset(Stream& s, uint32_t reason, Initiator by) {
  const PendingMark mark(pending_);
  ResetResult r;
  r.handle = s.handle;
  const bool clean = s.state.is_closed() && !s.state.is_reset();
  if (!s.state.is_closed() || clean) s.state.set_reset(s.id, reason, by);
  if (!clean) r.stop = s.state.stop();
  encode_rst_stream(s.id, reason, pending_);
  close_stream(s, Teardown::Reset, r.stop.value_or(Stop{}), r.flags);
  r.flags |= mark.wake();
  return r;
}

void Connection::close_stream(Stream& s, Teardown why, const Stop& stop, uint32_t& flags) {
  const uint32_t sid = s.id;
  // A sender that comes after the stream is gone still learns why it
  // stopped; after a failure the connection's error answers for all.
  if (why != Teardown::Failure) remember_stop(sid, stop);
  reclaim(s);
  count_out(s, flags);
  forget(sid);
  if (why == Teardown::Reset) reset_store_.record(sid, now_nanos());
}

void Connection::remember_stop(uint32_t sid, const Stop& stop) {
  recent_stops_[recent_next_] = RecentStop{sid, stop};
  recent_next_ = (recent_next_ + 1) % kRecentStops;
}

std::optional<Stop> Connection::send_stop(uint32_t sid) const {
  const Stream* s = store_.find(sid);
  if (!s) {
    for (const RecentStop& r : recent_stops_)
      if (r.id == sid) return r.stop;
    return Stop{std::nullopt, failed()};
  }
  if (s->state.is_send_streaming()) return std::nullopt;
  return s->state.stop();
}

// --- send path --------------------------------------------------------------------

bool Connection::try_claim_slot() {
  if (!can_open()) return false;
  ++open_slots_;
  return true;
}

std::optional<uint32_t> Connection::open_stream(std::string_view method, std::string_view target,
                                                const http::HeaderMapCore* headers, bool end_stream, bool is_head,
                                                void* handle, std::optional<std::string_view> scheme,
                                                std::optional<std::string_view> authority,
                                                std::optional<std::string_view> protocol) {
  // Request streams are the client's: a server that opened one would use an
  // odd id its peer may open itself, and no peer expects it.
  if (is_server()) {
    release_slot_count();
    throw Fault::user(UserKind::Rejected, "open_stream: a server cannot open request streams");
  }
  if (is_closed()) {
    release_slot_count();
    return std::nullopt;
  }
  if (next_stream_id_ > kMaxStreamId) {
    release_slot_count();
    throw Fault::protocol(code(Reason::RefusedStream), "stream ID space exhausted (OverflowedStreamId)");
  }
  const uint32_t sid = next_stream_id_;
  if (headers && !headers_sendable(*headers)) {
    release_slot_count();
    throw Fault::user(UserKind::MalformedHeaders);
  }
  // :protocol means nothing to a server that did not offer it.
  if (protocol && !peer_.enable_connect_protocol) {
    release_slot_count();
    throw Fault::value("invalid protocol: the peer did not send SETTINGS_ENABLE_CONNECT_PROTOCOL");
  }
  // The engine checks every argument before its HPACK state changes, so a
  // failure here has queued nothing.
  if (Fault f = engine_.encode_request(sid, method, target, headers, end_stream, scheme, authority, pending_,
                                       protocol)) {
    release_slot_count();
    throw f;
  }
  next_stream_id_ = sid + 2;
  if (store_.find(sid)) forget(sid);
  Stream& s = store_.insert(sid);
  s.state.send_open(end_stream);
  s.send_flow = FlowControl(static_cast<int32_t>(peer_.initial_window_size),
                            static_cast<int32_t>(peer_.initial_window_size));
  s.recv_flow = FlowControl(static_cast<int32_t>(recv_initial_window_), static_cast<int32_t>(recv_initial_window_));
  s.content_length = ContentLength(is_head);
  s.handle = handle;
  s.holds_slot = true;
  s.active = true;
  ++active_streams_;
  return sid;
}

void Connection::complete_response(Stream& s, SendResult& r) {
  // Our response is complete while the request body is still coming: the
  // client is told to stop sending it (RFC 9113 section 8.1).
  if (is_server() && !s.state.is_closed() && !s.state.is_recv_end_stream()) {
    ResetResult rr = core_reset(s, code(Reason::NoError), Initiator::Library);
    r.handle = rr.handle;
    r.reader_stop = rr.stop.value_or(Stop{});
    r.flags |= rr.flags;
    return;
  }
  settle(s, r.flags);
}

SendResult Connection::send_data(uint32_t sid, std::string_view data, bool end_stream) {
  SendResult r;
  if ((r.stopped = send_stop(sid))) return r;
  // Nothing to carry and nothing to end: an empty non-final DATA frame is
  // what a peer's fragmentation guard counts as abuse, so none is written.
  if (data.empty() && !end_stream) {
    r.done = true;
    return r;
  }
  Stream& s = *store_.find(sid);
  const PendingMark mark(pending_);
  const auto room = [](int64_t v) { return static_cast<uint64_t>(std::max<int64_t>(v, 0)); };
  const uint64_t buffer_room =
      config_.max_send_buf_size > s.send_buffered ? config_.max_send_buf_size - s.send_buffered : 0;
  const uint64_t amount = std::min({room(conn_send_.window()), room(s.send_flow.window()), buffer_room,
                                    uint64_t{data.size()}, uint64_t{peer_.max_frame_size}});
  if (amount == 0 && !data.empty()) return r;
  const auto n = static_cast<uint32_t>(amount);
  const bool last = amount == data.size();
  const bool eos = end_stream && last;
  if (Fault f = engine_.encode_data(sid, data.substr(0, n), eos, pending_)) throw f;
  if (n > 0) {
    conn_send_.send_data(n);
    s.send_flow.send_data(n);
    s.send_buffered += n;
    credits_.push_back(Credit{sid, n});
  }
  r.sent = n;
  r.done = last;
  if (eos) {
    s.state.send_close();
    complete_response(s, r);
  }
  r.flags |= mark.wake();
  return r;
}

SendResult Connection::send_trailers(uint32_t sid, const http::HeaderMapCore& trailers) {
  SendResult r;
  if ((r.stopped = send_stop(sid))) return r;
  Stream& s = *store_.find(sid);
  if (!headers_sendable(trailers)) throw Fault::user(UserKind::MalformedHeaders);
  const PendingMark mark(pending_);
  if (Fault f = engine_.encode_trailers(sid, trailers, pending_)) throw f;
  s.state.send_close();
  r.done = true;
  complete_response(s, r);
  r.flags |= mark.wake();
  return r;
}

SendResult Connection::send_response_head(uint32_t sid, uint32_t status, const http::HeaderMapCore* headers,
                                          bool end_stream) {
  SendResult r;
  Stream* sp = store_.find(sid);
  if (!sp || sp->state.is_closed()) {
    r.stopped = sp ? sp->state.stop() : *send_stop(sid);
    return r;
  }
  Stream& s = *sp;
  StreamState next = s.state;
  next.send_open(end_stream);  // the user fault of a state that cannot send a head
  const PendingMark mark(pending_);
  if (Fault f = engine_.encode_response(sid, status, headers, end_stream, config_.auto_date_header, pending_))
    throw f;
  s.state = std::move(next);
  r.done = end_stream;
  if (end_stream) complete_response(s, r);
  r.flags |= mark.wake();
  return r;
}

void Connection::credit_written(std::vector<void*>& wake) {
  std::vector<uint32_t> marked;
  for (const Credit& c : written_credits_) {
    Stream* s = store_.find(c.stream_id);
    if (!s) continue;
    s->send_buffered -= std::min<uint64_t>(s->send_buffered, c.bytes);
    if (!s->marked && s->handle) {
      s->marked = true;
      wake.push_back(s->handle);
      marked.push_back(s->id);
    }
  }
  written_credits_.clear();
  for (uint32_t id : marked) store_.find(id)->marked = false;
}

// --- receive path -------------------------------------------------------------------

HeadersResult Connection::recv_headers(const HeadersInfo& f, void* spare) {
  const uint32_t sid = f.stream_id;
  const PendingMark mark(pending_);
  HeadersResult r;
  r.eof = f.end_stream;
  if (Stream* s = store_.find(sid)) {
    r.handle = s->handle;
    if (s->state.is_closed()) {
      reclaim(*s);
      settle(*s, r.flags);
    } else if (s->state.is_recv_headers()) {
      if (f.shape != HeadShape::Response || f.truncated) throw Fault::library_reset(sid, Reason::ProtocolError);
      if (f.informational && f.end_stream) throw Fault::library_reset(sid, Reason::ProtocolError);
      if (!f.informational && f.content_length_invalid) throw Fault::library_reset(sid, Reason::ProtocolError);
      StreamState next = s->state;
      next.recv_open(f.end_stream, f.informational);
      if (!f.informational) {
        ContentLength cl = s->content_length;
        if (f.content_length) cl.set(*f.content_length);
        if (f.end_stream && !cl.is_satisfied()) throw Fault::library_reset(sid, Reason::ProtocolError);
        s->content_length = cl;
        r.kind = HeadersKind::Head;
      }
      s->state = std::move(next);
      settle(*s, r.flags);
    } else if (s->state.is_recv_streaming()) {
      if (f.shape != HeadShape::Fields || f.truncated || !f.end_stream || !s->content_length.is_satisfied())
        throw Fault::library_reset(sid, Reason::ProtocolError);
      s->state.recv_close();
      r.kind = HeadersKind::Trailers;
      settle(*s, r.flags);
    } else {
      // HEADERS after the peer's END_STREAM (RFC 9113 section 5.1).
      throw Fault::library_reset(sid, Reason::StreamClosed);
    }
  } else if (reset_store_.contains(sid)) {
    // Ignored: the block was decoded, so HPACK stays in step.
  } else if (is_server()) {
    if (sid > max_stream_id_) return r;
    if (sid % 2 == 0 || sid <= highest_peer_id_)
      throw Fault::protocol(code(Reason::ProtocolError), "invalid new stream id " + std::to_string(sid));
    highest_peer_id_ = sid;
    if (f.truncated) {
      refuse_oversize(sid, f.end_stream);
      r.flags |= mark.wake();
      return r;
    }
    // Without our SETTINGS_ENABLE_CONNECT_PROTOCOL, :protocol is an unknown
    // pseudo-header field (RFC 8441 §3), not a tunnel to open.
    if (f.shape != HeadShape::Request || (f.extended_connect && !config_.enable_connect_protocol))
      throw Fault::library_reset(sid, Reason::ProtocolError);
    if (config_.max_concurrent_streams && active_streams_ >= *config_.max_concurrent_streams)
      throw Fault::library_reset(sid, Reason::RefusedStream);
    if (!spare) throw Fault::value("recv_headers: the server role needs a spare stream handle");
    if (f.content_length_invalid) throw Fault::library_reset(sid, Reason::ProtocolError);
    ContentLength cl;
    if (f.content_length) cl.set(*f.content_length);
    if (f.end_stream && !cl.is_satisfied()) throw Fault::library_reset(sid, Reason::ProtocolError);
    Stream& s = store_.insert(sid);
    s.state.recv_open(f.end_stream, false);
    s.recv_flow = FlowControl(static_cast<int32_t>(recv_initial_window_), static_cast<int32_t>(recv_initial_window_));
    s.send_flow = FlowControl(static_cast<int32_t>(peer_.initial_window_size),
                              static_cast<int32_t>(peer_.initial_window_size));
    s.content_length = cl;
    s.handle = spare;
    s.active = true;
    s.unpulled = true;
    ++active_streams_;
    last_processed_id_ = sid;
    r.kind = HeadersKind::Opened;
    r.handle = spare;
  } else if (is_idle_id(sid)) {
    throw idle_stream(sid);
  } else {
    throw Fault::library_reset(sid, Reason::StreamClosed);
  }
  r.flags |= mark.wake();
  return r;
}

DataResult Connection::recv_data(uint32_t sid, bool end_stream, uint32_t len, uint64_t size) {
  const PendingMark mark(pending_);
  DataResult r;
  r.eof = end_stream;
  Stream* sp = store_.find(sid);
  if (!sp) {
    absorb(len);
    if (reset_store_.contains(sid) || (is_server() && sid > max_stream_id_)) {
      r.flags |= mark.wake();
      return r;
    }
    if (is_idle_id(sid)) throw idle_stream(sid);
    throw Fault::library_reset(sid, Reason::StreamClosed);
  }
  Stream& s = *sp;
  if (!s.state.is_recv_streaming()) {
    absorb(len);
    throw Fault::protocol(code(Reason::ProtocolError), "unexpected DATA on stream " + std::to_string(sid));
  }
  if (conn_recv_.window() < 0 || static_cast<uint32_t>(conn_recv_.window()) < len) throw Fault::flow_control();
  conn_recv_.dec_recv_window(len);
  if (s.recv_flow.window() < 0 || static_cast<uint32_t>(s.recv_flow.window()) < len) {
    release_connection(len);
    throw Fault::library_reset(sid, Reason::FlowControlError);
  }
  ContentLength cl = s.content_length;
  if (!cl.dec(size) || (end_stream && !cl.is_satisfied())) {
    release_connection(len);
    throw Fault::library_reset(sid, Reason::ProtocolError);
  }
  s.recv_flow.dec_recv_window(len);
  s.content_length = cl;
  s.unreleased += len;
  // Padding never reaches the reader: its window goes back at once.
  if (len > size) release_stream(s, len - size);
  if (end_stream) s.state.recv_close();
  r.handle = s.handle;
  r.deliver = size > 0;
  if (!end_stream) {
    s.charged += budget_.record(size);
    r.budgeted = true;
  }
  if (end_stream) settle(s, r.flags);
  r.flags |= mark.wake();
  return r;
}

void Connection::recv_window_update(uint32_t sid, uint32_t increment, std::vector<void*>& wake) {
  if (sid == 0) {
    conn_send_.window_update(increment);
    store_.for_each([&](Stream& s) {
      if (s.handle && s.state.is_send_streaming()) wake.push_back(s.handle);
    });
    return;
  }
  if (Stream* s = store_.find(sid)) {
    try {
      s->send_flow.window_update(increment);
    } catch (const Fault&) {
      throw Fault::library_reset(sid, Reason::FlowControlError);
    }
    if (s->handle) wake.push_back(s->handle);
    return;
  }
  if (!reset_store_.contains(sid) && is_idle_id(sid)) throw idle_stream(sid);
}

ResetResult Connection::recv_reset(uint32_t sid, uint32_t error_code) {
  if (sid == 0) throw Fault::protocol(code(Reason::ProtocolError), "RST_STREAM on stream 0");
  ResetResult r;
  Stream* sp = store_.find(sid);
  if (!sp) {
    if (!reset_store_.contains(sid) && is_idle_id(sid)) throw idle_stream(sid);
    return r;
  }
  Stream& s = *sp;
  if (is_server() && s.unpulled) {
    if (reset_before_accept_.size() >= config_.max_pending_accept_reset_streams)
      throw Fault::protocol(code(Reason::EnhanceYourCalm), "too_many_resets");
    reset_before_accept_.push_back(sid);
  }
  const PendingMark mark(pending_);
  r.notify_body = !s.state.is_recv_end_stream();
  s.state.recv_reset(sid, error_code, s.send_buffered > 0);
  Stop stop = s.state.stop();
  if (!stop.reason) stop = Stop{error_code, false};
  r.stop = stop;
  r.handle = s.handle;
  close_stream(s, Teardown::PeerReset, stop, r.flags);
  r.flags |= mark.wake();
  return r;
}

uint32_t Connection::release_capacity(uint32_t sid, uint64_t n) {
  Stream* s = store_.find(sid);
  if (!s || s->reclaimed) return 0;
  const PendingMark mark(pending_);
  uint32_t flags = 0;
  release_stream(*s, n);
  settle(*s, flags);
  flags |= mark.wake();
  return flags;
}

void Connection::release_data_frame(uint32_t sid, uint64_t payload_len) {
  Stream* s = store_.find(sid);
  if (!s || payload_len == 0 || payload_len >= kDefaultDataFrameOverheadThreshold) return;
  const uint64_t charge = std::min<uint64_t>(kDefaultDataFrameOverheadThreshold - payload_len, s->charged);
  s->charged -= charge;
  budget_.release(charge);
  uint32_t flags = 0;
  settle(*s, flags);
}

void Connection::accepted(uint32_t sid) {
  if (Stream* s = store_.find(sid)) s->unpulled = false;
  std::erase(reset_before_accept_, sid);
}

// --- resets ------------------------------------------------------------------------

ResetResult Connection::reset_stream(uint32_t sid, uint32_t reason, Initiator by) {
  Stream* s = store_.find(sid);
  if (!s) return {};
  return core_reset(*s, reason, by);
}

void Connection::count_local_error() {
  ++local_error_resets_;
  if (config_.max_local_error_reset_streams && local_error_resets_ > *config_.max_local_error_reset_streams)
    throw Fault::protocol(code(Reason::EnhanceYourCalm), "too many stream resets");
}

void Connection::refuse_oversize(uint32_t sid, bool end_stream) {
  // The answer HTTP/1 gives a head over its limit (RFC 9113 §10.5.1 allows
  // it), so the client learns why instead of seeing a bare reset. It costs
  // a queued frame or two, so it counts as a reset for a peer violation:
  // a peer cannot make us queue answers without end.
  count_local_error();
  const Fault f = engine_.encode_response(sid, 431, nullptr, true, config_.auto_date_header, pending_);
  if (f) throw f;
  // The request body still coming is refused like any after a complete
  // response (RFC 9113 §8.1); its late frames are absorbed.
  if (!end_stream) {
    encode_rst_stream(sid, code(Reason::NoError), pending_);
    reset_store_.record(sid, now_nanos());
  }
  last_processed_id_ = sid;
}

ResetResult Connection::reset_on_error(uint32_t sid, uint32_t reason) {
  count_local_error();
  if (Stream* s = store_.find(sid)) return core_reset(*s, reason, Initiator::Library);
  const PendingMark mark(pending_);
  reset_store_.record(sid, now_nanos());
  encode_rst_stream(sid, reason, pending_);
  ResetResult r;
  r.flags |= mark.wake();
  return r;
}

ResetResult Connection::aclose_body(uint32_t sid) {
  Stream* s = store_.find(sid);
  if (!s) return {};
  if (!s->state.is_recv_end_stream()) return core_reset(*s, code(Reason::Cancel), Initiator::User);
  // The body is complete on the wire: nothing to cancel, but what the
  // reader will never consume goes back to the connection.
  const PendingMark mark(pending_);
  ResetResult r;
  reclaim(*s);
  settle(*s, r.flags);
  r.flags |= mark.wake();
  return r;
}

// --- GOAWAY, shutdown, failure -------------------------------------------------------

uint32_t Connection::recv_go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug,
                                  std::vector<Stopped>& aborted) {
  if (peer_go_away_ && last_stream_id > peer_go_away_->last_stream_id)
    throw Fault::protocol(code(Reason::ProtocolError), "GOAWAY may not raise last_stream_id");
  peer_go_away_ = PeerGoAway{last_stream_id, error_code, std::string(debug)};
  reach(kPeerGoAway);
  const PendingMark mark(pending_);
  uint32_t flags = kFlagSlotFreed;
  // The last stream id counts the streams the GOAWAY's receiver (us)
  // initiated: a server's request streams came from the peer and complete.
  std::vector<uint32_t> gone;
  store_.for_each([&](Stream& s) {
    if (is_local_id(s.id) && s.id > last_stream_id) gone.push_back(s.id);
  });
  for (uint32_t id : gone) {
    Stream& s = *store_.find(id);
    if (!s.state.is_closed()) s.state.set_go_away(error_code, Initiator::Remote);
    aborted.push_back(Stopped{s.handle, s.state.stop()});
    close_stream(s, Teardown::GoAway, aborted.back().stop, flags);
  }
  flags |= mark.wake();
  return flags;
}

uint32_t Connection::send_goaway(uint32_t reason) {
  const PendingMark mark(pending_);
  encode_go_away(role_last_stream_id(), reason, {}, pending_);
  return mark.wake();
}

uint32_t Connection::maybe_goaway_reply() {
  if (!peer_go_away_ || peer_go_away_->last_stream_id >= kMaxStreamId) return 0;
  if (failed() || active_streams_ > 0 || goaway_replied()) return 0;
  encode_go_away(role_last_stream_id(), code(Reason::NoError), {}, pending_);
  reach(kGoAwayReplied);
  reach(kFailed);
  closure_ = kGoAwayExchanged;
  return kFlagWake | kFlagConnDone;
}

uint32_t Connection::begin_graceful_shutdown() {
  if (graceful()) return 0;
  reach(kGraceful);
  encode_go_away(kMaxStreamId, code(Reason::NoError), {}, pending_);
  encode_ping(kShutdownPing, false, pending_);
  return kFlagWake;
}

bool Connection::fail(void* exc, std::string_view message, std::vector<Stopped>& out) {
  bool taken = false;
  if (!failed()) {
    reach(kFailed);
    if (exc) {
      conn_exc_ = exc;
      taken = true;
    } else {
      closure_ = std::string(message);
    }
  }
  std::vector<uint32_t> ids;
  store_.for_each([&](Stream& s) { ids.push_back(s.id); });
  uint32_t flags = 0;
  for (uint32_t id : ids) {
    Stream& s = *store_.find(id);
    if (!s.state.is_closed()) {
      s.state.recv_eof();
      out.push_back(Stopped{s.handle, Stop{std::nullopt, true}});
    }
    close_stream(s, Teardown::Failure, Stop{}, flags);
  }
  return taken;
}

}  // namespace quillon::h2
