// The whole protocol state of one HTTP/2 connection, either role: settings
// both ways, the connection windows, the stream store, the pending-send
// buffer, and the frame engine that decodes what arrives and encodes what we
// send. Sans-IO and host-free: stream handles are opaque owned pointers that
// go in and come back out, never looked into.
//
// Two lock domains, held by the owner (the binding) around these calls:
//   state  every member below except the decoding half of the engine,
//          including the HPACK encoder and all frame encoding;
//   codec  the decoding half of the engine and the preface state: receive(),
//          prime() and apply_local_settings() only.
// When both are held the state lock is taken first. The engine is one
// object whose encoding and decoding halves are disjoint members; each half
// is only touched under its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "h2/constants.hpp"
#include "h2/frames.hpp"
#include "h2/stream.hpp"
#include "h2/stream_store.hpp"

namespace quillon::h2 {

// A frame-engine failure as the connection raises it.

// First capacity of the pending-send buffer: a handshake, a few heads or a
// window update fit without regrowing. Buffers are recycled (the spare), so
// this is paid once per connection.
inline constexpr size_t kPendingBufferStart = 4096;
// Capacity a recycled buffer may keep: one burst of large DATA frames must
// not leave a huge buffer parked behind an idle connection.
inline constexpr size_t kMaxSpareCapacity = 1u << 20;
// What a server sends in a graceful-shutdown PING and expects back.
inline constexpr char kShutdownPing[8] = {'S', 'H', 'U', 'T', 'D', 'O', 'W', 'N'};
// SETTINGS ACKs and PING ACKs queued and not yet taken by the write pump. A
// peer that floods PINGs or SETTINGS and never reads would otherwise grow
// the pending buffer for as long as it likes; a well-behaved peer has a
// handful outstanding at most (other servers use the same figure).
inline constexpr uint32_t kMaxQueuedControlReplies = 1000;
// Streams torn down by a reset or GOAWAY leave the store at once, but an
// application task may still try to send on one and must learn why it
// stopped: the stops of this many recently torn-down streams are kept.
inline constexpr size_t kRecentStops = 64;
// The closure recorded once both sides have exchanged GOAWAY.
inline constexpr const char* kGoAwayExchanged = "connection closed: GOAWAY exchanged";

// What every state method ends with: did this step queue anything for the
// write pump? Remembers the pending buffer's size; wake() is kFlagWake once
// the buffer grew past it.
class PendingMark {
 public:
  explicit PendingMark(const std::string& pending) : pending_(pending), before_(pending.size()) {}
  uint32_t wake() const { return pending_.size() > before_ ? uint32_t{kFlagWake} : 0; }

 private:
  const std::string& pending_;
  const size_t before_;
};

enum class Role : uint8_t { Client, Server };

// "client" / "server"; nullopt for any other text.
std::optional<Role> role_named(std::string_view text);
// The same, with a Value fault naming the text for any other.
Role parse_role(std::string_view text);

struct Config {
  Role role = Role::Client;
  uint32_t initial_window_size = 65535;
  uint32_t connection_window = 65535;
  uint32_t max_frame_size = 16384;
  uint32_t max_header_list_size = 16384;
  uint64_t max_send_buf_size = 0;
  std::optional<uint32_t> max_concurrent_streams;
  uint64_t max_pending_accept_reset_streams = 20;
  std::optional<uint64_t> max_local_error_reset_streams = 1024;
  std::optional<uint64_t> data_frame_budget;
  bool auto_date_header = true;
  std::optional<bool> enable_push;
  // Server: advertise SETTINGS_ENABLE_CONNECT_PROTOCOL; without it a request
  // carrying RFC 8441's :protocol is refused.
  bool enable_connect_protocol = false;
  // Decoded header bytes one receive() hands back (kMaxBatchHeaderBytes;
  // smaller only to exercise the backlog in tests).
  uint64_t max_batch_header_bytes = kMaxBatchHeaderBytes;

