// Byte classes and ASCII helpers shared by every part of the protocol core:
// the token and field-value tables, ASCII case folding, hex digits, and the
// one vectorised scan for the end of a value or request-target (with the
// scalar loop that is its reference and its fallback). Header-only: these
// sit on the hot paths of the tokenizer and the header map and must inline
// into their loops. Nothing else in the core keeps a copy of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quillon::http {

// ---- byte classes -----------------------------------------------------------

namespace chars_detail {

// Token byte -> its lower-case form; every other byte -> 0 (never a token).
constexpr std::array<unsigned char, 256> make_token_lower() {
  std::array<unsigned char, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<unsigned char>(c);
  for (int c = 'a'; c <= 'z'; ++c) t[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<unsigned char>(c - 'A' + 'a');
  for (unsigned char c : std::string_view("!#$%&'*+-.^_`|~")) t[c] = c;
  return t;
}

enum : uint8_t {
  kFieldValueByte = 1 << 0,  // HTAB, SP..'~', obs-text (>= 0x80)
  kTargetByte = 1 << 1,      // visible ASCII 0x21..0x7E
};

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    uint8_t k = 0;
    if (c == '\t' || (c >= 0x20 && c != 0x7F)) k |= kFieldValueByte;
    if (c >= 0x21 && c <= 0x7E) k |= kTargetByte;
    t[c] = k;
  }
  return t;
}

}  // namespace chars_detail

// RFC 9110 tchar (ALPHA, DIGIT and "!#$%&'*+-.^_`|~") mapped to its lower-case
// form; 0 for every other byte. One lookup both validates and folds a name.
inline constexpr std::array<unsigned char, 256> kTokenLower = chars_detail::make_token_lower();
inline constexpr std::array<uint8_t, 256> kByteClass = chars_detail::make_classes();

constexpr bool is_token_char(unsigned char c) { return kTokenLower[c] != 0; }
// A non-empty run of token characters: a method, a field name.
inline bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (char ch : s)
    if (!is_token_char(static_cast<unsigned char>(ch))) return false;
  return true;
}
// A byte a field value (or a reason phrase) may hold: HTAB, SP..'~' and
// obs-text; never NUL, CR, LF, another control or DEL.
constexpr bool is_field_value_byte(unsigned char c) { return (kByteClass[c] & chars_detail::kFieldValueByte) != 0; }
// A byte a request-target may hold: visible ASCII.
constexpr bool is_target_byte(unsigned char c) { return (kByteClass[c] & chars_detail::kTargetByte) != 0; }
// SP or HTAB: the whitespace HTTP/1 allows around a field value (and strips),
// and which an HTTP/2 field value may neither start nor end with.
constexpr bool is_ows(char c) { return c == ' ' || c == '\t'; }
inline bool has_edge_ows(std::string_view v) { return !v.empty() && (is_ows(v.front()) || is_ows(v.back())); }

// ---- ASCII case folding ------------------------------------------------------

constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// ASCII case-insensitive equality; other bytes compare exactly.
inline bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

// Lower-cases the ASCII letters of a word of bytes: no byte's sum carries
// into its neighbour, and the top bit of each byte of `w + 0x3F..` says
// byte >= 'A', that of `w + 0x25..` byte > 'Z'. Bytes >= 0x80 are not
// letters only for token bytes (the callers' input), which are all ASCII.
template <class W>
inline W lower_ascii_word(W w) {
  constexpr W k3f = static_cast<W>(0x3F3F3F3F3F3F3F3Full), k25 = static_cast<W>(0x2525252525252525ull),
              k80 = static_cast<W>(0x8080808080808080ull);
  const W upper = (w + k3f) & ~(w + k25) & k80;
  return w | (upper >> 2);
}

#ifdef __SSE2__
namespace chars_detail {
// `x` with its ASCII capitals lower-cased (the same signed-compare range test).
inline __m128i lower_letters(__m128i x) {
  const __m128i upper = _mm_cmplt_epi8(_mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - 'A'))),
                                       _mm_set1_epi8(static_cast<char>(-128 + 26)));
  return _mm_or_si128(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}
}  // namespace chars_detail
#endif

// The ends of a lower-cased name as loaded from memory (the header map's
// scan key is made of them): its first and last eight bytes from eight
// bytes on; its first and last four, zero-extended, from four to seven; and
// below four, the bytes themselves in `first` (zero-filled) with `last` 0.
struct LoweredEnds {
  uint64_t first;
  uint64_t last;
};

// Lower-cases `n` >= 8 token bytes (ASCII) from src to dst and returns the
// lowered first and last eight bytes, so a caller that keys on them reads
// nothing back from dst. Sixteen bytes a step where the target has SSE2,
// else a word; the last step overlaps the one before it.
inline LoweredEnds lower_token_copy_ends(char* dst, const char* src, size_t n) {
  LoweredEnds ends;
#ifdef __SSE2__
  if (n >= 16) {
    __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
    for (size_t i = 16; i + 16 < n; i += 16) {
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), chars_detail::lower_letters(w));
    }
    first = chars_detail::lower_letters(first);
    last = chars_detail::lower_letters(last);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n - 16), last);
    ends.first = static_cast<uint64_t>(_mm_cvtsi128_si64(first));
    ends.last = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(last, last)));
    return ends;
  }
#endif
  std::memcpy(&ends.first, src, 8);
  std::memcpy(&ends.last, src + n - 8, 8);
  ends.first = lower_ascii_word(ends.first);
  ends.last = lower_ascii_word(ends.last);
  for (size_t i = 8; i + 8 < n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    w = lower_ascii_word(w);
    std::memcpy(dst + i, &w, 8);
  }
  std::memcpy(dst, &ends.first, 8);
  std::memcpy(dst + n - 8, &ends.last, 8);
  return ends;
}

