// HTTP/1 body decoder: framings, every failure text and I/O kind, limits,
// and piecewise feeding.
#include <string>
#include <vector>

#include "check.hpp"
#include "h1/body_decoder.hpp"

using namespace quillon::h1;
using Status = BodyDecoder::Status;

namespace {

struct Run {
  std::string data;
  Status last = Status::None;
  bool complete = false;
  std::string error;
  IoKind io = IoKind::None;
  size_t pieces = 0;
  size_t buffered = 0;
};

// Feeds `in` in pieces of `step` bytes (0 = whole), draining decode() after
// each piece, then optionally marks EOF and drains again.
Run drive(BodyDecoder& d, std::string_view in, size_t step = 0, bool eof = false) {
  Run r;
  auto drain = [&] {
    std::string_view out;
    for (;;) {
      r.last = d.decode(out);
      if (r.last != Status::Data) break;
      CHECK(!out.empty());
      r.data.append(out);
      ++r.pieces;
    }
  };
  size_t fed = 0;
  while (fed < in.size() || fed == 0) {
    std::string_view piece = in.substr(fed, step ? step : in.size());
    d.feed(piece);
    fed += piece.size();
    drain();
    if (r.last == Status::Error || in.empty()) break;
  }
  if (eof && r.last != Status::Error) {
    d.mark_eof();
    drain();
  }
  r.complete = d.is_complete();
  r.buffered = d.buffered() + (in.size() - fed);  // unfed bytes count as buffered
  if (r.last == Status::Error) {
    r.error = d.error_text();
    r.io = d.error_io();
  }
  return r;
}

Run chunked(std::string_view in, size_t step = 0, bool eof = false) {
  BodyDecoder d(BodyKind::Chunked);
  return drive(d, in, step, eof);
}

}  // namespace

TEST_CASE("h1 body: length bodies") {
  BodyDecoder d("length", 5);
  CHECK(!d.is_complete());
  d.feed("hello...");
  std::string_view out;
  CHECK(d.decode(out) == Status::Data);
  CHECK_EQ(out, "hello");
  CHECK(d.is_complete());
  CHECK_EQ(d.buffered(), size_t{3});
  CHECK(d.decode(out) == Status::None);
  CHECK_EQ(d.take_leftover(), "...");
  CHECK_EQ(d.buffered(), size_t{0});

  BodyDecoder cut(BodyKind::Length, 5);
  Run r = drive(cut, "he", 0, true);
  CHECK_EQ(r.data, "he");
  CHECK(r.last == Status::Error);
  CHECK(r.io == IoKind::UnexpectedEof);
  CHECK_EQ(r.error, "end of file before message length reached");
  CHECK(cut.failure().kind == FailureKind::Body);
  CHECK(cut.failure().cause->io == IoKind::UnexpectedEof);
  CHECK(cut.decode(out) == Status::Error);  // stays failed

  CHECK(BodyDecoder("empty").is_complete());
  CHECK(BodyDecoder("length").is_complete());
  CHECK(BodyDecoder("whatever", 9).is_complete());
  BodyDecoder empty(BodyKind::Empty);
  empty.feed("next");
  CHECK(empty.decode(out) == Status::None);
  CHECK_EQ(empty.buffered(), size_t{4});

  BodyDecoder moved(BodyKind::Length, 3);
  moved.append(std::string("ab"));
  moved.append(std::string("cd"));
  CHECK(moved.decode(out) == Status::Data);
  CHECK_EQ(out, "abc");
  CHECK(moved.is_complete());
}

TEST_CASE("h1 body: close-delimited bodies come out in bounded pieces") {
  BodyDecoder d("close");
  d.feed(std::string(20000, 'x'));
  std::string_view out;
  std::vector<size_t> sizes;
  while (d.decode(out) == Status::Data) sizes.push_back(out.size());
  CHECK(sizes == (std::vector<size_t>{8192, 8192, 3616}));
  CHECK(!d.is_complete());
  d.mark_eof();
  CHECK(d.decode(out) == Status::None);
  CHECK(d.is_complete());
  CHECK(d.decode(out) == Status::None);
}

