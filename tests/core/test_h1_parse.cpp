// HTTP/1 head tokenizer and head interpretation.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "h1/parse.hpp"

using namespace quillon::h1;
using namespace std::string_literals;

namespace {

struct Outcome {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind kind = ParseKind::Internal;
  std::optional<uint16_t> error_status;
  RequestHead req;
  ResponseHead resp;
  size_t buffered = 0;
};

// Feeds `bytes` in pieces of `step` bytes (0 = all at once), parsing after
// each, and stops at the first result that is not Incomplete.
Outcome run(bool request, std::string_view bytes, size_t step = 0, CodecConfig cfg = {},
            Method recorded = Method::None) {
  CodecState st;
  st.method.kind = recorded;
  Outcome o;
  size_t at = 0;
  do {
    size_t n = step == 0 ? bytes.size() : std::min(step, bytes.size() - at);
    st.read.append(bytes.substr(at, n));
    at += n;
    HeadResult r = request ? parse_request_head(st, cfg, o.req) : parse_response_head(st, cfg, o.resp);
    o.status = r.status;
    o.kind = r.error;
    if (r.status != HeadStatus::Incomplete) break;
  } while (at < bytes.size());
  o.error_status = st.parse_error_status;
  o.buffered = st.read.size() + (bytes.size() - at);  // unfed bytes count as still buffered
  return o;
}

Outcome req(std::string_view b, CodecConfig cfg = {}) { return run(true, b, 0, cfg); }
Outcome resp(std::string_view b, Method m = Method::None) { return run(false, b, 0, {}, m); }

std::string values(const quillon::http::HeaderMapCore& h, std::string_view name) {
  std::string out;
  h.for_each_value(name, [&](std::string_view v) {
    if (!out.empty()) out += '|';
    out += v;
  });
  return out;
}

std::string request_with(std::string_view fields, std::string_view line = "GET / HTTP/1.1",
                         std::string_view host = "host: h\r\n") {
  return std::string(line) + "\r\n" + std::string(host) + std::string(fields) + "\r\n";
}

}  // namespace