// Lower-cases `n` token bytes (ASCII) from src to dst and returns the
// lowered ends (LoweredEnds), made from the very words the copy wrote.
inline LoweredEnds lower_token_copy(char* dst, const char* src, size_t n) {
  if (n >= 8) return lower_token_copy_ends(dst, src, n);
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    a = lower_ascii_word(a);
    b = lower_ascii_word(b);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
    return LoweredEnds{a, b};
  }
  char low[8] = {};
  for (size_t i = 0; i < n; ++i) low[i] = ascii_lower(src[i]);
  std::memcpy(dst, low, n);
  LoweredEnds ends{0, 0};
  std::memcpy(&ends.first, low, 8);
  return ends;
}

// ---- hex digits ----------------------------------------------------------------

// The value of hex digit `c` (0-9, a-f, A-F), or -1.
constexpr int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline constexpr char kHexDigitsLower[] = "0123456789abcdef";
inline constexpr char kHexDigitsUpper[] = "0123456789ABCDEF";

// ---- the vectorised scan ------------------------------------------------------

// Byte classes the scan stops at. FieldValue stops at controls other than
// HTAB and at DEL (the end of a header value or reason phrase, or a byte no
// value may hold); Target stops at anything outside visible ASCII (the end
// of a request-target).
enum class ByteSet : uint8_t { FieldValue, Target };

// First byte of [p, end) in the stop set of `set`, or `end`, one byte at a
// time: the definition find_special must match, and its fallback.
inline const char* find_special_scalar(const char* p, const char* end, ByteSet set) {
  const uint8_t keep = set == ByteSet::FieldValue ? chars_detail::kFieldValueByte : chars_detail::kTargetByte;
  while (p != end && (kByteClass[static_cast<unsigned char>(*p)] & keep) != 0) ++p;
  return p;
}

#ifdef __SSE2__
namespace chars_detail {

// Bit i set when byte i of `x` is in the stop set, except
// that FieldValue also flags HTAB: tabs are rare in values, and stepping
// over one is cheaper than leaving it out of the vector test.
inline unsigned stop_mask_of(__m128i x, ByteSet set) {
  const __m128i del = _mm_set1_epi8(0x7F);
  if (set == ByteSet::FieldValue) {
    const __m128i ctl = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);  // x <= 0x1F
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ctl, _mm_cmpeq_epi8(x, del))));
  }
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x20)), x);  // x <= 0x20
  const __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(x, del), x);                 // x >= 0x7F
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, high)));
}
inline unsigned stop_mask(const char* at, ByteSet set) {
  return stop_mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), set);
}

// Bit i set when byte i of `x` is a letter, a digit or '-': what real header
// names are made of. Each range test is one signed compare: adding 0x80 - lo
// maps [lo, lo + n) onto [-128, -128 + n), and every other byte (0x80 and up
// included) elsewhere, since the addition is a bijection on bytes.
inline unsigned name_plain_mask(__m128i x) {
  const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));
  const __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(folded, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                                        _mm_set1_epi8(static_cast<char>(-128 + 26)));
  const __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                                       _mm_set1_epi8(static_cast<char>(-128 + 10)));
  const __m128i dash = _mm_cmpeq_epi8(x, _mm_set1_epi8('-'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), dash)));
}

}  // namespace chars_detail
#endif

// First byte of [p, end) in the stop set of `set`, or `end`; sixteen bytes a
// step where the target has SSE2. Values and targets are the long runs of a
// head (cookies, tokens, query strings) and nearly all their bytes are
// plain. `lo` (<= p) is where readable memory starts: when [lo, end) holds
// at least sixteen bytes, the last short stretch is read as the sixteen
// bytes ending at `end` (some before p, never before lo) instead of byte by
// byte; every last field of a head ends there.
inline const char* find_special(const char* p, const char* end, ByteSet set, const char* lo) {
#ifdef __SSE2__
  while (end - p >= 16) {
    const unsigned mask = chars_detail::stop_mask(p, set);
    if (mask != 0) {
      const char* hit = p + __builtin_ctz(mask);
      if (set == ByteSet::Target || *hit != '\t') return hit;
      p = hit + 1;
      continue;
    }
    p += 16;
  }
  if (p != end && end - lo >= 16) {
    unsigned mask = chars_detail::stop_mask(end - 16, set) >> (16 - (end - p));  // bit i stands for p[i]
    for (; mask != 0; mask &= mask - 1) {
      const char* hit = p + __builtin_ctz(mask);
      if (set == ByteSet::Target || *hit != '\t') return hit;
    }
    return end;
  }
#else
  (void)lo;
#endif
  return find_special_scalar(p, end, set);
}

inline const char* find_special(const char* p, const char* end, ByteSet set) { return find_special(p, end, set, p); }

// The end of the run of token bytes at p. Names are nearly all letters,
// digits and '-': those are matched sixteen at a time, and the token table
// decides from the first other byte on.
inline const char* skip_token_bytes(const char* p, const char* end) {
#ifdef __SSE2__
  while (end - p >= 16) {
    const unsigned plain =
        chars_detail::name_plain_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (plain != 0xFFFF) {
      p += __builtin_ctz(~plain);
      // The usual stop is the colon; the table decides everything else.
      if (*p == ':') return p;
      break;
    }
    p += 16;
  }
#endif
  while (p != end && is_token_char(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace quillon::http
