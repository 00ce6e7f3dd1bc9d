#include "h1/body_encoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "http/chars.hpp"

namespace quillon::h1 {
namespace {

using http::HeaderMapCore;

size_t hex_digits(size_t n) { return n == 0 ? 1 : static_cast<size_t>(std::bit_width(n) + 3) / 4; }

char* put(char* out, std::string_view s) {
  if (!s.empty()) std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

bool allowed_trailer(const std::vector<std::string>& allow, std::string_view name) {
  if (is_forbidden_trailer(name)) return false;
  return std::find(allow.begin(), allow.end(), name) != allow.end();
}

BodyEnd end_with(BodyEncoder enc) {
  BodyEnd e;
  switch (enc.kind) {
    case BodyEncoder::Kind::Chunked:
      e.kind = BodyEnd::Kind::Terminator;
      e.size = kChunkedTerminator.size();
      break;
    case BodyEncoder::Kind::Length:
      if (enc.remaining > 0) {
        e.kind = BodyEnd::Kind::Aborted;
        e.missing = enc.remaining;
      }
      break;
    case BodyEncoder::Kind::None:
    case BodyEncoder::Kind::Close:
      break;
  }
  return e;
}

BodyEncoder take_encoder(CodecState& state) {
  BodyEncoder enc = std::move(state.encoder);
  state.encoder = BodyEncoder{};
  return enc;
}

}  // namespace

bool is_forbidden_trailer(std::string_view n) {
  switch (n.size()) {
    case 2:
      return n == "te";
    case 4:
      return n == "host";
    case 7:
      return n == "trailer";
    case 10:
      return n == "set-cookie";
    case 12:
      return n == "content-type" || n == "max-forwards";
    case 13:
      return n == "authorization" || n == "cache-control" || n == "content-range";
    case 14:
      return n == "content-length";
    case 16:
      return n == "content-encoding";
    case 17:
      return n == "transfer-encoding";
    default:
      return false;
  }
}

size_t chunked_frame_size(size_t n) { return hex_digits(n) + 2 + n + 2; }

char* write_chunk(char* out, std::string_view data) {
  size_t digits = hex_digits(data.size());
  for (size_t i = 0; i < digits; ++i) out[digits - 1 - i] = http::kHexDigitsUpper[(data.size() >> (4 * i)) & 0xF];
  out += digits;
  out = put(out, "\r\n");
  out = put(out, data);
  return put(out, "\r\n");
}

DataPlan encode_data(CodecState& state, size_t chunk_len) {
  if (chunk_len == 0) return {DataPlan::Kind::Unchanged, 0};
  BodyEncoder& enc = state.encoder;
  switch (enc.kind) {
    case BodyEncoder::Kind::None:
      return {DataPlan::Kind::NoRequest, 0};
    case BodyEncoder::Kind::Length:
      if (enc.remaining >= chunk_len) {
        enc.remaining -= chunk_len;
        return {DataPlan::Kind::Unchanged, chunk_len};
      } else {
        // More than was declared: the excess would corrupt the framing of
        // whatever follows on the connection, so it is dropped.
        size_t keep = static_cast<size_t>(enc.remaining);
        enc.remaining = 0;
        return {DataPlan::Kind::Prefix, keep};
      }
    case BodyEncoder::Kind::Close:
      return {DataPlan::Kind::Unchanged, chunk_len};
    case BodyEncoder::Kind::Chunked:
      return {DataPlan::Kind::Chunked, chunked_frame_size(chunk_len)};
  }
  return {DataPlan::Kind::NoRequest, 0};
}

char* BodyEnd::write(char* out) const {
  switch (kind) {
    case Kind::Terminator:
      return put(out, kChunkedTerminator);
    case Kind::Trailers:
      out = put(out, "0\r\n");
      trailers->for_each([&](std::string_view n, std::string_view v) {
        if (!allowed_trailer(allow, n)) return;
        out = put(out, n);
        out = put(out, ": ");
        out = put(out, v);
        out = put(out, "\r\n");
      });
      return put(out, "\r\n");
    case Kind::Empty:
    case Kind::Aborted:
      break;
  }
  return out;
}

Failure BodyEnd::failure() const {
  return Failure::user(UserKind::BodyWriteAborted,
                       "early end, expected " + std::to_string(missing) + " more bytes");
}

BodyEnd encode_end(CodecState& state) { return end_with(take_encoder(state)); }

BodyEnd encode_trailers(CodecState& state, const HeaderMapCore& trailers) {
  BodyEncoder enc = take_encoder(state);
  if (enc.kind == BodyEncoder::Kind::None) return {};
  if (!state.trailers_allowed || enc.kind != BodyEncoder::Kind::Chunked || enc.trailer_allow.empty())
    return end_with(std::move(enc));
  size_t lines = 0;
  trailers.for_each([&](std::string_view n, std::string_view v) {
    if (allowed_trailer(enc.trailer_allow, n)) lines += n.size() + 2 + v.size() + 2;
  });
  BodyEnd e;
  if (lines == 0) {
    e.kind = BodyEnd::Kind::Terminator;
    e.size = kChunkedTerminator.size();
    return e;
  }
  e.kind = BodyEnd::Kind::Trailers;
  e.trailers = &trailers;
  e.allow = std::move(enc.trailer_allow);
  e.size = 3 + lines + 2;
  return e;
}

MessagePlan plan_head_and_body(CodecState& state, size_t head_len, std::string_view body,
                               const HeaderMapCore* trailers) {
  MessagePlan plan;
  const BodyEncoder::Kind kind = state.encoder.kind;
  if (kind == BodyEncoder::Kind::None || (kind == BodyEncoder::Kind::Length && state.encoder.remaining == 0)) {
    state.encoder = BodyEncoder{};
    plan.head_only = true;
    plan.total = head_len;
    return plan;
  }
  plan.body = encode_data(state, body.size());
  plan.end = trailers != nullptr ? encode_trailers(state, *trailers) : encode_end(state);
  if (plan.failed()) return plan;
  plan.total = head_len + plan.body.size + plan.end.size;
  return plan;
}

char* write_message(const MessagePlan& plan, std::string_view head, std::string_view body, char* out) {
  out = put(out, head);
  if (plan.head_only) return out;
  switch (plan.body.kind) {
    case DataPlan::Kind::Unchanged:
    case DataPlan::Kind::Prefix:
      out = put(out, body.substr(0, plan.body.size));
      break;
    case DataPlan::Kind::Chunked:
      out = write_chunk(out, body);
      break;
    case DataPlan::Kind::NoRequest:
      break;
  }
  return plan.end.write(out);
}

bool body_is_eof(const CodecState& state) {
  return state.encoder.kind == BodyEncoder::Kind::None ||
         (state.encoder.kind == BodyEncoder::Kind::Length && state.encoder.remaining == 0);
}

}  // namespace quillon::h1
