// HTTP/1 body framing: chunks, ends, trailers and whole messages.
#include <initializer_list>
#include <string>
#include <utility>

#include "check.hpp"
#include "h1/body_encoder.hpp"
#include "h1/encode.hpp"

using namespace quillon;
using h1::BodyEncoder;
using h1::BodyEnd;
using h1::BodyLength;
using h1::DataPlan;

namespace {

using Fields = std::initializer_list<std::pair<const char*, const char*>>;

http::HeaderMapCore hmap(Fields fields) {
  http::HeaderMapCore m;
  for (auto& [n, v] : fields) m.add(n, v);
  return m;
}

h1::CodecState chunked(std::vector<std::string> allow = {}) {
  h1::CodecState s;
  s.encoder.kind = BodyEncoder::Kind::Chunked;
  s.encoder.trailer_allow = std::move(allow);
  return s;
}

h1::CodecState length(uint64_t n) {
  h1::CodecState s;
  s.encoder.kind = BodyEncoder::Kind::Length;
  s.encoder.remaining = n;
  return s;
}

std::string frame(std::string_view data) {
  std::string out(h1::chunked_frame_size(data.size()), '\0');
  char* end = h1::write_chunk(out.data(), data);
  CHECK_EQ(static_cast<size_t>(end - out.data()), out.size());
  return out;
}

std::string render(const BodyEnd& e) {
  std::string out(e.size, '\0');
  char* end = e.write(out.data());
  CHECK_EQ(static_cast<size_t>(end - out.data()), out.size());
  return out;
}

std::string message(const h1::MessagePlan& p, std::string_view head, std::string_view body) {
  std::string out(p.total, '\0');
  char* end = h1::write_message(p, head, body, out.data());
  CHECK_EQ(static_cast<size_t>(end - out.data()), out.size());
  return out;
}

}  // namespace

TEST_CASE("h1 body: chunk frames") {
  struct Row {
    size_t n;
    const char* size_line;
  };
  const Row rows[] = {{1, "1"}, {15, "F"}, {16, "10"}, {26, "1A"}, {256, "100"}, {4096, "1000"}, {70000, "11170"}};
  for (const Row& r : rows) {
    std::string data(r.n, 'x');
    std::string want = std::string(r.size_line) + "\r\n" + data + "\r\n";
    CHECK_EQ(frame(data), want);
  }

  h1::CodecState st = chunked();
  DataPlan p = h1::encode_data(st, 4096);
  CHECK(p.kind == DataPlan::Kind::Chunked);
  CHECK_EQ(p.size, size_t(4 + 2 + 4096 + 2));
  CHECK(st.encoder.kind == BodyEncoder::Kind::Chunked);
}

TEST_CASE("h1 body: declared length truncates and aborts") {
  // After a 5-byte head: 11 bytes keep their first 5; more bytes are dropped.
  h1::CodecState st = length(5);
  DataPlan p = h1::encode_data(st, 11);
  CHECK(p.kind == DataPlan::Kind::Prefix);
  CHECK_EQ(p.size, size_t(5));
  p = h1::encode_data(st, 1);
  CHECK(p.kind == DataPlan::Kind::Prefix);
  CHECK_EQ(p.size, size_t(0));
  CHECK(h1::body_is_eof(st));
  CHECK(h1::encode_end(st).kind == BodyEnd::Kind::Empty);

  // Within the length the chunk passes through; an early end is an abort.
  st = length(5);
  p = h1::encode_data(st, 3);
  CHECK(p.kind == DataPlan::Kind::Unchanged);
  CHECK_EQ(st.encoder.remaining, uint64_t(2));
  BodyEnd e = h1::encode_end(st);
  CHECK(e.kind == BodyEnd::Kind::Aborted);
  CHECK_EQ(e.missing, uint64_t(2));
  h1::Failure f = e.failure();
  CHECK(f.kind == h1::FailureKind::User);
  CHECK(f.sub == static_cast<uint8_t>(h1::UserKind::BodyWriteAborted));
  CHECK_EQ(h1::failure_message(f), "user body write aborted: early end, expected 2 more bytes");
  // The encoder is gone even though ending failed.
  CHECK(st.encoder.kind == BodyEncoder::Kind::None);
  CHECK(h1::encode_end(st).kind == BodyEnd::Kind::Empty);
  CHECK(h1::encode_data(st, 1).kind == DataPlan::Kind::NoRequest);
}

