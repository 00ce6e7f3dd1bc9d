// HPACK decoding and encoding (RFC 7541) with the HTTP/2 header-list rules
// (RFC 9113 §8.2) applied while decoding.
#include "h2/hpack.hpp"

#include <algorithm>
#include <cstring>

#include "h2/hpack_tables.hpp"

namespace quillon::h2::hpack {

namespace {

// ---------------------------------------------------------------------------
// Integers (§5.1)

// Reads an integer with an `bits`-bit prefix starting at *p.
DecodeError read_int(const uint8_t*& p, const uint8_t* end, int bits, uint64_t& out) {
  const uint64_t mask = (1u << bits) - 1;
  uint64_t v = *p++ & mask;
  if (v < mask) {
    out = v;
    return DecodeError::None;
  }
  int shift = 0;
  for (int i = 0; i < kMaxIntegerContinuations; ++i) {
    if (p == end) return DecodeError::IntegerUnderflow;
    const uint8_t b = *p++;
    v += static_cast<uint64_t>(b & 0x7F) << shift;
    shift += 7;
    if (!(b & 0x80)) {
      out = v;
      return DecodeError::None;
    }
  }
  return DecodeError::IntegerOverflow;
}

// Writes `v` with an `bits`-bit prefix, OR-ing `first` into the first octet.
inline char* write_int(char* w, uint8_t first, int bits, uint64_t v) {
  const uint64_t mask = (1u << bits) - 1;
  if (v < mask) {
    *w++ = static_cast<char>(first | v);
    return w;
  }
  *w++ = static_cast<char>(first | mask);
  v -= mask;
  while (v >= 0x80) {
    *w++ = static_cast<char>(0x80 | (v & 0x7F));
    v >>= 7;
  }
  *w++ = static_cast<char>(v);
  return w;
}

inline size_t int_len(int bits, uint64_t v) {
  const uint64_t mask = (1u << bits) - 1;
  if (v < mask) return 1;
  size_t n = 2;
  for (v -= mask; v >= 0x80; v >>= 7) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Field validation

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t n;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n) return false;
    for (size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += n + 1;
  }
  return true;
}

bool pseudo_of(std::string_view name, Pseudo& out) {
  switch (name.size()) {
    case 5:
      if (name == ":path") return out = Pseudo::Path, true;
      break;
    case 7:
      if (name == ":method") return out = Pseudo::Method, true;
      if (name == ":scheme") return out = Pseudo::Scheme, true;
      if (name == ":status") return out = Pseudo::Status, true;
      break;
    case 9:
      if (name == ":protocol") return out = Pseudo::Protocol, true;
      break;
    case 10:
      if (name == ":authority") return out = Pseudo::Authority, true;
      break;
    default:
      break;
  }
  return false;
}

// Fields whose values the encoder never puts in a table: credentials and
// values unique per message, which would only evict useful entries (and,
// for credentials, expose them to compression side channels).
bool never_index(std::string_view name, std::string_view value) {
  switch (name.size()) {
    case 3:
      return name == "age";
    case 4:
      return name == "etag";
    case 5:
      return name == ":path" && value != "/" && value != "/index.html";
    case 6:
      return name == "cookie";
    case 8:
      return name == "location";
    case 10:
      return name == "set-cookie";
    case 13:
      return name == "authorization" || name == "if-none-match";
    case 14:
      return name == "content-length";
    case 17:
      return name == "if-modified-since";
    default:
      return false;
  }
}

}  // namespace

