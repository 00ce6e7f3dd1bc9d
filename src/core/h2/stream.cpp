#include "h2/stream.hpp"

#include <algorithm>
#include <limits>

#include "h2/constants.hpp"

namespace quillon::h2 {

using Tag = StreamState::Tag;
using Half = StreamState::Half;
using Cause = StreamState::Cause;

// --- stream state -----------------------------------------------------------

void StreamState::send_open(bool eos) {
  switch (tag_) {
    case Tag::Idle:
      if (eos) {
        half_closed_local(Half::AwaitingHeaders);
      } else {
        open(Half::Streaming, Half::AwaitingHeaders);
      }
      return;
    case Tag::Open:
      if (local_ != Half::AwaitingHeaders) break;
      if (eos) {
        half_closed_local(remote_);
      } else {
        open(Half::Streaming, remote_);
      }
      return;
    case Tag::HalfClosedRemote:
      if (local_ != Half::AwaitingHeaders) break;
      [[fallthrough]];
    case Tag::ReservedLocal:
      if (eos) {
        close(Cause::EndStream);
      } else {
        half_closed_remote(Half::Streaming);
      }
      return;
    case Tag::ReservedRemote:
    case Tag::HalfClosedLocal:
    case Tag::Closed:
      break;
  }
  throw unexpected_frame_type();
}

bool StreamState::recv_open(bool eos, bool informational) {
  switch (tag_) {
    case Tag::Idle:
      if (eos) {
        half_closed_remote(Half::AwaitingHeaders);
      } else {
        open(Half::AwaitingHeaders, informational ? Half::AwaitingHeaders : Half::Streaming);
      }
      return true;
    case Tag::ReservedRemote:
      if (eos) {
        close(Cause::EndStream);
      } else if (!informational) {
        half_closed_local(Half::Streaming);
      }
      return true;
    case Tag::Open:
      if (remote_ != Half::AwaitingHeaders) break;
      if (eos) {
        half_closed_remote(local_);
      } else if (!informational) {
        open(local_, Half::Streaming);
      }
      return false;
    case Tag::HalfClosedLocal:
      if (remote_ != Half::AwaitingHeaders) break;
      if (eos) {
        close(Cause::EndStream);
      } else if (!informational) {
        half_closed_local(Half::Streaming);
      }
      return false;
    case Tag::ReservedLocal:
    case Tag::HalfClosedRemote:
    case Tag::Closed:
      break;
  }
  throw state_protocol_error();
}

void StreamState::reserve_remote() {
  if (tag_ != Tag::Idle) throw state_protocol_error();
  set(Tag::ReservedRemote);
}

void StreamState::reserve_local() {
  if (tag_ != Tag::Idle) throw unexpected_frame_type();
  set(Tag::ReservedLocal);
}

void StreamState::recv_close() {
  switch (tag_) {
    case Tag::Open:
      half_closed_remote(local_);
      return;
    case Tag::HalfClosedLocal:
      close(Cause::EndStream);
      return;
    default:
      throw state_protocol_error();
  }
}

void StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) {
  if (tag_ == Tag::Closed && !queued) return;
  const Cause c = is_recv_end_stream() ? Cause::ErrorAfterEndStream : Cause::Error;
  close_with(c, StreamError::reset(stream_id, reason, Initiator::Remote));
}

void StreamState::recv_eof() {
  if (tag_ == Tag::Closed) return;
  close_with(Cause::Error, StreamError::broken_pipe());
}

bool StreamState::send_close() {
  if (!is_send_streaming()) return false;
  if (tag_ == Tag::Open) {
    half_closed_local(remote_);
  } else {
    close(Cause::EndStream);
  }
  return true;
}

void StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator by) {
  close_with(Cause::Error, StreamError::reset(stream_id, reason, by));
}

void StreamState::set_go_away(uint32_t reason, Initiator by) {
  close_with(Cause::Error, StreamError::go_away({}, reason, by));
}

bool StreamState::set_scheduled_reset(uint32_t reason) {
  if (tag_ == Tag::Closed) return false;
  close(Cause::ScheduledLibraryReset);
  scheduled_ = reason;
  return true;
}

std::optional<uint32_t> StreamState::scheduled_reset() const {
  if (is_scheduled_reset()) return scheduled_;
  return std::nullopt;
}