TEST_CASE("h1 parse: request errors map to their kind and automatic status") {
  struct Case {
    std::string in;
    ParseKind kind;
    std::optional<uint16_t> status;
  };
  const std::vector<Case> cases = {
      {"G(T / HTTP/1.1\r\n\r\n", ParseKind::Method, 400},
      {" GET / HTTP/1.1\r\n\r\n", ParseKind::Method, 400},
      {"GET\r\n\r\n", ParseKind::Method, 400},
      {"GET  HTTP/1.1\r\n\r\n", ParseKind::Uri, 400},
      {"GET /a\x01z HTTP/1.1\r\n\r\n", ParseKind::Uri, 400},
      {"GET /\xc3\xa9 HTTP/1.1\r\n\r\n", ParseKind::Uri, 400},
      {"GET /\r\n\r\n", ParseKind::Uri, 400},
      {"GET / HTTP/1.2\r\n\r\n", ParseKind::Version, 400},
      {"GET / http/1.1\r\n\r\n", ParseKind::Version, 400},
      {"GET / HTTP/1.1 \r\n\r\n", ParseKind::Version, 400},
      {"GET / HTTP/1.1\rX\n\r\n", ParseKind::Version, 400},
      {"GET / HTTP/2.0\r\n\r\n", ParseKind::Version, 400},
      {request_with("Host : x\r\n"), ParseKind::HeaderToken, 400},
      {request_with("A: b\r\n c\r\n"), ParseKind::HeaderToken, 400},
      {request_with(" A: b\r\n"), ParseKind::HeaderToken, 400},
      {request_with("A: b\0c\r\n"s), ParseKind::HeaderToken, 400},
      {request_with("A: b\rc\r\n"), ParseKind::HeaderToken, 400},
      {request_with("A: b\x7f\r\n"), ParseKind::HeaderToken, 400},
      {request_with("A(: b\r\n"), ParseKind::HeaderToken, 400},
      {request_with(": b\r\n"), ParseKind::HeaderToken, 400},
      {request_with("nocolon\r\n"), ParseKind::HeaderToken, 400},
      {request_with("\rX: y\r\n"), ParseKind::HeaderToken, 400},
      {request_with("content-length: 5, 5\r\n"), ParseKind::ContentLengthInvalid, 400},
      {request_with("content-length: +5\r\n"), ParseKind::ContentLengthInvalid, 400},
      {request_with("content-length:\r\n"), ParseKind::ContentLengthInvalid, 400},
      {request_with("content-length: 5\r\ncontent-length: 6\r\n"), ParseKind::ContentLengthInvalid, 400},
      {request_with("content-length: 99999999999999999999\r\n"), ParseKind::ContentLengthInvalid, 400},
      {request_with("content-length: 18446744073709551614\r\n"), ParseKind::TooLarge, 431},
      {request_with("transfer-encoding: gzip\r\n"), ParseKind::TransferEncodingInvalid, 400},
      {request_with("transfer-encoding: chunked, gzip\r\n"), ParseKind::TransferEncodingInvalid, 400},
      {request_with("transfer-encoding: chunked\r\ntransfer-encoding: gzip\r\n"), ParseKind::TransferEncodingInvalid, 400},
      {request_with("transfer-encoding: chunked,\r\n"), ParseKind::TransferEncodingInvalid, 400},
      {request_with("transfer-encoding: chunked\r\n", "POST / HTTP/1.0"), ParseKind::TransferEncodingUnexpected, 400},
      {"GET /" + std::string(65534, 'a') + " HTTP/1.1\r\n\r\n", ParseKind::UriTooLong, 414},
      {std::string(kH2Preface), ParseKind::VersionH2, std::nullopt},
      {std::string(kH2Preface.substr(0, 16)), ParseKind::Version, 400},
  };
  for (const Case& c : cases) {
    Outcome o = req(c.in);
    CHECK(o.status == HeadStatus::Error);
    if (o.kind != c.kind) std::fprintf(stderr, "  input: %s\n", c.in.substr(0, 60).c_str());
    CHECK(o.kind == c.kind);
    CHECK(o.error_status == c.status);
    CHECK_EQ(o.buffered, c.in.size());  // a failed parse consumes nothing
  }
}

TEST_CASE("h1 parse: response errors map to their kind") {
  struct Case {
    std::string in;
    ParseKind kind;
  };
  std::string many;
  for (int i = 0; i < 101; ++i) many += "x" + std::to_string(i) + ": v\r\n";
  const std::vector<Case> cases = {
      {"HTTP/1.1 99 X\r\n\r\n", ParseKind::Status},
      {"HTTP/1.1 2x0 OK\r\n\r\n", ParseKind::Status},
      {"HTTP/1.1 2000 OK\r\n\r\n", ParseKind::Status},
      {"HTTP/1.1  200 OK\r\n\r\n", ParseKind::Status},
      {"HTTP/1.1 200 O\x01K\r\n\r\n", ParseKind::Status},
      {"HTTP/1.1 200 OK\rX\n\r\n", ParseKind::Status},
      {"HTTP/1.3 200 OK\r\n\r\n", ParseKind::Version},
      {"HTTP/1.1\r\n\r\n", ParseKind::Version},
      {"ICY 200 OK\r\n\r\n", ParseKind::Version},
      {"HTTP/1.1 200 OK\r\n" + many + "\r\n", ParseKind::TooLarge},
      {"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", ParseKind::HeaderToken},
      {"HTTP/1.1 200 OK\r\ncontent-length: 5, 6\r\n\r\n", ParseKind::ContentLengthInvalid},
      {"HTTP/1.1 200 OK\r\ncontent-length: 5\r\ncontent-length: x\r\n\r\n", ParseKind::ContentLengthInvalid},
      {"HTTP/1.1 200 OK\r\ncontent-length: 18446744073709551614\r\n\r\n", ParseKind::TooLarge},
      {"HTTP/1.0 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", ParseKind::TransferEncodingUnexpected},
  };
  for (const Case& c : cases) {
    Outcome o = resp(c.in);
    CHECK(o.status == HeadStatus::Error);
    CHECK(o.kind == c.kind);
    CHECK_EQ(o.buffered, c.in.size());
  }
}

