// Small HTTP/1 header-value helpers shared by the head parser and the head
// encoders: token lists (`connection`, `transfer-encoding`, `te`), method
// tokens and content-length values. Header-only so either side can use them
// without a link-order dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "h1/codec.hpp"
#include "http/chars.hpp"
#include "http/header_map.hpp"

namespace quillon::h1 {

// True when every byte is HTAB or visible ASCII (SP..~): the only values
// whose token lists are read at all; obs-text or controls hold no token.
inline bool is_visible_ascii(std::string_view v) {
  for (char ch : v) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c != '\t' && (c < 0x20 || c > 0x7e)) return false;
  }
  return true;
}

// Strips spaces and tabs from both ends.
inline std::string_view trim_ows(std::string_view v) {
  size_t b = 0, e = v.size();
  while (b < e && (v[b] == ' ' || v[b] == '\t')) ++b;
  while (e > b && (v[e - 1] == ' ' || v[e - 1] == '\t')) --e;
  return v.substr(b, e - b);
}

// True when the comma-separated list `value` holds `token` (pieces trimmed
// of spaces and tabs, compared ASCII case-insensitively). A value that is not
// visible ASCII holds no token.
inline bool value_has_token(std::string_view value, std::string_view token) {
  if (!is_visible_ascii(value)) return false;
  while (true) {
    size_t comma = value.find(',');
    if (http::ascii_iequals(trim_ows(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

// True when any `connection` line of `headers` holds `token`: the one test
// behind `H1Codec.connection_close`, `request_connection_close` and the
// response encoder's close detection.
inline bool connection_has_token(const http::HeaderMapCore& headers, std::string_view token) {
  bool found = false;
  headers.for_each_value("connection", [&](std::string_view v) {
    if (!found && value_has_token(v, token)) found = true;
  });
  return found;
}

// True when the last comma-separated encoding of `value` is "chunked"
// (trimmed, ASCII case-insensitive); false for a value that is not visible
// ASCII.
inline bool last_encoding_is_chunked(std::string_view value) {
  if (!is_visible_ascii(value)) return false;
  size_t comma = value.rfind(',');
  std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
  return http::ascii_iequals(trim_ows(last), "chunked");
}

// Parses a non-empty run of ASCII digits that fits in 64 bits. Nothing else
// (no sign, no whitespace) is accepted.
inline bool parse_u64_digits(std::string_view v, uint64_t& out) {
  if (v.empty()) return false;
  uint64_t n = 0;
  for (char ch : v) {
    if (ch < '0' || ch > '9') return false;
    uint64_t d = static_cast<uint64_t>(ch - '0');
    if (n > (UINT64_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  out = n;
  return true;
}

// The length every `content-length` value of `headers` agrees on, where each
// value is a comma-separated list of trimmed digit runs (all equal). False
// when the header is absent or any piece is malformed or disagrees.
inline bool content_length_list(const http::HeaderMapCore& headers, uint64_t& out) {
  size_t i = headers.find("content-length");
  if (i == http::HeaderMapCore::npos) return false;
  bool ok = true, have = false;
  uint64_t len = 0;
  headers.for_each_value_at(i, [&](std::string_view value) {
    while (ok) {
      size_t comma = value.find(',');
      uint64_t n = 0;
      if (!parse_u64_digits(trim_ows(value.substr(0, comma)), n) || (have && n != len)) {
        ok = false;
        break;
      }
      len = n;
      have = true;
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  });
  if (!ok || !have) return false;
  out = len;
  return true;
}

// The standard method `m` names (case-sensitive, as methods are), or
// Method::Extension for any other token.
inline Method standard_method(std::string_view m) {
  switch (m.size()) {
    case 3:
      if (m == "GET") return Method::Get;
      if (m == "PUT") return Method::Put;
      break;
    case 4:
      if (m == "POST") return Method::Post;
      if (m == "HEAD") return Method::Head;
      break;
    case 5:
      if (m == "TRACE") return Method::Trace;
      if (m == "PATCH") return Method::Patch;
      if (m == "QUERY") return Method::Query;
      break;
    case 6:
      if (m == "DELETE") return Method::Delete;
      break;
    case 7:
      if (m == "OPTIONS") return Method::Options;
      if (m == "CONNECT") return Method::Connect;
      break;
    default:
      break;
  }
  return Method::Extension;
}

}  // namespace quillon::h1
