// Body decoding. Length and chunk-data reads slice the whole available run
// at once; only the short framing lines of chunked coding go byte by byte
// through the state machine, one switch over the state per byte.
#include "h1/body_decoder.hpp"

#include <algorithm>

#include "h1/parse.hpp"
#include "http/chars.hpp"

namespace quillon::h1 {
namespace {

constexpr const char* kEofLength = "end of file before message length reached";
constexpr const char* kEofSizeLine = "unexpected EOF during chunk size line";

// Consumed bytes are dropped from the front of the input buffer once they
// are at least this many and at least half of it: the memmove then moves no
// more than was consumed, and small buffers are left alone.
constexpr size_t kReclaimMin = 4096;

// A quoted rendering of raw bytes for error texts: printable ASCII as is,
// everything else escaped, so no control byte reaches a message.
std::string debug_bytes(std::string_view bytes) {
  std::string out = "\"";
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      out += "\\x";
      out += http::kHexDigitsLower[c >> 4];
      out += http::kHexDigitsLower[c & 15];
    }
  }
  out += '"';
  return out;
}

std::string debug_field(std::string_view name, std::string_view value) {
  std::string out = "(";
  out += debug_bytes(name);
  out += ", ";
  out += debug_bytes(value);
  out += ')';
  return out;
}

}  // namespace

BodyKind body_kind_from_text(std::string_view text) {
  if (text == "length") return BodyKind::Length;
  if (text == "chunked") return BodyKind::Chunked;
  if (text == "close") return BodyKind::Close;
  return BodyKind::Empty;
}

BodyDecoder::BodyDecoder(BodyKind kind, uint64_t length) : kind_(kind) {
  if (kind_ == BodyKind::Length) remaining_ = length;
  complete_ = kind_ == BodyKind::Empty || (kind_ == BodyKind::Length && length == 0);
}

BodyDecoder::BodyDecoder(std::string_view kind_text, uint64_t length)
    : BodyDecoder(body_kind_from_text(kind_text), length) {}

void BodyDecoder::reclaim() {
  if (pos_ == 0) return;
  if (pos_ == in_.size()) {
    in_.clear();
    pos_ = 0;
  } else if (pos_ >= kReclaimMin && pos_ >= in_.size() / 2) {
    in_.erase(0, pos_);
    pos_ = 0;
  }
}

void BodyDecoder::feed(std::string_view bytes) {
  reclaim();
  in_.append(bytes.data(), bytes.size());
}

void BodyDecoder::append(std::string&& bytes) {
  reclaim();
  if (in_.empty()) {
    in_ = std::move(bytes);
  } else {
    in_.append(bytes);
  }
}

void BodyDecoder::mark_eof() { eof_ = true; }

std::string BodyDecoder::take_leftover() {
  std::string out;
  if (pos_ == 0) {
    out.swap(in_);
  } else {
    out.assign(in_, pos_, std::string::npos);
    in_.clear();
  }
  pos_ = 0;
  return out;
}

std::optional<http::HeaderMapCore> BodyDecoder::take_trailers() {
  std::optional<http::HeaderMapCore> out = std::move(trailers_);
  trailers_.reset();
  return out;
}

BodyDecoder::Status BodyDecoder::fail(IoKind io, std::string text) {
  failed_ = true;
  error_io_ = io;
  error_text_ = std::move(text);
  return Status::Error;
}

BodyDecoder::Status BodyDecoder::decode(std::string_view& out) {
  if (failed_) return Status::Error;
  if (complete_) return Status::None;
  reclaim();
  Source src{in_.data(), in_.size(), pos_};
  Status st = step(src, out);
  pos_ = src.pos;
  return st;
}

BodyDecoder::Status BodyDecoder::peek(std::string_view& out) {
  Status st = decode(out);
  if (st == Status::Data) {
    // Only the data steps move past data, and each is undone exactly here.
    pos_ -= out.size();
    if (kind_ != BodyKind::Close) {
      remaining_ += out.size();
      complete_ = false;
      if (kind_ == BodyKind::Chunked) chunk_ = Chunk::ChunkData;
    }
  }
  return st;
}

void BodyDecoder::consume(size_t n) {
  pos_ += n;
  if (kind_ == BodyKind::Close || n == 0) return;
  remaining_ -= n;
  if (remaining_ == 0) {
    if (kind_ == BodyKind::Length)
      complete_ = true;
    else
      chunk_ = Chunk::DataCr;
  }
}