  // Value faults for an out-of-range frame size or window, in that order.
  void validate() const;
};

// Per-stream byte counts committed to the pending buffer: what a finished
// write credits back to each stream's send-buffer room.
struct Credit {
  uint32_t stream_id;
  uint32_t bytes;
};

// Stream handles in results are borrowed: a handle whose stream left the
// store waits in the connection's dead list (take_dead) until the owner has
// taken its own reference, under the same lock.
struct SendResult {
  uint64_t sent = 0;
  bool done = false;
  std::optional<Stop> stopped;
  uint32_t flags = 0;
  void* handle = nullptr;  // server: the request whose unread body was reset
  Stop reader_stop;
};

struct HeadersInfo {
  uint32_t stream_id = 0;
  bool end_stream = false;
  bool informational = false;
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  HeadShape shape = HeadShape::Fields;
  bool truncated = false;  // fields were dropped for our header-list size
  bool extended_connect = false;  // the head carried :protocol

  static HeadersInfo of(const HeadersFrame& f) {
    return HeadersInfo{f.stream_id, f.end_stream, f.status && *f.status >= 100 && *f.status <= 199,
                       f.content_length, f.content_length_invalid, f.shape, f.truncated, f.protocol.has_value()};
  }
};

struct HeadersResult {
  HeadersKind kind = HeadersKind::Ignored;
  void* handle = nullptr;
  bool eof = false;
  uint32_t flags = 0;
};

struct DataResult {
  void* handle = nullptr;
  bool deliver = false;  // the payload goes to the reader
  bool budgeted = false;
  bool eof = false;
  uint32_t flags = 0;
};

struct ResetResult {
  void* handle = nullptr;
  std::optional<Stop> stop;
  bool notify_body = false;  // recv_reset: the receive half had not ended
  uint32_t flags = 0;
};

// A stream handle and the stop its readers and writers must see.
struct Stopped {
  void* handle;
  Stop stop;
};

class Connection {
 public:
  enum class SettingsAck : uint8_t { NotSent, Sent, Acked };

  // The config must have passed validate().
  explicit Connection(const Config& config);

  bool is_server() const { return config_.role == Role::Server; }
  const Config& config() const { return config_; }

  // --- state domain --------------------------------------------------------

  // The handshake: the client preface (client role), our SETTINGS, and the
  // first connection WINDOW_UPDATE when the configured window is larger
  // than the default by enough to announce (the unclaimed-capacity rule).
  void begin();

  // SETTINGS from the peer or the ACK of ours. `with_codec(f)` must run
  // f(Connection&) with the codec lock held (the state lock is already
  // held); it is called only for an ACK, to put our acknowledged limits in
  // force in the decoder. A peer SETTINGS is acknowledged at once; `initial`
  // tells whether it was the first. Handles of streams whose send window
  // grew are appended to `wake` (borrowed: the caller takes its own
  // reference before releasing the lock). Faults: an unexpected ACK
  // (protocol), a window overflow (flow control), a frame size out of range
  // (value). Returns the H2_FLAG_* bits.
  template <class WithCodec>
  uint32_t recv_settings(const SettingsFrame& f, bool& initial, std::vector<void*>& wake, WithCodec&& with_codec) {
    initial = false;
    if (f.ack) {
      ack_settings();
      with_codec([](Connection& c) { c.apply_local_settings(); });
      apply_acked_window();
      return 0;
    }
    return recv_peer_settings(f, initial, wake);
  }

  // PING: a non-ACK is answered with an ACK echoing its payload; the ACK of
  // our graceful-shutdown PING runs the second shutdown phase. An ACK whose
  // payload is not 8 bytes is ignored. Returns the H2_FLAG_* bits.
  uint32_t recv_ping(bool ack, std::string_view payload);

  // --- send path ------------------------------------------------------------

  // Client admission: claim and check in one step.
  bool try_claim_slot();
  bool can_open() const { return !stream_limit_ || open_slots_ < *stream_limit_; }
  void release_slot_count() {
    if (open_slots_ > 0) --open_slots_;
  }
  void apply_stream_limit(std::optional<uint64_t> limit) { stream_limit_ = limit; }

