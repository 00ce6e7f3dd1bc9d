// The HTTP/2 frame engine: per-type checks in the order of RFC 9113 §6,
// header blocks across CONTINUATION frames, and the frame encoders.
#include "h2/frames.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "http/chars.hpp"
#include "http/date.hpp"
#include "http/uri.hpp"

namespace quillon::h2 {

namespace {

inline uint32_t read24(const char* p) {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return (uint32_t{u[0]} << 16) | (uint32_t{u[1]} << 8) | u[2];
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
Failure load_error(const char* name) {
  return Failure::protocol(kProtocolError, std::string("failed to load frame: ") + name);
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

Failure encode_settings(const SettingsValues& s, std::string& out) {
  if (s.max_frame_size && (*s.max_frame_size < kDefaultMaxFrameSize || *s.max_frame_size > kMaxMaxFrameSize))
    return Failure::value("max_frame_size must be in [16384, 16777215], got " + std::to_string(*s.max_frame_size));
  if (s.initial_window_size && *s.initial_window_size > kMaxWindowSize)
    return Failure::value("initial_window_size must be <= 2147483647, got " +
                          std::to_string(*s.initial_window_size));
  const std::optional<uint32_t> values[6] = {
      s.header_table_size,
      s.enable_push ? std::optional<uint32_t>(*s.enable_push ? 1 : 0) : std::nullopt,
      s.max_concurrent_streams,
      s.initial_window_size,
      s.max_frame_size,
      s.max_header_list_size,
  };
  uint32_t count = 0;
  for (const auto& v : values) count += v.has_value();
  char* w = append_frame(out, count * 6, kSettings, 0, 0);
  for (uint16_t id = 1; id <= 6; ++id) {
    if (!values[id - 1]) continue;
    w[0] = 0;
    w[1] = static_cast<char>(id);
    w = put32(w + 2, *values[id - 1]);
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

Failure Engine::receive(std::string_view in, std::vector<Frame>& out) {
  if (preface_ == Preface::Expected) {
    switch (feed_preface(in)) {
      case PrefaceMatch::Mismatch:
        return Failure::protocol(kProtocolError, kBadPreface);
      case PrefaceMatch::Partial:
        return {};
      case PrefaceMatch::Complete:
        in = {};
        break;
    }
  }
  auto too_long = [&](uint32_t len) { return len > max_recv_frame_size_; };
  auto frame_too_long = [] {
    return Failure::protocol(kFrameSizeError, "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
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
    const char* h = buf_.data() + off;
    const uint32_t len = read24(h);
    if (too_long(len)) {
      buf_.append(in);
      return frame_too_long();
    }
    const size_t total = kFrameHeaderLen + len;
    if (buf_.size() - off < total) {
      buf_.erase(0, off);
      off = 0;
      const size_t take = std::min(total - buf_.size(), in.size());
      buf_.append(in.data(), take);
      in.remove_prefix(take);
      if (buf_.size() < total) return {};
      h = buf_.data();
    }
    const std::string_view payload(h + kFrameHeaderLen, len);
    if (Failure f = frame(static_cast<uint8_t>(h[3]), static_cast<uint8_t>(h[4]), read32(h + 5) & kMaxStreamId,
                          payload, false, out))
      return f;
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
    const uint32_t len = read24(in.data());
    if (too_long(len)) {
      buf_.assign(in);
      return frame_too_long();
    }
    const size_t total = kFrameHeaderLen + len;
    if (in.size() < total) break;
    const std::string_view payload(in.data() + kFrameHeaderLen, len);
    if (Failure f = frame(static_cast<uint8_t>(in[3]), static_cast<uint8_t>(in[4]),
                          read32(in.data() + 5) & kMaxStreamId, payload, true, out))
      return f;
    in.remove_prefix(total);
  }
  buf_.assign(in);
  return {};
}

Failure Engine::frame(uint8_t type, uint8_t flags, uint32_t sid, std::string_view payload, bool payload_stable,
                      std::vector<Frame>& out) {
  if (partial_ && type != kContinuation)
    return Failure::protocol(kProtocolError, "expected CONTINUATION frame");
  const size_t len = payload.size();
  switch (type) {
    case kData: {
      if (sid == 0) return load_error("InvalidStreamId");
      std::string_view data = payload;
      if (flags & kPadded) {
        if (len == 0) return load_error("TooMuchPadding");
        const size_t pad = static_cast<uint8_t>(payload[0]);
        if (pad >= len) return load_error("TooMuchPadding");
        data = payload.substr(1, len - 1 - pad);
      }
      DataFrame& d = std::get<DataFrame>(out.emplace_back(std::in_place_type<DataFrame>));
      d.stream_id = sid;
      d.end_stream = flags & kEndStream;
      d.flow_controlled_len = static_cast<uint32_t>(len);
      if (payload_stable) {
        d.borrowed = data;
      } else {
        d.owned.assign(data);
        d.owns = true;
      }
      return {};
    }
    case kHeaders:
      return headers(flags, sid, payload, out);
    case kPriority:
      if (sid == 0) return Failure::protocol(kProtocolError, "PRIORITY frame with stream ID 0");
      if (len != 5) return load_error("InvalidPayloadLength");
      if ((read32(payload.data()) & kMaxStreamId) == sid)
        out.emplace_back(StreamErrorFrame{sid, kProtocolError});
      else
        out.emplace_back(PriorityFrame{sid});
      return {};
    case kRstStream:
      if (len != 4) return load_error("InvalidPayloadLength");
      out.emplace_back(RstStreamFrame{sid, read32(payload.data())});
      return {};
    case kSettings: {
      if (sid != 0) return load_error("InvalidStreamId");
      if ((flags & kAck) && len != 0) return load_error("InvalidPayloadLength");
      if (len % 6 != 0) return load_error("InvalidPayloadAckSettings");
      SettingsFrame s;
      s.ack = flags & kAck;
      if (s.ack && frame_size_at_ack_) set_max_recv_frame_size(*std::exchange(frame_size_at_ack_, std::nullopt));
      for (size_t i = 0; i < len; i += 6) {
        const uint16_t id = static_cast<uint16_t>((static_cast<uint8_t>(payload[i]) << 8) |
                                                  static_cast<uint8_t>(payload[i + 1]));
        const uint32_t v = read32(payload.data() + i + 2);
        switch (id) {
          case 1:
            s.header_table_size = v;
            break;
          case 2:
            if (v > 1) return load_error("InvalidSettingValue");
            s.enable_push = v == 1;
            break;
          case 3:
            s.max_concurrent_streams = v;
            break;
          case 4:
            if (v > kMaxWindowSize) return load_error("InvalidSettingValue");
            s.initial_window_size = v;
            break;
          case 5:
            if (v < kDefaultMaxFrameSize || v > kMaxMaxFrameSize) return load_error("InvalidSettingValue");
            s.max_frame_size = v;
            break;
          case 6:
            s.max_header_list_size = v;
            break;
          case 8:  // SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441): checked, not kept
            if (v > 1) return load_error("InvalidSettingValue");
            break;
          default:
            break;
        }
      }
      out.emplace_back(std::move(s));
      return {};
    }
    case kPushPromise:
      return Failure::protocol(kProtocolError, "PUSH_PROMISE received but server push is disabled");
    case kPing: {
      if (sid != 0) return load_error("InvalidStreamId");
      if (len != 8) return load_error("BadFrameSize");
      PingFrame p;
      p.ack = flags & kAck;
      std::memcpy(p.data, payload.data(), 8);
      out.emplace_back(p);
      return {};
    }
    case kGoAway: {
      if (len < 8) return load_error("BadFrameSize");
      GoAwayFrame g;
      g.last_stream_id = read32(payload.data()) & kMaxStreamId;
      g.error_code = read32(payload.data() + 4);
      g.debug_data.assign(payload.substr(8));
      out.emplace_back(std::move(g));
      return {};
    }
    case kWindowUpdate: {
      if (len != 4) return load_error("BadFrameSize");
      const uint32_t inc = read32(payload.data()) & kMaxWindowSize;
      if (inc == 0) return load_error("InvalidWindowUpdateValue");
      out.emplace_back(WindowUpdateFrame{sid, inc});
      return {};
    }
    case kContinuation:
      return continuation(flags, sid, payload, out);
    default:
      // RFC 9113 §4.1: unknown frame types are ignored.
      return {};
  }
}

Failure Engine::headers(uint8_t flags, uint32_t sid, std::string_view p, std::vector<Frame>& out) {
  if (sid == 0) return load_error("InvalidStreamId");
  size_t pad = 0;
  if (flags & kPadded) {
    if (p.empty()) return load_error("MalformedMessage");
    pad = static_cast<uint8_t>(p[0]);
    p.remove_prefix(1);
  }
  bool self_dependent = false;
  if (flags & kPriorityFlag) {
    if (p.size() < 5) return load_error("MalformedMessage");
    self_dependent = (read32(p.data()) & kMaxStreamId) == sid;
    p.remove_prefix(5);
  }
  if (pad > p.size()) return load_error("TooMuchPadding");
  p.remove_suffix(pad);

  auto block = std::make_unique<Partial>();
  block->stream_id = sid;
  block->end_stream = flags & kEndStream;
  // A self-dependent stream is a stream error (RFC 9113 §5.3.1), but its
  // block is still decoded: skipping it would leave our HPACK table behind
  // the peer's for the rest of the connection.
  block->block.malformed = self_dependent;
  const bool end = flags & kEndHeaders;
  if (Failure f = decode_block(*block, p, end)) return f;
  if (end)
    finish_block(*block, out);
  else
    partial_ = std::move(block);
  return {};
}

Failure Engine::continuation(uint8_t flags, uint32_t sid, std::string_view payload, std::vector<Frame>& out) {
  if (!partial_) return Failure::protocol(kProtocolError, "received unexpected CONTINUATION frame");
  std::unique_ptr<Partial> p = std::move(partial_);
  if (sid != p->stream_id)
    return Failure::protocol(kProtocolError, "CONTINUATION frame stream ID does not match previous frame stream ID");
  const bool end = flags & kEndHeaders;
  // The flood limit (CVE-2024-27316 and kin): counted per frame, since
  // empty or tiny fragments cost us a frame each while adding nothing.
  if (!end && ++p->continuations > max_continuations_)
    return Failure::protocol(kEnhanceYourCalm, "too_many_continuations");
  std::string_view bytes = payload;
  if (!p->undecoded.empty()) {
    // An over-size block is only being decoded to keep the table in step;
    // a representation that keeps growing past the list limit is not.
    if (p->block.over_size && p->undecoded.size() + payload.size() + kFrameHeaderLen > max_header_list_size_)
      return Failure::protocol(kCompressionError, "CONTINUATION frame header block size over ignorable limit");
    p->undecoded.append(payload);
    bytes = p->undecoded;
  }
  if (Failure f = decode_block(*p, bytes, end)) return f;
  if (end)
    finish_block(*p, out);
  else
    partial_ = std::move(p);
  return {};
}

Failure Engine::decode_block(Partial& p, std::string_view bytes, bool end_headers) {
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
    return Failure::protocol(kEnhanceYourCalm, "decoded header list size over abuse limit");
  return Failure::protocol(kProtocolError,
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
  // Every other request carries a scheme and a non-empty path; :protocol
  // belongs to the extended CONNECT of RFC 8441, which names its authority.
  if (b.has(Pseudo::Protocol) && (*method != "CONNECT" || !b.has(Pseudo::Authority))) return HeadShape::Malformed;
  return has_scheme && path && !path->empty() ? HeadShape::Request : HeadShape::Malformed;
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

Failure bad_stream_id(uint64_t id) {
  return Failure::value("stream_id must be below 2**31, got " + std::to_string(id));
}

}  // namespace

Failure Engine::encode_request(uint32_t sid, std::string_view method, std::string_view target,
                               const http::HeaderMapCore* headers, bool end_stream,
                               std::optional<std::string_view> scheme, std::optional<std::string_view> authority,
                               std::string& out) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (!http::is_token(method)) return Failure::value("invalid method: invalid HTTP method");
  http::UriView uri;
  http::UriError ue = http::parse_uri(target, uri);
  if (ue == http::UriError::None) ue = http::check_port(uri);
  if (ue != http::UriError::None) return Failure::value(std::string("invalid url: ") + http::uri_error_text(ue));

  hpack::Field pseudo[4];
  size_t n = 0;
  pseudo[n++] = {":method", method};
  std::string path;
  if (uri.has_authority) authority = uri.hostport;
  if (uri.scheme != http::Scheme::None) scheme = uri.scheme_text;
  if (method == "CONNECT") {
    if (!authority)
      return Failure::value(
          "request target is a bare path but the connection has no authority; pass authority=... to "
          "H2Connection or use an absolute-URL target");
    pseudo[n++] = {":authority", *authority};
  } else {
    if (!scheme || !authority)
      return Failure::value(
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

Failure Engine::encode_response(uint32_t sid, uint32_t status, const http::HeaderMapCore* headers, bool end_stream,
                                bool auto_date, std::string& out) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (status < 100 || status > 999) return Failure::value("invalid status: invalid status code");
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

Failure Engine::encode_trailers(uint32_t sid, const http::HeaderMapCore& trailers, std::string& out) {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  encode_block(sid, true, nullptr, 0, &trailers, nullptr, 0, out);
  return {};
}

Failure Engine::encode_data(uint32_t sid, std::string_view data, bool end_stream, std::string& out) const {
  if (!valid_stream_id(sid)) return bad_stream_id(sid);
  if (data.size() > send_max_frame_size_)
    return Failure::user(UserKind::PayloadTooBig, "DATA payload " + std::to_string(data.size()) +
                                                " exceeds SETTINGS_MAX_FRAME_SIZE " +
                                                std::to_string(send_max_frame_size_));
  char* w = append_frame(out, static_cast<uint32_t>(data.size()), kData, end_stream ? kEndStream : 0, sid);
  if (!data.empty()) std::memcpy(w, data.data(), data.size());
  return {};
}

}  // namespace quillon::h2