TEST_CASE("h1 parse: response body kinds, keep-alive and upgrades") {
  struct Case {
    std::string in;
    Method method;
    uint16_t status;
    BodyKind kind;
    std::optional<uint64_t> length;
    bool keep_alive;
    bool upgrade;
  };
  const std::vector<Case> cases = {
      {"\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", Method::Get, 200, BodyKind::Empty, 0, true, false},
      {"HTTP/1.1 200 OK\r\ncontent-length: 5, 5\r\n\r\n", Method::Get, 200, BodyKind::Length, 5, true, false},
      {"HTTP/1.1 200 OK\r\ncontent-length: 18446744073709551613\r\n\r\n", Method::Get, 200, BodyKind::Length,
       18446744073709551613ull, true, false},
      {"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n", Method::Head, 200, BodyKind::Empty, 0, true, false},
      {"HTTP/1.1 200 OK\r\n\r\n", Method::Connect, 200, BodyKind::Empty, 0, false, true},
      {"HTTP/1.1 407 No\r\ncontent-length: 3\r\n\r\n", Method::Connect, 407, BodyKind::Length, 3, true, false},
      {"HTTP/1.1 101 Switching\r\nupgrade: ws\r\n\r\n", Method::Get, 101, BodyKind::Empty, 0, false, true},
      {"HTTP/1.1 204 No Content\r\ncontent-length: 7\r\n\r\n", Method::Get, 204, BodyKind::Empty, 0, true, false},
      {"HTTP/1.1 304 Not Modified\r\ntransfer-encoding: chunked\r\n\r\n", Method::Get, 304, BodyKind::Empty, 0, true, false},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: gzip\r\n\r\n", Method::Get, 200, BodyKind::Close, std::nullopt, true, false},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, CHUNKED \r\ncontent-length: 4\r\n\r\n", Method::Get, 200,
       BodyKind::Chunked, std::nullopt, true, false},
      {"HTTP/1.1 200 OK\r\n\r\n", Method::Get, 200, BodyKind::Close, std::nullopt, true, false},
      {"HTTP/1.1 200 OK\r\nconnection: close\r\nconnection: keep-alive\r\n\r\n", Method::Get, 200, BodyKind::Close,
       std::nullopt, true, false},
      {"HTTP/1.1 200 OK\r\nconnection: upgrade, Close\r\n\r\n", Method::Get, 200, BodyKind::Close, std::nullopt, false,
       false},
      {"HTTP/1.0 200 OK\r\ncontent-length: 1\r\n\r\n", Method::Get, 200, BodyKind::Length, 1, false, false},
      {"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\ncontent-length: 1\r\n\r\n", Method::Get, 200, BodyKind::Length, 1,
       true, false},
      {"HTTP/1.1 200\nx: y\n\n", Method::Get, 200, BodyKind::Close, std::nullopt, true, false},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n", Method::Post, 200,
       BodyKind::Length, 2, true, false},
  };
  for (const Case& c : cases) {
    Outcome o = resp(c.in, c.method);
    CHECK(o.status == HeadStatus::Done);
    CHECK_EQ(o.resp.status, c.status);
    CHECK(o.resp.body_kind == c.kind);
    CHECK(o.resp.content_length == c.length);
    CHECK_EQ(o.resp.keep_alive, c.keep_alive);
    CHECK_EQ(o.resp.is_upgrade, c.upgrade);
    CHECK_EQ(o.buffered, size_t{0});
  }
}

