// HTTP/1 head tokenizer and head interpretation. The tokenizer works on
// slices of the codec's read buffer and never copies; the interpretation
// copies a finished head once into its HeaderMapCore arena and only then
// consumes it from the buffer.
#include "h1/parse.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "h1/tokens.hpp"


namespace quillon::h1 {

using http::HeaderMapCore;

namespace {

using http::ascii_iequals;
using http::ByteSet;
using http::find_special;

constexpr const char* kBadName = "invalid header name";
constexpr const char* kBadValue = "invalid header value";
constexpr const char* kBadNewLine = "invalid new line";
constexpr const char* kBadToken = "invalid token";
constexpr const char* kTooMany = "too many headers";
constexpr const char* kNameTooLong = "header name too long";

inline bool is_tchar(char c) { return http::is_token_char(static_cast<unsigned char>(c)); }
inline bool is_ows(char c) { return c == ' ' || c == '\t'; }

// Eight bytes as a native-order uint64_t, as a load of them would read.
constexpr uint64_t native_u64(const char (&s)[9]) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    const int at = std::endian::native == std::endian::little ? i : 7 - i;
    v |= uint64_t{static_cast<unsigned char>(s[i])} << (8 * at);
  }
  return v;
}
constexpr uint64_t kHttp11 = native_u64("HTTP/1.1");
constexpr uint64_t kHttp10 = native_u64("HTTP/1.0");

// "HTTP/1.0" or "HTTP/1.1" at p: 1 when matched, 0 when the bytes so far
// match but stop short, -1 on a mismatch.
int version_at(const char* p, const char* end, bool& http10) {
  static constexpr char kPrefix[] = "HTTP/1.";
  const size_t avail = static_cast<size_t>(end - p);
  if (avail >= 8) {
    // The whole version in one load; anything else takes the byte loop.
    uint64_t v;
    std::memcpy(&v, p, 8);
    if (v == kHttp11) {
      http10 = false;
      return 1;
    }
    if (v == kHttp10) {
      http10 = true;
      return 1;
    }
  }
  for (size_t i = 0; i < 7; ++i) {
    if (i == avail) return 0;
    if (p[i] != kPrefix[i]) return -1;
  }
  if (avail == 7) return 0;
  if (p[7] == '0') {
    http10 = true;
  } else if (p[7] == '1') {
    http10 = false;
  } else {
    return -1;
  }
  return 1;
}

// A line end at p: its length (1 for LF, 2 for CRLF), 0 when the buffer
// stops before it is known, -1 when p is not a line end.
int line_end_at(const char* p, const char* end) {
  if (p == end) return 0;
  if (*p == '\n') return 1;
  if (*p != '\r') return -1;
  if (p + 1 == end) return 0;
  return p[1] == '\n' ? 2 : -1;
}

// Two bytes as one load, compared against kCrLf in the same byte order.
inline uint16_t load_u16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
constexpr uint16_t kCrLf = std::endian::native == std::endian::little ? uint16_t{'\r' | ('\n' << 8)}
                                                                       : uint16_t{('\r' << 8) | '\n'};

bool is_framing_name(std::string_view name) {
  return ascii_iequals(name, "content-length") || ascii_iequals(name, "transfer-encoding");
}

}  // namespace

HeaderSlots::HeaderSlots(size_t count) { resize(count); }

void HeaderSlots::resize(size_t count) {
  if (count <= kInlineHeaderSlots) {
    heap_.reset();
    ptr_ = inline_.slots;
  } else {
    heap_.reset(new HeaderField[count]);
    ptr_ = heap_.get();
  }
  cap_ = count;
}

