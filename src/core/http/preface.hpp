// The HTTP/2 client connection preface (RFC 9113 section 3.4) and its one
// matcher. The HTTP/2 engine matches it before the first frame; the HTTP/1
// head parser recognises it so that a request head starting with it is
// reported as `version_h2` rather than as garbage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace quillon::http {

inline constexpr std::string_view kH2Preface{"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

// The first min(len, 24) octets compared with the preface: Mismatch on any
// difference, Partial when they agree but fewer than 24 were given, else
// Complete.
enum class PrefaceMatch : uint8_t { Partial, Complete, Mismatch };
inline PrefaceMatch match_preface(std::string_view data) {
  const size_t n = std::min(data.size(), kH2Preface.size());
  if (data.substr(0, n) != kH2Preface.substr(0, n)) return PrefaceMatch::Mismatch;
  return n < kH2Preface.size() ? PrefaceMatch::Partial : PrefaceMatch::Complete;
}

}  // namespace quillon::http