TEST_CASE("h1 parse: informational responses are consumed") {
  Outcome lone = resp("HTTP/1.1 100 Continue\r\n\r\n");
  CHECK(lone.status == HeadStatus::Incomplete);
  CHECK_EQ(lone.buffered, size_t{0});
  Outcome two = resp("HTTP/1.1 103 Early\r\nlink: x\r\n\r\nHTTP/1.1 102 P\r\n\r\nHTTP/1.1 404 NF\r\n\r\nbody");
  CHECK(two.status == HeadStatus::Done);
  CHECK_EQ(two.resp.status, 404);
  CHECK(!two.resp.headers.contains("link"));
  CHECK_EQ(two.buffered, size_t{4});
}

TEST_CASE("h1 parse: request interpretation") {
  Outcome o = req(request_with("content-length: 3\r\nX: 1\r\ntransfer-encoding: chunked\r\n", "POST /u HTTP/1.1"));
  CHECK(o.status == HeadStatus::Done);
  CHECK(o.req.body_kind == BodyKind::Chunked);
  CHECK(!o.req.content_length);
  CHECK(!o.req.headers.contains("content-length"));
  CHECK(o.req.framing_conflict);
  CHECK_EQ(values(o.req.headers, "x"), "1");

  o = req(request_with("transfer-encoding: chunked\r\ncontent-length: zz\r\n", "POST / HTTP/1.1"));
  CHECK(o.status == HeadStatus::Done);
  CHECK(o.req.framing_conflict);
  CHECK(!o.req.headers.contains("content-length"));

  o = req(request_with("content-length: 7\r\nContent-Length: 7\r\n", "PUT / HTTP/1.1"));
  CHECK(o.req.body_kind == BodyKind::Length);
  CHECK(o.req.content_length == std::optional<uint64_t>(7));
  CHECK_EQ(values(o.req.headers, "content-length"), "7");
  CHECK(!o.req.framing_conflict);

  o = req(request_with("content-length: 0\r\n"));
  CHECK(o.req.body_kind == BodyKind::Empty);
  CHECK(o.req.content_length == std::optional<uint64_t>(0));

  o = req(request_with("Expect: 100-Continue\r\nTE: gzip , Trailers\r\nupgrade: h2c\r\n"));
  CHECK(o.req.expect_continue);
  CHECK(o.req.allow_trailers);
  CHECK(o.req.is_upgrade);
  o = req(request_with("expect: 100-continue\r\nexpect: other\r\nupgrade: x\r\n", "GET / HTTP/1.0"));
  CHECK(!o.req.expect_continue);
  CHECK(!o.req.is_upgrade);
  CHECK(o.req.http10);
  CHECK(!o.req.keep_alive);
  o = req("CONNECT example.com:443 HTTP/1.1\r\nhost: example.com:443\r\n\r\n");
  CHECK(o.req.is_upgrade);
  CHECK(o.req.method == Method::Connect);
  CHECK_EQ(o.req.target, "example.com:443");

  o = req(request_with("A: \t v  v \t\r\nA: second\r\nB: caf\xc3\xa9\r\nconnection: close\r\n", "PROPFIND * HTTP/1.1"));
  CHECK(o.req.method == Method::Extension);
  CHECK_EQ(o.req.method_text, "PROPFIND");
  CHECK_EQ(values(o.req.headers, "a"), "v  v|second");
  CHECK_EQ(values(o.req.headers, "b"), "caf\xc3\xa9");
  CHECK(!o.req.keep_alive);
  CHECK(req("get / HTTP/1.1\r\nhost: h\r\n\r\n").req.method == Method::Extension);
  CHECK_EQ(req("GET http://h/p?q=1#f HTTP/1.1\nhost: h\n\n").req.target, "http://h/p?q=1#f");
}

