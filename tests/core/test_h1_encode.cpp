// HTTP/1 head encoding: exact head bytes, framing choice and recorded flags.
#include <initializer_list>
#include <string>
#include <utility>

#include "check.hpp"
#include "h1/body_encoder.hpp"
#include "h1/encode.hpp"
#include "h1/tokens.hpp"
#include "http/date.hpp"

using namespace quillon;
using h1::BodyEncoder;
using h1::BodyLength;
using h1::EncodeError;
using h1::Method;

namespace {

using Fields = std::initializer_list<std::pair<const char*, const char*>>;

http::HeaderMapCore hmap(Fields fields) {
  http::HeaderMapCore m;
  for (auto& [n, v] : fields) m.add(n, v);
  return m;
}

h1::CodecConfig no_date() {
  h1::CodecConfig c;
  c.date_header = false;
  return c;
}

h1::CodecState with_method(Method m) {
  h1::CodecState s;
  s.method.kind = m;
  return s;
}

bool is_user(const EncodeError& e, h1::UserKind k) {
  return e.kind == EncodeError::Kind::User && e.failure.kind == h1::FailureKind::User &&
         e.failure.sub == static_cast<uint8_t>(k);
}

}  // namespace

TEST_CASE("h1 encode: default 200 response with date") {
  h1::CodecState st;
  std::string out;
  EncodeError e = h1::serialize_response(st, h1::CodecConfig{}, 200, {}, true, false, BodyLength::none(), out);
  CHECK(!e);
  const std::string prefix = "HTTP/1.1 200 OK\r\ncontent-length: 0\r\ndate: ";
  CHECK_EQ(out.size(), prefix.size() + http::kHttpDateLen + 4);
  CHECK_EQ(out.substr(0, prefix.size()), prefix);
  CHECK_EQ(out.substr(out.size() - 8), " GMT\r\n\r\n");
  CHECK(!st.response_is_last);
  CHECK(!st.response_close_delimited);
  CHECK(h1::body_is_eof(st));
}

