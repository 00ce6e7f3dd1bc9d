// The HTTP/2 frame engine (RFC 9113 §4, §6): received bytes in, frame
// records out; every frame we send built here. It owns the read buffer, the
// client-preface matcher, the header block waiting for CONTINUATION frames,
// the receive limits and both HPACK contexts. It does no I/O and decides no
// connection policy: a connection error comes back as a Fault, a stream
// error as a StreamErrorFrame in wire order. Not thread-safe: the owner
// (H2Codec, the connection object) holds its mutex around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "h2/constants.hpp"
#include "h2/hpack.hpp"
#include "h2/stream_error.hpp"
#include "http/header_map.hpp"

namespace quillon::h2 {

inline constexpr size_t kFrameHeaderLen = 9;
inline constexpr uint32_t kMaxWindowSize = 0x7FFFFFFF;
// The SETTINGS_MAX_HEADER_LIST_SIZE we advertise unless told otherwise.
inline constexpr uint64_t kDefaultMaxHeaderListSize = 16777216;
// CONTINUATION floods: however small the frames, a header block may take no
// more continuation frames than a maximal list needs in full frames, plus a
// quarter for peers that split unevenly, and never fewer than this.
inline constexpr uint64_t kMinContinuationFrames = 5;
// What one receive() call may hand back in decoded header fields, when the
// owner asks for a bound (the connection does): decoding stops before the
// next frame once the header lists decoded in the call reach this, and the
// rest of the input waits in the read buffer for the next call. So a call
// returns at most this plus one header list of fields (kept fields never
// exceed the max header list size), however small the blocks that decode
// large; without it, 28-byte blocks of table references decoding to 60 KB
// each turned one 224 KB read into a quarter of a gigabyte.
inline constexpr uint64_t kMaxBatchHeaderBytes = 1u << 20;
// A read buffer that grew past this for one large frame is released once
// empty, so a peer's single 16 MiB frame does not pin 16 MiB for good.
inline constexpr size_t kReadBufferKeep = 65536;

enum FrameType : uint8_t {
  kData = 0,
  kHeaders = 1,
  kPriority = 2,
  kRstStream = 3,
  kSettings = 4,
  kPushPromise = 5,
  kPing = 6,
  kGoAway = 7,
  kWindowUpdate = 8,
  kContinuation = 9,
};

enum FrameFlag : uint8_t {
  kEndStream = 0x1,
  kAck = 0x1,
  kEndHeaders = 0x4,
  kPadded = 0x8,
  kPriorityFlag = 0x20,
};

// SETTINGS parameter identifiers (RFC 9113 §6.5.2, RFC 8441 §3). Any other
// identifier, 7 included, is ignored on receipt.
enum class SettingId : uint16_t {
  HeaderTableSize = 1,
  EnablePush = 2,
  MaxConcurrentStreams = 3,
  InitialWindowSize = 4,
  MaxFrameSize = 5,
  MaxHeaderListSize = 6,
  EnableConnectProtocol = 8,
};

// The 9-octet frame header (RFC 9113 §4.1), unpacked once per frame and
// handed to the frame's parser; the reserved bit is dropped.
struct FrameHeader {
  uint32_t length = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t stream_id = 0;

