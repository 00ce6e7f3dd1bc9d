// HTTP/1 body decoding for one message: content-length, chunked (with chunk
// extensions and trailer fields) and close-delimited framing. Sans-IO: bytes
// go in with feed()/append(), decoded pieces come out of decode() as views
// of the decoder's own input buffer, and bytes past the body stay buffered
// for the connection to give back to the codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "h1/codec.hpp"
#include "h1/failure.hpp"
#include "http/header_map.hpp"

namespace quillon::h1 {

// Chunk-extension bytes allowed over a whole body: extensions carry nothing
// we use, so a peer gets only a bounded amount of them to make us scan.
inline constexpr uint64_t kMaxChunkExtensionBytes = 16384;
// Trailer section bytes: the trailer buffer is held until the section ends,
// so it must stay small.
inline constexpr size_t kMaxTrailerBytes = 16384;
// Trailer lines: bounds the slots and header-map entries a trailer makes.
inline constexpr size_t kMaxTrailerLines = 100;
// Largest piece a close-delimited body hands out at once, so a single call
// never returns an outsized piece of an unbounded body.
inline constexpr size_t kClosePieceBytes = 8192;
// A chunk size above this cannot take another hex digit within 64 bits.
inline constexpr uint64_t kMaxChunkSizeBeforeDigit = 0x0FFFFFFFFFFFFFFFull;
// First allocation for a trailer buffer; most trailer sections are tiny.
inline constexpr size_t kTrailerBufferStart = 64;

// "length" -> Length, "chunked" -> Chunked, "close" -> Close, any other
// text -> Empty (a decoder that is complete at once).
BodyKind body_kind_from_text(std::string_view text);

class BodyDecoder {
 public:
  enum class Status : uint8_t { Data, None, Error };

  // A decoder for one body. `length` is used only by Length; Empty, and
  // Length with 0, are complete at once.
  BodyDecoder(BodyKind kind, uint64_t length = 0);
  BodyDecoder(std::string_view kind_text, uint64_t length = 0);

  // Appends received bytes to the input buffer; nothing is decoded here.
  void feed(std::string_view bytes);
  // The same for bytes split off the codec's read buffer (take_body_into):
  // into an empty buffer the string is moved, not copied.
  void append(std::string&& bytes);
  // The transport closed: no more input. A close-delimited body ends here; a
  // length or chunked body still expecting bytes fails on the next decode().
  void mark_eof();

  // Pulls one piece of the body. Data: `out` is a non-empty view of the
  // input buffer, already consumed, valid until the next call on this
  // decoder. None: nothing now; is_complete() tells whether the body ended
  // or more input is needed. Error: the body is malformed or cut short;
  // failure() describes it and every later decode() repeats it.
  Status decode(std::string_view& out);
  // decode() straight from the caller's bytes, so a piece can be handed back
  // as the caller's own object when it is all body. With nothing buffered,
  // one step runs over `input`, which is advanced past every byte the
  // decoder took; on Data `out` points into `input`'s memory. Bytes left in
  // `input` were not seen: the caller passes them again (or feed()s them)
  // before any other call. With bytes already buffered, `input` is fed
  // (emptied) and decode() runs.
  Status decode_from(std::string_view& input, std::string_view& out);
  // decode() in two steps, for a caller that must size its output before
  // copying: peek() advances through framing (size lines, CRLFs, trailers)
  // exactly as decode() does but leaves the next data piece in the buffer,
  // viewed by `out`; consume(n) then takes the first n <= out.size() bytes
  // of that piece. Nothing else may touch the decoder in between.
  Status peek(std::string_view& out);
  void consume(size_t n);

  bool is_complete() const { return complete_; }
  // Bytes in the input buffer: unconsumed input, or after completion the
  // bytes that follow the body.
  size_t buffered() const { return in_.size() - pos_; }
  // Moves every byte left in the input buffer out (leftover after the body).
  std::string take_leftover();
  // The trailer fields of a completed chunked body, moved out once.
  std::optional<http::HeaderMapCore> take_trailers();

  BodyKind kind() const { return kind_; }
  // After an Error: the body failure (kind Body, cause carrying the I/O kind
  // and this decoder's text), its I/O kind and its text.
  Failure failure() const { return Failure::body(error_io_, error_text_); }
  IoKind error_io() const { return error_io_; }
  const std::string& error_text() const { return error_text_; }

 private:
  enum class Chunk : uint8_t {
    SizeStart,
    SizeDigits,
    SizeBlank,
    Extension,
    SizeLineEnd,
    ChunkData,
    DataCr,
    DataLf,
    TrailerLine,
    TrailerLineEnd,
    SectionCr,
    SectionLf,
    Done,
  };

  // The bytes a step reads from: the input buffer, or a caller's bytes.
  struct Source {
    const char* data;
    size_t size;
    size_t pos;
  };
  Status step(Source& src, std::string_view& out);
  Status decode_length(Source& src, std::string_view& out);
  Status decode_close(Source& src, std::string_view& out);
  Status decode_chunked(Source& src, std::string_view& out);
  Status fail(IoKind io, std::string text);
  bool trailer_push(char c);
  bool parse_trailers();
  void reclaim();

  BodyKind kind_;
  bool complete_ = false;
  bool eof_ = false;
  bool failed_ = false;
  bool close_ended_ = false;  // Close: a read at end of input came back empty
  Chunk chunk_ = Chunk::SizeStart;
  uint64_t remaining_ = 0;  // Length: bytes still expected; Chunked: of the current chunk
  uint64_t extension_bytes_ = 0;
  size_t trailer_lines_ = 0;
  std::optional<std::string> trailer_buf_;
  std::optional<http::HeaderMapCore> trailers_;
  std::string in_;
  size_t pos_ = 0;  // consumed prefix of in_
  IoKind error_io_ = IoKind::None;
  std::string error_text_;
};

}  // namespace quillon::h1