TEST_CASE("h1 encode: response heads and framing") {
  using K = BodyEncoder::Kind;
  struct Row {
    const char* what;
    uint16_t status;
    Method method;
    Fields headers;
    bool keep_alive, http10;
    BodyLength body;
    const char* head;
    bool last, close_delimited;
    K kind;
    uint64_t remaining;
  };
  const Row rows[] = {
      {"204 drops a known length", 204, Method::Get, {}, true, false, BodyLength::known(10),
       "HTTP/1.1 204 No Content\r\n\r\n", false, false, K::Length, 0},
      {"HEAD announces a known length", 200, Method::Head, {}, true, false, BodyLength::known(10),
       "HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n", false, false, K::Length, 0},
      {"HEAD with unknown length", 200, Method::Head, {}, true, false, BodyLength::unknown(),
       "HTTP/1.1 200 OK\r\n\r\n", false, false, K::Length, 0},
      {"HEAD with caller transfer-encoding", 200, Method::Head, {{"transfer-encoding", "chunked"}}, true, false,
       BodyLength::unknown(), "HTTP/1.1 200 OK\r\n\r\n", false, false, K::Length, 0},
      {"HEAD without body keeps caller length", 200, Method::Head, {{"content-length", "42"}}, true, false,
       BodyLength::none(), "HTTP/1.1 200 OK\r\ncontent-length: 42\r\n\r\n", false, false, K::Length, 0},
      {"HEAD with zero known length", 200, Method::Head, {}, true, false, BodyLength::known(0),
       "HTTP/1.1 200 OK\r\n\r\n", false, false, K::Length, 0},
      {"HTTP/1.0 streamed body is close-delimited", 200, Method::Get, {}, true, true, BodyLength::unknown(),
       "HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n\r\n", false, true, K::Close, 0},
      {"HTTP/1.0 keeps an existing keep-alive", 200, Method::Get, {{"connection", "Keep-Alive"}}, true, true,
       BodyLength::known(2), "HTTP/1.0 200 OK\r\nconnection: Keep-Alive\r\ncontent-length: 2\r\n\r\n", false,
       false, K::Length, 2},
      {"HTTP/1.0 drops transfer-encoding and trailer", 200, Method::Get,
       {{"transfer-encoding", "chunked"}, {"trailer", "x-a"}}, true, true, BodyLength::unknown(),
       "HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n\r\n", false, true, K::Close, 0},
      {"keep-alive off writes close", 200, Method::Get, {}, false, false, BodyLength::none(),
       "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 0\r\n\r\n", true, false, K::Length, 0},
      {"keep-alive off on HTTP/1.0 writes nothing", 200, Method::Get, {}, false, true, BodyLength::none(),
       "HTTP/1.0 200 OK\r\ncontent-length: 0\r\n\r\n", true, false, K::Length, 0},
      {"101 is last and unframed", 101, Method::Get, {{"upgrade", "websocket"}}, true, false, BodyLength::none(),
       "HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\n\r\n", true, false, K::Length, 0},
      {"2xx to CONNECT is a tunnel", 200, Method::Connect, {}, true, false, BodyLength::none(),
       "HTTP/1.1 200 OK\r\n\r\n", true, false, K::Length, 0},
      {"4xx to CONNECT is framed", 407, Method::Connect, {}, true, false, BodyLength::known(3),
       "HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 3\r\n\r\n", false, false, K::Length, 3},
      {"gzip gets chunked appended", 200, Method::Get, {{"transfer-encoding", "gzip"}}, true, false,
       BodyLength::unknown(), "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, chunked\r\n\r\n", false, false,
       K::Chunked, 0},
      {"transfer-encoding values joined", 200, Method::Get,
       {{"transfer-encoding", "gzip"}, {"transfer-encoding", "Chunked "}}, true, false, BodyLength::known(9),
       "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, Chunked \r\n\r\n", false, false, K::Chunked, 0},
      {"304 streamed has no body", 304, Method::Get, {}, true, false, BodyLength::unknown(),
       "HTTP/1.1 304 Not Modified\r\n\r\n", false, false, K::Length, 0},
      {"streamed body is chunked", 200, Method::Post, {}, true, false, BodyLength::unknown(),
       "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", false, false, K::Chunked, 0},
      {"known length", 201, Method::Post, {{"x-a", "1"}}, true, false, BodyLength::known(5),
       "HTTP/1.1 201 Created\r\nx-a: 1\r\ncontent-length: 5\r\n\r\n", false, false, K::Length, 5},
      {"caller length without body dropped", 200, Method::Get, {{"content-length", "5"}}, true, false,
       BodyLength::none(), "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", false, false, K::Length, 0},
      {"caller length frames a streamed body", 200, Method::Get,
       {{"content-length", "7"}, {"content-length", "7"}}, true, false, BodyLength::unknown(),
       "HTTP/1.1 200 OK\r\ncontent-length: 7\r\n\r\n", false, false, K::Length, 7},
      {"caller lengths equal to known length", 200, Method::Get,
       {{"content-length", "5"}, {"x-b", "2"}, {"content-length", " 5"}}, true,
       false, BodyLength::known(5), "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nx-b: 2\r\n\r\n", false, false,
       K::Length, 5},
      {"HEAD may announce any length", 200, Method::Head, {{"content-length", "100"}}, true, false,
       BodyLength::known(0), "HTTP/1.1 200 OK\r\ncontent-length: 100\r\n\r\n", false, false, K::Length, 0},
      {"connection values joined, close makes last", 200, Method::Get,
       {{"connection", "keep-alive"}, {"connection", "x, CLOSE"}}, true, false, BodyLength::none(),
       "HTTP/1.1 200 OK\r\nconnection: keep-alive, x, CLOSE\r\ncontent-length: 0\r\n\r\n", true, false, K::Length,
       0},
      {"other headers one line per value, in order", 500, Method::Get,
       {{"set-cookie", "a=1"}, {"x-z", "z"}, {"set-cookie", "b=2"}}, true, false, BodyLength::none(),
       "HTTP/1.1 500 Internal Server Error\r\nset-cookie: a=1\r\nset-cookie: b=2\r\nx-z: z\r\ncontent-length: "
       "0\r\n\r\n",
       false, false, K::Length, 0},
      {"trailer joined on a chunked response", 200, Method::Get, {{"trailer", "x-a"}, {"trailer", "X-B"}}, true,
       false, BodyLength::unknown(),
       "HTTP/1.1 200 OK\r\ntrailer: x-a, X-B\r\ntransfer-encoding: chunked\r\n\r\n", false, false, K::Chunked, 0},
  };
  for (const Row& r : rows) {
    h1::CodecState st = with_method(r.method);
    std::string out;
    EncodeError e = h1::serialize_response(st, no_date(), r.status, hmap(r.headers), r.keep_alive, r.http10, r.body, out);
    if (e) {
      qtest::fail(__FILE__, __LINE__, std::string("unexpected error: ") + r.what);
      continue;
    }
    if (out != r.head) qtest::fail(__FILE__, __LINE__, std::string(r.what) + ": got " + out);
    if (st.response_is_last != r.last || st.response_close_delimited != r.close_delimited ||
        st.encoder.kind != r.kind || st.encoder.remaining != r.remaining)
      qtest::fail(__FILE__, __LINE__, std::string("state after ") + r.what);
  }
}