BodyDecoder::Status BodyDecoder::decode_from(std::string_view& input, std::string_view& out) {
  if (failed_) return Status::Error;
  if (complete_) return Status::None;
  if (buffered() != 0) {
    // Older bytes come first: queue the new ones behind them.
    feed(input);
    input = {};
    return decode(out);
  }
  Source src{input.data(), input.size(), 0};
  Status st = step(src, out);
  input.remove_prefix(src.pos);
  return st;
}

BodyDecoder::Status BodyDecoder::step(Source& src, std::string_view& out) {
  switch (kind_) {
    case BodyKind::Length:
      return decode_length(src, out);
    case BodyKind::Close:
      return decode_close(src, out);
    case BodyKind::Chunked:
      return decode_chunked(src, out);
    case BodyKind::Empty:
      break;
  }
  complete_ = true;
  return Status::None;
}

BodyDecoder::Status BodyDecoder::decode_length(Source& src, std::string_view& out) {
  if (remaining_ == 0) {
    complete_ = true;
    return Status::None;
  }
  const size_t avail = src.size - src.pos;
  if (avail == 0) return eof_ ? fail(IoKind::UnexpectedEof, kEofLength) : Status::None;
  const size_t take = remaining_ < avail ? static_cast<size_t>(remaining_) : avail;
  out = std::string_view(src.data + src.pos, take);
  src.pos += take;
  remaining_ -= take;
  if (remaining_ == 0) complete_ = true;
  return Status::Data;
}

BodyDecoder::Status BodyDecoder::decode_close(Source& src, std::string_view& out) {
  if (close_ended_) {
    complete_ = true;
    return Status::None;
  }
  const size_t avail = src.size - src.pos;
  if (avail == 0) {
    if (eof_) {
      close_ended_ = true;
      complete_ = true;
    }
    return Status::None;
  }
  const size_t take = std::min(avail, kClosePieceBytes);
  out = std::string_view(src.data + src.pos, take);
  src.pos += take;
  return Status::Data;
}

// Appends one byte to the trailer buffer; false (and the body failed) once
// the buffer reaches its limit.
bool BodyDecoder::trailer_push(char c) {
  if (!trailer_buf_) {
    trailer_buf_.emplace();
    trailer_buf_->reserve(kTrailerBufferStart);
  }
  trailer_buf_->push_back(c);
  if (trailer_buf_->size() >= kMaxTrailerBytes) {
    fail(IoKind::InvalidData, "chunk trailers bytes over limit");
    return false;
  }
  return true;
}

bool BodyDecoder::parse_trailers() {
  const std::string& block = *trailer_buf_;
  HeaderSlots slots(trailer_lines_);
  size_t count = 0;
  TokResult r = tokenize_header_block(block, slots.data(), slots.capacity(), count, false);
  if (r.status == TokStatus::Incomplete) {
    fail(IoKind::InvalidInput, "Partial header");
    return false;
  }
  if (r.status == TokStatus::Error) {
    fail(IoKind::InvalidInput, r.reason);
    return false;
  }
  http::HeaderMapCore map;
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) bytes += slots[i].name.size() + slots[i].value.size();
  map.reserve(count, bytes);
  char small[128];
  std::string large;
  for (size_t i = 0; i < count; ++i) {
    const HeaderField& f = slots[i];
    char* name_buf = small;
    if (f.name.size() > sizeof small) {
      large.resize(f.name.size());
      name_buf = large.data();
    }
    if (!http::normalize_header_name(f.name, name_buf)) {
      fail(IoKind::InvalidInput, "Invalid header name: " + debug_field(f.name, f.value));
      return false;
    }
    if (!http::is_valid_header_value(f.value)) {
      fail(IoKind::InvalidInput, "Invalid header value: " + debug_field(f.name, f.value));
      return false;
    }
    if (map.add(std::string_view(name_buf, f.name.size()), f.value) != http::HeaderMapCore::Result::Ok) {
      fail(IoKind::InvalidData, "chunk trailers count overflow");
      return false;
    }
  }
  trailers_ = std::move(map);
  trailer_buf_.reset();
  return true;
}