const char* decode_error_name(DecodeError e) {
  switch (e) {
    case DecodeError::None:
      return "None";
    case DecodeError::UnexpectedEndOfStream:
      return "NeedMore(UnexpectedEndOfStream)";
    case DecodeError::IntegerUnderflow:
      return "NeedMore(IntegerUnderflow)";
    case DecodeError::StringUnderflow:
      return "NeedMore(StringUnderflow)";
    case DecodeError::InvalidRepresentation:
      return "InvalidRepresentation";
    case DecodeError::InvalidIntegerPrefix:
      return "InvalidIntegerPrefix";
    case DecodeError::InvalidTableIndex:
      return "InvalidTableIndex";
    case DecodeError::InvalidHuffmanCode:
      return "InvalidHuffmanCode";
    case DecodeError::InvalidUtf8:
      return "InvalidUtf8";
    case DecodeError::InvalidStatusCode:
      return "InvalidStatusCode";
    case DecodeError::InvalidPseudoheader:
      return "InvalidPseudoheader";
    case DecodeError::InvalidMaxDynamicSize:
      return "InvalidMaxDynamicSize";
    case DecodeError::IntegerOverflow:
      return "IntegerOverflow";
    case DecodeError::HeaderListWayTooLarge:
      return "HeaderListWayTooLarge";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Huffman (§5.2, Appendix B)

namespace {

// Two-symbol steps: indexed by the next kMultiBits bits of the input, an
// entry holds the one or two whole codes those bits begin with (first
// symbol in bits 0..7, second in 8..15, their count in 16..17, the bits
// they use in 20..23), or 0 when the first code is longer. Codes of at
// most kMultiBits bits cover nearly every octet of real header text.
constexpr unsigned kMultiBits = 12;

struct MultiTable {
  uint32_t e[1u << kMultiBits] = {};
  MultiTable() {
    for (unsigned a = 0; a < 256; ++a) {
      const unsigned la = kHuffmanCodes[a].bits;
      if (la > kMultiBits) continue;
      const uint32_t base = kHuffmanCodes[a].code << (kMultiBits - la);
      const uint32_t one = a | (1u << 16) | (la << 20);
      for (uint32_t i = 0; i < (1u << (kMultiBits - la)); ++i) e[base + i] = one;
      for (unsigned b = 0; b < 256; ++b) {
        const unsigned lb = kHuffmanCodes[b].bits;
        if (la + lb > kMultiBits) continue;
        const uint32_t base2 = base | (kHuffmanCodes[b].code << (kMultiBits - la - lb));
        const uint32_t two = a | (b << 8) | (2u << 16) | ((la + lb) << 20);
        for (uint32_t i = 0; i < (1u << (kMultiBits - la - lb)); ++i) e[base2 + i] = two;
      }
    }
  }
};

const MultiTable kMulti;

// One step of the octet-wide decoder: the entry `e` for the top eight bits
// of `acc` in `table` either ends a code (its symbol is written and the
// next lookup starts at the root) or names the table for the next eight
// bits. False when the code is EOS, which a string may not contain.
inline bool huffman_step(uint16_t e, uint64_t& acc, unsigned& bits, const uint16_t*& table, char*& w) {
  if (e & kHuffSymbol) {
    if ((e & 0x1FF) == 256) return false;
    const unsigned used = (e >> 9) & 0xF;
    *w++ = static_cast<char>(e);
    acc <<= used;
    bits -= used;
    table = kHuffmanDecode[0];
  } else {
    acc <<= 8;
    bits -= 8;
    table = kHuffmanDecode[e];
  }
  return true;
}

}  // namespace

char* huffman_decode_to(std::string_view in, char* w) {
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const auto* const end = p + in.size();
  // Input bits, most significant first: the next `bits` bits of the string
  // are the top bits of `acc`.
  uint64_t acc = 0;
  unsigned bits = 0;
  const uint16_t* table = kHuffmanDecode[0];
  // Refill, eight octets at a time while that many are left and octet by
  // octet after, then decode while a whole lookup's bits are present. Short
  // strings (most values) are all tail: they take the two-symbol steps too.
  for (;;) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      acc |= __builtin_bswap64(word) >> bits;
      p += (63 - bits) >> 3;
      bits |= 56;
    } else {
      while (bits <= 56 && p < end) {
        acc |= uint64_t{*p++} << (56 - bits);
        bits += 8;
      }
      if (bits < 8) break;
    }
    // At a code boundary, whole short codes two at a time. The output has
    // room for two octets per input octet and codes take five bits or more,
    // so both octets are always written (past a lone symbol the second is
    // overwritten by the next, or lies past the end returned).
    if (table == kHuffmanDecode[0]) {
      while (bits >= kMultiBits) {
        const uint32_t e = kMulti.e[acc >> (64 - kMultiBits)];
        if (e == 0) break;
        w[0] = static_cast<char>(e);
        w[1] = static_cast<char>(e >> 8);
        w += (e >> 16) & 3;
        const unsigned used = e >> 20;
        acc <<= used;
        bits -= used;
      }
    }
    while (bits >= 8) {
      if (!huffman_step(table[acc >> 56], acc, bits, table, w)) return nullptr;
    }
  }
  // Fewer than eight bits left: the codes that still fit, then padding.
  while (bits > 0) {
    const uint16_t e = table[(acc >> 56) | (0xFFu >> bits)];
    if (!(e & kHuffSymbol) || ((e >> 9) & 0xF) > bits) break;
    if ((e & 0x1FF) == 256) return nullptr;
    *w++ = static_cast<char>(e & 0x1FF);
    acc <<= (e >> 9) & 0xF;
    bits -= (e >> 9) & 0xF;
    table = kHuffmanDecode[0];
  }
  // Padding: at most seven bits, all ones, and no code begun before them.
  if (table != kHuffmanDecode[0] || (bits > 0 && (acc >> (64 - bits)) != (uint64_t{1} << bits) - 1)) return nullptr;
  return w;
}