  bool has(uint8_t flag) const { return (flags & flag) != 0; }
  // `at` holds at least kFrameHeaderLen octets.
  static FrameHeader unpack(const char* at) {
    const auto* u = reinterpret_cast<const uint8_t*>(at);
    return {(uint32_t{u[0]} << 16) | (uint32_t{u[1]} << 8) | u[2], u[3], u[4],
            ((uint32_t{u[5]} << 24) | (uint32_t{u[6]} << 16) | (uint32_t{u[7]} << 8) | u[8]) & kMaxStreamId};
  }
};

// The RFC 9113 §7 codes the engine produces, short names into the one
// code space (Reason) for the frame tables.
enum ErrorCode : uint32_t {
  kProtocolError = code(Reason::ProtocolError),
  kFrameSizeError = code(Reason::FrameSizeError),
  kCompressionError = code(Reason::CompressionError),
  kEnhanceYourCalm = code(Reason::EnhanceYourCalm),
};

// --- Frame records ---------------------------------------------------------

struct DataFrame {
  uint32_t stream_id = 0;
  bool end_stream = false;
  uint32_t flow_controlled_len = 0;
  // The payload without padding: a slice of the input passed to receive()
  // when the frame lay whole in it, else a copy in `owned`.
  std::string_view borrowed;
  std::string owned;
  bool owns = false;
  std::string_view data() const { return owns ? std::string_view(owned) : borrowed; }
};

// What a complete header block's pseudo-header fields make of it (RFC 9113
// §8.3 and §8.5, RFC 8441 §4). The engine cannot tell a head from trailers:
// the connection, which knows the stream, decides which shape it needs.
enum class HeadShape : uint8_t {
  Fields,     // no pseudo-header field: trailers, or a head that lacks them all
  Request,    // a well-formed request head
  Response,   // :status alone
  Malformed,  // pseudo-header fields that make neither
};

struct HeadersFrame {
  uint32_t stream_id = 0;
  bool end_stream = false;
  HeadShape shape = HeadShape::Fields;
  // Fields were dropped for the max header list size: what the record holds
  // is not the whole head and must not be served as if it were.
  bool truncated = false;
  std::optional<std::string> method, scheme, authority, path;
  // RFC 8441's :protocol; whether the connection takes it is its own call.
  std::optional<std::string> protocol;
  std::optional<uint16_t> status;
  http::HeaderMapCore headers;
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
};

struct PriorityFrame {
  uint32_t stream_id = 0;
};

struct RstStreamFrame {
  uint32_t stream_id = 0;
  uint32_t error_code = 0;
};

struct SettingsFrame {
  bool ack = false;
  std::optional<uint32_t> header_table_size, max_concurrent_streams, initial_window_size, max_frame_size,
      max_header_list_size;
  std::optional<bool> enable_push, enable_connect_protocol;
};

struct PingFrame {
  bool ack = false;
  char data[8] = {};
};

struct GoAwayFrame {
  uint32_t last_stream_id = 0;
  uint32_t error_code = 0;
  std::string debug_data;
};

struct WindowUpdateFrame {
  uint32_t stream_id = 0;
  uint32_t increment = 0;
};

struct StreamErrorFrame {
  uint32_t stream_id = 0;
  uint32_t error_code = kProtocolError;
};

using Frame = std::variant<DataFrame, HeadersFrame, PriorityFrame, RstStreamFrame, SettingsFrame, PingFrame,
                           GoAwayFrame, WindowUpdateFrame, StreamErrorFrame>;

// "content-length" parsed as the record exposes it: absent -> nullopt and
// false; digits only, fewer than 20 of them -> the value (empty -> 0);
// anything else -> nullopt and `invalid`.
std::optional<uint64_t> parse_content_length(std::string_view value, bool& invalid);

using http::match_preface;
using http::PrefaceMatch;
// A server's client preface that did not match.
inline constexpr const char* kBadPreface = "bad client connection preface";

// RFC 9113 §8.2.2 for outbound heads: false when `headers` holds a
// connection-specific field or a first `te` other than "trailers".
bool headers_sendable(const http::HeaderMapCore& headers);

// --- Stateless encoders (each appends one frame to `out`) -------------------

void write_frame_header(char* at, uint32_t length, uint8_t type, uint8_t flags, uint32_t stream_id);

struct SettingsValues {
  std::optional<uint32_t> header_table_size, max_concurrent_streams, initial_window_size, max_frame_size,
      max_header_list_size;
  std::optional<bool> enable_push, enable_connect_protocol;
};
// Value failures for out-of-range max_frame_size or initial_window_size.
Fault encode_settings(const SettingsValues& s, std::string& out);
void encode_settings_ack(std::string& out);
void encode_window_update(uint32_t stream_id, uint32_t increment, std::string& out);
void encode_rst_stream(uint32_t stream_id, uint32_t error_code, std::string& out);
void encode_ping(const char payload[8], bool ack, std::string& out);
void encode_go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug, std::string& out);

// Stream ids of encoders must fit the 31-bit identifier space.
inline bool valid_stream_id(uint64_t id) { return id <= kMaxStreamId; }

// --- The engine -------------------------------------------------------------

class Engine {
 public:
  explicit Engine(bool client) : client_(client) {}

  bool client() const { return client_; }

  // Server role: receive() first matches the client preface.
  void expect_preface() { preface_ = Preface::Expected; }
  bool awaiting_preface() const { return preface_ == Preface::Expected; }

  // Decodes every complete frame of the read buffer followed by `input`,
  // appending records to `out` in wire order (DataFrame payloads may be
  // slices of `input`: use them before `input` goes). A partial frame stays
  // buffered. On a connection error returns the failure; the records of this
  // call are then meaningless and the engine must not be fed again.
  Fault receive(std::string_view input, std::vector<Frame>& out);

  // Feeds the preface matcher: Partial (need more), Complete (bytes after
  // the preface are now in the read buffer, and receive() expects no
  // preface any more) or Mismatch (nothing changed).
  PrefaceMatch feed_preface(std::string_view data);