TEST_CASE("h1 encode: response trailer allow-list only for chunked") {
  h1::CodecState st;
  std::string out;
  CHECK(!h1::serialize_response(st, no_date(), 200, hmap({{"trailer", "X-Sum, bad name, grpc-status"}}), true, false,
                                BodyLength::unknown(), out));
  CHECK_EQ(st.encoder.trailer_allow.size(), size_t(2));
  CHECK_EQ(st.encoder.trailer_allow[0], "x-sum");
  CHECK_EQ(st.encoder.trailer_allow[1], "grpc-status");
  CHECK(!h1::serialize_response(st, no_date(), 200, hmap({{"trailer", "x-sum"}}), true, false, BodyLength::known(1),
                                out));
  CHECK(st.encoder.trailer_allow.empty());
  CHECK_EQ(out, "HTTP/1.1 200 OK\r\ntrailer: x-sum\r\ncontent-length: 1\r\n\r\n");
}

TEST_CASE("h1 encode: response errors leave state and output empty") {
  struct Row {
    const char* what;
    uint16_t status;
    Method method;
    Fields headers;
    BodyLength body;
    EncodeError::Kind kind;
    h1::UserKind user;
  };
  using EK = EncodeError::Kind;
  using UK = h1::UserKind;
  const Row rows[] = {
      {"status 99", 99, Method::Get, {}, BodyLength::none(), EK::ValueError, UK::Body},
      {"status 1000", 1000, Method::Get, {}, BodyLength::none(), EK::ValueError, UK::Body},
      {"status 0", 0, Method::Get, {}, BodyLength::none(), EK::ValueError, UK::Body},
      {"status 100", 100, Method::Get, {}, BodyLength::none(), EK::User, UK::UnsupportedStatusCode},
      {"status 102", 102, Method::Get, {}, BodyLength::none(), EK::User, UK::UnsupportedStatusCode},
      {"status 199", 199, Method::Get, {}, BodyLength::none(), EK::User, UK::UnsupportedStatusCode},
      {"CONNECT 200 with length", 200, Method::Connect, {{"content-length", "0"}}, BodyLength::none(), EK::User,
       UK::UnexpectedHeader},
      {"CONNECT 204 with transfer-encoding", 204, Method::Connect, {{"transfer-encoding", "chunked"}},
       BodyLength::unknown(), EK::User, UK::UnexpectedHeader},
      {"length then transfer-encoding", 200, Method::Get,
       {{"content-length", "3"}, {"transfer-encoding", "chunked"}}, BodyLength::unknown(), EK::User,
       UK::UnexpectedHeader},
      {"transfer-encoding then length", 200, Method::Get,
       {{"transfer-encoding", "chunked"}, {"content-length", "3"}}, BodyLength::known(3), EK::User,
       UK::UnexpectedHeader},
      {"HEAD length then transfer-encoding", 200, Method::Head,
       {{"content-length", "3"}, {"transfer-encoding", "chunked"}}, BodyLength::none(), EK::User,
       UK::UnexpectedHeader},
      {"streamed with bad length", 200, Method::Get, {{"content-length", "abc"}}, BodyLength::unknown(), EK::User,
       UK::UnexpectedHeader},
      {"streamed with signed length", 200, Method::Get, {{"content-length", "+5"}}, BodyLength::unknown(), EK::User,
       UK::UnexpectedHeader},
      {"streamed with overflowing length", 200, Method::Get, {{"content-length", "18446744073709551616"}},
       BodyLength::unknown(), EK::User, UK::UnexpectedHeader},
      {"streamed with disagreeing lengths", 200, Method::Get, {{"content-length", "5"}, {"content-length", "6"}},
       BodyLength::unknown(), EK::User, UK::UnexpectedHeader},
      // A caller length that disagrees with the known body length would
      // announce one framing and send another.
      {"known length, different header", 200, Method::Get, {{"content-length", "6"}}, BodyLength::known(5),
       EK::User, UK::UnexpectedHeader},
      {"known length, invalid header", 200, Method::Get, {{"content-length", "five"}}, BodyLength::known(5),
       EK::User, UK::UnexpectedHeader},
      {"known length, disagreeing further value", 200, Method::Get,
       {{"content-length", "5"}, {"content-length", "6"}}, BodyLength::known(5), EK::User, UK::UnexpectedHeader},
      {"known length, smaller header", 200, Method::Get, {{"content-length", "4"}},
       BodyLength::known(5), EK::User, UK::UnexpectedHeader},
  };
  for (const Row& r : rows) {
    h1::CodecState st = with_method(r.method);
    st.encoder.kind = BodyEncoder::Kind::Chunked;
    st.response_is_last = true;
    std::string out = "stale";
    EncodeError e = h1::serialize_response(st, h1::CodecConfig{}, r.status, hmap(r.headers), true, false, r.body, out);
    bool ok = e.kind == r.kind && (r.kind != EK::User || is_user(e, r.user)) && out.empty() &&
              st.encoder.kind == BodyEncoder::Kind::Chunked && st.response_is_last;
    if (!ok) qtest::fail(__FILE__, __LINE__, r.what);
    if (r.kind == EK::ValueError && e.message != h1::kInvalidStatusMessage)
      qtest::fail(__FILE__, __LINE__, std::string("message for ") + r.what);
  }
}