  // Opens a request stream on the slot the caller claimed: the next id, the
  // stream entry owning `handle` (an owned reference, taken over only when
  // a stream comes into being) and its HEADERS queued, all in one step so
  // ids are strictly increasing on the wire. nullopt when the connection
  // failed or the peer sent GOAWAY. Faults: the server role (user), id
  // space exhausted (protocol REFUSED_STREAM), an invalid method, target or
  // field (value). The slot
  // is released on every path where no stream is created.
  std::optional<uint32_t> open_stream(std::string_view method, std::string_view target,
                                      const http::HeaderMapCore* headers, bool end_stream, bool is_head, void* handle,
                                      std::optional<std::string_view> scheme, std::optional<std::string_view> authority,
                                      std::optional<std::string_view> protocol = std::nullopt);
  // At most one DATA frame of `data` within the connection window, the
  // stream window, the stream's send-buffer room and the peer's frame size.
  // An empty `data` ending the stream is one empty frame; one that ends
  // nothing writes nothing. A stream that cannot send reports its stop
  // instead.
  SendResult send_data(uint32_t sid, std::string_view data, bool end_stream);
  SendResult send_trailers(uint32_t sid, const http::HeaderMapCore& trailers);
  // The fields must already have passed the connection-specific check.
  // Faults: a state that cannot send a head (user), an invalid status (value).
  SendResult send_response_head(uint32_t sid, uint32_t status, const http::HeaderMapCore* headers, bool end_stream);
  // A written (or abandoned) batch: each stream's buffered count goes down
  // by what the batch carried; the streams' handles, once each, go to `wake`.
  void credit_written(std::vector<void*>& wake);
  void stop_pump() { reach(kStopping); }

  // --- receive path ------------------------------------------------------------

  // `spare`: the server's handle for a new request stream (owned; taken
  // over only when the result is Opened). Faults as documented on the host
  // methods: protocol (connection), stream (reset the stream), value.
  // A head is checked against what the stream needs before anything
  // changes: a request head opens a server stream (RFC 9113 §8.3.1, §8.5,
  // RFC 8441 §4; an extended CONNECT only once we advertised it), a
  // response head answers a client's, trailers carry no pseudo-header
  // field; any other block is a stream error PROTOCOL_ERROR.
  // A head that lost fields to our header-list size is never served: a
  // server answers the request 431 and ends the stream itself (Ignored);
  // elsewhere it is a stream error PROTOCOL_ERROR.
  HeadersResult recv_headers(const HeadersInfo& f, void* spare);
  // `payload_len` of `flow_controlled_len` is what the reader gets.
  DataResult recv_data(uint32_t sid, bool end_stream, uint32_t flow_controlled_len, uint64_t payload_len);
  // Handles whose senders may proceed go to `wake`.
  void recv_window_update(uint32_t sid, uint32_t increment, std::vector<void*>& wake);
  // The peer's RST_STREAM. Stream 0 is a protocol fault; an unknown stream
  // is ignored unless its id is idle (protocol fault). A server stream the
  // application has not pulled yet counts toward
  // max_pending_accept_reset_streams, past which it is a protocol fault
  // ENHANCE_YOUR_CALM, checked before anything changes. Otherwise the
  // stream is closed with the peer's code (keeping an earlier cause unless
  // frames of it still wait to be sent) and torn down: the result has its
  // handle, the stop its readers and writers see, whether its receive half
  // was still open (notify_body), and the flags.
  ResetResult recv_reset(uint32_t sid, uint32_t error_code);
  // The application consumed `n` received bytes of `sid` (never more than
  // the stream holds counts). Stream and connection capacity come back, and
  // a WINDOW_UPDATE is queued for each once half its window is unclaimed (the
  // stream's only while the peer may still send on it). A closed stream
  // with nothing left held is forgotten. An unknown or reclaimed stream:
  // nothing. Returns the flags (kFlagWake: a WINDOW_UPDATE was queued).
  uint32_t release_capacity(uint32_t sid, uint64_t n);
  // The application consumed a budgeted chunk of `payload_len` bytes: the
  // DATA-framing charge of a small chunk (never more than the stream still
  // holds) goes back to the budget. May forget a closed, fully released
  // stream. Never queues anything.
  void release_data_frame(uint32_t sid, uint64_t payload_len);
  // Server: the application pulled `sid`, so a later reset of it by the
  // peer no longer counts toward max_pending_accept_reset_streams.
  void accepted(uint32_t sid);

  // --- resets, shutdown, failure ---------------------------------------------