TokResult tokenize_request_line(std::string_view buf, RequestLine& out) {
  const char* const begin = buf.data();
  const char* const end = begin + buf.size();
  const char* p = begin;
  while (p != end && is_tchar(*p)) ++p;
  if (p == end) return TokResult::incomplete();
  if (p == begin || *p != ' ') return TokResult::error(ParseKind::Method, kBadToken);
  out.method = std::string_view(begin, static_cast<size_t>(p - begin));
  ++p;

  const char* target = p;
  const char* q = find_special(p, end, ByteSet::Target);
  if (static_cast<size_t>(q - target) > kMaxTargetLen) return TokResult::error(ParseKind::UriTooLong, kBadToken);
  if (q == end) return TokResult::incomplete();
  if (q == target || *q != ' ') return TokResult::error(ParseKind::Uri, kBadToken);
  out.target = std::string_view(target, static_cast<size_t>(q - target));
  p = q + 1;

  int v = version_at(p, end, out.http10);
  if (v < 0) return TokResult::error(ParseKind::Version, kBadToken);
  if (v == 0) return TokResult::incomplete();
  p += 8;
  int le = line_end_at(p, end);
  if (le < 0) return TokResult::error(ParseKind::Version, kBadNewLine);
  if (le == 0) return TokResult::incomplete();
  return TokResult::done(static_cast<size_t>(p + le - begin));
}

TokResult tokenize_status_line(std::string_view buf, StatusLine& out) {
  const char* const begin = buf.data();
  const char* const end = begin + buf.size();
  const char* p = begin;
  int v = version_at(p, end, out.http10);
  if (v < 0) return TokResult::error(ParseKind::Version, kBadToken);
  if (v == 0) return TokResult::incomplete();
  p += 8;
  if (p == end) return TokResult::incomplete();
  if (*p != ' ') return TokResult::error(ParseKind::Version, kBadToken);
  ++p;

  unsigned code = 0;
  for (int i = 0; i < 3; ++i, ++p) {
    if (p == end) return TokResult::incomplete();
    if (*p < '0' || *p > '9') return TokResult::error(ParseKind::Status, kBadToken);
    code = code * 10 + static_cast<unsigned>(*p - '0');
  }
  if (code < 100) return TokResult::error(ParseKind::Status, kBadToken);
  out.status = static_cast<uint16_t>(code);

  if (p == end) return TokResult::incomplete();
  if (*p == ' ') {
    // Reason phrase: HTAB, SP, VCHAR, obs-text; it is not kept.
    p = find_special(p + 1, end, ByteSet::FieldValue);
  }
  int le = line_end_at(p, end);
  if (le < 0) return TokResult::error(ParseKind::Status, kBadToken);
  if (le == 0) return TokResult::incomplete();
  return TokResult::done(static_cast<size_t>(p + le - begin));
}