TEST_CASE("h1 body: chunked bodies, extensions and trailers") {
  Run r = chunked("5\r\nhello\r\n0\r\n\r\nGET");
  CHECK_EQ(r.data, "hello");
  CHECK(r.complete);
  CHECK_EQ(r.buffered, size_t{3});

  BodyDecoder d(BodyKind::Chunked);
  r = drive(d, "5;name=value;x\r\nhello\r\n3 \t;e\r\nabc\r\n0\r\nX-Sum: 1\r\nx-sum: 2\r\nY:3\r\n\r\n");
  CHECK_EQ(r.data, "helloabc");
  CHECK(r.complete);
  std::optional<quillon::http::HeaderMapCore> t = d.take_trailers();
  CHECK(t.has_value());
  if (t) {
    CHECK_EQ(t->len(), size_t{3});
    CHECK(t->get("y") == std::optional<std::string_view>("3"));
  }
  CHECK(!d.take_trailers().has_value());

  BodyDecoder plain(BodyKind::Chunked);
  CHECK(drive(plain, "A\r\n0123456789\r\n00\r\n\r\n").complete);
  CHECK(!plain.take_trailers().has_value());

  // 16 significant digits fit; leading zeros are free.
  r = chunked("000000000000000000000003\r\nabc\r\n0\r\n\r\n");
  CHECK(r.complete);
  CHECK_EQ(r.data, "abc");
  r = chunked("FFFFFFFFFFFFFFFF\r\nab", 0, true);
  CHECK_EQ(r.data, "ab");
  CHECK_EQ(r.error, "end of file before message length reached");
}

TEST_CASE("h1 body: every chunked failure text and I/O kind") {
  struct Case {
    std::string in;
    bool eof;
    IoKind io;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"x\r\n", false, IoKind::InvalidInput, "Invalid chunk size line: missing size digit"},
      {"10000000000000000\r\n", false, IoKind::InvalidData, "invalid chunk size: overflow"},
      {"5x\r\n", false, IoKind::InvalidInput, "Invalid chunk size line: Invalid Size"},
      {"5 x\r\n", false, IoKind::InvalidInput, "Invalid chunk size linear white space"},
      {"5;a\nb", false, IoKind::InvalidData, "invalid chunk extension contains newline"},
      {"5\rx", false, IoKind::InvalidInput, "Invalid chunk size LF"},
      {"5\n", false, IoKind::InvalidInput, "Invalid Size"},
      {"5\r\nhelloX", false, IoKind::InvalidInput, "Invalid chunk body CR"},
      {"5\r\nhello\rX", false, IoKind::InvalidInput, "Invalid chunk body LF"},
      {"0\r\nX: y\rZ", false, IoKind::InvalidInput, "Invalid trailer end LF"},
      {"0\r\n\rX", false, IoKind::InvalidInput, "Invalid chunk end LF"},
      {"0\r\nbad header\r\n\r\n", false, IoKind::InvalidInput, "invalid header name"},
      {"0\r\n x: y\r\n\r\n", false, IoKind::InvalidInput, "invalid header name"},
      {"0\r\nx: a\x01\r\n\r\n", false, IoKind::InvalidInput, "invalid header value"},
      {"0\r\na: b\nc: d\r\n\r\n", false, IoKind::InvalidInput, "Invalid trailer end CR"},
      {"5", true, IoKind::UnexpectedEof, "unexpected EOF during chunk size line"},
      {"5\r\nhel", true, IoKind::UnexpectedEof, "end of file before message length reached"},
      {"5\r\nhello\r", true, IoKind::UnexpectedEof, "unexpected EOF during chunk size line"},
      {"0\r\nx: y\r\n", true, IoKind::UnexpectedEof, "unexpected EOF during chunk size line"},
      {"", true, IoKind::UnexpectedEof, "unexpected EOF during chunk size line"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}}) {
      Run r = chunked(c.in, step, c.eof);
      CHECK(r.last == Status::Error);
      CHECK(r.io == c.io);
      if (r.error.find(c.text) == std::string::npos) std::fprintf(stderr, "  got '%s'\n", r.error.c_str());
      CHECK(r.error.find(c.text) != std::string::npos);
      CHECK(!r.complete);
    }
  }
  // The overflow test fires before the 17th significant digit is added.
  CHECK(chunked("FFFFFFFFFFFFFFFF0").error == "invalid chunk size: overflow");
}