bool huffman_decode(std::string_view in, std::string& out) {
  const size_t start = out.size();
  out.resize(start + in.size() * 2);
  char* end = huffman_decode_to(in, out.data() + start);
  if (!end) {
    out.resize(start);
    return false;
  }
  out.resize(static_cast<size_t>(end - out.data()));
  return true;
}

namespace {

// Huffman-codes `in` at `w` (room for in.size() * 4 octets); returns the end.
char* huffman_write(std::string_view in, char* w) {
  // The low `n` bits of `acc` are pending output. Codes are at most 30
  // bits, so fewer than 32 pending plus one code always fit, and whole
  // 32-bit words go out at once.
  uint64_t acc = 0;
  unsigned n = 0;
  for (unsigned char c : in) {
    const HuffmanCode& h = kHuffmanCodes[c];
    acc = (acc << h.bits) | h.code;
    n += h.bits;
    if (n >= 32) {
      n -= 32;
      const uint32_t word = __builtin_bswap32(static_cast<uint32_t>(acc >> n));
      std::memcpy(w, &word, 4);
      w += 4;
    }
  }
  while (n >= 8) {
    n -= 8;
    *w++ = static_cast<char>(acc >> n);
  }
  if (n > 0) *w++ = static_cast<char>((acc << (8 - n)) | (0xFFu >> n));
  return w;
}

}  // namespace

void huffman_encode(std::string_view in, std::string& out) {
  const size_t start = out.size();
  out.resize(start + in.size() * 4 + 1);
  char* end = huffman_write(in, out.data() + start);
  out.resize(static_cast<size_t>(end - out.data()));
}

// ---------------------------------------------------------------------------
// Decoder

void Decoder::queue_size_update(uint32_t size) {
  pending_permitted_ = pending_permitted_ ? std::max<uint64_t>(*pending_permitted_, size) : size;
}

bool Decoder::lookup(uint64_t index, std::string_view& name, std::string_view& value) const {
  if (index == 0) return false;
  if (index <= kStaticTableSize) {
    name = kStaticTable[index - 1].name;
    value = kStaticTable[index - 1].value;
    return true;
  }
  index -= kStaticTableSize + 1;
  if (index >= count_) return false;
  const Rec& r = ring_[(first_ + count_ - 1 - index) & (ring_.size() - 1)];
  const char* at = arena_.data() + (r.off - base_);
  name = std::string_view(at, r.name_len);
  value = std::string_view(at + r.name_len, r.value_len);
  return true;
}

