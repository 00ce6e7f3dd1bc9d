// HTTP/1 head parsing: a byte-level tokenizer (start lines and header
// blocks, writing slices of the caller's buffer into caller-provided slots)
// and the head interpretation on top of it that decides body framing,
// keep-alive and upgrades for the codec.
//
// Tokenizer return convention: Done with the bytes the element took
// (line ends included), Incomplete when the buffer ends before the element
// does, or Error with a parse kind and a short reason text. Lines end in CRLF
// or a bare LF. Field syntax is strict RFC 9112: no whitespace between a
// name and its colon, no obs-fold, no NUL, CR or other controls in values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "h1/codec.hpp"
#include "h1/failure.hpp"
#include "http/header_map.hpp"
#include "http/preface.hpp"

namespace quillon::h1 {

// A request head that fails to parse but starts with the HTTP/2 client
// preface is reported as `version_h2` rather than garbage.
using http::kH2Preface;

// Longest request-target accepted; a longer one is answered with 414.
inline constexpr size_t kMaxTargetLen = 65534;
// Header lines accepted in a response head: responses have no
// `max_headers` setting, and this bounds what a server can make us store.
inline constexpr size_t kMaxResponseHeaders = 100;
// Header slots held inline (on the stack) by HeaderSlots; only a larger
// `max_headers` allocates.
inline constexpr size_t kInlineHeaderSlots = 100;
// A content-length at or above this cannot be represented by the body
// decoder's length bookkeeping together with its sentinels.
inline constexpr uint64_t kMaxContentLength = 18446744073709551613ull;

// One header field as tokenized: slices of the tokenized buffer (the
// header map's bulk-fill record, so a tokenized block is handed over as is).
using HeaderField = http::FieldView;

// Slot storage for a header block: kInlineHeaderSlots inline, a heap array
// only when more are asked for. Slots are left uninitialised: the tokenizer
// writes every slot it reports. Not copyable (the slots point into itself).
class HeaderSlots {
 public:
  explicit HeaderSlots(size_t count);
  HeaderSlots(const HeaderSlots&) = delete;
  HeaderSlots& operator=(const HeaderSlots&) = delete;

  // Re-sizes to exactly `count` slots (their contents are not kept).
  void resize(size_t count);

  HeaderField* data() { return ptr_; }
  size_t capacity() const { return cap_; }
  const HeaderField& operator[](size_t i) const { return ptr_[i]; }

 private:
  // A union so the inline array is not zero-filled on every head (3 KiB).
  union Inline {
    Inline() {}
    HeaderField slots[kInlineHeaderSlots];
  } inline_;
  std::unique_ptr<HeaderField[]> heap_;
  HeaderField* ptr_;
  size_t cap_;
};

enum class TokStatus : uint8_t { Done, Incomplete, Error };

struct TokResult {
  TokStatus status = TokStatus::Incomplete;
  size_t consumed = 0;                   // Done: bytes taken, line ends included
  ParseKind kind = ParseKind::Internal;  // Error: the head error kind
  const char* reason = "";               // Error: "invalid header name", ...

  static TokResult done(size_t n) { return {TokStatus::Done, n, ParseKind::Internal, ""}; }
  static TokResult incomplete() { return {}; }
  static TokResult error(ParseKind k, const char* why) { return {TokStatus::Error, 0, k, why}; }
};

struct RequestLine {
  std::string_view method;
  std::string_view target;
  bool http10 = false;
};

struct StatusLine {
  uint16_t status = 0;
  bool http10 = false;
};

// Tokenizes a request line at the start of `buf`: a method token, one space,
// a request-target of visible ASCII (at most kMaxTargetLen bytes), one
// space, "HTTP/1.0" or "HTTP/1.1" and the line end. Errors: `method` for a
// bad byte before the method's space, `uri` for a bad or missing target,
// `uri_too_long`, `version` for anything wrong from the version on. Bytes
// are checked as far as they go, so a malformed prefix fails even while the
// line is incomplete.
TokResult tokenize_request_line(std::string_view buf, RequestLine& out);

// Tokenizes a status line at the start of `buf`: version, one space, three
// digits (100..999), then the line end or one space, a reason phrase and the
// line end. Errors: `version` for a bad version or a missing space after it,
// `status` for everything from the code on.
TokResult tokenize_status_line(std::string_view buf, StatusLine& out);

// Tokenizes header lines from the start of `buf` up to and including the
// empty line that ends the block, writing at most `max_slots` fields into
// `slots` and their number into `count`. Names are token runs followed
// directly by ':'; values have their surrounding spaces and tabs trimmed.
// A line that needs a slot past `max_slots` is `too_large` ("too many
// headers"), a name over 65535 bytes `too_large`, every other malformed line
// `header_token` with the reason "invalid header name", "invalid header
// value" or "invalid new line". With `skip_invalid`, a malformed line is
// skipped instead, except where skipping would let another parser frame the
// message differently from us: obs-fold or a line starting with whitespace,
// whitespace between a name and its colon, a CR not followed by LF or a NUL
// anywhere in the line, and a bad value of `content-length` or
// `transfer-encoding` still fail.
TokResult tokenize_header_block(std::string_view buf, HeaderField* slots, size_t max_slots,
                                size_t& count, bool skip_invalid = false);

struct ResponseHead {
  uint16_t status = 0;
  http::HeaderMapCore headers;
  bool keep_alive = false;
  BodyKind body_kind = BodyKind::Empty;
  // The body length for Length, 0 for Empty, absent for Chunked and Close.
  std::optional<uint64_t> content_length;
  bool is_upgrade = false;
  bool http10 = false;

