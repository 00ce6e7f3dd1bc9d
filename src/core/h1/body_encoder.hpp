// HTTP/1 body framing: applies the BodyEncoder a head encoding left in the
// codec state to body chunks, the end of the body and trailers. Every
// operation only plans sizes and writes into memory the caller provides, so
// the binding fills its result object in place: one allocation per result,
// none at all when a chunk passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "h1/codec.hpp"
#include "h1/failure.hpp"
#include "http/header_map.hpp"

namespace quillon::h1 {

// The last chunk of a chunked body with no trailers.
inline constexpr std::string_view kChunkedTerminator = "0\r\n\r\n";

inline constexpr std::string_view kNoRequestMessage = "serialize_data with no request in flight";

// What to hand back for one body chunk.
struct DataPlan {
  enum class Kind : uint8_t {
    NoRequest,  // no encoder in flight: ValueError(kNoRequestMessage)
    Unchanged,  // the caller's chunk itself
    Prefix,     // the first `size` bytes of the chunk (possibly 0) as a new object
    Chunked,    // a new object of `size` bytes filled by write_chunk()
  };
  Kind kind = Kind::Unchanged;
  size_t size = 0;
};

// Frames one chunk of `chunk_len` bytes with the in-flight encoder and
// updates it (a content-length encoder's remaining count). An empty chunk is
// always Unchanged, even with nothing in flight. Bytes beyond a declared
// length are dropped silently (Prefix).
DataPlan encode_data(CodecState& state, size_t chunk_len);

// Bytes of one chunked frame for `n` data bytes: upper-case hex size
// without leading zeros, CRLF, the data, CRLF.
size_t chunked_frame_size(size_t n);

// Writes the chunked frame of `data` to `out`, which must hold
// chunked_frame_size(data.size()) bytes. Returns the end of what it wrote.
char* write_chunk(char* out, std::string_view data);

// How a body ends.
struct BodyEnd {
  enum class Kind : uint8_t {
    Empty,       // nothing to write
    Terminator,  // kChunkedTerminator (the binding's shared object)
    Trailers,    // "0\r\n", the kept trailer lines, CRLF: `size` bytes via write()
    Aborted,     // a declared length was not filled: failure()
  };
  Kind kind = Kind::Empty;
  uint64_t missing = 0;                        // Aborted: bytes still owed
  const http::HeaderMapCore* trailers = nullptr;  // Trailers: the map passed in
  std::vector<std::string> allow;              // Trailers: the allow-list taken from the encoder
  size_t size = 0;                             // bytes write() produces (0 for Aborted)

  // Writes the end (terminator or trailer block) to `out`, which must hold
  // `size` bytes; returns the end of what it wrote. Nothing for Empty and
  // Aborted.
  char* write(char* out) const;
  // The `body_write_aborted` user failure: "early end, expected N more bytes".
  Failure failure() const;
};

// Ends the body: takes the encoder out of `state` (leaving none) and says
// what ends it. Empty with nothing in flight, a filled content length or a
// close-delimited body; Terminator for chunked; Aborted when a declared
// length still expects bytes (the encoder is gone all the same).
BodyEnd encode_end(CodecState& state);

// Ends the body with trailer fields: takes the encoder out of `state`. With
// nothing in flight, Empty. When trailers are not allowed, or the encoder is
// not chunked with a declared allow-list, it ends exactly as encode_end().
// Otherwise the fields of `trailers` whose names are on the allow-list and
// not in the never-sent set are kept in map order; Trailers when any were
// kept, else Terminator. `trailers` must outlive the returned value.
BodyEnd encode_trailers(CodecState& state, const http::HeaderMapCore& trailers);

// True for header names never sent as trailers whatever a `trailer` header
// declares (framing, routing, authentication and content metadata).
bool is_forbidden_trailer(std::string_view lower_name);

// One whole message in one buffer: head, framed body, end.
struct MessagePlan {
  bool head_only = false;  // the result is the head alone (bodyless framing)
  DataPlan body;           // how `body` is framed (Unchanged with size 0 when empty)
  BodyEnd end;
  size_t total = 0;  // bytes write_message() produces

  bool failed() const { return end.kind == BodyEnd::Kind::Aborted; }
};

// Plans `serialize_head_and_body`: takes the encoder out of `state`. With no
// encoder or a content-length encoder with nothing remaining the result is
// the head alone and `body` and `trailers` are ignored. Otherwise `body` is
// framed as one encode_data() chunk and the end follows as
// encode_trailers() when `trailers` is non-null, else as encode_end().
// failed() when a declared length is left unfilled (nothing is returned).
MessagePlan plan_head_and_body(CodecState& state, size_t head_len, std::string_view body,
                               const http::HeaderMapCore* trailers);

// Writes the planned message to `out`, which must hold plan.total bytes.
// Returns the end of what it wrote. Not for a failed() plan.
char* write_message(const MessagePlan& plan, std::string_view head, std::string_view body, char* out);

// True when the in-flight framing carries no body: no encoder, or a
// content-length encoder with nothing remaining.
bool body_is_eof(const CodecState& state);

}  // namespace quillon::h1