void Decoder::evict_to(size_t max) {
  while (size_ > max) {
    const Rec& r = ring_[first_];
    size_ -= r.name_len + r.value_len + kEntryOverhead;
    first_ = (first_ + 1) & (ring_.size() - 1);
    --count_;
  }
  if (count_ == 0) {
    arena_.clear();
    base_ = 0;
  }
}

void Decoder::insert(std::string_view name, std::string_view value) {
  const size_t size = name.size() + value.size() + kEntryOverhead;
  if (size > max_) {
    // §4.4: an entry larger than the table empties it and is not added.
    evict_to(0);
    return;
  }
  // A name taken from the table may be about to be evicted or moved.
  if (!arena_.empty() && name.data() >= arena_.data() && name.data() < arena_.data() + arena_.size()) {
    name_copy_.assign(name);
    name = name_copy_;
  }
  evict_to(max_ - size);
  if (count_ > 0) {
    const size_t dead = static_cast<size_t>(ring_[first_].off - base_);
    if (dead >= arena_.size() - dead) {
      arena_.erase(0, dead);
      base_ += dead;
    }
  }
  if (count_ == ring_.size()) {
    // Re-laid out oldest first in a ring twice the size.
    std::vector<Rec> bigger(std::max<size_t>(16, ring_.size() * 2));
    for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(first_ + i) & (ring_.size() - 1)];
    ring_.swap(bigger);
    first_ = 0;
  }
  ring_[(first_ + count_) & (ring_.size() - 1)] =
      Rec{base_ + arena_.size(), static_cast<uint32_t>(name.size()), static_cast<uint32_t>(value.size())};
  arena_.append(name).append(value);
  ++count_;
  size_ += size;
}

DecodeError Decoder::read_string(const uint8_t*& p, const uint8_t* end, std::string& scratch,
                                 std::string_view& out) {
  if (p == end) return DecodeError::UnexpectedEndOfStream;
  const bool huffman = *p & 0x80;
  uint64_t len;
  if (DecodeError e = read_int(p, end, 7, len); e != DecodeError::None) return e;
  if (len > static_cast<uint64_t>(end - p)) return DecodeError::StringUnderflow;
  const std::string_view raw(reinterpret_cast<const char*>(p), len);
  p += len;
  if (!huffman) {
    out = raw;
    return DecodeError::None;
  }
  // Grown, never shrunk: no clearing or zero-filling per string.
  if (scratch.size() < raw.size() * 2) scratch.resize(raw.size() * 2);
  const char* w = huffman_decode_to(raw, scratch.data());
  if (!w) return DecodeError::InvalidHuffmanCode;
  out = std::string_view(scratch.data(), static_cast<size_t>(w - scratch.data()));
  return DecodeError::None;
}

