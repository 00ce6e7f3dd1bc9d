// Fuzz harness for the HTTP/1 head parser, both roles. Input layout:
//   byte 0: configuration bits (skip invalid lines, header limit, recorded
//           request method for the response role)
//   byte 1: seed for the sizes of the pieces the rest is fed in
//   byte 2: bit 0 selects the smallest buffer cap instead of the default
//   rest:   the bytes received
// Checks: no crash or sanitizer report; a failed request head consumes
// nothing; parsed heads are well formed (a request: one host, no coding but
// chunked); feeding in pieces gives the same outcome as feeding whole; the
// body after a head decodes without crashing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "h1/body_decoder.hpp"
#include "h1/parse.hpp"
#include "h1/tokens.hpp"

using namespace quillon::h1;

namespace {

struct Outcome {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind kind = ParseKind::Internal;
  RequestHead req;
  ResponseHead resp;
  size_t left = 0;  // bytes still buffered or not yet fed
};

// Piece sizes from a small LCG: mostly tiny pieces, sometimes large ones.
struct Splitter {
  uint32_t s;
  size_t next() {
    s = s * 1103515245u + 12345u;
    uint32_t r = (s >> 16) & 0x7fff;
    return (r % 8 == 0) ? 1 + r % 512 : 1 + r % 4;
  }
};

Outcome run(bool request, std::string_view in, const CodecConfig& cfg, Method recorded, uint32_t seed,
            bool whole) {
  CodecState st;
  st.method.kind = recorded;
  Splitter sp{seed};
  Outcome o;
  size_t at = 0;
  do {
    size_t n = whole ? in.size() : std::min(sp.next(), in.size() - at);
    st.read.append(in.substr(at, n));
    at += n;
    const size_t before = st.read.size();
    HeadResult r = request ? parse_request_head(st, cfg, o.req) : parse_response_head(st, cfg, o.resp);
    o.status = r.status;
    o.kind = r.error;
    if (r.status == HeadStatus::Error) {
      if (request) {
        FUZZ_ASSERT(st.read.size() == before);
        FUZZ_ASSERT(st.parse_error_status == parse_error_status_for(r.error));
      }
      break;
    }
    if (r.status == HeadStatus::Done) {
      FUZZ_ASSERT(st.read.size() < before);
      FUZZ_ASSERT(st.read.head_scan().looked == 0 && !st.read.head_scan().line_checked);
      break;
    }
    FUZZ_ASSERT(st.read.head_scan().looked <= st.read.size());
  } while (at < in.size());
  o.left = st.read.size() + (in.size() - at);
  return o;
}

void check_headers(const quillon::http::HeaderMapCore& h) {
  h.for_each([](std::string_view name, std::string_view value) {
    FUZZ_ASSERT(quillon::http::is_lower_header_name(name));
    FUZZ_ASSERT(quillon::http::is_valid_header_value(value));
    FUZZ_ASSERT(value.empty() || (value.front() != ' ' && value.back() != ' '));
  });
}

// RFC 9112 §3.2 and §6.1: one host (none only in HTTP/1.0), and a coded
// body only when its one coding is chunked.
void check_request_rules(const RequestHead& req) {
  size_t hosts = 0;
  req.headers.for_each_value("host", [&](std::string_view) { ++hosts; });
  FUZZ_ASSERT(hosts == 1 || (hosts == 0 && req.http10));
  std::string codings;
  req.headers.for_each_value("transfer-encoding", [&](std::string_view v) { codings.append(v).append(","); });
  if (req.body_kind != BodyKind::Chunked) {
    FUZZ_ASSERT(codings.empty());
    return;
  }
  size_t chunked = 0;
  for (size_t at = 0; at < codings.size();) {
    const size_t comma = codings.find(',', at);
    const std::string_view c = trim_ows(std::string_view(codings).substr(at, comma - at));
    FUZZ_ASSERT(c.empty() || quillon::http::ascii_iequals(c, "chunked"));
    chunked += !c.empty();
    at = comma + 1;
  }
  FUZZ_ASSERT(chunked == 1);
}

void check_framing(BodyKind kind, const std::optional<uint64_t>& len) {
  switch (kind) {
    case BodyKind::Empty: FUZZ_ASSERT(len == std::optional<uint64_t>(0)); break;
    case BodyKind::Length: FUZZ_ASSERT(len && *len > 0 && *len <= kMaxContentLength); break;
    default: FUZZ_ASSERT(!len); break;
  }
}

// Runs the bytes after a parsed head through a decoder of its body kind.
void decode_rest(BodyKind kind, std::optional<uint64_t> len, std::string_view rest) {
  BodyDecoder d(kind, len.value_or(0));
  d.feed(rest);
  d.mark_eof();
  std::string_view out;
  uint64_t total = 0;
  while (d.decode(out) == BodyDecoder::Status::Data) total += out.size();
  FUZZ_ASSERT(total <= rest.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint32_t seed = data[1];
  const std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);

  CodecConfig cfg;
  cfg.ignore_invalid_headers = (flags & 1) != 0;
  cfg.max_headers = (flags & 2) ? 3 : ((flags & 4) ? 150 : kDefaultMaxHeaders);
  cfg.max_buf_size = (data[2] & 1) ? kMinMaxBufSize : kDefaultMaxBufSize;
  static constexpr Method kMethods[] = {Method::None, Method::Get, Method::Head, Method::Connect};
  const Method recorded = kMethods[(flags >> 3) & 3];

  for (bool request : {true, false}) {
    Outcome whole = run(request, in, cfg, recorded, seed, true);
    Outcome piece = run(request, in, cfg, recorded, seed, false);
    if (whole.status == HeadStatus::Done) {
      if (request) {
        check_headers(whole.req.headers);
        check_framing(whole.req.body_kind, whole.req.content_length);
        FUZZ_ASSERT(whole.req.body_kind != BodyKind::Close);
        FUZZ_ASSERT(!whole.req.target.empty() && whole.req.target.size() <= kMaxTargetLen);
        FUZZ_ASSERT(whole.req.headers.len() <= cfg.max_headers);
        check_request_rules(whole.req);
      } else {
        check_headers(whole.resp.headers);
        check_framing(whole.resp.body_kind, whole.resp.content_length);
        FUZZ_ASSERT(whole.resp.status >= 100 && whole.resp.status <= 999);
        FUZZ_ASSERT(whole.resp.status == 101 || whole.resp.status >= 200);
        FUZZ_ASSERT(!(whole.resp.keep_alive && whole.resp.is_upgrade));
      }
      std::string_view rest = in.substr(in.size() - whole.left);
      if (request)
        decode_rest(whole.req.body_kind, whole.req.content_length, rest);
      else
        decode_rest(whole.resp.body_kind, whole.resp.content_length, rest);
    }
    // Splitting changes nothing below the buffer cap, except that an HTTP/2
    // preface is only recognised at the buffer's start once all of it is
    // buffered (and empty lines before it may have been dropped by then).
    if (in.size() < cfg.max_buf_size && whole.kind != ParseKind::VersionH2 && piece.kind != ParseKind::VersionH2) {
      FUZZ_ASSERT(whole.status == piece.status);
      FUZZ_ASSERT(whole.kind == piece.kind);
      if (whole.status == HeadStatus::Done) {
        FUZZ_ASSERT(whole.left == piece.left);
        if (request) {
          FUZZ_ASSERT(whole.req.headers.equals(piece.req.headers));
          FUZZ_ASSERT(whole.req.target == piece.req.target);
          FUZZ_ASSERT(whole.req.body_kind == piece.req.body_kind);
          FUZZ_ASSERT(whole.req.framing_conflict == piece.req.framing_conflict);
        } else {
          FUZZ_ASSERT(whole.resp.headers.equals(piece.resp.headers));
          FUZZ_ASSERT(whole.resp.status == piece.resp.status);
          FUZZ_ASSERT(whole.resp.body_kind == piece.resp.body_kind);
          FUZZ_ASSERT(whole.resp.keep_alive == piece.resp.keep_alive);
        }
      }
    }
  }
  return 0;
}