BodyDecoder::Status BodyDecoder::decode_chunked(Source& src, std::string_view& out) {
  for (;;) {
    if (chunk_ == Chunk::Done) {
      complete_ = true;
      return Status::None;
    }
    const size_t avail = src.size - src.pos;
    if (chunk_ == Chunk::ChunkData) {
      if (avail == 0) return eof_ ? fail(IoKind::UnexpectedEof, kEofLength) : Status::None;
      const size_t take = remaining_ < avail ? static_cast<size_t>(remaining_) : avail;
      out = std::string_view(src.data + src.pos, take);
      src.pos += take;
      remaining_ -= take;
      if (remaining_ == 0) chunk_ = Chunk::DataCr;
      return Status::Data;
    }
    if (avail == 0) return eof_ ? fail(IoKind::UnexpectedEof, kEofSizeLine) : Status::None;
    const unsigned char c = static_cast<unsigned char>(src.data[src.pos++]);
    switch (chunk_) {
      case Chunk::SizeStart: {
        int d = http::hex_value(c);
        if (d < 0) return fail(IoKind::InvalidInput, "Invalid chunk size line: missing size digit");
        remaining_ = static_cast<uint64_t>(d);
        chunk_ = Chunk::SizeDigits;
        break;
      }
      case Chunk::SizeDigits: {
        int d = http::hex_value(c);
        if (d >= 0) {
          if (remaining_ > kMaxChunkSizeBeforeDigit) return fail(IoKind::InvalidData, "invalid chunk size: overflow");
          remaining_ = remaining_ * 16 + static_cast<uint64_t>(d);
        } else if (c == ' ' || c == '\t') {
          chunk_ = Chunk::SizeBlank;
        } else if (c == '\r') {
          chunk_ = Chunk::SizeLineEnd;
        } else if (c == ';') {
          chunk_ = Chunk::Extension;
        } else {
          return fail(IoKind::InvalidInput, "Invalid chunk size line: Invalid Size");
        }
        break;
      }
      case Chunk::SizeBlank:
        if (c == '\r') {
          chunk_ = Chunk::SizeLineEnd;
        } else if (c == ';') {
          chunk_ = Chunk::Extension;
        } else if (c != ' ' && c != '\t') {
          return fail(IoKind::InvalidInput, "Invalid chunk size linear white space");
        }
        break;
      case Chunk::Extension:
        if (c == '\r') {
          chunk_ = Chunk::SizeLineEnd;
        } else if (c == '\n') {
          return fail(IoKind::InvalidData, "invalid chunk extension contains newline");
        } else if (++extension_bytes_ >= kMaxChunkExtensionBytes) {
          return fail(IoKind::InvalidData, "chunk extensions over limit");
        }
        break;
      case Chunk::SizeLineEnd:
        if (c != '\n') return fail(IoKind::InvalidInput, "Invalid chunk size LF");
        chunk_ = remaining_ > 0 ? Chunk::ChunkData : Chunk::SectionCr;
        break;
      case Chunk::DataCr:
        if (c != '\r') return fail(IoKind::InvalidInput, "Invalid chunk body CR");
        chunk_ = Chunk::DataLf;
        break;
      case Chunk::DataLf:
        if (c != '\n') return fail(IoKind::InvalidInput, "Invalid chunk body LF");
        remaining_ = 0;
        chunk_ = Chunk::SizeStart;
        break;
      case Chunk::SectionCr:
        // A bare LF here would start a "trailer line" running to the next
        // CRLF, deep inside whatever the peer pipelined after the body; the
        // trailer tokenizer would then stop at its first empty line and the
        // rest would be consumed unseen. Lines in this section end in CRLF.
        if (c == '\n') return fail(IoKind::InvalidInput, "Invalid chunk end CR");
        if (c == '\r') {
          if (trailer_buf_ && !trailer_push('\r')) return Status::Error;
          chunk_ = Chunk::SectionLf;
        } else {
          if (!trailer_push(static_cast<char>(c))) return Status::Error;
          chunk_ = Chunk::TrailerLine;
        }
        break;
      case Chunk::TrailerLine:
        // The same for a trailer line cut by a bare LF: the block handed to
        // the tokenizer must end exactly where the consumed bytes end.
        if (c == '\n') return fail(IoKind::InvalidInput, "Invalid trailer end CR");
        if (!trailer_push(static_cast<char>(c))) return Status::Error;
        if (c == '\r') chunk_ = Chunk::TrailerLineEnd;
        break;
      case Chunk::TrailerLineEnd:
        if (c != '\n') return fail(IoKind::InvalidInput, "Invalid trailer end LF");
        if (trailer_lines_ == kMaxTrailerLines) return fail(IoKind::InvalidData, "chunk trailers count overflow");
        ++trailer_lines_;
        if (!trailer_push('\n')) return Status::Error;
        chunk_ = Chunk::SectionCr;
        break;
      case Chunk::SectionLf:
        if (c != '\n') return fail(IoKind::InvalidInput, "Invalid chunk end LF");
        if (trailer_buf_) {
          if (!trailer_push('\n') || !parse_trailers()) return Status::Error;
        }
        chunk_ = Chunk::Done;
        break;
      case Chunk::ChunkData:
      case Chunk::Done:
        break;  // handled above the switch
    }
  }
}

}  // namespace quillon::h1
