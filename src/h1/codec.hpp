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

// A byte FIFO: appends at the back, consumes from the front without moving
// bytes on every consume (compacts only when the dead prefix dominates).
class ByteBuffer {
 public:
  const char* data() const { return buf_.data() + start_; }
  size_t size() const { return buf_.size() - start_; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return std::string_view(data(), size()); }

  void append(std::string_view bytes) {
    if (start_ != 0 && start_ >= buf_.size() / 2) compact();
    buf_.append(bytes.data(), bytes.size());
  }
  void consume(size_t n) {
    start_ += n;
    if (start_ == buf_.size()) {
      buf_.clear();
      start_ = 0;
    }
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
    return out;
  }
  void clear() {
    buf_.clear();
    start_ = 0;
  }

 private:
  void compact() {
    buf_.erase(0, start_);
    start_ = 0;
  }
  std::string buf_;
  size_t start_ = 0;
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
  ByteBuffer read;
  // How far into `read` the search for the end of the head has already
  // looked, so a head fed in many pieces is scanned once, not quadratically.
  size_t head_scan = 0;
  // Set once the start line of the head being received is complete and was
  // found valid, so a bad start line fails as soon as its line end arrives
  // and a good one is not re-checked on every read. Anything that removes
  // bytes from `read` other than the head parser must zero `head_scan`
  // (which also clears this flag on the next parse).
  bool head_line_checked = false;
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