TEST_CASE("h1 encode: status lines and reason phrases") {
  struct Row {
    uint16_t status;
    bool http10;
    const char* line;
  };
  const Row rows[] = {
      {200, false, "HTTP/1.1 200 OK\r\n"},
      {200, true, "HTTP/1.0 200 OK\r\n"},
      {203, false, "HTTP/1.1 203 Non Authoritative Information\r\n"},
      {413, false, "HTTP/1.1 413 Payload Too Large\r\n"},
      {418, false, "HTTP/1.1 418 I'm a teapot\r\n"},
      {511, false, "HTTP/1.1 511 Network Authentication Required\r\n"},
      {299, false, "HTTP/1.1 299 <none>\r\n"},
      {420, false, "HTTP/1.1 420 <none>\r\n"},
      {999, false, "HTTP/1.1 999 <none>\r\n"},
      {404, true, "HTTP/1.0 404 Not Found\r\n"},
  };
  for (const Row& r : rows) {
    h1::CodecState st;
    std::string out;
    CHECK(!h1::serialize_response(st, no_date(), r.status, {}, true, r.http10, BodyLength::unknown(), out));
    std::string line = r.line;
    if (out.compare(0, line.size(), line) != 0) qtest::fail(__FILE__, __LINE__, "status line " + line);
  }
  CHECK_EQ(h1::canonical_reason(100), "Continue");
  CHECK_EQ(h1::canonical_reason(226), "IM Used");
  CHECK_EQ(h1::canonical_reason(306), "<none>");
  CHECK_EQ(h1::kContinueResponse.size(), size_t(25));
}