namespace {

// The field loop of tokenize_header_block, writing slots from `out` up to
// `out_end`. It returns with `out` one past the last slot written; the
// caller turns that into its count, so storing a slot (string_views, which
// may alias a size_t&) never forces a count through memory.
inline TokResult header_block_fields(const char* const begin, const char* const end, HeaderField*& out,
                                     HeaderField* const out_end, bool skip_invalid) {
  const char* p = begin;
  for (;;) {
    const char* name_begin = p;
    p = http::skip_token_bytes(p, end);
    const char* why = nullptr;
    bool fatal = false;
    if (p != name_begin && p != end && *p == ':') [[likely]] {
      // The common line, `name: value CRLF`: the name scan has already
      // ruled out an empty line, whitespace at the line start and the end of
      // the buffer, so those checks are left to the rare path below.
      const std::string_view name(name_begin, static_cast<size_t>(p - name_begin));
      if (name.size() > http::kMaxHeaderNameLen) return TokResult::error(ParseKind::TooLarge, kNameTooLong);
      ++p;
      // Leading OWS is part of the value scan's plain bytes; it is trimmed
      // once the value's end is known, with no buffer-end check per byte.
      const char* q = find_special(p, end, ByteSet::FieldValue, begin);
      const char* next;
      if (end - q >= 2 && load_u16(q) == kCrLf) [[likely]] {
        next = q + 2;
      } else if (q == end) {
        return TokResult::incomplete();
      } else if (*q == '\n') {
        next = q + 1;
      } else if (*q == '\r') {
        if (q + 1 == end) return TokResult::incomplete();
        return TokResult::error(ParseKind::HeaderToken, kBadNewLine);
      } else if (*q == '\0') {
        return TokResult::error(ParseKind::HeaderToken, kBadValue);
      } else {
        why = kBadValue;
        fatal = is_framing_name(name);
        p = q;
        next = nullptr;
      }
      if (why == nullptr) {
        // *q is a control byte, so these stop at q at the latest; one
        // space is what nearly every sender writes.
        p += *p == ' ';
        if (is_ows(*p)) [[unlikely]] {
          do ++p;
          while (is_ows(*p));
        }
        const char* value_end = q;
        while (value_end != p && is_ows(value_end[-1])) --value_end;
        if (out == out_end) return TokResult::error(ParseKind::TooLarge, kTooMany);
        *out++ = HeaderField{name, std::string_view(p, static_cast<size_t>(value_end - p))};
        p = next;
        continue;
      }
    } else {
      if (p == end) return TokResult::incomplete();
      if (p == name_begin) {
        if (*p == '\n') return TokResult::done(static_cast<size_t>(p + 1 - begin));
        if (*p == '\r') {
          if (p + 1 == end) return TokResult::incomplete();
          if (p[1] == '\n') return TokResult::done(static_cast<size_t>(p + 2 - begin));
          return TokResult::error(ParseKind::HeaderToken, kBadNewLine);
        }
        // A line starting with whitespace is obs-fold (or a name another
        // parser might read after stripping it): never skipped.
        if (is_ows(*p)) return TokResult::error(ParseKind::HeaderToken, kBadName);
      } else {
        // `name : value` is a field that lenient parsers accept: skipping
        // it would let them see a header (transfer-encoding, say) that we
        // don't (RFC 9112 §5.1), so it always fails the head.
        const char* q = p;
        while (q != end && is_ows(*q)) ++q;
        if (q == end) return TokResult::incomplete();
        if (q != p && *q == ':') return TokResult::error(ParseKind::HeaderToken, kBadName);
      }
      why = kBadName;
    }
    if (!skip_invalid || fatal) return TokResult::error(ParseKind::HeaderToken, why);
    // Skip the rest of the malformed line; a NUL or a CR that does not end
    // it still fails, since another parser may end the line there.
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr) return TokResult::incomplete();
    for (const char* s = p; s != lf; ++s) {
      if (*s == '\0') return TokResult::error(ParseKind::HeaderToken, kBadValue);
      if (*s == '\r' && s + 1 != lf) return TokResult::error(ParseKind::HeaderToken, kBadNewLine);
    }
    p = lf + 1;
  }
}

}  // namespace

TokResult tokenize_header_block(std::string_view buf, HeaderField* slots, size_t max_slots,
                                size_t& count, bool skip_invalid) {
  HeaderField* out = slots;
  const TokResult r = header_block_fields(buf.data(), buf.data() + buf.size(), out, slots + max_slots, skip_invalid);
  count = static_cast<size_t>(out - slots);
  return r;
}