DecodeError Decoder::emit(std::string_view name, std::string_view value, bool name_known, bool value_known,
                          uint64_t max_list_size, HeaderBlock& b) {
  const uint64_t size = name.size() + value.size() + kEntryOverhead;
  // RFC 9113 §8.2.1: a value may not start or end with whitespace. That
  // makes the message malformed, not the block undecodable, and such a value
  // may sit in the table, so it is checked whatever the value's source.
  bool keep = !http::has_edge_ows(value);
  if (!keep) b.malformed = true;
  Pseudo which = Pseudo::Count;
  if (!name.empty() && name[0] == ':') {
    if (!pseudo_of(name, which)) return DecodeError::InvalidPseudoheader;
    if (value_known) {
      // From a table: checked when it went in.
    } else if (which == Pseudo::Status) {
      if (value.size() != 3 || value[0] < '1' || value[0] > '9' || value[1] < '0' || value[1] > '9' ||
          value[2] < '0' || value[2] > '9')
        return DecodeError::InvalidStatusCode;
    } else if (which == Pseudo::Method) {
      if (!http::is_token(value)) return DecodeError::InvalidUtf8;
    } else if (!valid_utf8(value)) {
      return DecodeError::InvalidUtf8;
    }
    if (b.regular_seen || b.has(which)) {
      b.malformed = true;
      keep = false;
    }
  } else {
    if ((!name_known && !http::is_lower_header_name(name)) || (!value_known && !http::is_valid_header_value(value)))
      return DecodeError::InvalidUtf8;
    if (connection_specific(name, value)) {
      b.malformed = true;
      keep = false;
    } else {
      b.regular_seen = true;
    }
  }
  b.list_size += size;
  if (b.list_size > kAbuseFactor * max_list_size) return DecodeError::HeaderListWayTooLarge;
  if (!keep) return DecodeError::None;
  if (b.list_size >= max_list_size || b.over_size) {
    b.over_size = true;
    return DecodeError::None;
  }
  if (which != Pseudo::Count) {
    b.pseudo[static_cast<int>(which)].assign(value);
    b.pseudo_set |= static_cast<uint8_t>(1u << static_cast<int>(which));
  } else {
    // Room for the block's regular fields at the first of them, so the map
    // does not regrow field by field (and a block of pseudo-header fields
    // alone allocates nothing).
    if (b.fields.empty()) b.fields.reserve(fill_hint_, 0);
    if (b.fields.add(name, value) == http::HeaderMapCore::Result::Full) b.over_size = true;
  }
  return DecodeError::None;
}
DecodeError Decoder::decode(std::string_view block, size_t& consumed, uint64_t max_list_size, HeaderBlock& b) {
  const DecodeError e = decode_fragment(block, consumed, max_list_size, b);
  if (name_buf_.size() > kScratchKeep) std::string().swap(name_buf_);
  if (value_buf_.size() > kScratchKeep) std::string().swap(value_buf_);
  return e;
}

DecodeError Decoder::decode_fragment(std::string_view block, size_t& consumed, uint64_t max_list_size,
                                     HeaderBlock& b) {
  if (pending_permitted_) {
    permitted_ = *pending_permitted_;
    pending_permitted_.reset();
  }
  const auto* const begin = reinterpret_cast<const uint8_t*>(block.data());
  const auto* const end = begin + block.size();
  const uint8_t* p = begin;
  bool field_seen = false;
  consumed = 0;
  // A representation takes at least one octet and most take two or more;
  // the hint stays under the map's linear-scan size.
  fill_hint_ = std::min<size_t>(block.size() / 2 + 2, 24);
  while (p < end) {
    const uint8_t c = *p;
    DecodeError e = DecodeError::None;
    std::string_view name, value;
    if (c & 0x80) {
      // Indexed field (§6.1).
      uint64_t index;
      if ((e = read_int(p, end, 7, index)) != DecodeError::None) return e;
      if (!lookup(index, name, value)) return DecodeError::InvalidTableIndex;
      if ((e = emit(name, value, true, true, max_list_size, b)) != DecodeError::None) return e;
      field_seen = true;
    } else if ((c & 0xE0) == 0x20) {
      // Dynamic table size update (§6.3): only ahead of the block's fields.
      if (field_seen) return DecodeError::InvalidMaxDynamicSize;
      uint64_t size;
      if ((e = read_int(p, end, 5, size)) != DecodeError::None) return e;
      if (size > permitted_) return DecodeError::InvalidMaxDynamicSize;
      max_ = static_cast<size_t>(size);
      evict_to(max_);
    } else {
      // Literals (§6.2): with incremental indexing (6-bit index), without
      // indexing or never indexed (4-bit).
      const bool indexing = c & 0x40;
      uint64_t index;
      if ((e = read_int(p, end, indexing ? 6 : 4, index)) != DecodeError::None) return e;
      if (index == 0) {
        if ((e = read_string(p, end, name_buf_, name)) != DecodeError::None) return e;
      } else {
        std::string_view unused;
        if (!lookup(index, name, unused)) return DecodeError::InvalidTableIndex;
      }
      if ((e = read_string(p, end, value_buf_, value)) != DecodeError::None) return e;
      if ((e = emit(name, value, index != 0, false, max_list_size, b)) != DecodeError::None) return e;
      if (indexing) insert(name, value);
      field_seen = true;
    }
    consumed = static_cast<size_t>(p - begin);
  }
  return DecodeError::None;
}