TEST_CASE("h1 body: data with nothing in flight and close-delimited") {
  h1::CodecState st;
  CHECK(h1::encode_data(st, 0).kind == DataPlan::Kind::Unchanged);
  CHECK(h1::encode_data(st, 1).kind == DataPlan::Kind::NoRequest);
  CHECK_EQ(h1::kNoRequestMessage, "serialize_data with no request in flight");
  st.encoder.kind = BodyEncoder::Kind::Close;
  CHECK(h1::encode_data(st, 100).kind == DataPlan::Kind::Unchanged);
  CHECK(!h1::body_is_eof(st));
  CHECK(h1::encode_end(st).kind == BodyEnd::Kind::Empty);
  st = chunked();
  BodyEnd e = h1::encode_end(st);
  CHECK(e.kind == BodyEnd::Kind::Terminator);
  CHECK_EQ(render(e), "0\r\n\r\n");
}

TEST_CASE("h1 body: trailers filtered by allow-list and never-sent set") {
  struct Row {
    const char* what;
    std::vector<std::string> allow;
    bool allowed;
    Fields trailers;
    BodyEnd::Kind kind;
    const char* bytes;
  };
  using K = BodyEnd::Kind;
  const Row rows[] = {
      {"declared field kept, content-type never", {"x-checksum", "content-type"}, true,
       {{"content-type", "text/plain"}, {"x-checksum", "abc"}}, K::Trailers, "0\r\nx-checksum: abc\r\n\r\n"},
      {"repeated name keeps its values in order", {"x-a", "x-b"}, true,
       {{"x-b", "1"}, {"x-a", "2"}, {"x-b", "3"}}, K::Trailers, "0\r\nx-b: 1\r\nx-b: 3\r\nx-a: 2\r\n\r\n"},
      {"never-sent names dropped", {"te", "host", "set-cookie", "authorization", "x"}, true,
       {{"te", "t"}, {"host", "h"}, {"set-cookie", "c"}, {"authorization", "a"}}, K::Terminator, "0\r\n\r\n"},
      {"nothing declared matches", {"x-a"}, true, {{"x-b", "1"}}, K::Terminator, "0\r\n\r\n"},
      {"no allow-list", {}, true, {{"x-a", "1"}}, K::Terminator, "0\r\n\r\n"},
      {"peer did not ask for trailers", {"x-a"}, false, {{"x-a", "1"}}, K::Terminator, "0\r\n\r\n"},
  };
  for (const Row& r : rows) {
    h1::CodecState st = chunked(r.allow);
    st.trailers_allowed = r.allowed;
    http::HeaderMapCore t = hmap(r.trailers);
    BodyEnd e = h1::encode_trailers(st, t);
    if (e.kind != r.kind || render(e) != r.bytes) qtest::fail(__FILE__, __LINE__, r.what);
    if (st.encoder.kind != BodyEncoder::Kind::None) qtest::fail(__FILE__, __LINE__, r.what);
  }
  for (std::string_view n : {"authorization", "cache-control", "content-encoding", "content-length", "content-range",
                             "content-type", "host", "max-forwards", "set-cookie", "te", "trailer",
                             "transfer-encoding"})
    CHECK(h1::is_forbidden_trailer(n));
  CHECK(!h1::is_forbidden_trailer("x-checksum"));
  CHECK(!h1::is_forbidden_trailer("tk"));

  // Other framings end as encode_end does, the abort included.
  http::HeaderMapCore t = hmap({{"x-a", "1"}});
  h1::CodecState st;
  CHECK(h1::encode_trailers(st, t).kind == BodyEnd::Kind::Empty);
  st = length(4);
  CHECK(h1::encode_trailers(st, t).kind == BodyEnd::Kind::Aborted);
  CHECK(st.encoder.kind == BodyEncoder::Kind::None);
  st = length(0);
  CHECK(h1::encode_trailers(st, t).kind == BodyEnd::Kind::Empty);
}