namespace {

// Where the head at the front of the read buffer lies, once its end is in.
struct Located {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind error = ParseKind::Internal;
  size_t start = 0;  // first byte after skipped empty lines
  size_t end = 0;    // one past the empty line that ends the head
};

enum class Role : uint8_t { Request, Response };

// Length of the run of empty lines (CRLF or LF) at the front of `b`.
size_t empty_lines_at_front(std::string_view b) {
  size_t i = 0;
  for (;;) {
    if (i < b.size() && b[i] == '\n') {
      i += 1;
    } else if (i + 1 < b.size() && b[i] == '\r' && b[i + 1] == '\n') {
      i += 2;
    } else {
      return i;
    }
  }
}

// Finds the end of the head without tokenizing it, resuming where the last
// call stopped (the read buffer's head scan), and checks the start line once
// its line end has arrived so that a bad one fails without waiting for the
// whole head. Empty lines before the head carry nothing: on Incomplete they
// are dropped from the buffer, which also keeps this search from rescanning
// them.
Located locate_head(CodecState& st, const CodecConfig& config, Role role) {
  const std::string_view b = st.read.view();
  const size_t n = b.size();
  HeadScan scan = st.read.head_scan();
  const size_t lead = empty_lines_at_front(b);
  Located out;
  out.start = lead;

  if (lead == n || (lead + 1 == n && b[lead] == '\r')) {
    // Nothing but empty lines (and maybe the CR of one more).
    st.read.consume(lead);
    return out;
  }

  size_t pos = std::max(lead, scan.looked);
  bool found = false;
  if (!scan.line_checked) {
    const char* lf = static_cast<const char*>(std::memchr(b.data() + pos, '\n', n - pos));
    if (lf == nullptr) {
      pos = n;
    } else {
      const size_t q = static_cast<size_t>(lf - b.data());
      const std::string_view line = b.substr(lead, q + 1 - lead);
      TokResult r;
      if (role == Role::Request) {
        RequestLine rl;
        r = tokenize_request_line(line, rl);
      } else {
        StatusLine sl;
        r = tokenize_status_line(line, sl);
      }
      if (r.status != TokStatus::Done) {
        out.status = HeadStatus::Error;
        out.error = r.status == TokStatus::Error ? r.kind : ParseKind::Internal;
        return out;
      }
      scan.line_checked = true;
      pos = q;  // the start line's own LF may begin the empty line
      found = true;
    }
  } else {
    // Back up over a line end that may have been cut between reads.
    pos = std::max(lead, scan.looked >= 3 ? scan.looked - 3 : size_t{0});
    found = true;
  }

  if (found) {
    while (pos < n) {
      const char* lf = static_cast<const char*>(std::memchr(b.data() + pos, '\n', n - pos));
      if (lf == nullptr) break;
      const size_t p = static_cast<size_t>(lf - b.data());
      if (p + 1 < n && b[p + 1] == '\n') {
        out.status = HeadStatus::Done;
        out.end = p + 2;
        return out;
      }
      if (p + 2 < n && b[p + 1] == '\r' && b[p + 2] == '\n') {
        out.status = HeadStatus::Done;
        out.end = p + 3;
        return out;
      }
      pos = p + 1;
    }
  }

  if (n >= config.max_buf_size) {
    out.status = HeadStatus::Error;
    out.error = ParseKind::TooLarge;
    return out;
  }
  // A search in progress always has looked > 0 (the start line is not
  // empty), so a fresh buffer's zero means "start over".
  st.read.keep_head_scan(lead, HeadScan{n - lead, scan.line_checked});
  return out;
}

// A tokenized name in lower case, in stack storage for all ordinary names.
// The tokenizer has already checked every byte is a token character and the
// length is within the header-map limit, so this only folds the case; the
// length check that remains guards the one way a tokenized name could still
// fail to be a header-map name.
class LowerName {
 public:
  bool set(std::string_view name) {
    const size_t n = name.size();
    if (n == 0 || n > http::kMaxHeaderNameLen) return false;
    char* dst = small_;
    if (n > sizeof small_) {
      big_.resize(n);
      dst = big_.data();
    }
    http::lower_token_copy(dst, name.data(), n);
    view_ = std::string_view(dst, n);
    return true;
  }
  std::string_view view() const { return view_; }

 private:
  char small_[128];
  std::string big_;
  std::string_view view_;
};

size_t field_bytes(const HeaderSlots& slots, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += slots[i].name.size() + slots[i].value.size();
  return total;
}

// The per-line keep-alive rule: a live connection dies on `close`, a dead one
// revives on `keep-alive`.
bool next_keep_alive(bool ka, std::string_view value) {
  return ka ? !value_has_token(value, "close") : value_has_token(value, "keep-alive");
}

TokResult tokenize_start_line(std::string_view b, RequestLine& out) { return tokenize_request_line(b, out); }
TokResult tokenize_start_line(std::string_view b, StatusLine& out) { return tokenize_status_line(b, out); }

// A tokenized head at the front of the read buffer.
struct Scanned {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind error = ParseKind::Internal;  // Error only
  size_t fields_at = 0;                   // Done: where the field lines start
  size_t end = 0;                         // Done: one past the head's last byte
  size_t count = 0;                       // Done: fields written to the slots