TEST_CASE("h1 encode: title case names") {
  h1::CodecState st;
  h1::CodecConfig cfg;
  cfg.title_case_headers = true;
  std::string out;
  CHECK(!h1::serialize_response(st, cfg, 401, hmap({{"www-authenticate", "Basic"}, {"x-request-id", "1"},
                                                    {"x-1a--b", "2"}, {"connection", "close"}}),
                                true, false, BodyLength::unknown(), out));
  const std::string want =
      "HTTP/1.1 401 Unauthorized\r\nWww-Authenticate: Basic\r\nX-Request-Id: 1\r\nX-1a--B: 2\r\n"
      "Connection: close\r\nTransfer-Encoding: chunked\r\nDate: ";
  CHECK_EQ(out.substr(0, want.size()), want);
  CHECK(st.response_is_last);
  CHECK(!h1::serialize_response(st, cfg, 200, {}, true, false, BodyLength::known(12), out));
  CHECK_EQ(out.substr(0, 38), "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nD");
}

TEST_CASE("h1 encode: date header rules") {
  h1::CodecState st;
  std::string out;
  // A caller date suppresses the automatic one.
  CHECK(!h1::serialize_response(st, h1::CodecConfig{}, 200, hmap({{"date", "yesterday"}}), true, false,
                                BodyLength::none(), out));
  CHECK_EQ(out, "HTTP/1.1 200 OK\r\ndate: yesterday\r\ncontent-length: 0\r\n\r\n");
  // The automatic date is the shared clock's value.
  const std::string before(http::current_http_date(), http::kHttpDateLen);
  CHECK(!h1::serialize_response(st, h1::CodecConfig{}, 204, {}, true, false, BodyLength::none(), out));
  const std::string after(http::current_http_date(), http::kHttpDateLen);
  const std::string head = "HTTP/1.1 204 No Content\r\ndate: ";
  CHECK_EQ(out.size(), head.size() + 29 + 4);
  std::string date = out.substr(head.size(), 29);
  CHECK(date.substr(25) == " GMT");
  CHECK(date == before || date == after);
}