// ---------------------------------------------------------------------------
// Encoder

Encoder::Encoder() = default;

void Encoder::evict_one() {
  Slot& s = table_->slots[(next_seq_ - count_) % kSlots];
  size_ -= s.name.size() + s.value.size() + kEntryOverhead;
  --count_;
  // Chains run newest to oldest and stop below the oldest live entry, so
  // nothing else needs unlinking.
}

void Encoder::resize(size_t max) {
  max_ = max;
  while (size_ > max_) evict_one();
}

void Encoder::request_size_update(uint64_t requested) {
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(requested, kSendTableCap));
  switch (pending_.kind) {
    case Pending::Kind::None:
      if (n != max_) pending_ = {Pending::Kind::One, n, 0};
      break;
    case Pending::Kind::One:
      if (pending_.a < n && pending_.a <= max_)
        pending_ = {Pending::Kind::Two, pending_.a, n};
      else
        pending_ = {Pending::Kind::One, n, 0};
      break;
    case Pending::Kind::Two:
      if (n >= pending_.a)
        pending_.b = n;
      else
        pending_ = {Pending::Kind::One, n, 0};
      break;
  }
}

namespace {

// The most one field can take: a literal with both strings, each with its
// length octets and four code octets per input octet (codes are at most 30
// bits), after a name index of up to six octets.
constexpr size_t kFieldOverhead = 18;
inline size_t field_room(size_t name_len, size_t value_len) { return kFieldOverhead + 4 * (name_len + value_len); }
// The scratch a block starts with: most heads fit in it.
constexpr size_t kScratchStart = 2048;

// Table hashes: eight octets a step, every octet reaching the bucket bits.
inline uint64_t hash_text(std::string_view s, uint64_t seed) {
  const char* p = s.data();
  const size_t n = s.size();
  uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ull);
  auto mix = [&h](uint64_t w) {
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  };
  if (n >= 8) {
    // The last word overlaps the one before it.
    for (size_t i = 0;; i += 8) {
      if (i + 8 > n) i = n - 8;
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      mix(w);
      if (i + 8 == n) break;
    }
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    mix(a | (uint64_t{b} << 32));
  } else {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i) w |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    mix(w);
  }
  return h * 0x9E3779B97F4A7C15ull;
}

}  // namespace

void Encoder::encode(const Field* pseudo, size_t pseudo_count, const http::HeaderMapCore* fields,
                     const Field* extra, size_t extra_count, std::string& out) {
  if (!scratch_) {
    scratch_cap_ = kScratchStart;
    scratch_ = std::make_unique_for_overwrite<char[]>(scratch_cap_);
  }
  char* w = scratch_.get();
  // Room for the field about to be written, the buffer growing (rarely)
  // when the worst case might not fit.
  auto one = [&](std::string_view n, std::string_view v) {
    const size_t used = static_cast<size_t>(w - scratch_.get());
    const size_t room = field_room(n.size(), v.size());
    if (scratch_cap_ - used < room) {
      const size_t cap = std::max(scratch_cap_ * 2, used + room);
      auto bigger = std::make_unique_for_overwrite<char[]>(cap);
      std::memcpy(bigger.get(), scratch_.get(), used);
      scratch_ = std::move(bigger);
      scratch_cap_ = cap;
      w = scratch_.get() + used;
    }
    w = field(w, n, v);
  };
  if (pending_.kind != Pending::Kind::None) {
    // Two size updates fit in any scratch.
    w = write_int(w, 0x20, 5, pending_.a);
    resize(pending_.a);
    if (pending_.kind == Pending::Kind::Two) {
      w = write_int(w, 0x20, 5, pending_.b);
      resize(pending_.b);
    }
    pending_ = {};
  }
  for (size_t i = 0; i < pseudo_count; ++i) one(pseudo[i].name, pseudo[i].value);
  if (fields) fields->for_each(one);
  for (size_t i = 0; i < extra_count; ++i) one(extra[i].name, extra[i].value);
  out.append(scratch_.get(), static_cast<size_t>(w - scratch_.get()));
  if (scratch_cap_ > kScratchKeep) {
    scratch_.reset();
    scratch_cap_ = 0;
  }
}