TEST_CASE("h1 parse: codec state after a request") {
  CodecState st;
  CodecConfig cfg;
  st.trailers_allowed = true;
  st.read.append("POST /a HTTP/1.1\r\nhost: h\r\ncontent-length: 2\r\n\r\nhiGET /b HTTP/1.1\r\nhost: h\r\nte: trailers\r\n\r\n");
  RequestHead h;
  CHECK(parse_request_head(st, cfg, h).status == HeadStatus::Done);
  CHECK(st.method.kind == Method::Post);
  CHECK(!st.trailers_allowed);
  CHECK_EQ(st.read.view(), "hiGET /b HTTP/1.1\r\nhost: h\r\nte: trailers\r\n\r\n");
  st.read.consume(2);
  const size_t pipelined = st.read.size();
  st.reset();
  CHECK_EQ(st.read.size(), pipelined);
  CHECK(parse_request_head(st, cfg, h).status == HeadStatus::Done);
  CHECK(st.trailers_allowed);
  CHECK_EQ(h.target, "/b");
  CHECK(st.read.empty());
  st.read.append("FOO / HTTP/1.1\r\nhost: h\r\n\r\n");
  CHECK(parse_request_head(st, cfg, h).status == HeadStatus::Done);
  CHECK(st.method.kind == Method::Extension);
  CHECK_EQ(st.method.ext, "FOO");
}

TEST_CASE("h1 parse: limits") {
  std::string lines;
  for (int i = 0; i < 101; ++i) lines += "h" + std::to_string(i) + ": v\r\n";
  Outcome o = req(request_with(lines));
  CHECK(o.kind == ParseKind::TooLarge);
  CHECK(o.error_status == std::optional<uint16_t>(431));
  CodecConfig wide;
  wide.max_headers = 200;
  o = req(request_with(lines), wide);
  CHECK(o.status == HeadStatus::Done);
  CHECK_EQ(o.req.headers.len(), size_t{102});  // host and the 101
  CodecConfig none;
  none.max_headers = 0;
  CHECK(req(request_with("a: b\r\n"), none).kind == ParseKind::TooLarge);
  CHECK(req("GET / HTTP/1.0\r\n\r\n", none).status == HeadStatus::Done);

  CHECK(req("GET /" + std::string(65533, 'a') + " HTTP/1.0\r\n\r\n").status == HeadStatus::Done);

  CodecConfig small;
  small.max_buf_size = 8192;
  std::string unterminated = "GET / HTTP/1.1\r\nx: " + std::string(8192 - 19, 'a');
  CHECK_EQ(unterminated.size(), size_t{8192});
  o = req(unterminated, small);
  CHECK(o.kind == ParseKind::TooLarge);
  CHECK(o.error_status == std::optional<uint16_t>(431));
  CHECK(req(unterminated.substr(0, 8191), small).status == HeadStatus::Incomplete);
  // A start line without its end is held only up to the cap as well.
  CHECK(run(false, "HTTP/1.1 200 " + std::string(8192, 'r'), 100, small).kind == ParseKind::TooLarge);

  std::string long_name(65536, 'n');
  CHECK(req(request_with(long_name + ": v\r\n")).kind == ParseKind::TooLarge);
  CHECK(req(request_with(long_name.substr(1) + ": v\r\n")).status == HeadStatus::Done);
}