TEST_CASE("h1 encode: request heads and framing") {
  using K = BodyEncoder::Kind;
  struct Row {
    const char* what;
    const char* method;
    const char* url;
    Fields headers;
    bool http10;
    BodyLength body;
    const char* head;
    K kind;
    uint64_t remaining;
    bool close;
  };
  const Row rows[] = {
      {"plain GET", "GET", "/", {{"host", "h"}}, false, BodyLength::none(), "GET / HTTP/1.1\r\nhost: h\r\n\r\n",
       K::Length, 0, false},
      {"GET streamed carries no body", "GET", "/a", {}, false, BodyLength::unknown(), "GET /a HTTP/1.1\r\n\r\n",
       K::Length, 0, false},
      {"HEAD streamed carries no body", "HEAD", "/a", {}, false, BodyLength::unknown(), "HEAD /a HTTP/1.1\r\n\r\n",
       K::Length, 0, false},
      {"POST streamed is chunked", "POST", "/a", {{"host", "h"}}, false, BodyLength::unknown(),
       "POST /a HTTP/1.1\r\nhost: h\r\ntransfer-encoding: chunked\r\n\r\n", K::Chunked, 0, false},
      {"lowercase get is an extension", "get", "/", {}, false, BodyLength::unknown(),
       "get / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", K::Chunked, 0, false},
      {"POST known length", "POST", "/a", {}, false, BodyLength::known(5),
       "POST /a HTTP/1.1\r\ncontent-length: 5\r\n\r\n", K::Length, 5, false},
      {"existing valid length wins", "POST", "/a", {{"content-length", "7"}}, false, BodyLength::known(5),
       "POST /a HTTP/1.1\r\ncontent-length: 7\r\n\r\n", K::Length, 7, false},
      {"existing list length", "POST", "/a", {{"content-length", "7, 7"}}, false, BodyLength::unknown(),
       "POST /a HTTP/1.1\r\ncontent-length: 7, 7\r\n\r\n", K::Length, 7, false},
      {"invalid length replaced", "PUT", "/a", {{"content-length", "x"}, {"content-length", "2"}}, false,
       BodyLength::known(5), "PUT /a HTTP/1.1\r\ncontent-length: 5\r\n\r\n", K::Length, 5, false},
      {"invalid length dropped when chunked", "POST", "/a", {{"content-length", "x"}}, false, BodyLength::unknown(),
       "POST /a HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", K::Chunked, 0, false},
      {"caller transfer-encoding gets chunked, length dropped", "POST", "/a",
       {{"transfer-encoding", "gzip"}, {"content-length", "3"}, {"x", "y"}}, false, BodyLength::known(3),
       "POST /a HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\nx: y\r\n\r\n", K::Chunked, 0, false},
      {"only the last transfer-encoding line is extended", "POST", "/a",
       {{"transfer-encoding", "chunked"}, {"transfer-encoding", "br"}}, false, BodyLength::unknown(),
       "POST /a HTTP/1.1\r\ntransfer-encoding: chunked\r\ntransfer-encoding: br, chunked\r\n\r\n", K::Chunked, 0,
       false},
      {"no body drops transfer-encoding", "POST", "/a", {{"transfer-encoding", "chunked"}}, false,
       BodyLength::none(), "POST /a HTTP/1.1\r\n\r\n", K::Length, 0, false},
      {"close rewrites connection", "GET", "/", {{"connection", "Upgrade, Close"}, {"connection", "x"}}, false,
       BodyLength::none(), "GET / HTTP/1.1\r\nconnection: close\r\n\r\n", K::Length, 0, true},
      {"HTTP/1.0 PUT streamed", "PUT", "/x", {}, true, BodyLength::unknown(),
       "PUT /x HTTP/1.0\r\nconnection: keep-alive\r\n\r\n", K::Length, 0, false},
      {"HTTP/1.0 known length", "POST", "/x", {{"transfer-encoding", "chunked"}}, true, BodyLength::known(3),
       "POST /x HTTP/1.0\r\nconnection: keep-alive\r\ncontent-length: 3\r\n\r\n", K::Length, 3, false},
      {"HTTP/1.0 existing length", "POST", "/x", {{"content-length", "9"}}, true, BodyLength::unknown(),
       "POST /x HTTP/1.0\r\ncontent-length: 9\r\nconnection: keep-alive\r\n\r\n", K::Length, 9, false},
      {"HTTP/1.0 keeps keep-alive", "GET", "/", {{"connection", "Keep-Alive, foo"}}, true, BodyLength::none(),
       "GET / HTTP/1.0\r\nconnection: Keep-Alive, foo\r\n\r\n", K::Length, 0, false},
      {"HTTP/1.0 close left as written", "GET", "/", {{"connection", "foo"}, {"connection", "close"}}, true,
       BodyLength::none(), "GET / HTTP/1.0\r\nconnection: foo\r\nconnection: close\r\n\r\n", K::Length, 0, true},
      {"HTTP/1.0 replaces other connection", "GET", "/", {{"connection", "upgrade"}}, true, BodyLength::none(),
       "GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n", K::Length, 0, false},
      {"absolute form gets a path", "GET", "http://h:8080", {}, false, BodyLength::none(),
       "GET http://h:8080/ HTTP/1.1\r\n\r\n", K::Length, 0, false},
      {"absolute form scheme lower-cased, user information and fragment dropped", "GET",
       "HTTPS://u:pw@H/a/b?q=1#frag", {}, false, BodyLength::none(), "GET https://H/a/b?q=1 HTTP/1.1\r\n\r\n", K::Length, 0, false},
      {"absolute form query without path", "GET", "http://h?x", {}, false, BodyLength::none(),
       "GET http://h/?x HTTP/1.1\r\n\r\n", K::Length, 0, false},
      {"other scheme kept", "GET", "ws://h/c", {}, false, BodyLength::none(), "GET ws://h/c HTTP/1.1\r\n\r\n",
       K::Length, 0, false},
      {"authority form", "CONNECT", "h:443", {}, false, BodyLength::unknown(), "CONNECT h:443 HTTP/1.1\r\n\r\n",
       K::Length, 0, false},
      {"asterisk form", "OPTIONS", "*", {}, false, BodyLength::none(), "OPTIONS * HTTP/1.1\r\n\r\n", K::Length, 0,
       false},
      {"origin form unchanged", "DELETE", "/a%20b?c=d&e", {}, false, BodyLength::none(),
       "DELETE /a%20b?c=d&e HTTP/1.1\r\n\r\n", K::Length, 0, false},
  };
  for (const Row& r : rows) {
    h1::CodecState st;
    std::string out;
    EncodeError e = h1::serialize_request(st, r.method, r.url, hmap(r.headers), r.http10, r.body, out);
    if (e) {
      qtest::fail(__FILE__, __LINE__, std::string(r.what) + ": " + e.message);
      continue;
    }
    if (out != r.head) qtest::fail(__FILE__, __LINE__, std::string(r.what) + ": got " + out);
    if (st.encoder.kind != r.kind || st.encoder.remaining != r.remaining || st.request_connection_close != r.close)
      qtest::fail(__FILE__, __LINE__, std::string("state after ") + r.what);
  }
}