bool StreamState::ensure_recv_open() const {
  switch (tag_) {
    case Tag::Closed:
      switch (cause_) {
        case Cause::Error:
          throw Fault::stream(error_);
        case Cause::ScheduledLibraryReset:
          throw Fault::protocol(scheduled_, reason_description(scheduled_));
        case Cause::EndStream:
        case Cause::ErrorAfterEndStream:
          return false;
      }
      return false;
    case Tag::HalfClosedRemote:
    case Tag::ReservedLocal:
      return false;
    case Tag::Idle:
    case Tag::ReservedRemote:
    case Tag::Open:
    case Tag::HalfClosedLocal:
      return true;
  }
  return true;
}

bool StreamState::is_local_error() const {
  if (is_scheduled_reset()) return true;
  return has_error() && error_.is_local();
}

bool StreamState::is_remote_reset() const {
  return has_error() && error_.kind == StreamError::Kind::Reset && error_.initiator == Initiator::Remote;
}

bool StreamState::is_send_streaming() const {
  return (tag_ == Tag::Open || tag_ == Tag::HalfClosedRemote) && local_ == Half::Streaming;
}

bool StreamState::is_send_closed() const {
  return tag_ == Tag::Closed || tag_ == Tag::HalfClosedLocal || tag_ == Tag::ReservedRemote;
}

bool StreamState::is_recv_headers() const {
  switch (tag_) {
    case Tag::Idle:
    case Tag::ReservedRemote:
      return true;
    case Tag::Open:
    case Tag::HalfClosedLocal:
      return remote_ == Half::AwaitingHeaders;
    default:
      return false;
  }
}

bool StreamState::is_recv_streaming() const {
  return (tag_ == Tag::Open || tag_ == Tag::HalfClosedLocal) && remote_ == Half::Streaming;
}

bool StreamState::is_recv_end_stream() const {
  return tag_ == Tag::HalfClosedRemote ||
         (tag_ == Tag::Closed && (cause_ == Cause::EndStream || cause_ == Cause::ErrorAfterEndStream));
}

Stop StreamState::stop() const {
  if (tag_ != Tag::Closed) return {};
  switch (cause_) {
    case Cause::EndStream:
      return {};
    case Cause::ScheduledLibraryReset:
      return {scheduled_, true};
    case Cause::Error:
    case Cause::ErrorAfterEndStream:
      switch (error_.kind) {
        case StreamError::Kind::Reset:
          return {error_.reason, false};
        case StreamError::Kind::GoAway:
          // After END_STREAM the body itself was complete.
          return {error_.reason, cause_ == Cause::Error};
        case StreamError::Kind::Io:
          return {std::nullopt, true};
      }
  }
  return {};
}

std::string StreamState::render() const {
  auto half = [](Half h) { return h == Half::Streaming ? "Streaming" : "AwaitingHeaders"; };
  switch (tag_) {
    case Tag::Idle:
      return "Idle";
    case Tag::ReservedLocal:
      return "ReservedLocal";
    case Tag::ReservedRemote:
      return "ReservedRemote";
    case Tag::Open:
      return std::string("Open { local: ") + half(local_) + ", remote: " + half(remote_) + " }";
    case Tag::HalfClosedLocal:
      return std::string("HalfClosedLocal(") + half(remote_) + ")";
    case Tag::HalfClosedRemote:
      return std::string("HalfClosedRemote(") + half(local_) + ")";
    case Tag::Closed:
      switch (cause_) {
        case Cause::EndStream:
          return "Closed(EndStream)";
        case Cause::Error:
          return "Closed(Error(" + h2::render(error_) + "))";
        case Cause::ErrorAfterEndStream:
          return "Closed(ErrorAfterEndStream(" + h2::render(error_) + "))";
        case Cause::ScheduledLibraryReset:
          return "Closed(ScheduledLibraryReset(" + render_reason(scheduled_) + "))";
      }
  }
  return "Idle";
}

// --- flow control -----------------------------------------------------------

void FlowControl::size_test(uint32_t n) {
  if (n > kMaxWindow) {
    throw Fault::value("window size " + std::to_string(n) + " exceeds the maximum " + std::to_string(kMaxWindow) +
                       " (RFC 9113 6.9.1)");
  }
}