TEST_CASE("h1 parse: invalid lines skipped only where skipping is safe") {
  CodecConfig skip;
  skip.ignore_invalid_headers = true;
  struct Case {
    std::string fields;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"bad(name: v\r\nx: 1\r\n", true},
      {"x: a\x01z\r\ny: 2\r\n", true},
      {"nocolon\r\n", true},
      {"transfer-encoding : chunked\r\n", false},
      {"x-any\t: v\r\n", false},
      {"content-length: 5\x01\r\n", false},
      {"Transfer-Encoding: chunked\x0b\r\n", false},
      {"x: a\0b\r\n"s, false},
      {"bad(: a\rb\r\n", false},
      {"bad(: a\0b\r\n"s, false},
      {"x: y\r\n folded\r\n", false},
  };
  for (const Case& c : cases) {
    Outcome o = req(request_with(c.fields), skip);
    CHECK_EQ(o.status == HeadStatus::Done, c.ok);
    if (!c.ok) {
      CHECK(o.kind == ParseKind::HeaderToken);
      CHECK(o.error_status == std::optional<uint16_t>(400));
    }
  }
  Outcome o = req(request_with("bad(name: v\r\nx: 1\r\n\x01: 2\r\n"), skip);
  CHECK_EQ(o.req.headers.len(), size_t{2});
  CHECK_EQ(values(o.req.headers, "x"), "1");
  // Skipped lines do not use up the header limit.
  skip.max_headers = 2;
  CHECK(req(request_with("bad(: 1\r\nbad(: 2\r\nx: 1\r\n"), skip).status == HeadStatus::Done);
  // Without the option every malformed line fails.
  CHECK(req(request_with("bad(name: v\r\n")).kind == ParseKind::HeaderToken);
}

TEST_CASE("h1 parse: feeding in pieces gives the same result as feeding whole") {
  std::vector<std::pair<bool, std::string>> inputs = {
      {true, "GET /x HTTP/1.1\r\nHost: h\r\nA: 1\r\nA: 2\r\n\r\nrest"},
      {true, "\r\n\nPOST / HTTP/1.1\nhost: h\ncontent-length: 3\n\nabc"},
      {true, "PUT / HTTP/1.1\r\nhost: h\r\ntransfer-encoding: chunked\n\r\n"},
      {true, "GET / HTTP/1.1\r\nx: y\r\nhost: h\r\n\n"},
      {true, "GET / HTTP/1.1\r\nbad header\r\n\r\n"},
      {true, "GET / HTTP/1.1\r\nx: a\rb\r\n\r\n"},
      {true, "GET / HTTP/1.1\r\ncontent-length: 1\r\ncontent-length: 2\r\n\r\n"},
      {true, "G@T / HTTP/1.1\r\n\r\n"},
      {true, "GET / HTTP/1.1\r\n\r"},
      {false, "HTTP/1.1 100 Continue\r\n\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\nbody"},
      {false, "HTTP/1.1 200 OK\r\nconnection: close\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n"},
      {false, "HTTP/1.1 200 OK\nx:\n\n"},
      {false, "HTTP/1.1 20 OK\r\n\r\n"},
      {false, "HTTP/1.1 200 OK\r\ncontent-length: 1, 2\r\n\r\n"},
  };
  std::mt19937 rng(7);
  for (const auto& [is_req, in] : inputs) {
    Outcome whole = run(is_req, in);
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{0}}) {
      Outcome piece = run(is_req, in, step == 0 ? 1 + rng() % 7 : step);
      CHECK(piece.status == whole.status);
      CHECK(piece.kind == whole.kind);
      CHECK_EQ(piece.buffered, whole.buffered);
      if (whole.status != HeadStatus::Done) continue;
      if (is_req) {
        CHECK(piece.req.headers.equals(whole.req.headers));
        CHECK_EQ(piece.req.target, whole.req.target);
        CHECK(piece.req.body_kind == whole.req.body_kind);
        CHECK(piece.req.content_length == whole.req.content_length);
      } else {
        CHECK(piece.resp.headers.equals(whole.resp.headers));
        CHECK_EQ(piece.resp.status, whole.resp.status);
        CHECK(piece.resp.body_kind == whole.resp.body_kind);
        CHECK_EQ(piece.resp.keep_alive, whole.resp.keep_alive);
      }
    }
  }
}

