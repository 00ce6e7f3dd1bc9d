// The per-stream and per-connection building blocks of HTTP/2 (RFC 9113
// sections 5.1, 6.9, 8.1.1): the stream state machine, a flow-control window
// pair, the content-length tracker of a received body and the DATA-framing
// budget. Plain values with no lock: the connection object keeps one of each
// per stream under its state mutex, and each standalone host class wraps the
// same value behind a mutex of its own. Rule violations throw Fault and leave
// the value as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "h2/stream_error.hpp"

namespace quillon::h2 {

// Why a stream can no longer be read or written, as readers and writers are
// told: the RST_STREAM/GOAWAY code when there is one, and whether a
// connection-level error applies. Neither: a local cancel or a clean end.
struct Stop {
  std::optional<uint32_t> reason;
  bool conn = false;
};

// One stream's state (RFC 9113 section 5.1), with the cause of its closing.
// Every transition below is one call; the connection object makes each one
// inside a single acquisition of its state mutex.
class StreamState {
 public:
  enum class Tag : uint8_t { Idle, ReservedLocal, ReservedRemote, Open, HalfClosedLocal, HalfClosedRemote, Closed };
  // A half: no non-informational HEADERS yet on it, or headers done.
  enum class Half : uint8_t { AwaitingHeaders, Streaming };
  enum class Cause : uint8_t {
    EndStream,            // both halves ended normally
    Error,                // closed by error()
    ErrorAfterEndStream,  // closed by error() after the peer's END_STREAM
    ScheduledLibraryReset,
  };

  // --- transitions (each throws before changing anything) ---

  // We send HEADERS; unexpected_frame_type in a state that cannot send them.
  void send_open(bool eos);
  // We receive HEADERS (`informational`: a 1xx head; END_STREAM wins over
  // it). True when the frame opened the stream. Protocol error in a state
  // that cannot receive them.
  bool recv_open(bool eos, bool informational);
  void reserve_remote();  // PUSH_PROMISE received; protocol error unless Idle
  void reserve_local();   // PUSH_PROMISE sent; unexpected_frame_type unless Idle
  // The peer's END_STREAM; protocol error unless the receive half is open.
  void recv_close();
  // The peer's RST_STREAM. A closed stream keeps its cause unless frames of
  // it still wait to be sent (`queued`).
  void recv_reset(uint32_t stream_id, uint32_t reason, bool queued);
  // The transport closed: any open state becomes an I/O error.
  void recv_eof();
  // Ends our send half if it is streaming, in the same step as the check:
  // false (and nothing changed) otherwise, e.g. when a reset closed the
  // stream from the read side meanwhile.
  bool send_close();
  // Unconditionally closed by a reset.
  void set_reset(uint32_t stream_id, uint32_t reason, Initiator by);
  // Closed because the peer's GOAWAY says it never processed the stream.
  void set_go_away(uint32_t reason, Initiator by);
  // A reset we will send; false (nothing changed) on a closed stream.
  bool set_scheduled_reset(uint32_t reason);
  std::optional<uint32_t> scheduled_reset() const;
  // May the receive half still deliver? Throws the stored error of a stream
  // closed by one (a scheduled reset as a protocol error with its code).
  bool ensure_recv_open() const;

  // --- predicates ---
  bool is_idle() const { return tag_ == Tag::Idle; }
  bool is_closed() const { return tag_ == Tag::Closed; }
  bool is_reset() const { return tag_ == Tag::Closed && cause_ != Cause::EndStream; }
  bool is_scheduled_reset() const { return tag_ == Tag::Closed && cause_ == Cause::ScheduledLibraryReset; }
  bool is_local_error() const;
  bool is_remote_reset() const;
  bool is_send_streaming() const;
  bool is_send_closed() const;
  bool is_recv_headers() const;
  bool is_recv_streaming() const;
  bool is_recv_end_stream() const;

  // The stop record readers and writers see for this state.
  Stop stop() const;

  // "Open { local: Streaming, remote: AwaitingHeaders }", "Closed(EndStream)" ...
  std::string render() const;

  Tag tag() const { return tag_; }

 private:
  void open(Half local, Half remote) { set(Tag::Open, local, remote); }
  // HalfClosedLocal keeps the remote half, HalfClosedRemote the local one.
  void half_closed_local(Half remote) { set(Tag::HalfClosedLocal, Half::AwaitingHeaders, remote); }
  void half_closed_remote(Half local) { set(Tag::HalfClosedRemote, local, Half::AwaitingHeaders); }
  void set(Tag t, Half local = Half::AwaitingHeaders, Half remote = Half::AwaitingHeaders) {
    tag_ = t;
    local_ = local;
    remote_ = remote;
  }
  void close(Cause c) {
    set(Tag::Closed);
    cause_ = c;
  }
  void close_with(Cause c, StreamError e) {
    close(c);
    error_ = std::move(e);
  }
  bool has_error() const {
    return tag_ == Tag::Closed && (cause_ == Cause::Error || cause_ == Cause::ErrorAfterEndStream);
  }