namespace {

// Writes a string literal, Huffman-coded unless empty (§5.2). The coded
// length is unknown until coded: a one-octet length goes first and the code
// is moved along when the length needs more octets.
char* write_string(char* w, std::string_view s) {
  if (s.empty()) {
    *w++ = 0;
    return w;
  }
  char* len_at = w++;
  char* end = huffman_write(s, w);
  const size_t n = static_cast<size_t>(end - w);
  const size_t extra = int_len(7, n) - 1;
  if (extra) std::memmove(w + extra, w, n);
  write_int(len_at, 0x80, 7, n);
  return end + extra;
}

}  // namespace

char* Encoder::field(char* w, std::string_view name, std::string_view value) {
  const int static_name = static_name_index(name);
  const size_t entry_size = name.size() + value.size() + kEntryOverhead;

  auto literal = [&](uint8_t first, int bits, uint64_t name_index) {
    w = write_int(w, first, bits, name_index);
    if (name_index == 0) w = write_string(w, name);
    w = write_string(w, value);
  };

  if (never_index(name, value)) {
    literal(0x00, 4, static_cast<uint64_t>(static_name));
    return w;
  }
  if (static_name) {
    for (size_t i = static_cast<size_t>(static_name); i <= kStaticTableSize && kStaticTable[i - 1].name == name; ++i) {
      const std::string_view sv = kStaticTable[i - 1].value;
      if (!sv.empty() && sv == value) return write_int(w, 0x80, 7, i);
    }
  }
  if (entry_size * 4 > max_ * 3) {
    // Would take most of the table: evicting everything else for one
    // field costs more than it saves.
    literal(0x00, 4, static_cast<uint64_t>(static_name));
    return w;
  }
  // Search the dynamic table: the pair chain for the whole field, else the
  // name chain for the newest entry of the name.
  const uint64_t name_hash = hash_text(name, 0);
  const uint64_t pair_hash = hash_text(value, name_hash);
  const size_t name_bucket = name_hash >> (64 - kBucketBits);
  const size_t pair_bucket = pair_hash >> (64 - kBucketBits);
  const uint64_t oldest = next_seq_ - count_;
  if (table_) {
    for (uint64_t link = table_->pair_heads[pair_bucket]; link && link - 1 >= oldest;) {
      const Slot& s = table_->slots[(link - 1) % kSlots];
      if (s.pair_hash == pair_hash && s.name == name && s.value == value)
        return write_int(w, 0x80, 7, kStaticTableSize + 1 + (next_seq_ - link));
      link = s.pair_chain;
    }
  }
  uint64_t name_index = static_cast<uint64_t>(static_name);
  if (!name_index && table_) {
    for (uint64_t link = table_->name_heads[name_bucket]; link && link - 1 >= oldest;) {
      const Slot& s = table_->slots[(link - 1) % kSlots];
      if (s.name_hash == name_hash && s.name == name) {
        name_index = kStaticTableSize + 1 + (next_seq_ - link);
        break;
      }
      link = s.name_chain;
    }
  }
  literal(0x40, 6, name_index);
  // Insert (§4.4); the entry fits, so evicting makes room for it.
  while (size_ + entry_size > max_) evict_one();
  if (!table_) table_ = std::make_unique<Table>();
  Slot& s = table_->slots[next_seq_ % kSlots];
  s.name.assign(name);
  s.value.assign(value);
  s.name_chain = table_->name_heads[name_bucket];
  s.pair_chain = table_->pair_heads[pair_bucket];
  s.name_hash = name_hash;
  s.pair_hash = pair_hash;
  ++next_seq_;
  table_->name_heads[name_bucket] = next_seq_;
  table_->pair_heads[pair_bucket] = next_seq_;
  ++count_;
  size_ += entry_size;
  return w;
}

}  // namespace quillon::h2::hpack