TEST_CASE("h1 encode: request records method and trailer allow-list") {
  h1::CodecState st;
  std::string out;
  CHECK(!h1::serialize_request(st, "PURGE", "/", {}, false, BodyLength::none(), out));
  CHECK(st.method.kind == Method::Extension);
  CHECK_EQ(st.method.ext, "PURGE");
  CHECK(!h1::serialize_request(st, "CONNECT", "h:1", {}, false, BodyLength::none(), out));
  CHECK(st.method.kind == Method::Connect);
  CHECK(st.method.ext.empty());
  CHECK(!h1::serialize_request(st, "POST", "/", hmap({{"trailer", "X-Checksum, Content-Type,  , a b"}}), false,
                               BodyLength::unknown(), out));
  CHECK(st.method.kind == Method::Post);
  CHECK_EQ(st.encoder.trailer_allow.size(), size_t(2));
  CHECK_EQ(st.encoder.trailer_allow[0], "x-checksum");
  CHECK_EQ(st.encoder.trailer_allow[1], "content-type");
  CHECK(!h1::serialize_request(st, "POST", "/", hmap({{"trailer", "x"}}), false, BodyLength::known(1), out));
  CHECK(st.encoder.trailer_allow.empty());
}

TEST_CASE("h1 encode: request errors") {
  struct Row {
    const char* method;
    const char* url;
    const char* message;
  };
  const Row rows[] = {
      {"GE T", "/", "invalid method: invalid HTTP method"},
      {"", "/", "invalid method: invalid HTTP method"},
      {"GET", "", "invalid url: empty string"},
      {"GET", "/a b", "invalid url: invalid uri character"},
      {"GET", "/a\r\nx: y", "invalid url: invalid uri character"},
  };
  for (const Row& r : rows) {
    h1::CodecState st;
    st.method.kind = Method::Head;
    st.encoder.kind = BodyEncoder::Kind::Close;
    std::string out = "stale";
    EncodeError e = h1::serialize_request(st, r.method, r.url, hmap({{"connection", "close"}}), false,
                                          BodyLength::unknown(), out);
    if (e.kind != EncodeError::Kind::ValueError || e.message != r.message || !out.empty() ||
        st.method.kind != Method::Head || st.encoder.kind != BodyEncoder::Kind::Close || st.request_connection_close)
      qtest::fail(__FILE__, __LINE__, std::string("request error for ") + r.method + " " + r.url + ": " + e.message);
  }
}

TEST_CASE("h1 encode: connection close token") {
  struct Row {
    Fields headers;
    bool close;
  };
  const Row rows[] = {
      {{}, false},
      {{{"connection", "close"}}, true},
      {{{"connection", " CLOSE\t"}}, true},
      {{{"connection", "keep-alive"}, {"connection", "upgrade,close"}}, true},
      {{{"connection", "closed"}}, false},
      {{{"connection", "\xc3\xa9, close"}}, false},
      {{{"x-connection", "close"}}, false},
  };
  for (const Row& r : rows) CHECK_EQ(h1::connection_close(hmap(r.headers)), r.close);
  CHECK(h1::value_has_token("a, , Keep-Alive", "keep-alive"));
  CHECK(h1::last_encoding_is_chunked("gzip,  chunked "));
  CHECK(!h1::last_encoding_is_chunked("chunked, gzip"));
}