  // The field lines and the empty line after them: every field slot is a
  // slice of this.
  std::string_view block(const ReadBuffer& read) const { return read.view().substr(fields_at, end - fields_at); }
};

// Finds and tokenizes the head at the front of the read buffer: its start
// line into `line`, at most `max_fields` fields into `slots`. On the first
// look at a head the tokenizer runs straight over the buffer, so a head that
// arrived whole (the common case) is scanned once and its end is where the
// tokenizer stops. Anything short of that (a head still incomplete, or one
// that fails) is decided by locate_head and a tokenization of exactly the
// located head, as though the first attempt had not been made.
template <class Line>
Scanned scan_head(CodecState& st, const CodecConfig& config, size_t max_fields, bool skip, Line& line,
                  HeaderSlots& slots) {
  constexpr Role role = std::is_same_v<Line, RequestLine> ? Role::Request : Role::Response;
  Scanned out;
  if (st.read.head_scan().looked == 0) {
    const std::string_view b = st.read.view();
    const size_t lead = empty_lines_at_front(b);
    TokResult r = tokenize_start_line(b.substr(lead), line);
    if (r.status == TokStatus::Done) {
      const size_t at = lead + r.consumed;
      // More fields than fit inline fail here and are counted again below
      // against the full limit.
      slots.resize(std::min(max_fields, kInlineHeaderSlots));
      TokResult h = tokenize_header_block(b.substr(at), slots.data(), slots.capacity(), out.count, skip);
      if (h.status == TokStatus::Done) {
        out.status = HeadStatus::Done;
        out.fields_at = at;
        out.end = at + h.consumed;
        return out;
      }
    }
  }

  Located loc = locate_head(st, config, role);
  out.status = loc.status;
  out.error = loc.error;
  if (loc.status != HeadStatus::Done) return out;
  out.status = HeadStatus::Error;
  const std::string_view head = st.read.view().substr(loc.start, loc.end - loc.start);
  TokResult r = tokenize_start_line(head, line);
  if (r.status != TokStatus::Done) {
    out.error = r.status == TokStatus::Error ? r.kind : ParseKind::Internal;
    return out;
  }
  const std::string_view block = head.substr(r.consumed);
  // Every field line takes at least three bytes ("a:\n"), so a huge
  // `max_headers` never sizes the slot array beyond what the head can fill.
  slots.resize(std::min(max_fields, block.size() / 3 + 1));
  TokResult h = tokenize_header_block(block, slots.data(), slots.capacity(), out.count, skip);
  if (h.status == TokStatus::Error) {
    out.error = h.kind;
    return out;
  }
  // The block was located by its empty line, so anything short of Done over
  // exactly that block is a disagreement between locator and tokenizer.
  if (h.status != TokStatus::Done || h.consumed != block.size()) {
    out.error = ParseKind::Internal;
    return out;
  }
  out.status = HeadStatus::Done;
  out.fields_at = loc.start + r.consumed;
  out.end = loc.end;
  return out;
}

// The fields the head interpretation acts on. Told apart by length and
// first byte, so an ordinary name costs a switch and rarely a comparison.
enum class Special : uint8_t { None, TransferEncoding, ContentLength, Connection, Expect, Upgrade, Te, Host };

// `raw` (a tokenized name of the same length as `lower`) is `lower` in any
// letter case. Every special name starts with a letter, which `| 0x20`
// folds to lower case and maps no other byte onto.
inline bool is_name(std::string_view raw, std::string_view lower) {
  return static_cast<char>(raw[0] | 0x20) == lower[0] && ascii_iequals(raw, lower);
}

inline Special classify_by_length(std::string_view raw) {
  switch (raw.size()) {
    case 2: return is_name(raw, "te") ? Special::Te : Special::None;
    case 4: return is_name(raw, "host") ? Special::Host : Special::None;
    case 6: return is_name(raw, "expect") ? Special::Expect : Special::None;
    case 7: return is_name(raw, "upgrade") ? Special::Upgrade : Special::None;
    case 10: return is_name(raw, "connection") ? Special::Connection : Special::None;
    case 14: return is_name(raw, "content-length") ? Special::ContentLength : Special::None;
    case 17: return is_name(raw, "transfer-encoding") ? Special::TransferEncoding : Special::None;
    default: return Special::None;
  }
}

// Most names have a length no special name has, and are told apart
// without a call.
inline Special classify(std::string_view raw) {
  constexpr uint32_t kLengths =
      (1u << 2) | (1u << 4) | (1u << 6) | (1u << 7) | (1u << 10) | (1u << 14) | (1u << 17);
  if (raw.size() >= 32 || ((kLengths >> raw.size()) & 1) == 0) return Special::None;
  return classify_by_length(raw);
}

// Names the header map accepts; the tokenizer already guarantees this, and
// the check keeps the map's precondition local.
inline bool map_name_ok(std::string_view name) { return !name.empty() && name.size() <= http::kMaxHeaderNameLen; }

// A request's transfer codings: every `transfer-encoding` line read as one
// list, in order (RFC 9112 §6.1). Chunked must come last and once, or where
// the body ends depends on who reads it (400). Any other coding is one we
// would have to undo and do not implement (501): the body is never handed
// on still coded.
struct TransferCodings {
  bool present = false;
  bool broken = false;  // chunked twice, or a value that holds no token list
  bool chunked_seen = false, chunked_last = false, other = false;