TEST_CASE("h1 parse: a bad start line fails before the head is complete") {
  CodecState st;
  RequestHead h;
  st.read.append("GET / HTTP/1.1");
  CHECK(parse_request_head(st, {}, h).status == HeadStatus::Incomplete);
  st.read.append("x\r\n");
  HeadResult r = parse_request_head(st, {}, h);
  CHECK(r.status == HeadStatus::Error);
  CHECK(r.error == ParseKind::Version);

  // Bytes taken out from under a checked start line: the next head's start
  // line is checked afresh.
  st = CodecState{};
  st.read.append("GET / HTTP/1.1\r\nx: 1\r\n");
  CHECK(parse_request_head(st, {}, h).status == HeadStatus::Incomplete);
  CHECK(st.read.head_scan().line_checked);
  st.read.take_all();
  st.read.append("GET / HTTP/9.9\r\n");
  r = parse_request_head(st, {}, h);
  CHECK(r.status == HeadStatus::Error);
  CHECK(r.error == ParseKind::Version);
}

TEST_CASE("h1 tokenizer: header block slots and reasons") {
  HeaderSlots slots(2);
  size_t count = 9;
  TokResult r = tokenize_header_block("a: 1\r\nB:2\n\r\nextra", slots.data(), 2, count);
  CHECK(r.status == TokStatus::Done);
  CHECK_EQ(r.consumed, size_t{12});
  CHECK_EQ(count, size_t{2});
  CHECK_EQ(slots[1].name, "B");
  CHECK_EQ(slots[1].value, "2");
  r = tokenize_header_block("a: 1\r\nb: 2\r\nc: 3\r\n\r\n", slots.data(), 2, count);
  CHECK(r.status == TokStatus::Error);
  CHECK_EQ(std::string(r.reason), "too many headers");
  CHECK(tokenize_header_block("a: 1\r\nb", slots.data(), 2, count).status == TokStatus::Incomplete);
  CHECK(tokenize_header_block("a: 1\r", slots.data(), 2, count).status == TokStatus::Incomplete);
  CHECK_EQ(std::string(tokenize_header_block("a b: 1\r\n\r\n", slots.data(), 2, count).reason), "invalid header name");
  CHECK_EQ(std::string(tokenize_header_block("a: \x02\r\n\r\n", slots.data(), 2, count).reason), "invalid header value");
  CHECK_EQ(std::string(tokenize_header_block("a: b\rc\r\n\r\n", slots.data(), 2, count).reason), "invalid new line");
}

TEST_CASE("chars: the vectorised scan matches the scalar reference") {
  // Every start in blocks of every length, both byte sets, with and without
  // the bounded tail step: that step reads bytes before p and must neither
  // see them nor read before the block (its own allocation, so the sanitizer
  // sees such a read).
  using quillon::http::ByteSet;
  std::mt19937 rng(11);
  const char alphabet[] = {'a', ' ', '\t', '\r', '\n', '\0', 0x7F, static_cast<char>(0x80), static_cast<char>(0xFF),
                           0x1F, 0x21, 0x7E, '/', ':'};
  for (int round = 0; round < 2000; ++round) {
    std::string s(rng() % 70, 'x');
    for (char& c : s)
      if (rng() % 8 == 0) c = alphabet[rng() % sizeof alphabet];
    const size_t lo = s.empty() ? 0 : rng() % s.size();
    const std::vector<char> block(s.begin() + static_cast<std::ptrdiff_t>(lo), s.end());
    const char* e = block.data() + block.size();
    for (auto set : {ByteSet::FieldValue, ByteSet::Target}) {
      for (const char* b = block.data(); b != e; ++b) {
        const char* want = quillon::http::find_special_scalar(b, e, set);
        CHECK(quillon::http::find_special(b, e, set) == want);
        CHECK(quillon::http::find_special(b, e, set, block.data()) == want);
      }
    }
  }
}

