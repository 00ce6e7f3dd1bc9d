// Per-connection HTTP/1 codec state shared by the head parser, the head and
// body encoders and the Python H1Codec type. Plain C++: the binding wraps one
// CodecState behind the object's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::h1 {

// How far the head parser has got with the head at the front of a
// ReadBuffer, so a head fed in many pieces is scanned once, not
// quadratically.
struct HeadScan {
  // Bytes of the buffer the search for the end of the head has already
  // looked at; 0 when no search is under way.
  size_t looked = 0;
  // The start line of the head being received is complete and was found
  // valid, so a bad start line fails as soon as its line end arrives and a
  // good one is not re-checked on every read.
  bool line_checked = false;
};

// The codec's read buffer: a byte FIFO that appends at the back and
// consumes from the front without moving bytes on every consume (it
// compacts only when the dead prefix dominates), together with the head
// parser's progress on the head at its front. Every removal from the front
// forgets that progress, since the bytes it described are gone: whoever
// takes bytes out need not know the parser keeps any.
class ReadBuffer {
 public:
  const char* data() const { return buf_.data() + start_; }
  size_t size() const { return buf_.size() - start_; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return std::string_view(data(), size()); }

  void append(std::string_view bytes) {
    if (start_ != 0 && start_ >= buf_.size() / 2) compact();
    buf_.append(bytes.data(), bytes.size());
  }
  // Removes the first `n` bytes; the next head search starts afresh.
  void consume(size_t n) {
    drop_front(n);
    scan_ = HeadScan{};
  }
  // Moves everything out, leaving the buffer empty.
  std::string take_all() {
    std::string out;
    if (start_ == 0) {
      out.swap(buf_);
    } else {
      out.assign(data(), size());
      buf_.clear();
    }
    start_ = 0;
    scan_ = HeadScan{};
    return out;
  }
  void clear() {
    buf_.clear();
    start_ = 0;
    scan_ = HeadScan{};
  }

  // The head parser's side. head_scan() is its progress so far;
  // keep_head_scan() records new progress on a head that is still
  // incomplete after dropping the `skipped` bytes of empty lines in front of
  // it (`scan` counts from the new front; its `looked` is at most size()).
  const HeadScan& head_scan() const { return scan_; }
  void keep_head_scan(size_t skipped, HeadScan scan) {
    drop_front(skipped);
    scan_ = scan;
  }

 private:
  void drop_front(size_t n) {
    start_ += n;
    if (start_ == buf_.size()) {
      buf_.clear();
      start_ = 0;
    }
  }
  void compact() {
    buf_.erase(0, start_);
    start_ = 0;
  }
  std::string buf_;
  size_t start_ = 0;
  HeadScan scan_;
};

enum class Method : uint8_t {
  None,  // no method recorded
  Options,
  Get,
  Post,
  Put,
  Delete,
  Head,
  Trace,
  Connect,
  Patch,
  Query,
  Extension,  // bytes in RecordedMethod::ext
};

struct RecordedMethod {
  Method kind = Method::None;
  std::string ext;
};

enum class BodyKind : uint8_t { Empty, Length, Chunked, Close };

// The framing chosen by the last head encoding and applied to body chunks.
struct BodyEncoder {
  enum class Kind : uint8_t { None, Length, Chunked, Close };
  Kind kind = Kind::None;
  uint64_t remaining = 0;                  // Length only
  std::vector<std::string> trailer_allow;  // Chunked only; lower-case names; empty = none declared
};

struct CodecConfig {
  size_t max_headers = 100;
  bool ignore_invalid_headers = false;
  bool title_case_headers = false;
  bool date_header = true;
  size_t max_buf_size = 417792;
};

inline constexpr size_t kDefaultMaxHeaders = 100;
inline constexpr size_t kDefaultMaxBufSize = 8192 + 4096 * 100;
inline constexpr size_t kMinMaxBufSize = 8192;

struct CodecState {
  ReadBuffer read;
  RecordedMethod method;
  BodyEncoder encoder;
  std::optional<uint16_t> parse_error_status;
  bool request_connection_close = false;
  bool response_is_last = false;
  bool response_close_delimited = false;
  bool trailers_allowed = true;

  // Starts the next message; the read buffer (pipelined bytes) is kept.
  void reset() {
    method = RecordedMethod{};
    encoder = BodyEncoder{};
    parse_error_status.reset();
    request_connection_close = false;
    response_is_last = false;
    response_close_delimited = false;
    trailers_allowed = true;
  }
};

}  // namespace quillon::h1