  // Our reset of a live stream (`by` User: a caller cancel; Library: a
  // peer violation the caller acts on): RST_STREAM queued, the stream
  // closed with that reason unless it had already failed, torn down, its id
  // in the reset store. The result carries its handle and the stop its
  // readers see (none when the stream had ended cleanly). An unknown stream
  // gives an empty result and queues nothing.
  ResetResult reset_stream(uint32_t sid, uint32_t reason, Initiator by);
  // The answer to a stream error the peer caused: counts one more local
  // error reset first (past max_local_error_reset_streams a protocol fault
  // ENHANCE_YOUR_CALM, nothing else changed), then resets a live stream as
  // reset_stream does with Library, or, for a stream already forgotten,
  // records its id in the reset store and queues RST_STREAM alone.
  ResetResult reset_on_error(uint32_t sid, uint32_t reason);
  // The application closes a received body. Receive half still open: the
  // stream is cancelled (reset_stream with CANCEL, User). Already ended on
  // the wire: no RST_STREAM, but the unread bytes' capacity goes back to the
  // connection and the stream may be forgotten; the result carries only the
  // flags. An unknown stream: an empty result.
  ResetResult aclose_body(uint32_t sid);
  // The peer's GOAWAY: a last stream id above an earlier GOAWAY's is a
  // protocol fault (nothing changed). Otherwise it is recorded (is_closed
  // from now on), and every stream we opened above the last id, which the
  // peer never processed, is closed as refused by GOAWAY and torn down
  // without RST_STREAM; their (handle, stop) pairs go to `aborted`. Streams
  // the peer opened, and ours at or below the id, run on. Returns the flags:
  // always kFlagSlotFreed, so slot waiters wake and see the closed connection.
  uint32_t recv_go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug,
                        std::vector<Stopped>& aborted);
  // A connection error we detected: GOAWAY(reason) queued with the last
  // request id we accepted (server) or 0 (client). Nothing else changes;
  // the caller then fails the connection. Returns kFlagWake.
  uint32_t send_goaway(uint32_t reason);
  // After each read: once the peer's final GOAWAY (last id below 2^31-1)
  // has arrived, no error is recorded, no stream is active and we have not
  // replied, queues our GOAWAY(NO_ERROR), records the closure "connection
  // closed: GOAWAY exchanged" and returns kFlagWake | kFlagConnDone; in
  // every other case changes nothing and returns 0. Runs at most once.
  uint32_t maybe_goaway_reply();
  // Server shutdown, phase 1, idempotent: the first call queues GOAWAY
  // (2^31-1, NO_ERROR) and the "SHUTDOWN" PING and returns kFlagWake; later
  // calls return 0. Serving goes on; phase 2 runs when the PING's ACK
  // arrives (recv_ping), fixing the last id the client may still use.
  uint32_t begin_graceful_shutdown();
  // Records the failure (first writer wins): `exc` (an owned opaque
  // exception, kept only when nothing was stored; true then) or the closure
  // `message`. Every stream is closed, notified through `out` and forgotten.
  bool fail(void* exc, std::string_view message, std::vector<Stopped>& out);
  // The stored exception (borrowed), or the closure message.
  void* conn_exc() const { return conn_exc_; }
  const std::optional<std::string>& closure() const { return closure_; }
  struct PeerGoAway {
    uint32_t last_stream_id;
    uint32_t error_code;
    std::string debug;
  };
  const std::optional<PeerGoAway>& peer_go_away() const { return peer_go_away_; }
  bool is_closed() const { return reached(kFailed | kPeerGoAway); }

  // Test hooks.
  void set_next_stream_id(uint32_t sid) { next_stream_id_ = sid; }
  void set_max_stream_id(uint32_t sid) { max_stream_id_ = sid; }
  void set_last_processed_id(uint32_t sid) { last_processed_id_ = sid; }

  // Owned handles of streams that left the store, for the owner to release
  // once its lock is gone.
  std::vector<void*> take_dead() { return std::exchange(dead_, {}); }
  bool has_dead() const { return !dead_.empty(); }

  // Moves the pending bytes out (the spare, if any, takes their place) with
  // the credits committed since the last take.
  std::string take_pending();
  // A written buffer comes back to be reused.
  void recycle(std::string&& buffer);
  bool has_pending() const { return !pending_.empty(); }
  bool stopping() const { return reached(kStopping); }

