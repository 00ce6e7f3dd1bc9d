// HTTP/1 head encoding: request and response heads, and the body framing
// each head commits the connection to. The chosen framing is left in the
// codec state's BodyEncoder for the body encoder (body_encoder.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "h1/codec.hpp"
#include "h1/failure.hpp"
#include "http/header_map.hpp"

namespace quillon::h1 {

// The body framing a caller asks for: no body, exactly n bytes, or a
// streamed body of unknown length.
struct BodyLength {
  enum class Kind : uint8_t { None, Known, Unknown };
  Kind kind = Kind::None;
  uint64_t n = 0;  // Known only

  static BodyLength none() { return {}; }
  static BodyLength known(uint64_t n) { return {Kind::Known, n}; }
  static BodyLength unknown() { return {Kind::Unknown, 0}; }
};

// Why a head could not be encoded. ValueError and Internal carry a message;
// User carries an HTTP/1 user failure for the binding's failure conversion.
// Internal is a broken invariant (the date clock outside its renderable
// range), not a caller mistake.
struct EncodeError {
  enum class Kind : uint8_t { None, ValueError, User, Internal };
  Kind kind = Kind::None;
  std::string message;
  Failure failure;

  explicit operator bool() const { return kind != Kind::None; }
};

inline constexpr std::string_view kInvalidMethodMessage = "invalid method: invalid HTTP method";
inline constexpr std::string_view kInvalidStatusMessage = "invalid status: invalid status code";

// The interim response a server writes for `Expect: 100-continue`.
inline constexpr std::string_view kContinueResponse = "HTTP/1.1 100 Continue\r\n\r\n";

// Encodes a request head into `out` (cleared first) and commits the framing.
// `headers` is the encoder's private copy and is rewritten in place
// (connection, transfer-encoding, content-length). On success records the
// method, the body encoder and `request_connection_close` in `state`. On
// failure `out` is empty and `state` is untouched: ValueError for a method
// that is not a token ("invalid method: invalid HTTP method") or a `url` the
// URI parser refuses ("invalid url: " + reason); User `unexpected_header`
// when no body is asked for but the caller's `content-length` is not 0. A
// chunked request never carries `content-length`, whatever the caller put
// there.
EncodeError serialize_request(CodecState& state, std::string_view method, std::string_view url,
                              http::HeaderMapCore headers, bool http10, BodyLength body,
                              std::string& out);

// Encodes a response head into `out` (cleared first) for the request method
// recorded in `state`, and commits the framing. `keep_alive` is the driver's
// wish to keep the connection, `http10` that the request was HTTP/1.0. On
// success sets the body encoder, `response_is_last` and
// `response_close_delimited`. On failure `out` is empty and `state` is
// untouched: ValueError for a status outside 100..999; User
// `unsupported_status_code` for 100 and 102..199; User `unexpected_header`
// for conflicting or misplaced framing headers, including a caller
// `content-length` that disagrees with a known `body` length on a response
// that carries a body (the head would otherwise announce one length and the
// body encoder enforce another); Internal when the date clock fails.
EncodeError serialize_response(CodecState& state, const CodecConfig& config, uint16_t status,
                               const http::HeaderMapCore& headers, bool keep_alive, bool http10,
                               BodyLength body, std::string& out);

// True when any `connection` line of `headers` holds the token "close": the
// static `H1Codec.connection_close(headers)`.
bool connection_close(const http::HeaderMapCore& headers);

// The canonical reason phrase of `status`, or "<none>" for a code without
// one.
std::string_view canonical_reason(uint16_t status);

}  // namespace quillon::h1