  void add(std::string_view value) {
    present = true;
    if (!is_visible_ascii(value)) {
      broken = true;
      return;
    }
    for (;;) {
      const size_t comma = value.find(',');
      const std::string_view coding = trim_ows(value.substr(0, comma));
      const bool chunked = ascii_iequals(coding, "chunked");
      broken |= chunked && chunked_seen;
      chunked_seen |= chunked;
      // An empty element adds no coding, but a list may not end in one.
      other |= !chunked && !coding.empty();
      chunked_last = chunked;
      if (comma == std::string_view::npos) return;
      value.remove_prefix(comma + 1);
    }
  }

  // The head error, or nullopt for chunked alone (or no coding at all).
  std::optional<ParseKind> fault() const {
    if (!present) return std::nullopt;
    if (broken || !chunked_last) return ParseKind::TransferEncodingInvalid;
    if (other) return ParseKind::TransferEncodingUnsupported;
    return std::nullopt;
  }
};

// What a request's fields say about its framing, keep-alive and upgrade,
// read one field at a time in head order.
struct RequestFields {
  bool http10 = false;
  bool keep_alive = true;
  bool cl_seen = false, cl_stored = false;
  TransferCodings codings;
  uint64_t content_length = 0;
  std::optional<std::string_view> te;  // the first `te` value
  // RFC 9112 §3.2: an HTTP/1.1 request names its host exactly once, and no
  // request names two; which of two a server and a proxy in front of it
  // would pick is the start of a cache-poisoning or routing attack.
  unsigned hosts = 0;