TEST_CASE("h1 body: request trailer allow-list matches ignoring case") {
  h1::CodecState st;
  std::string head;
  CHECK(!h1::serialize_request(st, "POST", "/up", hmap({{"trailer", "X-Checksum, Content-Type"}}), false,
                               BodyLength::unknown(), head));
  http::HeaderMapCore t = hmap({{"x-checksum", "42"}, {"content-type", "a/b"}});
  CHECK_EQ(render(h1::encode_trailers(st, t)), "0\r\nx-checksum: 42\r\n\r\n");
}

TEST_CASE("h1 body: head and body in one buffer") {
  const std::string head = "HEAD\r\n\r\n";
  http::HeaderMapCore tr = hmap({{"x-sum", "9"}});
  struct Row {
    const char* what;
    h1::CodecState st;
    std::string_view body;
    const http::HeaderMapCore* trailers;
    bool head_only;
    std::string want;
  };
  Row rows[] = {
      {"no encoder", h1::CodecState{}, "body", &tr, true, head},
      {"bodyless framing ignores the body", length(0), "body", &tr, true, head},
      {"exact length", length(5), "hello", nullptr, false, head + "hello"},
      {"excess dropped", length(3), "hello", nullptr, false, head + "hel"},
      {"close-delimited", [] { h1::CodecState s; s.encoder.kind = BodyEncoder::Kind::Close; return s; }(), "hello",
       nullptr, false, head + "hello"},
      {"chunked", chunked(), "hello", nullptr, false, head + "5\r\nhello\r\n0\r\n\r\n"},
      {"chunked empty body is just the end", chunked(), "", nullptr, false, head + "0\r\n\r\n"},
      {"chunked with trailers", chunked({"x-sum"}), "hello", &tr, false,
       head + "5\r\nhello\r\n0\r\nx-sum: 9\r\n\r\n"},
      {"trailers not allowed", [] { h1::CodecState s = chunked({"x-sum"}); s.trailers_allowed = false; return s; }(),
       "ab", &tr, false, head + "2\r\nab\r\n0\r\n\r\n"},
  };
  for (Row& r : rows) {
    h1::MessagePlan p = h1::plan_head_and_body(r.st, head.size(), r.body, r.trailers);
    if (p.failed() || p.head_only != r.head_only || message(p, head, r.body) != r.want)
      qtest::fail(__FILE__, __LINE__, r.what);
    if (r.st.encoder.kind != BodyEncoder::Kind::None) qtest::fail(__FILE__, __LINE__, r.what);
  }

  h1::CodecState st = length(5);
  h1::MessagePlan p = h1::plan_head_and_body(st, head.size(), "abc", nullptr);
  CHECK(p.failed());
  CHECK_EQ(p.end.missing, uint64_t(2));
  CHECK(st.encoder.kind == BodyEncoder::Kind::None);
}

TEST_CASE("h1 body: a response to HEAD is exactly its head") {
  h1::CodecState st;
  std::string head;
  h1::CodecConfig cfg;
  cfg.date_header = false;
  st.method.kind = h1::Method::Head;
  CHECK(!h1::serialize_response(st, cfg, 200, {}, true, false, BodyLength::known(4), head));
  h1::MessagePlan p = h1::plan_head_and_body(st, head.size(), "body", nullptr);
  CHECK(p.head_only);
  CHECK_EQ(message(p, head, "body"), head);
  CHECK(h1::body_is_eof(h1::CodecState{}));
}