  // Handles of every stream, for the collector, and all of them moved out
  // (the store forgets them) for the binding to release.
  template <class F>
  void for_each_handle(F&& f) const {
    store_.for_each([&](const Stream& s) {
      if (s.handle) f(s.handle);
    });
    if (conn_exc_) f(conn_exc_);
    for (void* h : dead_) f(h);
  }
  void take_handles(std::vector<void*>& out);

  // --- read-only views (state domain) ----------------------------------------
  const StreamStore& streams() const { return store_; }
  StreamStore& streams() { return store_; }
  const ResetStore& reset_store() const { return reset_store_; }
  uint64_t num_streams() const { return active_streams_; }
  uint64_t num_open_streams() const { return open_slots_; }
  std::optional<uint64_t> stream_limit() const { return stream_limit_; }
  uint32_t peer_initial_window_size() const { return peer_.initial_window_size; }
  uint32_t peer_max_frame_size() const { return peer_.max_frame_size; }
  // The peer allows extended CONNECT (RFC 8441): a client may send :protocol.
  bool peer_enable_connect_protocol() const { return peer_.enable_connect_protocol; }
  std::optional<uint32_t> peer_max_concurrent_streams() const { return peer_.max_concurrent_streams; }
  uint32_t peer_header_table_size() const { return peer_.header_table_size; }
  const FlowControl& conn_send_flow() const { return conn_send_; }
  const FlowControl& conn_recv_flow() const { return conn_recv_; }
  const DataFrameBudget& budget() const { return budget_; }
  uint64_t local_error_resets() const { return local_error_resets_; }
  bool graceful() const { return reached(kGraceful); }
  bool shutdown_final() const { return reached(kShutdownFinal); }
  bool goaway_replied() const { return reached(kGoAwayReplied); }
  bool failed() const { return reached(kFailed); }
  bool goaway_received() const { return reached(kPeerGoAway); }
  uint32_t last_processed_id() const { return last_processed_id_; }
  uint32_t max_stream_id() const { return max_stream_id_; }
  SettingsAck settings_state() const { return settings_ack_; }
  // Our initial window for new streams' receive windows: the default stays
  // usable until the peer acknowledges a smaller one.
  uint32_t recv_initial_window() const { return recv_initial_window_; }
  size_t pending_size() const { return pending_.size(); }

  // --- codec domain --------------------------------------------------------

  // Decodes received bytes (a server first matches the client preface) and
  // appends the frame records in wire order; DATA payloads may be slices of
  // `data`. A connection-level decode failure is a Protocol fault; once one
  // happened the decoder refuses all further input with it. One call hands
  // back at most kMaxBatchHeaderBytes (the config's figure) plus one header
  // list of decoded fields; what it did not reach waits, and backlog() says so.
  //
  // The calling pattern: feed each read to receive() and apply every record
  // in order; then, while backlog() is true, call receive() with no new
  // bytes and apply those records too, before waiting for the next read.
  void receive(std::string_view data, std::vector<Frame>& out);
  // Complete frames wait from the last receive() (codec domain).
  bool backlog() const { return engine_.backlog(); }
  // Bytes another reader already took off the transport. While a server
  // still expects the preface: true (matched and consumed), nullopt (a
  // matching but incomplete prefix) or false (mismatch, nothing kept).
  // Otherwise the bytes join the read buffer: true.
  std::optional<bool> prime(std::string_view data);
  // Puts our settings in force in the decoder (called with both locks held,
  // once the peer acknowledged them).
  void apply_local_settings();

  const Engine& engine() const { return engine_; }