  // Reads one field (`which` is its classify()) into `out`'s flags. False
  // with `err` for a head error; otherwise `store` says whether the field
  // goes into the header map and `drop_cl` that the content-length stored
  // before must leave it first.
  bool read(Special which, const HeaderField& f, RequestHead& out, bool& store, bool& drop_cl, ParseKind& err) {
    store = true;
    drop_cl = false;
    switch (which) {
      case Special::TransferEncoding:
        if (http10) {
          err = ParseKind::TransferEncodingUnexpected;
          return false;
        }
        codings.add(f.value);
        if (cl_seen) out.framing_conflict = true;
        if (cl_stored) {
          drop_cl = true;
          cl_stored = false;
        }
        break;
      case Special::ContentLength:
        if (codings.present) {
          out.framing_conflict = true;
          store = false;
        } else {
          uint64_t v = 0;
          if (!parse_u64_digits(f.value, v) || (cl_seen && v != content_length)) {
            err = ParseKind::ContentLengthInvalid;
            return false;
          }
          if (v > kMaxContentLength) {
            err = ParseKind::TooLarge;
            return false;
          }
          store = !cl_seen;
          cl_seen = cl_stored = true;
          content_length = v;
        }
        break;
      case Special::Expect:
        out.expect_continue = ascii_iequals(f.value, "100-continue");
        break;
      case Special::Upgrade:
        out.is_upgrade = !http10;
        break;
      case Special::Connection:
        keep_alive = next_keep_alive(keep_alive, f.value);
        break;
      case Special::Te:
        if (!te) te = f.value;
        break;
      case Special::Host:
        if (++hosts > 1) {
          err = ParseKind::HostInvalid;
          return false;
        }
        break;
      case Special::None:
        break;
    }
    return true;
  }
};

bool parse_request_inner(CodecState& st, const CodecConfig& config, RequestHead& out, HeadStatus& status,
                         ParseKind& err) {
  RequestLine rl;
  HeaderSlots slots(0);
  const Scanned sc = scan_head(st, config, config.max_headers, config.ignore_invalid_headers, rl, slots);
  status = sc.status;
  if (sc.status != HeadStatus::Done) {
    err = sc.error;
    return false;
  }
  status = HeadStatus::Error;
  const size_t count = sc.count;

  out.reset();
  out.http10 = rl.http10;
  out.method = standard_method(rl.method);
  if (out.method == Method::Extension) out.method_text.assign(rl.method);
  out.is_upgrade = out.method == Method::Connect;
  RequestFields rf;
  rf.http10 = rl.http10;
  rf.keep_alive = !rl.http10;

  HeaderField* const fields = slots.data();
  bool store = false, drop_cl = false;
  if (count <= http::kMaxHeaderNames) {
    // With no more fields than the map has names, no insertion can be
    // refused, so each field is read and stored in the same step: one walk
    // over the fields, which stay where one copy of the block puts them.
    HeaderMapCore::Fill fill(out.headers, count, sc.block(st.read));
    for (size_t i = 0; i < count; ++i) {
      const HeaderField& f = fields[i];
      if (!map_name_ok(f.name)) {
        err = ParseKind::Internal;
        return false;
      }
      // Most names are none of the special ones: no call for them.
      const Special which = classify(f.name);
      if (which == Special::None) {
        fill.add(f.name, f.value);
        continue;
      }
      if (!rf.read(which, f, out, store, drop_cl, err)) return false;
      if (drop_cl) fill.remove("content-length");
      if (store) fill.add(f.name, f.value);
    }
  } else {
    // Enough fields to fill the map: one at a time, so a full map is
    // reported at the field that overflows it, ahead of later field errors.
    out.headers.reserve(count, field_bytes(slots, count));
    LowerName lower;
    for (size_t i = 0; i < count; ++i) {
      const HeaderField& f = fields[i];
      if (!lower.set(f.name)) {
        err = ParseKind::Internal;
        return false;
      }
      if (!rf.read(classify(f.name), f, out, store, drop_cl, err)) return false;
      if (drop_cl) out.headers.remove("content-length");
      if (store && out.headers.add(lower.view(), f.value) != HeaderMapCore::Result::Ok) {
        err = ParseKind::TooLarge;
        return false;
      }
    }
  }
  if (const std::optional<ParseKind> fault = rf.codings.fault()) {
    err = *fault;
    return false;
  }
  if (rf.hosts == 0 && !rl.http10) {
    err = ParseKind::HostInvalid;
    return false;
  }
  if (rf.codings.present) {
    out.body_kind = BodyKind::Chunked;
  } else if (rf.cl_seen && rf.content_length > 0) {
    out.body_kind = BodyKind::Length;
    out.content_length = rf.content_length;
  } else {
    out.body_kind = BodyKind::Empty;
    out.content_length = 0;
  }
  out.keep_alive = rf.keep_alive;
  out.allow_trailers = rf.te && value_has_token(*rf.te, "trailers");
  out.target.assign(rl.target);

  st.method.kind = out.method;
  st.method.ext = out.method_text;
  st.trailers_allowed = out.allow_trailers;
  st.read.consume(sc.end);
  status = HeadStatus::Done;
  return true;
}

bool is_skipped_informational(uint16_t status) { return status == 100 || (status >= 102 && status <= 199); }

}  // namespace

HeadResult parse_request_head(CodecState& state, const CodecConfig& config, RequestHead& out) {
  HeadStatus status = HeadStatus::Incomplete;
  ParseKind err = ParseKind::Internal;
  if (parse_request_inner(state, config, out, status, err)) return {HeadStatus::Done, err};
  if (status != HeadStatus::Error) return {status, err};
  const std::string_view b = state.read.view();
  if (http::match_preface(b) == http::PrefaceMatch::Complete) err = ParseKind::VersionH2;
  state.parse_error_status = parse_error_status_for(err);
  return {HeadStatus::Error, err};
}