  Tag tag_ = Tag::Idle;
  Half local_ = Half::AwaitingHeaders;
  Half remote_ = Half::AwaitingHeaders;
  Cause cause_ = Cause::EndStream;
  uint32_t scheduled_ = 0;  // ScheduledLibraryReset's code
  StreamError error_;       // Error, ErrorAfterEndStream
};

// A flow-control window pair (RFC 9113 section 6.9): the window as
// advertised (negative after a SETTINGS decrease) and the capacity that may
// be used or has been handed out. Every amount passed in is at most
// kMaxWindow (the size test, a Value fault); a result outside the signed
// 32-bit range is a FlowControl fault. A failing call changes nothing.
class FlowControl {
 public:
  // RFC 9113 section 6.9.1: the largest window and the largest increment.
  static constexpr uint32_t kMaxWindow = 2147483647;

  FlowControl() = default;
  FlowControl(int32_t window, int32_t available) : window_(window), available_(available) {}

  int32_t window() const { return window_; }                          // may be negative
  uint32_t window_size() const { return window_ < 0 ? 0 : window_; }  // as a sender may use it
  int32_t available() const { return available_; }

  bool has_unavailable() const { return window_ >= 0 && window_ > available_; }
  // Released capacity worth announcing: available - window when it is at
  // least half the window (so WINDOW_UPDATEs are batched), else none.
  std::optional<int32_t> unclaimed_capacity() const;

  void claim_capacity(uint32_t n);   // available -= n
  void assign_capacity(uint32_t n);  // available += n
  void inc_window(uint32_t n);       // window += n
  // A WINDOW_UPDATE on a send pair: the window and the capacity that
  // send_data spends both grow by n, so the pair bounds the bytes in flight
  // and never the total a connection carries.
  void window_update(uint32_t n);
  void dec_send_window(uint32_t n);  // window -= n
  void dec_recv_window(uint32_t n);  // window -= n and available -= n
  // Spends n of the window for a DATA frame we send: a FlowControl fault
  // when n exceeds the window (negative counts as 0); 0 changes nothing.
  void send_data(uint32_t n);
  // Adds a SETTINGS_INITIAL_WINDOW_SIZE change (either sign, |delta| within
  // the size test) to both values.
  void adjust(int64_t delta);

 private:
  static void size_test(uint32_t n);
  static int32_t checked(int64_t v);

  int32_t window_ = 0;
  int32_t available_ = 0;
};

// content-length of a received body (RFC 9113 section 8.1.1): the DATA
// payload must add up to it.
class ContentLength {
 public:
  enum class Kind : uint8_t { Omitted, Head, Remaining };

  ContentLength() = default;
  explicit ContentLength(bool is_head) : kind_(is_head ? Kind::Head : Kind::Omitted) {}

  bool is_head() const { return kind_ == Kind::Head; }
  // The declared length; a response to HEAD stays bodiless whatever it says.
  void set(uint64_t value);
  // Counts `len` received payload bytes: false (nothing changed) when they
  // are more than the body may still carry.
  bool dec(uint64_t len);
  bool is_satisfied() const { return kind_ != Kind::Remaining || remaining_ == 0; }

  Kind kind() const { return kind_; }
  uint64_t remaining() const { return remaining_; }

 private:
  Kind kind_ = Kind::Omitted;
  uint64_t remaining_ = 0;
};

// The connection's defence against DATA fragmentation: flow control bounds
// bytes, not frames, so a peer could stay inside every window while sending
// a body one byte per frame. Each small non-final frame is charged the
// overhead it imposes below the threshold, sizeable frames earn budget back,
// and empty non-final frames are capped over the connection's life. The
// caller records only frames without END_STREAM.
class DataFrameBudget {
 public:
  // The budget: `configured` when given, else half the connection window
  // (never below kDefaultDataFrameBudget), else the same for the default
  // 65535 window.
  explicit DataFrameBudget(std::optional<uint64_t> configured = std::nullopt,
                           std::optional<uint32_t> connection_window = std::nullopt);

  // Charges one non-final DATA frame of `payload_len` bytes and returns the
  // charge, to be given back with release() when the application consumes
  // the frame's chunk. Protocol fault ENHANCE_YOUR_CALM "too_many_data_frames"
  // past the empty-frame cap or when the budget cannot cover a small frame.
  uint64_t record(uint64_t payload_len);
  void release(uint64_t charge);

  uint64_t available() const { return available_; }
  uint64_t cap() const { return cap_; }
  uint64_t empty_frames() const { return empty_frames_; }

 private:
  uint64_t available_;
  uint64_t cap_;
  uint64_t empty_frames_ = 0;
};

Fault too_many_data_frames();

}  // namespace quillon::h2