 private:
  void ack_settings();
  void apply_acked_window();
  uint32_t recv_peer_settings(const SettingsFrame& f, bool& initial, std::vector<void*>& wake);
  void queue_connection_window_update();
  // The control-reply flood guard, before queueing one more reply.
  void count_control_reply();
  bool is_idle_id(uint32_t sid) const;
  bool is_local_id(uint32_t sid) const { return (sid % 2 == 1) != is_server(); }
  // Counts a closed stream out of the active streams (and its slot), and
  // removes it once nothing of its receive side is held any more.
  void settle(Stream& s, uint32_t& flags);
  void count_out(Stream& s, uint32_t& flags);
  // Gives the stream's held receive capacity and DATA-framing charge back
  // to the connection; later releases for it do nothing.
  void reclaim(Stream& s);
  void forget(uint32_t sid);
  // `n` bytes of window handed back on the application's behalf.
  void release_stream(Stream& s, uint64_t n);
  void release_connection(uint64_t n);
  // Charges a frame that no stream will hold to the connection window and
  // hands it back at once.
  void absorb(uint32_t len);
  ResetResult core_reset(Stream& s, uint32_t reason, Initiator by);
  // Why a stream is torn down before both its halves ended normally.
  enum class Teardown : uint8_t {
    Reset,      // we reset it: its id joins the reset store, late frames are absorbed
    PeerReset,  // the peer's RST_STREAM
    GoAway,     // the peer's GOAWAY says it never processed the stream
    Failure,    // the connection failed: its error answers for every stream
  };
  // The one teardown: records `stop` for late senders (not on Failure),
  // gives the stream's held receive capacity back, counts it out of the
  // active streams (and its slot, into `flags`), forgets it, and for Reset
  // records its id in the reset store. `s` is gone afterwards.
  void close_stream(Stream& s, Teardown why, const Stop& stop, uint32_t& flags);
  // One more reset for a peer violation; past the cap a protocol fault.
  void count_local_error();
  // The answer to a request head over our header-list size.
  void refuse_oversize(uint32_t sid, bool end_stream);
  void complete_response(Stream& s, SendResult& r);
  std::optional<Stop> send_stop(uint32_t sid) const;
  uint32_t role_last_stream_id() const { return is_server() ? last_processed_id_ : 0; }
  static uint64_t now_nanos();

  const Config config_;
  Engine engine_;

  // state domain
  SettingsAck settings_ack_ = SettingsAck::NotSent;
  struct Peer {
    uint32_t initial_window_size = 65535;
    uint32_t max_frame_size = 16384;
    std::optional<uint32_t> max_concurrent_streams;
    uint32_t header_table_size = 4096;
    std::optional<bool> enable_push;
    bool enable_connect_protocol = false;
    bool received = false;
  } peer_;
  uint32_t recv_initial_window_;
  FlowControl conn_send_;
  FlowControl conn_recv_;
  StreamStore store_;
  ResetStore reset_store_;
  uint32_t next_stream_id_ = 1;
  uint32_t highest_peer_id_ = 0;
  uint32_t last_processed_id_ = 0;
  uint32_t max_stream_id_;
  std::optional<uint64_t> stream_limit_;
  uint64_t open_slots_ = 0;
  uint64_t active_streams_ = 0;
  uint64_t local_error_resets_ = 0;
  DataFrameBudget budget_;
  std::string pending_;
  std::string spare_;
  std::vector<Credit> credits_;          // committed since the last take_pending
  std::vector<Credit> written_credits_;  // carried by the batches being written
  // The connection's lifecycle in one value: each bit is a milestone that
  // stays reached once it is; every lifecycle predicate reads this field.
  enum Milestone : uint8_t {
    kPeerGoAway = 1 << 0,     // the peer's GOAWAY arrived: no new stream of ours
    kGoAwayReplied = 1 << 1,  // our reply to it is queued
    kGraceful = 1 << 2,       // shutdown phase 1: GOAWAY(2^31-1) and its PING queued
    kShutdownFinal = 1 << 3,  // shutdown phase 2: the final GOAWAY queued
    kFailed = 1 << 4,         // an error or closure is recorded; every stream was told
    kStopping = 1 << 5,       // the write pump drains what it has and exits
  };
  uint8_t life_ = 0;
  bool reached(uint8_t milestones) const { return (life_ & milestones) != 0; }
  void reach(Milestone m) { life_ |= m; }
  uint32_t control_replies_ = 0;  // queued since the last take_pending
  std::vector<void*> dead_;
  void* conn_exc_ = nullptr;
  std::optional<std::string> closure_;
  std::optional<PeerGoAway> peer_go_away_;
  std::vector<uint32_t> reset_before_accept_;
  struct RecentStop {
    uint32_t id = 0;
    Stop stop;
  };
  std::array<RecentStop, kRecentStops> recent_stops_{};
  size_t recent_next_ = 0;
  void remember_stop(uint32_t sid, const Stop& stop);

  // codec domain
  std::string primed_;  // bytes handed to prime(), decoded by the next receive()
  uint64_t applied_header_list_size_ = 0;
  bool decode_failed_ = false;
  Fault decode_failure_;
};

}  // namespace quillon::h2