TEST_CASE("h1 body: chunked limits") {
  // Extension bytes count over the whole body; the 16384th fails.
  std::string ok_ext = "1;" + std::string(8000, 'e') + "\r\na\r\n1;" + std::string(8383, 'e') + "\r\nb\r\n0\r\n\r\n";
  Run r = chunked(ok_ext);
  CHECK(r.complete);
  CHECK_EQ(r.data, "ab");
  std::string bad_ext = "1;" + std::string(8000, 'e') + "\r\na\r\n1;" + std::string(8384, 'e') + "\r\n";
  r = chunked(bad_ext);
  CHECK(r.io == IoKind::InvalidData);
  CHECK_EQ(r.error, "chunk extensions over limit");

  std::string lines;
  for (int i = 0; i < 100; ++i) lines += "t" + std::to_string(i) + ": v\r\n";
  BodyDecoder hundred(BodyKind::Chunked);
  CHECK(drive(hundred, "0\r\n" + lines + "\r\n").complete);
  CHECK_EQ(hundred.take_trailers()->len(), size_t{100});
  r = chunked("0\r\n" + lines + "t100: v\r\n\r\n");
  CHECK(r.io == IoKind::InvalidData);
  CHECK_EQ(r.error, "chunk trailers count overflow");

  // The trailer buffer holds at most 16383 bytes.
  std::string big = "x: " + std::string(16383 - 5 - 2, 'v') + "\r\n";  // 16381 bytes + final CRLF = 16383
  BodyDecoder fits(BodyKind::Chunked);
  r = drive(fits, "0\r\n" + big + "\r\n");
  CHECK(r.complete);
  r = chunked("0\r\nx: " + std::string(16383 - 5 - 2 + 1, 'v') + "\r\n\r\n");
  CHECK(r.io == IoKind::InvalidData);
  CHECK_EQ(r.error, "chunk trailers bytes over limit");
}

TEST_CASE("h1 body: byte-at-a-time feeding matches whole feeding") {
  const std::vector<std::string> bodies = {
      "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\nleft",
      "3\r\nabc\r\n0\r\nA: 1\r\nB: 2\r\n\r\n",
      "1a\r\n" + std::string(26, 'z') + "\r\n0 \r\n\r\n",
      "5\r\nhello\r\nZ\r\n",
  };
  for (const std::string& b : bodies) {
    BodyDecoder whole_d(BodyKind::Chunked), byte_d(BodyKind::Chunked);
    Run whole = drive(whole_d, b);
    Run bytes = drive(byte_d, b, 1);
    CHECK_EQ(bytes.data, whole.data);
    CHECK(bytes.last == whole.last);
    CHECK_EQ(bytes.complete, whole.complete);
    CHECK_EQ(bytes.error, whole.error);
    CHECK_EQ(bytes.buffered, whole.buffered);
    auto tw = whole_d.take_trailers(), tb = byte_d.take_trailers();
    CHECK_EQ(tw.has_value(), tb.has_value());
    if (tw && tb) CHECK(tw->equals(*tb));
  }
  // Each byte that does not finish a step leaves the decoder waiting.
  BodyDecoder d(BodyKind::Chunked);
  std::string_view out;
  for (char c : std::string("5;a\r\n")) {
    d.feed(std::string_view(&c, 1));
    CHECK(d.decode(out) == Status::None);
    CHECK(!d.is_complete());
  }
  BodyDecoder len(BodyKind::Length, 300000);
  Run r = drive(len, std::string(300000, 'q') + "tail", 16384);
  CHECK_EQ(r.data.size(), size_t{300000});
  CHECK(r.complete);
  CHECK_EQ(len.take_leftover(), "tail");
}

TEST_CASE("h1 body: decoding straight from the caller's bytes") {
  // A piece that is all body comes back as exactly the caller's memory.
  BodyDecoder len(BodyKind::Length, 8);
  std::string first = "abcd", second = "efghNEXT";
  std::string_view in = first, out;
  CHECK(len.decode_from(in, out) == Status::Data);
  CHECK(out.data() == first.data());
  CHECK_EQ(out.size(), size_t{4});
  CHECK(in.empty());
  in = second;
  CHECK(len.decode_from(in, out) == Status::Data);
  CHECK_EQ(out, "efgh");
  CHECK(len.is_complete());
  CHECK_EQ(in, "NEXT");  // not taken: the caller keeps it for the next message

  // Chunk framing split over calls keeps its state without buffering.
  BodyDecoder ch(BodyKind::Chunked);
  std::string a = "5;e", b = "xt\r\nhel", c = "lo\r\n0\r\n\r\n";
  std::string got;
  for (std::string* piece : {&a, &b, &c}) {
    in = *piece;
    Status st;
    while ((st = ch.decode_from(in, out)) == Status::Data) got.append(out);
    CHECK(st == Status::None);
    CHECK(in.empty());
  }
  CHECK_EQ(got, "hello");
  CHECK(ch.is_complete());
  CHECK_EQ(ch.buffered(), size_t{0});

  // Bytes already buffered are decoded first.
  BodyDecoder mixed(BodyKind::Length, 6);
  mixed.feed("abc");
  in = "def";
  CHECK(mixed.decode_from(in, out) == Status::Data);
  CHECK_EQ(out, "abcdef");
  CHECK(in.empty());
}
