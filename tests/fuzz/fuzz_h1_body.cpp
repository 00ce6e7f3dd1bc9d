// Fuzz harness for the HTTP/1 body decoder, every body kind. Input layout:
//   byte 0: bit 0 marks EOF after the input, bits 1..7 a content length
//           (for the "length" kind) scaled by byte 2
//   byte 1: seed for the sizes of the pieces the rest is fed in
//   byte 2: content length multiplier
//   rest:   the body bytes received
// Checks: no crash or sanitizer report; decode() never returns an empty
// piece or more than was fed; length and close bodies respect their bounds;
// feeding in pieces (copied in, or decoded straight from the caller's bytes)
// gives the same data, completion, error and leftover as feeding whole;
// trailers hold only valid fields.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "h1/body_decoder.hpp"

using namespace quillon::h1;

namespace {

struct Result {
  std::string data;
  BodyDecoder::Status last = BodyDecoder::Status::None;
  bool complete = false;
  std::string error;
  std::string leftover;
  std::optional<quillon::http::HeaderMapCore> trailers;
};

enum class Mode { Whole, Pieces, Borrowed };

Result run(BodyKind kind, uint64_t len, std::string_view in, bool eof, uint32_t seed, Mode mode) {
  const bool whole = mode == Mode::Whole;
  BodyDecoder d(kind, len);
  Result r;
  uint32_t s = seed;
  size_t at = 0;
  auto drain = [&] {
    std::string_view out;
    for (;;) {
      r.last = d.decode(out);
      if (r.last != BodyDecoder::Status::Data) return;
      FUZZ_ASSERT(!out.empty());
      if (kind == BodyKind::Close) FUZZ_ASSERT(out.size() <= kClosePieceBytes);
      r.data.append(out);
    }
  };
  while (at < in.size()) {
    s = s * 1103515245u + 12345u;
    size_t n = whole ? in.size() : 1 + ((s >> 16) & 0x7fff) % ((s & 0x100) ? 300 : 3);
    n = std::min(n, in.size() - at);
    if (mode == Mode::Borrowed) {
      // Decode straight from the piece; what the decoder did not reach is
      // passed again, and fed once it stops taking bytes.
      std::string_view pending = in.substr(at, n);
      std::string_view out;
      for (;;) {
        const char* before = pending.data();
        r.last = d.decode_from(pending, out);
        if (r.last != BodyDecoder::Status::Data) break;
        FUZZ_ASSERT(!out.empty());
        FUZZ_ASSERT(out.data() >= before && out.data() + out.size() <= before + n);
        r.data.append(out);
      }
      if (r.last == BodyDecoder::Status::None) {
        FUZZ_ASSERT(pending.empty() || d.is_complete());
        d.feed(pending);
      }
    } else if (s & 0x200) {
      d.feed(in.substr(at, n));
    } else {
      d.append(std::string(in.substr(at, n)));
    }
    at += n;
    if (mode != Mode::Borrowed) drain();
    if (r.last == BodyDecoder::Status::Error) break;
  }
  if (r.last != BodyDecoder::Status::Error) {
    if (eof) d.mark_eof();
    drain();
  }
  FUZZ_ASSERT(r.data.size() <= in.size());
  r.complete = d.is_complete();
  if (r.last == BodyDecoder::Status::Error) {
    FUZZ_ASSERT(!d.error_text().empty());
    FUZZ_ASSERT(d.error_io() != IoKind::None);
    FUZZ_ASSERT(d.failure().kind == FailureKind::Body);
    r.error = d.error_text();
  } else {
    r.leftover = d.take_leftover();
    r.leftover.append(in.substr(at));
    r.trailers = d.take_trailers();
    FUZZ_ASSERT(!d.take_trailers());
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool eof = (data[0] & 1) != 0;
  const uint64_t len = static_cast<uint64_t>(data[0] >> 1) * (1u + data[2]);
  const uint32_t seed = data[1];
  const std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);

  for (BodyKind kind : {BodyKind::Empty, BodyKind::Length, BodyKind::Chunked, BodyKind::Close}) {
    Result whole = run(kind, len, in, eof, seed, Mode::Whole);
    for (Mode mode : {Mode::Pieces, Mode::Borrowed}) {
      Result piece = run(kind, len, in, eof, seed, mode);
      FUZZ_ASSERT(whole.data == piece.data);
      FUZZ_ASSERT(whole.last == piece.last);
      FUZZ_ASSERT(whole.complete == piece.complete);
      FUZZ_ASSERT(whole.error == piece.error);
      FUZZ_ASSERT(whole.leftover == piece.leftover);
      FUZZ_ASSERT(whole.trailers.has_value() == piece.trailers.has_value());
      if (whole.trailers) FUZZ_ASSERT(whole.trailers->equals(*piece.trailers));
    }
    if (whole.trailers) {
      FUZZ_ASSERT(whole.trailers->len() <= kMaxTrailerLines);
      whole.trailers->for_each([](std::string_view n, std::string_view v) {
        FUZZ_ASSERT(quillon::http::is_lower_header_name(n));
        FUZZ_ASSERT(quillon::http::is_valid_header_value(v));
      });
    }
    switch (kind) {
      case BodyKind::Empty:
        FUZZ_ASSERT(whole.complete && whole.data.empty());
        break;
      case BodyKind::Length:
        FUZZ_ASSERT(whole.data.size() <= len);
        FUZZ_ASSERT(whole.complete == (whole.data.size() == len));
        break;
      case BodyKind::Close:
        FUZZ_ASSERT(whole.data == in);
        FUZZ_ASSERT(whole.complete == eof);
        break;
      case BodyKind::Chunked:
        if (whole.complete) FUZZ_ASSERT(whole.last == BodyDecoder::Status::None);
        break;
    }
  }
  return 0;
}