HeadResult parse_response_head(CodecState& st, const CodecConfig& config, ResponseHead& out) {
  for (;;) {
    StatusLine sl;
    HeaderSlots slots(0);
    const Scanned sc = scan_head(st, config, kMaxResponseHeaders, false, sl, slots);
    if (sc.status != HeadStatus::Done) return {sc.status, sc.error};
    const size_t count = sc.count;
    if (is_skipped_informational(sl.status)) {
      st.read.consume(sc.end);
      continue;
    }

    out.reset();
    out.status = sl.status;
    out.http10 = sl.http10;
    bool keep_alive = !sl.http10;
    std::string_view last_te;
    bool has_te = false;
    // At most kMaxResponseHeaders fields: the map cannot refuse them, so
    // each is read and stored in one walk.
    static_assert(kMaxResponseHeaders <= http::kMaxHeaderNames);
    HeaderMapCore::Fill fill(out.headers, count, sc.block(st.read));
    for (size_t i = 0; i < count; ++i) {
      const HeaderField& f = slots[i];
      if (!map_name_ok(f.name)) return {HeadStatus::Error, ParseKind::Internal};
      const Special which = classify(f.name);
      if (which == Special::Connection) {
        keep_alive = next_keep_alive(keep_alive, f.value);
      } else if (which == Special::TransferEncoding) {
        has_te = true;
        last_te = f.value;
      }
      fill.add(f.name, f.value);
    }

    const Method method = st.method.kind;
    if (sl.status == 101) {
      out.is_upgrade = true;
    } else if (sl.status == 204 || sl.status == 304 || method == Method::Head) {
      // No body, whatever the framing headers say.
    } else if (method == Method::Connect && sl.status >= 200 && sl.status <= 299) {
      out.is_upgrade = true;
    } else if (has_te) {
      if (sl.http10) return {HeadStatus::Error, ParseKind::TransferEncodingUnexpected};
      out.body_kind = last_encoding_is_chunked(last_te) ? BodyKind::Chunked : BodyKind::Close;
    } else if (out.headers.contains("content-length")) {
      uint64_t len = 0;
      if (!content_length_list(out.headers, len)) return {HeadStatus::Error, ParseKind::ContentLengthInvalid};
      if (len > kMaxContentLength) return {HeadStatus::Error, ParseKind::TooLarge};
      if (len > 0) out.body_kind = BodyKind::Length;
      out.content_length = len;
    } else {
      out.body_kind = BodyKind::Close;
    }
    if (out.body_kind == BodyKind::Empty) out.content_length = 0;
    out.keep_alive = keep_alive && !out.is_upgrade;
    st.read.consume(sc.end);
    return {HeadStatus::Done, ParseKind::Internal};
  }
}

std::optional<uint16_t> parse_error_status_for(ParseKind kind) {
  switch (kind) {
    case ParseKind::Method:
    case ParseKind::Version:
    case ParseKind::Uri:
    case ParseKind::HeaderToken:
    case ParseKind::ContentLengthInvalid:
    case ParseKind::TransferEncodingInvalid:
    case ParseKind::TransferEncodingUnexpected:
    case ParseKind::HostInvalid:
      return 400;
    case ParseKind::TransferEncodingUnsupported:
      return 501;
    case ParseKind::UriTooLong:
      return 414;
    case ParseKind::TooLarge:
      return 431;
    case ParseKind::VersionH2:
    case ParseKind::Status:
    case ParseKind::Internal:
      break;
  }
  return std::nullopt;
}

std::string_view request_method_name(Method m) {
  switch (m) {
    case Method::Options: return "OPTIONS";
    case Method::Get: return "GET";
    case Method::Post: return "POST";
    case Method::Put: return "PUT";
    case Method::Delete: return "DELETE";
    case Method::Head: return "HEAD";
    case Method::Trace: return "TRACE";
    case Method::Connect: return "CONNECT";
    case Method::Patch: return "PATCH";
    case Method::Query: return "QUERY";
    case Method::None:
    case Method::Extension: break;
  }
  return {};
}

std::string_view body_kind_name(BodyKind k) {
  switch (k) {
    case BodyKind::Empty: return "empty";
    case BodyKind::Length: return "length";
    case BodyKind::Chunked: return "chunked";
    case BodyKind::Close: return "close";
  }
  return "empty";
}

}  // namespace quillon::h1