  // Octets of the read buffer (not the preface buffer).
  size_t buffered() const { return buf_.size(); }
  // Caps the decoded header bytes one receive() call returns (unbounded
  // unless set); see kMaxBatchHeaderBytes.
  void set_batch_header_cap(uint64_t cap) { batch_cap_ = cap; }
  // The last receive() stopped at that cap: complete frames wait in the
  // read buffer, and a receive() with no new input decodes them.
  bool backlog() const { return backlog_; }

  // Limits we advertise. The frame size must already be in range.
  void set_max_recv_frame_size(uint32_t v);
  // The frame size we advertised, put in force by the first SETTINGS ACK the
  // engine decodes: the peer may send larger frames right behind its ACK,
  // in the same read, before its record reaches the connection.
  void set_max_recv_frame_size_at_ack(uint32_t v) { frame_size_at_ack_ = v; }
  void set_max_header_list_size(uint64_t v);
  void set_send_max_frame_size(uint32_t v) { send_max_frame_size_ = v; }
  void set_send_header_table_size(uint64_t v) { encoder_.request_size_update(v); }
  void set_recv_header_table_size(uint32_t v) { decoder_.queue_size_update(v); }
  uint64_t max_continuation_frames() const { return max_continuations_; }
  uint32_t send_max_frame_size() const { return send_max_frame_size_; }

  // Header encoders: HEADERS plus CONTINUATION frames appended to `out`.
  // Argument failures are found before the HPACK state changes.
  Fault encode_request(uint32_t stream_id, std::string_view method, std::string_view target,
                         const http::HeaderMapCore* headers, bool end_stream, std::optional<std::string_view> scheme,
                         std::optional<std::string_view> authority, std::string& out,
                         std::optional<std::string_view> protocol = std::nullopt);
  Fault encode_response(uint32_t stream_id, uint32_t status, const http::HeaderMapCore* headers, bool end_stream,
                          bool auto_date, std::string& out);
  Fault encode_trailers(uint32_t stream_id, const http::HeaderMapCore& trailers, std::string& out);
  // One unpadded DATA frame; a User failure when `data` exceeds the peer's
  // max frame size.
  Fault encode_data(uint32_t stream_id, std::string_view data, bool end_stream, std::string& out) const;

  const hpack::Decoder& decoder() const { return decoder_; }
  const hpack::Encoder& encoder() const { return encoder_; }

 private:
  // The header block waiting for CONTINUATION frames.
  struct Partial {
    uint32_t stream_id = 0;
    bool end_stream = false;
    hpack::HeaderBlock block;
    std::string undecoded;  // an incomplete last representation
    uint64_t continuations = 0;
  };

  // One frame: its type's parser, then what only the engine can do with
  // the result (header blocks, the frame size put in force by an ACK).
  Fault frame(const FrameHeader& fh, std::string_view payload, bool payload_stable, std::vector<Frame>& out);
  // A HEADERS frame's block fragment, `self_dependent` from its priority.
  Fault begin_block(const FrameHeader& fh, std::string_view fragment, bool self_dependent,
                      std::vector<Frame>& out);
  Fault continue_block(const FrameHeader& fh, std::string_view fragment, std::vector<Frame>& out);
  // Decodes `bytes` into p.block; leftovers go to p.undecoded.
  Fault decode_block(Partial& p, std::string_view bytes, bool end_headers);
  void finish_block(Partial& p, std::vector<Frame>& out);
  void encode_block(uint32_t stream_id, bool end_stream, const hpack::Field* pseudo, size_t n,
                    const http::HeaderMapCore* headers, const hpack::Field* extra, size_t extra_n,
                    std::string& out);
  void recompute_continuations();

  // NotExpected (client role, H2Codec) -> Expected (server role) -> Done.
  enum class Preface : uint8_t { NotExpected, Expected, Done };

  const bool client_;
  Preface preface_ = Preface::NotExpected;
  std::string buf_;
  std::unique_ptr<std::string> preface_buf_;
  std::unique_ptr<Partial> partial_;
  uint32_t max_recv_frame_size_ = kDefaultMaxFrameSize;
  uint32_t send_max_frame_size_ = kDefaultMaxFrameSize;
  uint64_t max_header_list_size_ = kDefaultMaxHeaderListSize;
  uint64_t max_continuations_ = 1280;
  std::optional<uint32_t> frame_size_at_ack_;
  uint64_t batch_cap_ = UINT64_MAX;
  uint64_t batch_decoded_ = 0;  // header-list bytes decoded in this receive()
  bool backlog_ = false;
  hpack::Decoder decoder_;
  hpack::Encoder encoder_;
};

}  // namespace quillon::h2
