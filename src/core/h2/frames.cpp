// The HTTP/2 frame engine: one parser per frame type, picked from a table
// by the type octet, header blocks across CONTINUATION frames, and the
// frame encoders.
#include "h2/frames.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "http/chars.hpp"
#include "http/date.hpp"
#include "http/uri.hpp"

namespace quillon::h2 {

namespace {

inline uint16_t read16(const char* p) {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

inline uint32_t read32(const char* p) {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

inline char* put32(char* w, uint32_t v) {
  w[0] = static_cast<char>(v >> 24);
  w[1] = static_cast<char>(v >> 16);
  w[2] = static_cast<char>(v >> 8);
  w[3] = static_cast<char>(v);
  return w + 4;
}

// A frame-format connection error.
Fault load_error(const char* name) {
  return Fault::protocol(kProtocolError, std::string("failed to load frame: ") + name);
}

char* append_frame(std::string& out, uint32_t length, uint8_t type, uint8_t flags, uint32_t stream_id) {
  const size_t at = out.size();
  out.resize(at + kFrameHeaderLen + length);
  write_frame_header(out.data() + at, length, type, flags, stream_id);
  return out.data() + at + kFrameHeaderLen;
}

}  // namespace

void write_frame_header(char* at, uint32_t length, uint8_t type, uint8_t flags, uint32_t stream_id) {
  at[0] = static_cast<char>(length >> 16);
  at[1] = static_cast<char>(length >> 8);
  at[2] = static_cast<char>(length);
  at[3] = static_cast<char>(type);
  at[4] = static_cast<char>(flags);
  put32(at + 5, stream_id & kMaxStreamId);
}

std::optional<uint64_t> parse_content_length(std::string_view value, bool& invalid) {
  invalid = false;
  // Twenty digits can exceed 2^64 - 1; nothing that long is a real length.
  if (value.size() >= 20) {
    invalid = true;
    return std::nullopt;
  }
  uint64_t v = 0;
  for (char c : value) {
    if (c < '0' || c > '9') {
      invalid = true;
      return std::nullopt;
    }
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

bool headers_sendable(const http::HeaderMapCore& h) {
  for (std::string_view name : hpack::kConnectionSpecificFields)
    if (h.contains(name)) return false;
  std::optional<std::string_view> te = h.get("te");
  return !te || !hpack::connection_specific("te", *te);
}

// ---------------------------------------------------------------------------
// Stateless encoders

Fault encode_settings(const SettingsValues& s, std::string& out) {
  if (s.max_frame_size && (*s.max_frame_size < kDefaultMaxFrameSize || *s.max_frame_size > kMaxMaxFrameSize))
    return Fault::value("max_frame_size must be in [16384, 16777215], got " + std::to_string(*s.max_frame_size));
  if (s.initial_window_size && *s.initial_window_size > kMaxWindowSize)
    return Fault::value("initial_window_size must be <= 2147483647, got " +
                          std::to_string(*s.initial_window_size));
  // Written in identifier order.
  const std::pair<SettingId, std::optional<uint32_t>> entries[] = {
      {SettingId::HeaderTableSize, s.header_table_size},
      {SettingId::EnablePush, s.enable_push ? std::optional<uint32_t>(*s.enable_push ? 1 : 0) : std::nullopt},
      {SettingId::MaxConcurrentStreams, s.max_concurrent_streams},
      {SettingId::InitialWindowSize, s.initial_window_size},
      {SettingId::MaxFrameSize, s.max_frame_size},
      {SettingId::MaxHeaderListSize, s.max_header_list_size},
      {SettingId::EnableConnectProtocol,
       s.enable_connect_protocol ? std::optional<uint32_t>(*s.enable_connect_protocol ? 1 : 0) : std::nullopt},
  };
  uint32_t count = 0;
  for (const auto& e : entries) count += e.second.has_value();
  char* w = append_frame(out, count * 6, kSettings, 0, 0);
  for (const auto& [id, value] : entries) {
    if (!value) continue;
    const auto n = static_cast<uint16_t>(id);
    w[0] = static_cast<char>(n >> 8);
    w[1] = static_cast<char>(n);
    w = put32(w + 2, *value);
  }
  return {};
}

void encode_settings_ack(std::string& out) { append_frame(out, 0, kSettings, kAck, 0); }

void encode_window_update(uint32_t stream_id, uint32_t increment, std::string& out) {
  put32(append_frame(out, 4, kWindowUpdate, 0, stream_id), increment);
}

void encode_rst_stream(uint32_t stream_id, uint32_t error_code, std::string& out) {
  put32(append_frame(out, 4, kRstStream, 0, stream_id), error_code);
}

void encode_ping(const char payload[8], bool ack, std::string& out) {
  std::memcpy(append_frame(out, 8, kPing, ack ? kAck : 0, 0), payload, 8);
}

void encode_go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug, std::string& out) {
  char* w = append_frame(out, static_cast<uint32_t>(8 + debug.size()), kGoAway, 0, 0);
  w = put32(w, last_stream_id & kMaxStreamId);
  w = put32(w, error_code);
  if (!debug.empty()) std::memcpy(w, debug.data(), debug.size());
}

// ---------------------------------------------------------------------------
// Receiving

PrefaceMatch Engine::feed_preface(std::string_view data) {
  if (!preface_buf_) preface_buf_ = std::make_unique<std::string>();
  const size_t before = preface_buf_->size();
  preface_buf_->append(data);
  const PrefaceMatch m = match_preface(*preface_buf_);
  if (m == PrefaceMatch::Mismatch) {
    preface_buf_->resize(before);
  } else if (m == PrefaceMatch::Complete) {
    buf_.append(*preface_buf_, kPreface.size());
    preface_buf_.reset();
    if (preface_ == Preface::Expected) preface_ = Preface::Done;
  }
  return m;
}

void Engine::recompute_continuations() {
  const uint64_t n = std::max<uint64_t>(1, max_header_list_size_ / max_recv_frame_size_);
  max_continuations_ = std::max<uint64_t>(kMinContinuationFrames, n + n / 4);
}

void Engine::set_max_recv_frame_size(uint32_t v) {
  max_recv_frame_size_ = v;
  recompute_continuations();
}

void Engine::set_max_header_list_size(uint64_t v) {
  max_header_list_size_ = v;
  recompute_continuations();
}

Fault Engine::receive(std::string_view in, std::vector<Frame>& out) {
  if (preface_ == Preface::Expected) {
    switch (feed_preface(in)) {
      case PrefaceMatch::Mismatch:
        return Fault::protocol(kProtocolError, kBadPreface);
      case PrefaceMatch::Partial:
        return {};
      case PrefaceMatch::Complete:
        in = {};
        break;
    }
  }
  auto too_long = [&](const FrameHeader& fh) { return fh.length > max_recv_frame_size_; };
  auto frame_too_long = [] {
    return Fault::protocol(kFrameSizeError, "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
  };
  backlog_ = false;
  batch_decoded_ = 0;
  // Checked before each frame: the bound on what one call hands back.
  auto capped = [&] { return batch_decoded_ >= batch_cap_; };
  // Frames begun in an earlier call are completed from `in` first, one at a
  // time; the buffer only ever takes what the frame at its front needs.
  size_t off = 0;
  while (off < buf_.size()) {
    if (capped()) {
      buf_.erase(0, off);
      buf_.append(in);
      backlog_ = true;
      return {};
    }
    if (buf_.size() - off < kFrameHeaderLen) {
      buf_.erase(0, off);
      off = 0;
      const size_t take = std::min(kFrameHeaderLen - buf_.size(), in.size());
      buf_.append(in.data(), take);
      in.remove_prefix(take);
      if (buf_.size() < kFrameHeaderLen) return {};
    }
    const FrameHeader fh = FrameHeader::unpack(buf_.data() + off);
    if (too_long(fh)) {
      buf_.append(in);
      return frame_too_long();
    }
    const size_t total = kFrameHeaderLen + fh.length;
    if (buf_.size() - off < total) {
      buf_.erase(0, off);
      off = 0;
      const size_t take = std::min(total - buf_.size(), in.size());
      buf_.append(in.data(), take);
      in.remove_prefix(take);
      if (buf_.size() < total) return {};
    }
    const std::string_view payload(buf_.data() + off + kFrameHeaderLen, fh.length);
    if (Fault f = frame(fh, payload, false, out)) return f;
    off += total;
  }
  buf_.clear();
  if (buf_.capacity() > kReadBufferKeep) std::string().swap(buf_);
  // The rest is decoded in place: DATA payloads stay slices of `in`.
  while (in.size() >= kFrameHeaderLen) {
    if (capped()) {
      buf_.assign(in);
      backlog_ = true;
      return {};
    }
    const FrameHeader fh = FrameHeader::unpack(in.data());
    if (too_long(fh)) {
      buf_.assign(in);
      return frame_too_long();
    }
    const size_t total = kFrameHeaderLen + fh.length;
    if (in.size() < total) break;
    const std::string_view payload(in.data() + kFrameHeaderLen, fh.length);
    if (Fault f = frame(fh, payload, true, out)) return f;
    in.remove_prefix(total);
  }
  buf_.assign(in);
  return {};
}

namespace {

// What a parser hands back besides a connection error (its Fault): the
// typed frame or a stream error, appended to `out` in wire order; or, from
// the two types that carry a header block, the fragment that the engine
// assembles across frames (it alone holds the HPACK and CONTINUATION state).
struct Parsed {
  std::vector<Frame>& out;
  bool payload_stable;  // DATA may keep a slice of the payload instead of a copy
  std::string_view fragment = {};
  bool self_dependent = false;
};

// One per frame type: checks length and stream id in the order of RFC 9113
// §6, touches nothing but `p`.
using Parser = Fault (*)(const FrameHeader& fh, std::string_view payload, Parsed& p);

Fault parse_data(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (fh.stream_id == 0) return load_error("InvalidStreamId");
  std::string_view data = payload;
  if (fh.has(kPadded)) {
    if (payload.empty()) return load_error("TooMuchPadding");
    const size_t pad = static_cast<uint8_t>(payload[0]);
    if (pad >= payload.size()) return load_error("TooMuchPadding");
    data = payload.substr(1, payload.size() - 1 - pad);
  }
  DataFrame& d = std::get<DataFrame>(p.out.emplace_back(std::in_place_type<DataFrame>));
  d.stream_id = fh.stream_id;
  d.end_stream = fh.has(kEndStream);
  d.flow_controlled_len = static_cast<uint32_t>(payload.size());
  if (p.payload_stable) {
    d.borrowed = data;
  } else {
    d.owned.assign(data);
    d.owns = true;
  }
  return {};
}

Fault parse_headers(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (fh.stream_id == 0) return load_error("InvalidStreamId");
  size_t pad = 0;
  if (fh.has(kPadded)) {
    if (payload.empty()) return load_error("MalformedMessage");
    pad = static_cast<uint8_t>(payload[0]);
    payload.remove_prefix(1);
  }
  if (fh.has(kPriorityFlag)) {
    if (payload.size() < 5) return load_error("MalformedMessage");
    p.self_dependent = (read32(payload.data()) & kMaxStreamId) == fh.stream_id;
    payload.remove_prefix(5);
  }
  if (pad > payload.size()) return load_error("TooMuchPadding");
  payload.remove_suffix(pad);
  p.fragment = payload;
  return {};
}

Fault parse_priority(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (fh.stream_id == 0) return Fault::protocol(kProtocolError, "PRIORITY frame with stream ID 0");
  if (payload.size() != 5) return load_error("InvalidPayloadLength");
  if ((read32(payload.data()) & kMaxStreamId) == fh.stream_id)
    p.out.emplace_back(StreamErrorFrame{fh.stream_id, kProtocolError});
  else
    p.out.emplace_back(PriorityFrame{fh.stream_id});
  return {};
}

// Stream 0 is the connection's to refuse, not a frame-format error.
Fault parse_rst_stream(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (payload.size() != 4) return load_error("InvalidPayloadLength");
  p.out.emplace_back(RstStreamFrame{fh.stream_id, read32(payload.data())});
  return {};
}

// One SETTINGS entry into `s`; false for a value out of its range. A
// repeated identifier keeps the last value.
bool apply_setting(SettingsFrame& s, SettingId id, uint32_t v) {
  switch (id) {
    case SettingId::HeaderTableSize:
      s.header_table_size = v;
      return true;
    case SettingId::EnablePush:
      if (v > 1) return false;
      s.enable_push = v == 1;
      return true;
    case SettingId::MaxConcurrentStreams:
      s.max_concurrent_streams = v;
      return true;
    case SettingId::InitialWindowSize:
      if (v > kMaxWindowSize) return false;
      s.initial_window_size = v;
      return true;
    case SettingId::MaxFrameSize:
      if (v < kDefaultMaxFrameSize || v > kMaxMaxFrameSize) return false;
      s.max_frame_size = v;
      return true;
    case SettingId::MaxHeaderListSize:
      s.max_header_list_size = v;
      return true;
    case SettingId::EnableConnectProtocol:
      if (v > 1) return false;
      s.enable_connect_protocol = v == 1;
      return true;
  }
  return true;  // an identifier we do not know: ignored
}

Fault parse_settings(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (fh.stream_id != 0) return load_error("InvalidStreamId");
  if (fh.has(kAck) && !payload.empty()) return load_error("InvalidPayloadLength");
  if (payload.size() % 6 != 0) return load_error("InvalidPayloadAckSettings");
  SettingsFrame s;
  s.ack = fh.has(kAck);
  for (size_t i = 0; i < payload.size(); i += 6) {
    if (!apply_setting(s, static_cast<SettingId>(read16(payload.data() + i)), read32(payload.data() + i + 2)))
      return load_error("InvalidSettingValue");
  }
  p.out.emplace_back(std::move(s));
  return {};
}

// We never enable push, in either role.
Fault parse_push_promise(const FrameHeader&, std::string_view, Parsed&) {
  return Fault::protocol(kProtocolError, "PUSH_PROMISE received but server push is disabled");
}

Fault parse_ping(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (fh.stream_id != 0) return load_error("InvalidStreamId");
  if (payload.size() != 8) return load_error("BadFrameSize");
  PingFrame ping;
  ping.ack = fh.has(kAck);
  std::memcpy(ping.data, payload.data(), 8);
  p.out.emplace_back(ping);
  return {};
}

Fault parse_go_away(const FrameHeader&, std::string_view payload, Parsed& p) {
  if (payload.size() < 8) return load_error("BadFrameSize");
  GoAwayFrame g;
  g.last_stream_id = read32(payload.data()) & kMaxStreamId;
  g.error_code = read32(payload.data() + 4);
  g.debug_data.assign(payload.substr(8));
  p.out.emplace_back(std::move(g));
  return {};
}

Fault parse_window_update(const FrameHeader& fh, std::string_view payload, Parsed& p) {
  if (payload.size() != 4) return load_error("BadFrameSize");
  const uint32_t inc = read32(payload.data()) & kMaxWindowSize;
  if (inc == 0) return load_error("InvalidWindowUpdateValue");
  p.out.emplace_back(WindowUpdateFrame{fh.stream_id, inc});
  return {};
}

// Its checks all concern the block it continues: see continue_block.
Fault parse_continuation(const FrameHeader&, std::string_view payload, Parsed& p) {
  p.fragment = payload;
  return {};
}

// RFC 9113 §4.1: unknown frame types are ignored.
Fault parse_unknown(const FrameHeader&, std::string_view, Parsed&) { return {}; }

// Indexed by frame type.
constexpr Parser kParsers[] = {
    parse_data,          // kData
    parse_headers,       // kHeaders
    parse_priority,      // kPriority
    parse_rst_stream,    // kRstStream
    parse_settings,      // kSettings
    parse_push_promise,  // kPushPromise
    parse_ping,          // kPing
    parse_go_away,       // kGoAway
    parse_window_update,  // kWindowUpdate
    parse_continuation,  // kContinuation
};
static_assert(std::size(kParsers) == kContinuation + 1);

Parser parser_for(uint8_t type) { return type < std::size(kParsers) ? kParsers[type] : parse_unknown; }

}  // namespace

Fault Engine::frame(const FrameHeader& fh, std::string_view payload, bool payload_stable, std::vector<Frame>& out) {
  if (partial_ && fh.type != kContinuation)
    return Fault::protocol(kProtocolError, "expected CONTINUATION frame");
  Parsed p{out, payload_stable};
  if (Fault f = parser_for(fh.type)(fh, payload, p)) return f;
  switch (fh.type) {
    case kHeaders:
      return begin_block(fh, p.fragment, p.self_dependent, out);
    case kContinuation:
      return continue_block(fh, p.fragment, out);
    case kSettings:
      // Before the next frame: the peer may send larger frames right
      // behind its ACK, in this same read.
      if (fh.has(kAck) && frame_size_at_ack_)
        set_max_recv_frame_size(*std::exchange(frame_size_at_ack_, std::nullopt));
      return {};
    default:
      return {};
  }
}

Fault Engine::begin_block(const FrameHeader& fh, std::string_view fragment, bool self_dependent,
                            std::vector<Frame>& out) {
  auto block = std::make_unique<Partial>();
  block->stream_id = fh.stream_id;
  block->end_stream = fh.has(kEndStream);
  // A self-dependent stream is a stream error (RFC 9113 §5.3.1), but its
  // block is still decoded: skipping it would leave our HPACK table behind
  // the peer's for the rest of the connection.
  block->block.malformed = self_dependent;
  const bool end = fh.has(kEndHeaders);
  if (Fault f = decode_block(*block, fragment, end)) return f;
  if (end)
    finish_block(*block, out);
  else
    partial_ = std::move(block);
  return {};
}

Fault Engine::continue_block(const FrameHeader& fh, std::string_view payload, std::vector<Frame>& out) {
  if (!partial_) return Fault::protocol(kProtocolError, "received unexpected CONTINUATION frame");
  std::unique_ptr<Partial> p = std::move(partial_);
  if (fh.stream_id != p->stream_id)
    return Fault::protocol(kProtocolError, "CONTINUATION frame stream ID does not match previous frame stream ID");
  const bool end = fh.has(kEndHeaders);
  // The flood limit (CVE-2024-27316 and kin): counted per frame, since
  // empty or tiny fragments cost us a frame each while adding nothing.
  if (!end && ++p->continuations > max_continuations_)
    return Fault::protocol(kEnhanceYourCalm, "too_many_continuations");
  std::string_view bytes = payload;
  if (!p->undecoded.empty()) {
    // An over-size block is only being decoded to keep the table in step;
    // a representation that keeps growing past the list limit is not.
    if (p->block.over_size && p->undecoded.size() + payload.size() + kFrameHeaderLen > max_header_list_size_)
      return Fault::protocol(kCompressionError, "CONTINUATION frame header block size over ignorable limit");
    p->undecoded.append(payload);
    bytes = p->undecoded;
  }
  if (Fault f = decode_block(*p, bytes, end)) return f;
  if (end)
    finish_block(*p, out);
  else
    partial_ = std::move(p);
  return {};
}

Fault Engine::decode_block(Partial& p, std::string_view bytes, bool end_headers) {
  size_t consumed = 0;
  const uint64_t listed = p.block.list_size;
  const hpack::DecodeError e = decoder_.decode(bytes, consumed, max_header_list_size_, p.block);
  batch_decoded_ += p.block.list_size - listed;
  if (e == hpack::DecodeError::None) {
    p.undecoded.clear();
    return {};
  }
  if (hpack::is_need_more(e) && !end_headers) {
    // The incomplete representation waits for the next fragment.
    if (bytes.data() == p.undecoded.data())
      p.undecoded.erase(0, consumed);
    else
      p.undecoded.assign(bytes.substr(consumed));
    return {};
  }
  if (e == hpack::DecodeError::HeaderListWayTooLarge)
    return Fault::protocol(kEnhanceYourCalm, "decoded header list size over abuse limit");
  return Fault::protocol(kProtocolError,
                           std::string("HPACK decoding failed: Hpack(") + hpack::decode_error_name(e) + ")");
}

namespace {

HeadShape shape_of(const hpack::HeaderBlock& b) {
  using hpack::Pseudo;
  const auto bit = [](Pseudo p) { return static_cast<uint8_t>(1u << static_cast<int>(p)); };
  const uint8_t set = b.pseudo_set;
  if (set == 0) return HeadShape::Fields;
  if (set & bit(Pseudo::Status)) return set == bit(Pseudo::Status) ? HeadShape::Response : HeadShape::Malformed;
  const std::string* method = b.get(Pseudo::Method);
  if (!method) return HeadShape::Malformed;
  const std::string* path = b.get(Pseudo::Path);
  const bool has_scheme = b.has(Pseudo::Scheme);
  if (*method == "CONNECT" && !b.has(Pseudo::Protocol)) {
    // A tunnel names its authority and nothing else (§8.5).
    return b.has(Pseudo::Authority) && !has_scheme && !path ? HeadShape::Request : HeadShape::Malformed;
  }
  // Every other request carries a scheme and a path; :protocol belongs to
  // the extended CONNECT of RFC 8441, which names its authority.
  if (b.has(Pseudo::Protocol) && (*method != "CONNECT" || !b.has(Pseudo::Authority))) return HeadShape::Malformed;
  if (!has_scheme || !path) return HeadShape::Malformed;
  // The path is an absolute path, or "*" for a server-wide OPTIONS (§8.3.1);
  // a relative one names no resource here.
  const bool origin_form = !path->empty() && (*path)[0] == '/';
  const bool asterisk = *path == "*" && *method == "OPTIONS" && !b.has(Pseudo::Protocol);
  return origin_form || asterisk ? HeadShape::Request : HeadShape::Malformed;
}

}  // namespace

void Engine::finish_block(Partial& p, std::vector<Frame>& out) {
  hpack::HeaderBlock& b = p.block;
  if (b.malformed) {
    // One record per block, at its END_HEADERS, whatever went wrong where.
    out.emplace_back(StreamErrorFrame{p.stream_id, kProtocolError});
    return;
  }
  HeadersFrame& h = std::get<HeadersFrame>(out.emplace_back(std::in_place_type<HeadersFrame>));
  h.stream_id = p.stream_id;
  h.end_stream = p.end_stream;
  h.shape = shape_of(b);
  h.truncated = b.over_size;
  using hpack::Pseudo;
  auto take = [&b](Pseudo which, std::optional<std::string>& to) {
    if (b.has(which)) to = std::move(b.pseudo[static_cast<int>(which)]);
  };
  take(Pseudo::Method, h.method);
  take(Pseudo::Scheme, h.scheme);
  take(Pseudo::Authority, h.authority);
  take(Pseudo::Path, h.path);
  take(Pseudo::Protocol, h.protocol);
  if (const std::string* s = b.get(Pseudo::Status))  // three digits, checked by the decoder
    h.status = static_cast<uint16_t>(((*s)[0] - '0') * 100 + ((*s)[1] - '0') * 10 + ((*s)[2] - '0'));
  h.headers = std::move(b.fields);
  if (std::optional<std::string_view> cl = h.headers.get("content-length"))
    h.content_length = parse_content_length(*cl, h.content_length_invalid);
}

// ---------------------------------------------------------------------------
// Header encoders

void Engine::encode_block(uint32_t sid, bool end_stream, const hpack::Field* pseudo, size_t n,
                          const http::HeaderMapCore* headers, const hpack::Field* extra, size_t extra_n,
                          std::string& out) {
  const size_t at = out.size();
  out.resize(at + kFrameHeaderLen);
  encoder_.encode(pseudo, n, headers, extra, extra_n, out);
  const size_t block = out.size() - at - kFrameHeaderLen;
  const uint32_t max = send_max_frame_size_;
  const uint8_t es = end_stream ? kEndStream : 0;
  if (block <= max) {
    write_frame_header(out.data() + at, static_cast<uint32_t>(block), kHeaders, es | kEndHeaders, sid);
    return;
  }
  // The HEADERS frame carries what fits; CONTINUATION frames the rest.
  std::string rest(out, at + kFrameHeaderLen + max);
  out.resize(at + kFrameHeaderLen + max);
  write_frame_header(out.data() + at, max, kHeaders, es, sid);
  std::string_view r = rest;
  while (!r.empty()) {
    const size_t n_here = std::min<size_t>(r.size(), max);
    const bool last = n_here == r.size();
    char* w = append_frame(out, static_cast<uint32_t>(n_here), kContinuation, last ? kEndHeaders : 0, sid);
    std::memcpy(w, r.data(), n_here);
    r.remove_prefix(n_here);
  }
}

namespace {

Fault bad_stream_id(uint64_t id) {
  return Fault::value("stream_id must be below 2**31, got " + std::to_string(id));
}

}  // namespace

Fault Engine::encode_request(uint32_t sid, std::string_view method, std::string_view target,
                               const http::HeaderMapCore* headers, bool end_stream,
                               std::optional<std::string_view> scheme, std::optional<std::string_view> authority,
                               std::string& out, std::optional<std::string_view> protocol) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (!http::is_token(method)) return Fault::value("invalid method: invalid HTTP method");
  http::UriView uri;
  http::UriError ue = http::parse_uri(target, uri);
  if (ue == http::UriError::None) ue = http::check_port(uri);
  if (ue != http::UriError::None) return Fault::value(std::string("invalid url: ") + http::uri_error_text(ue));

  // An extended CONNECT (RFC 8441) names its protocol and otherwise has
  // the pseudo-headers of any request.
  if (protocol && (method != "CONNECT" || protocol->empty() || !http::is_token(*protocol)))
    return Fault::value("invalid protocol: :protocol goes with CONNECT and is a token");
  hpack::Field pseudo[5];
  size_t n = 0;
  pseudo[n++] = {":method", method};
  if (protocol) pseudo[n++] = {":protocol", *protocol};
  std::string path;
  if (uri.has_authority) authority = uri.hostport;
  if (uri.scheme != http::Scheme::None) scheme = uri.scheme_text;
  if (method == "CONNECT" && !protocol) {
    if (!authority)
      return Fault::value(
          "request target is a bare path but the connection has no authority; pass authority=... to "
          "H2Connection or use an absolute-URL target");
    pseudo[n++] = {":authority", *authority};
  } else {
    if (!scheme || !authority)
      return Fault::value(
          "request target is a bare path but the connection has no authority; pass authority=... to "
          "H2Connection or use an absolute-URL target");
    path.reserve(uri.path.size() + 1 + uri.query.size());
    path.assign(uri.path);
    if (uri.has_query) {
      path.push_back('?');
      path.append(uri.query);
    }
    std::string_view path_view = path;
    if (path.empty()) path_view = method == "OPTIONS" ? "*" : "/";
    pseudo[n++] = {":scheme", *scheme};
    pseudo[n++] = {":authority", *authority};
    pseudo[n++] = {":path", path_view};
  }
  encode_block(sid, end_stream, pseudo, n, headers, nullptr, 0, out);
  return {};
}

Fault Engine::encode_response(uint32_t sid, uint32_t status, const http::HeaderMapCore* headers, bool end_stream,
                                bool auto_date, std::string& out) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (status < 100 || status > 999) return Fault::value("invalid status: invalid status code");
  const char digits[3] = {static_cast<char>('0' + status / 100), static_cast<char>('0' + status / 10 % 10),
                          static_cast<char>('0' + status % 10)};
  const hpack::Field pseudo[1] = {{":status", std::string_view(digits, 3)}};
  hpack::Field date[1];
  size_t date_n = 0;
  if (auto_date && !(headers && headers->contains("date"))) {
    if (const char* d = http::current_http_date()) date[date_n++] = {"date", std::string_view(d, http::kHttpDateLen)};
  }
  encode_block(sid, end_stream, pseudo, 1, headers, date, date_n, out);
  return {};
}

Fault Engine::encode_trailers(uint32_t sid, const http::HeaderMapCore& trailers, std::string& out) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  encode_block(sid, true, nullptr, 0, &trailers, nullptr, 0, out);
  return {};
}

Fault Engine::encode_data(uint32_t sid, std::string_view data, bool end_stream, std::string& out) const {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (data.size() > send_max_frame_size_)
    return Fault::user(UserKind::PayloadTooBig, "DATA payload " + std::to_string(data.size()) +
                                                " exceeds SETTINGS_MAX_FRAME_SIZE " +
                                                std::to_string(send_max_frame_size_));
  char* w = append_frame(out, static_cast<uint32_t>(data.size()), kData, end_stream ? kEndStream : 0, sid);
  if (!data.empty()) std::memcpy(w, data.data(), data.size());
  return {};
}

}  // namespace quillon::h2