  // Back to a default head, keeping the header map's buffers. Cheaper than
  // assigning a new head, which zero-fills the whole struct first.
  void reset() {
    status = 0;
    headers.clear();
    keep_alive = false;
    body_kind = BodyKind::Empty;
    content_length.reset();
    is_upgrade = false;
    http10 = false;
  }
};

// Request-targets up to this long are held inline by TargetText; nearly
// every real target fits, so a parsed request allocates nothing for it.
inline constexpr size_t kInlineTargetLen = 192;

// A request-target's bytes, inline up to kInlineTargetLen and on the heap
// beyond. Read as a std::string_view.
class TargetText {
 public:
  TargetText() {}  // user-provided: the inline bytes are not zero-filled
  TargetText(const TargetText& o) { assign(o.view()); }
  TargetText& operator=(const TargetText& o) {
    if (this != &o) assign(o.view());
    return *this;
  }

  void assign(std::string_view s) {
    if (s.size() <= kInlineTargetLen) {
      if (!s.empty()) std::memcpy(inline_, s.data(), s.size());
    } else {
      heap_.assign(s);
    }
    size_ = s.size();
  }
  std::string_view view() const {
    return size_ <= kInlineTargetLen ? std::string_view(inline_, size_) : std::string_view(heap_);
  }
  operator std::string_view() const { return view(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  friend bool operator==(const TargetText& a, const TargetText& b) { return a.view() == b.view(); }
  friend bool operator==(const TargetText& a, std::string_view b) { return a.view() == b; }

 private:
  size_t size_ = 0;
  char inline_[kInlineTargetLen];
  std::string heap_;  // used only for a target longer than kInlineTargetLen
};

struct RequestHead {
  Method method = Method::None;
  // The method's bytes for Method::Extension; empty for a standard method
  // (request_method_name gives its text).
  std::string method_text;
  TargetText target;
  http::HeaderMapCore headers;
  bool keep_alive = false;
  BodyKind body_kind = BodyKind::Empty;
  // The body length for Length, 0 for Empty, absent for Chunked.
  std::optional<uint64_t> content_length;
  bool expect_continue = false;
  bool is_upgrade = false;
  bool http10 = false;
  bool allow_trailers = false;
  // The request carried both `content-length` and `transfer-encoding`. It is
  // framed as chunked, but the server must close the connection after
  // answering it (RFC 9112 §6.3): whoever sent it may frame it differently.
  bool framing_conflict = false;

  // Back to a default head, keeping buffers; see ResponseHead::reset().
  void reset() {
    method = Method::None;
    method_text.clear();
    target.assign({});
    headers.clear();
    keep_alive = false;
    body_kind = BodyKind::Empty;
    content_length.reset();
    expect_continue = false;
    is_upgrade = false;
    http10 = false;
    allow_trailers = false;
    framing_conflict = false;
  }
};

enum class HeadStatus : uint8_t { Done, Incomplete, Error };

struct HeadResult {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind error = ParseKind::Internal;  // Error only
};

// Parses one response head from the start of `state.read` (client side).
// Skips empty lines before the head and consumes and discards informational
// (1xx except 101) heads, looping while bytes remain. Done: `out` is filled
// and the head's bytes are consumed; the body kind honours the request
// method recorded in `state.method` (HEAD, CONNECT). Incomplete: more bytes
// are needed (empty lines already seen may have been dropped); `too_large`
// instead once `config.max_buf_size` bytes are buffered without a complete
// head. Error: the kind; nothing of the failing head is consumed.
HeadResult parse_response_head(CodecState& state, const CodecConfig& config, ResponseHead& out);

// Parses one request head from the start of `state.read` (server side),
// under `config.max_headers` and `config.ignore_invalid_headers`. Done:
// `out` is filled, the head's bytes are consumed, the method is recorded in
// `state.method`, `state.trailers_allowed` is set to the request's
// `allow_trailers` and `parse_error_status` is cleared. Incomplete: as for
// responses. Error: nothing is consumed; the kind becomes `version_h2` when
// the buffer holds at least the whole HTTP/2 preface and starts with it,
// and `state.parse_error_status` is set from the final kind.
HeadResult parse_request_head(CodecState& state, const CodecConfig& config, RequestHead& out);

// The status a server answers a failed request head with: 400, 414, 431,
// 501 for a transfer coding we do not implement, or none (close without
// answering) for `version_h2`, `status` and `internal`.
std::optional<uint16_t> parse_error_status_for(ParseKind kind);

// The wire text of a standard method ("GET", ...); "" for None and
// Extension.
std::string_view request_method_name(Method m);

// "empty", "length", "chunked" or "close".
std::string_view body_kind_name(BodyKind k);

}  // namespace quillon::h1