TEST_CASE("h1 tokenizer: value whitespace, tabs and line ends") {
  const std::string tabbed = std::string(20, 'x') + "\t" + std::string(20, 'y');
  struct Case {
    std::string block;
    std::string value;  // expected value of the single field
  } cases[] = {
      {"a:v\r\n\r\n", "v"},
      {"a: \t v w \t\r\n\r\n", "v w"},
      {"a:\r\n\r\n", ""},
      {"a: \t \r\n\r\n", ""},
      {"a:\t\n\n", ""},
      {"a: " + tabbed + "\r\n\r\n", tabbed},
      {"a: " + tabbed + "\n\n", tabbed},
      {"a: x\ty\r\n\r\n", "x\ty"},  // tab in the last sixteen bytes
  };
  for (const Case& c : cases) {
    HeaderSlots slots(1);
    size_t count = 0;
    const TokResult r = tokenize_header_block(c.block, slots.data(), 1, count);
    CHECK(r.status == TokStatus::Done);
    CHECK_EQ(r.consumed, c.block.size());
    CHECK_EQ(count, size_t{1});
    CHECK_EQ(slots[0].value, c.value);
  }
  // Bad bytes and cut-off line ends near the block's end, after a tab.
  HeaderSlots slots(2);
  size_t count = 0;
  CHECK_EQ(std::string(tokenize_header_block("a: " + tabbed + "\x01\r\n\r\n", slots.data(), 2, count).reason),
           "invalid header value");
  CHECK_EQ(std::string(tokenize_header_block("b: 1\r\na: x\t\ry\r\n\r\n", slots.data(), 2, count).reason),
           "invalid new line");
  CHECK(tokenize_header_block("b: 1\r\na: x\ty\r", slots.data(), 2, count).status == TokStatus::Incomplete);
  CHECK(tokenize_header_block("b: 1\r\na: " + tabbed, slots.data(), 2, count).status == TokStatus::Incomplete);
}

TEST_CASE("h1 tokenizer: request line versions") {
  struct Case {
    std::string line;
    TokStatus status;
    ParseKind kind;
    bool http10;
  } cases[] = {
      {"GET / HTTP/1.1\r\n", TokStatus::Done, ParseKind::Internal, false},
      {"GET / HTTP/1.0\n", TokStatus::Done, ParseKind::Internal, true},
      {"GET / HTTP/1.2\r\n", TokStatus::Error, ParseKind::Version, false},
      {"GET / HTTP/2.0\r\n", TokStatus::Error, ParseKind::Version, false},
      {"GET / http/1.1\r\n", TokStatus::Error, ParseKind::Version, false},
      {"GET / HTTP/1.1 \r\n", TokStatus::Error, ParseKind::Version, false},
      {"GET / HTTP/1.", TokStatus::Incomplete, ParseKind::Internal, false},
      {"GET / HTTP/1.1", TokStatus::Incomplete, ParseKind::Internal, false},
  };
  for (const Case& c : cases) {
    RequestLine rl;
    rl.http10 = !c.http10;
    const TokResult r = tokenize_request_line(c.line, rl);
    CHECK(r.status == c.status);
    if (r.status == TokStatus::Error) CHECK(r.kind == c.kind);
    if (r.status == TokStatus::Done) CHECK_EQ(rl.http10, c.http10);
  }
}

TEST_CASE("h1 parse: targets inline and on the heap, reused and copied") {
  const std::string long_target = "/" + std::string(kInlineTargetLen, 't');
  CodecState st;
  RequestHead head;
  for (const std::string& target : {long_target, std::string("/s"), long_target.substr(0, kInlineTargetLen),
                                    long_target, std::string("*")}) {
    st.read.append("OPTIONS " + target + " HTTP/1.1\r\nhost: h\r\n\r\n");
    CHECK(parse_request_head(st, {}, head).status == HeadStatus::Done);
    CHECK_EQ(head.target, target);
    const RequestHead copy = head;
    CHECK_EQ(copy.target, head.target);
    CHECK_EQ(copy.target.size(), target.size());
  }
}