int32_t FlowControl::checked(int64_t v) {
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    throw Fault::flow_control();
  }
  return static_cast<int32_t>(v);
}

std::optional<int32_t> FlowControl::unclaimed_capacity() const {
  const int64_t unclaimed = int64_t{available_} - window_;
  if (unclaimed <= 0) return std::nullopt;
  if (unclaimed < window_ / 2) return std::nullopt;
  // available and window are each within i32, and the difference is
  // positive, so it fits unless the window is negative; clamp that case.
  return static_cast<int32_t>(std::min<int64_t>(unclaimed, kMaxWindow));
}

void FlowControl::claim_capacity(uint32_t n) {
  size_test(n);
  available_ = checked(int64_t{available_} - n);
}

void FlowControl::assign_capacity(uint32_t n) {
  size_test(n);
  available_ = checked(int64_t{available_} + n);
}

void FlowControl::inc_window(uint32_t n) {
  size_test(n);
  window_ = checked(int64_t{window_} + n);
}

void FlowControl::window_update(uint32_t n) {
  size_test(n);
  const int32_t w = checked(int64_t{window_} + n);
  const int32_t a = checked(int64_t{available_} + n);
  window_ = w;
  available_ = a;
}

void FlowControl::dec_send_window(uint32_t n) {
  size_test(n);
  window_ = checked(int64_t{window_} - n);
}

void FlowControl::dec_recv_window(uint32_t n) {
  size_test(n);
  const int32_t w = checked(int64_t{window_} - n);
  const int32_t a = checked(int64_t{available_} - n);
  window_ = w;
  available_ = a;
}

void FlowControl::send_data(uint32_t n) {
  if (n == 0) return;
  if (n > window_size()) throw Fault::flow_control();
  const int32_t a = checked(int64_t{available_} - n);
  window_ -= static_cast<int32_t>(n);
  available_ = a;
}

void FlowControl::adjust(int64_t delta) {
  const int32_t w = checked(int64_t{window_} + delta);
  const int32_t a = checked(int64_t{available_} + delta);
  window_ = w;
  available_ = a;
}

// --- content length ---------------------------------------------------------

void ContentLength::set(uint64_t value) {
  if (kind_ == Kind::Head) return;
  kind_ = Kind::Remaining;
  remaining_ = value;
}

bool ContentLength::dec(uint64_t len) {
  switch (kind_) {
    case Kind::Omitted:
      return true;
    case Kind::Head:
      return len == 0;
    case Kind::Remaining:
      if (len > remaining_) return false;
      remaining_ -= len;
      return true;
  }
  return true;
}

// --- DATA-framing budget ----------------------------------------------------

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t resolve_budget(std::optional<uint64_t> configured, std::optional<uint32_t> connection_window) {
  if (configured) return *configured;
  const uint32_t window = connection_window.value_or(kDefaultInitialWindowSize);
  return std::max<uint64_t>(window / 2, kDefaultDataFrameBudget);
}

}  // namespace

Fault too_many_data_frames() { return Fault::protocol(code(Reason::EnhanceYourCalm), "too_many_data_frames"); }

DataFrameBudget::DataFrameBudget(std::optional<uint64_t> configured, std::optional<uint32_t> connection_window)
    : available_(resolve_budget(configured, connection_window)), cap_(available_) {}

uint64_t DataFrameBudget::record(uint64_t payload_len) {
  if (payload_len == 0) {
    const uint64_t count = empty_frames_;
    // The counter stops one past the cap: every later empty frame fails the
    // same way, and the count cannot wrap however long a peer keeps going.
    if (count <= kMaxRecvEmptyDataFrames) empty_frames_ = count + 1;
    if (count < kMaxRecvEmptyDataFrames) return 0;
    throw too_many_data_frames();
  }
  if (payload_len < kDefaultDataFrameOverheadThreshold) {
    const uint64_t overhead = kDefaultDataFrameOverheadThreshold - payload_len;
    if (available_ < overhead) throw too_many_data_frames();
    available_ -= overhead;
    return overhead;
  }
  available_ = std::min(saturating_add(available_, payload_len - kDefaultDataFrameOverheadThreshold), cap_);
  return 0;
}

void DataFrameBudget::release(uint64_t charge) { available_ = std::min(saturating_add(available_, charge), cap_); }

}  // namespace quillon::h2
