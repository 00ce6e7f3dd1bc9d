#include "h2/conn.hpp"

#include <algorithm>
#include <cstring>

#include "h2/constants.hpp"

namespace quillon::h2 {

namespace {

Fault frame_size_out_of_range(uint32_t v) {
  return Fault::value("max_frame_size must be in [" + std::to_string(kDefaultMaxFrameSize) + ", " +
                      std::to_string(kMaxMaxFrameSize) + "], got " + std::to_string(v));
}

bool frame_size_in_range(uint32_t v) { return v >= kDefaultMaxFrameSize && v <= kMaxMaxFrameSize; }

// A stream the peer may still be sent DATA on, so whose send window a
// SETTINGS change moves.
bool send_half_open(const StreamState& s) {
  using Tag = StreamState::Tag;
  return s.tag() != Tag::ReservedRemote && s.tag() != Tag::HalfClosedLocal && s.tag() != Tag::Closed;
}

}  // namespace

std::optional<Role> role_named(std::string_view text) {
  if (text == "client") return Role::Client;
  if (text == "server") return Role::Server;
  return std::nullopt;
}

Role parse_role(std::string_view text) {
  if (const std::optional<Role> r = role_named(text)) return *r;
  throw Fault::value("role must be 'client' or 'server', got " + std::string(text));
}

void Config::validate() const {
  if (!frame_size_in_range(max_frame_size)) throw frame_size_out_of_range(max_frame_size);
  if (initial_window_size > FlowControl::kMaxWindow || connection_window > FlowControl::kMaxWindow) {
    throw Fault::value("window sizes must be <= " + std::to_string(FlowControl::kMaxWindow) + " (RFC 9113 6.9.1)");
  }
}

// --- connection -------------------------------------------------------------

Connection::Connection(const Config& config)
    : config_(config),
      engine_(config.role == Role::Client),
      recv_initial_window_(std::max(config.initial_window_size, kDefaultInitialWindowSize)),
      conn_send_(kDefaultInitialWindowSize, kDefaultInitialWindowSize),
      conn_recv_(kDefaultInitialWindowSize, kDefaultInitialWindowSize),
      max_stream_id_(kMaxStreamId),
      budget_(config.data_frame_budget, config.connection_window) {
  if (is_server()) engine_.expect_preface();
  pending_.reserve(kPendingBufferStart);
  // The header-list size we advertise is ours to enforce from the first
  // byte: it is advisory to the peer, not a promise to accept more until it
  // has acknowledged it. The frame size waits for the ACK (until then the
  // peer may only use the default), in wire order: the decoder applies it
  // at the ACK itself, not when the ACK's record is handled later.
  applied_header_list_size_ = config.max_header_list_size;
  engine_.set_max_header_list_size(applied_header_list_size_);
  engine_.set_max_recv_frame_size_at_ack(config.max_frame_size);
  engine_.set_batch_header_cap(config.max_batch_header_bytes);
}

void Connection::queue_connection_window_update() {
  if (const auto unclaimed = conn_recv_.unclaimed_capacity()) {
    const auto increment = static_cast<uint32_t>(*unclaimed);
    conn_recv_.inc_window(increment);
    encode_window_update(0, increment, pending_);
  }
}

void Connection::begin() {
  // Once is the handshake; a second preface or SETTINGS in the middle of
  // the stream would break the connection.
  if (settings_ack_ != SettingsAck::NotSent) return;
  SettingsValues ours;
  ours.initial_window_size = config_.initial_window_size;
  ours.max_frame_size = config_.max_frame_size;
  ours.max_header_list_size = config_.max_header_list_size;
  if (is_server()) {
    ours.max_concurrent_streams = config_.max_concurrent_streams;
    if (config_.enable_connect_protocol) ours.enable_connect_protocol = true;
  }
  ours.enable_push = config_.enable_push;
  const size_t before = pending_.size();
  if (!is_server()) pending_.append(kPreface);
  if (Fault f = encode_settings(ours, pending_)) {
    pending_.resize(before);
    throw f;
  }
  settings_ack_ = SettingsAck::Sent;
  if (config_.connection_window > kDefaultInitialWindowSize) {
    conn_recv_.assign_capacity(config_.connection_window - kDefaultInitialWindowSize);
    queue_connection_window_update();
  }
}

void Connection::ack_settings() {
  if (settings_ack_ != SettingsAck::Sent) throw Fault::protocol(code(Reason::ProtocolError), "received unexpected settings ack");
  settings_ack_ = SettingsAck::Acked;
}

void Connection::apply_local_settings() {
  // The acknowledgement can only lower the header-list limit in force, never
  // raise it above what the decoder enforced from the start.
  applied_header_list_size_ = std::min<uint64_t>(applied_header_list_size_, config_.max_header_list_size);
  engine_.set_max_header_list_size(applied_header_list_size_);
  if (!frame_size_in_range(config_.max_frame_size)) throw frame_size_out_of_range(config_.max_frame_size);
  engine_.set_max_recv_frame_size(config_.max_frame_size);
  // We never advertise SETTINGS_HEADER_TABLE_SIZE, so the decoder's table
  // stays at the protocol default.
}

void Connection::apply_acked_window() {
  const uint32_t now_in_force = config_.initial_window_size;
  if (now_in_force == recv_initial_window_) return;
  const int64_t delta = int64_t{now_in_force} - recv_initial_window_;
  store_.for_each([&](Stream& s) { s.recv_flow.adjust(delta); });
  recv_initial_window_ = now_in_force;
}

uint32_t Connection::recv_peer_settings(const SettingsFrame& f, bool& initial, std::vector<void*>& wake) {
  const PendingMark mark(pending_);
  uint32_t flags = 0;
  count_control_reply();
  encode_settings_ack(pending_);
  initial = !peer_.received;
  peer_.received = true;
  if (f.max_concurrent_streams) {
    peer_.max_concurrent_streams = *f.max_concurrent_streams;
    if (!is_server()) {
      stream_limit_ = *f.max_concurrent_streams;
      flags |= kFlagSlotFreed;
    }
  }
  if (f.max_frame_size) {
    if (!frame_size_in_range(*f.max_frame_size)) throw frame_size_out_of_range(*f.max_frame_size);
    peer_.max_frame_size = *f.max_frame_size;
    engine_.set_send_max_frame_size(*f.max_frame_size);
  }
  if (f.header_table_size) {
    peer_.header_table_size = *f.header_table_size;
    engine_.set_send_header_table_size(*f.header_table_size);
  }
  if (f.enable_push) peer_.enable_push = *f.enable_push;
  if (f.enable_connect_protocol) peer_.enable_connect_protocol = *f.enable_connect_protocol;
  if (f.initial_window_size && *f.initial_window_size != peer_.initial_window_size) {
    const int64_t delta = int64_t{*f.initial_window_size} - peer_.initial_window_size;
    store_.for_each([&](Stream& s) {
      if (!send_half_open(s.state)) return;
      s.send_flow.adjust(delta);
      if (delta > 0 && s.handle) wake.push_back(s.handle);
    });
    peer_.initial_window_size = *f.initial_window_size;
  }
  flags |= mark.wake();
  return flags;
}

uint32_t Connection::recv_ping(bool ack, std::string_view payload) {
  const PendingMark mark(pending_);
  if (!ack) {
    if (payload.size() != sizeof kShutdownPing) return 0;  // the decoder lets no such PING through
    count_control_reply();
    encode_ping(payload.data(), true, pending_);
    return mark.wake();
  }
  if (payload.size() != sizeof kShutdownPing || !is_server()) return 0;
  if (std::memcmp(payload.data(), kShutdownPing, sizeof kShutdownPing) != 0) return 0;
  if (!graceful() || shutdown_final()) return 0;
  // The client has seen everything we sent before our first GOAWAY: the
  // streams it could still open are exactly those we have accepted.
  max_stream_id_ = last_processed_id_;
  encode_go_away(max_stream_id_, code(Reason::NoError), {}, pending_);
  reach(kShutdownFinal);
  uint32_t flags = mark.wake();
  if (active_streams_ == 0) flags |= kFlagStopAccepting;
  return flags;
}

std::string Connection::take_pending() {
  std::string out;
  out.swap(pending_);
  pending_.swap(spare_);
  written_credits_.insert(written_credits_.end(), credits_.begin(), credits_.end());
  credits_.clear();
  control_replies_ = 0;
  return out;
}

void Connection::recycle(std::string&& buffer) {
  if (buffer.capacity() > kMaxSpareCapacity || buffer.capacity() <= spare_.capacity()) return;
  buffer.clear();
  spare_ = std::move(buffer);
}

void Connection::take_handles(std::vector<void*>& out) {
  store_.for_each([&](Stream& s) {
    if (s.handle) out.push_back(std::exchange(s.handle, nullptr));
  });
  if (conn_exc_) out.push_back(std::exchange(conn_exc_, nullptr));
  out.insert(out.end(), dead_.begin(), dead_.end());
  dead_.clear();
}

void Connection::count_control_reply() {
  if (control_replies_ >= kMaxQueuedControlReplies)
    throw Fault::protocol(code(Reason::EnhanceYourCalm), "too_many_control_frames");
  ++control_replies_;
}

void Connection::receive(std::string_view data, std::vector<Frame>& out) {
  if (decode_failed_) throw decode_failure_;
  auto fail = [&](Fault f) {
    decode_failed_ = true;
    decode_failure_ = std::move(f);
    throw decode_failure_;
  };
  // A server's engine matches the preface first; primed bytes only ever
  // follow a matched one.
  if (!primed_.empty()) {
    // One engine call for both, so the batch bound holds across them.
    primed_.append(data);
    const size_t first = out.size();
    if (Fault f = engine_.receive(primed_, out)) fail(std::move(f));
    // Payload slices must not point into a buffer we are about to clear.
    for (size_t i = first; i < out.size(); ++i) {
      if (auto* d = std::get_if<DataFrame>(&out[i]); d && !d->owns) {
        d->owned.assign(d->borrowed);
        d->owns = true;
      }
    }
    std::string().swap(primed_);
    return;
  }
  if (Fault f = engine_.receive(data, out)) fail(std::move(f));
}

std::optional<bool> Connection::prime(std::string_view data) {
  if (engine_.awaiting_preface()) {
    switch (engine_.feed_preface(data)) {
      case PrefaceMatch::Mismatch:
        return false;
      case PrefaceMatch::Partial:
        return std::nullopt;
      case PrefaceMatch::Complete:
        return true;
    }
  }
  primed_.append(data);
  return true;
}

}  // namespace quillon::h2
