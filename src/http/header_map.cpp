// HeaderMapCore: names and values in one arena, a dense entry array in map
// order, further values in a second array linked per name, and (past a few
// names) an open-addressed index keyed by SipHash so that a peer choosing
// header names cannot make lookups collide.
#include "http/header_map.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/random.h>
#include <unistd.h>

namespace quillon::http {
namespace {

// Up to this many names a lookup is a scan comparing fingerprints, then
// lengths and bytes: for heads of typical size (browsers send 10 to 25
// fields) that is cheaper than hashing the name, and it keeps small maps
// free of index memory. The scan is bounded by this constant whatever a
// peer sends; past it the keyed index takes over.
constexpr size_t kLinearScanMax = 32;
// Size of the index when it is first built; always a power of two.
constexpr size_t kMinIndexSlots = 32;
constexpr uint16_t kEmptySlot = 0xFFFF;
static_assert(kMaxHeaderNames < kEmptySlot, "entry positions must fit below the empty marker");
static_assert((kMaxIndexSlots & (kMaxIndexSlots - 1)) == 0, "slot counts are powers of two");
// Further values are linked by uint32 positions with 0xFFFFFFFF as the end
// marker, and a name's value count is a uint32: refuse a value past that
// rather than wrap (unreachable in practice: it is tens of GiB of records).
constexpr size_t kMaxExtraValues = 0xFFFFFFFEu;
// Removal and `set` leave the old bytes in the arena. Once dead bytes are
// more than half of an arena larger than this, the live bytes are copied
// into a fresh one, so churn on a long-lived map never grows it beyond about
// twice its content; below this size a copy is not worth making.
constexpr size_t kCompactMinArena = 4096;
// First arena allocation of a map filled without reserve(): a typical small
// head fits, so it does not regrow through 16, 32, 64 ... bytes.
constexpr size_t kMinArenaBytes = 256;
// clear() keeps buffers for reuse, but not ones a past burst made large.
constexpr size_t kRetainOnClearBytes = 64 * 1024;

// ---- SipHash ----------------------------------------------------------------

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

inline uint64_t load_le32(const unsigned char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  return w;
}

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

template <int C, int D>
inline uint64_t siphash_impl(uint64_t k0, uint64_t k1, const unsigned char* p, size_t n) {
  SipState s{0x736f6d6570736575ULL ^ k0, 0x646f72616e646f6dULL ^ k1, 0x6c7967656e657261ULL ^ k0,
             0x7465646279746573ULL ^ k1};
  const size_t whole = n & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = load_le64(p + i);
    s.v3 ^= m;
    for (int r = 0; r < C; ++r) s.round();
    s.v0 ^= m;
  }
  // The last 0..7 bytes, little-endian, under the length byte. Read with
  // (overlapping) whole loads rather than a byte loop: header names are
  // short and this tail is a good part of hashing one.
  uint64_t b = static_cast<uint64_t>(n) << 56;
  const size_t rem = n & 7;
  if (rem != 0) {
    const unsigned char* t = p + whole;
    if (n >= 8) {
      b |= load_le64(p + n - 8) >> (64 - 8 * rem);
    } else if (rem >= 4) {
      b |= load_le32(t) | (static_cast<uint64_t>(load_le32(t + rem - 4)) << (8 * (rem - 4)));  // overlap ORs equal bytes
    } else {
      b |= t[0] | (static_cast<uint64_t>(t[rem / 2]) << (8 * (rem / 2))) |
           (static_cast<uint64_t>(t[rem - 1]) << (8 * (rem - 1)));
    }
  }
  s.v3 ^= b;
  for (int r = 0; r < C; ++r) s.round();
  s.v0 ^= b;
  s.v2 ^= 0xff;
  for (int r = 0; r < D; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

struct SipKey {
  uint64_t k0, k1;
};

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Calls `read(p, n)` (read(2)-shaped: bytes read, or -1 with errno) until
// `n` bytes have arrived, retrying on EINTR. False on any other end.
template <class Read>
bool read_fully(unsigned char* out, size_t n, Read read) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(out + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (!(r < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

bool read_urandom(unsigned char* out, size_t n) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = read_fully(out, n, [fd](unsigned char* p, size_t k) { return ::read(fd, p, k); });
  ::close(fd);
  return ok;
}

// The per-process index key. The kernel's generator is asked without
// blocking; if it cannot answer (very early boot, seccomp, old kernel) the
// key is still unpredictable enough to a remote peer: clocks, pid and ASLR.
SipKey make_process_key() {
  unsigned char buf[16];
  auto from_kernel = [](unsigned char* p, size_t k) { return ::getrandom(p, k, GRND_NONBLOCK); };
  if (read_fully(buf, sizeof buf, from_kernel) || read_urandom(buf, sizeof buf)) {
    return SipKey{load_le64(buf), load_le64(buf + 8)};
  }
  timespec rt{}, mono{};
  ::clock_gettime(CLOCK_REALTIME, &rt);
  ::clock_gettime(CLOCK_MONOTONIC, &mono);
  uint64_t seed = static_cast<uint64_t>(rt.tv_sec) * 1000000007ULL ^ static_cast<uint64_t>(rt.tv_nsec);
  seed ^= (static_cast<uint64_t>(mono.tv_nsec) << 32) ^ static_cast<uint64_t>(mono.tv_sec);
  seed ^= static_cast<uint64_t>(::getpid()) << 16;
  seed ^= reinterpret_cast<uintptr_t>(&seed) ^ reinterpret_cast<uintptr_t>(&make_process_key);
  uint64_t k0 = splitmix64(seed);
  uint64_t k1 = splitmix64(seed);
  return SipKey{k0, k1};
}

const SipKey& process_key() {
  static const SipKey key = make_process_key();
  return key;
}

// Linear-scan mode keeps this in Entry::hash instead of a SipHash: a few
// loads instead of a hash. For a name under 8 bytes it is exact: its bytes
// little-endian in the low 56 bits and its length in the top byte, so equal
// fingerprints mean equal names. A longer name mixes both ends (names that
// share a prefix, "sec-fetch-..." or "accept-...", still rarely reach the
// memcmp) and always has the top bit set, so no long name, however chosen,
// can pass for a short one without the byte comparison.
inline uint64_t fingerprint(std::string_view name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  const size_t n = name.size();
  if (n >= 8) return (load_le64(p) ^ std::rotl(load_le64(p + n - 8), 23) ^ n) | (uint64_t{1} << 63);
  uint64_t w = 0;
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      a = __builtin_bswap32(a);
      b = __builtin_bswap32(b);
    }
    w = a | (static_cast<uint64_t>(b) << (8 * (n - 4)));  // the overlap ORs equal bytes
  } else if (n > 0) {
    w = p[0] | (static_cast<uint64_t>(p[n / 2]) << (8 * (n / 2))) | (static_cast<uint64_t>(p[n - 1]) << (8 * (n - 1)));
  }
  return w | (static_cast<uint64_t>(n) << 56);
}
// Fingerprints of names shorter than this decide equality on their own.
constexpr size_t kExactFingerprintLen = 8;

// Smallest slot count (a power of two, capped) whose 3/4 load admits `names`.
size_t slots_for(size_t names) {
  size_t s = kMinIndexSlots;
  while (s < kMaxIndexSlots && s / 4 * 3 < names) s <<= 1;
  return s;
}

template <class V>
void release_if_large(V& v) {
  if (v.capacity() * sizeof(typename V::value_type) > kRetainOnClearBytes) V().swap(v);
  else v.clear();
}

}  // namespace

template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, std::string_view data) {
  return siphash_impl<C, D>(k0, k1, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}
template uint64_t siphash<1, 3>(uint64_t, uint64_t, std::string_view);
template uint64_t siphash<2, 4>(uint64_t, uint64_t, std::string_view);

// ---- validation helpers ------------------------------------------------------

// Every byte HTAB, SP..'~' or >= 0x80: the value scan finds no stop byte.
bool is_valid_header_value(std::string_view value) {
  const char* end = value.data() + value.size();
  return find_special(value.data(), end, ByteSet::FieldValue) == end;
}

// 1..kMaxHeaderNameLen token bytes; writes the lower-case form to `out`
// (name.size() bytes, possibly partly written when the result is false).
namespace {

// Table path for one stretch of a name: lower-cases into `out`, false when
// any byte is not a token character.
bool normalize_table(const unsigned char* p, size_t n, char* out) {
  // No early exit: names are nearly always valid, and a loop without a
  // data-dependent branch is the fast one for them.
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = kTokenLower[p[i]];
    out[i] = static_cast<char>(c);
    ok &= (c != 0);
  }
  return ok;
}

#ifdef __SSE2__
// Sixteen bytes at a time for the bytes real names are made of (letters,
// digits, '-'); a block holding anything else takes the table path, which
// decides validity for the full token set.
bool normalize_block(const unsigned char* p, size_t n, char* out) {
  alignas(16) unsigned char buf[16];
  __m128i x;
  if (n == 16) {
    x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  } else {
    std::memset(buf, 'a', sizeof(buf));
    std::memcpy(buf, p, n);
    x = _mm_load_si128(reinterpret_cast<const __m128i*>(buf));
  }
  if (chars_detail::name_plain_mask(x) != 0xFFFF) return normalize_table(p, n, out);
  const __m128i lower = chars_detail::lower_letters(x);
  if (n == 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lower);
  } else {
    _mm_store_si128(reinterpret_cast<__m128i*>(buf), lower);
    std::memcpy(out, buf, n);
  }
  return true;
}
#endif

}  // namespace

bool normalize_header_name(std::string_view name, char* out) {
  const size_t n = name.size();
  if (n == 0 || n > kMaxHeaderNameLen) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
#ifdef __SSE2__
  bool ok = true;
  for (size_t i = 0; i < n; i += 16) ok &= normalize_block(p + i, std::min<size_t>(16, n - i), out + i);
  return ok;
#else
  return normalize_table(p, n, out);
#endif
}

// A valid name whose every byte is already its own lower-case form.
bool is_lower_header_name(std::string_view name) {
  const size_t n = name.size();
  if (n == 0 || n > kMaxHeaderNameLen) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  for (size_t i = 0; i < n; ++i) {
    // The table maps non-token bytes to 0, so NUL would map to itself.
    if (kTokenLower[p[i]] != p[i] || p[i] == 0) return false;
  }
  return true;
}

// ---- HeaderMapCore: arena ---------------------------------------------------------

HeaderMapCore::Arena::Arena(const Arena& o) : size_(o.size_), cap_(o.size_) {
  if (size_ != 0) {
    buf_ = std::make_unique_for_overwrite<char[]>(size_);
    std::memcpy(buf_.get(), o.buf_.get(), size_);
  }
}

void HeaderMapCore::Arena::reserve(size_t n) {
  if (n <= cap_) return;
  auto fresh = std::make_unique_for_overwrite<char[]>(n);
  if (size_ != 0) std::memcpy(fresh.get(), buf_.get(), size_);
  buf_ = std::move(fresh);
  cap_ = n;
}

// ---- HeaderMapCore: lifetime -----------------------------------------------------

HeaderMapCore::HeaderMapCore() = default;

// Arrays are copied as they are (same process, so stored hashes stay valid);
// only the arena is repacked when the source carries garbage.
HeaderMapCore::HeaderMapCore(const HeaderMapCore& o)
    : entries_(o.entries_),
      extras_(o.extras_),
      index_(o.index_),
      value_count_(o.value_count_),
      live_bytes_(o.live_bytes_) {
  if (o.arena_.size() == o.live_bytes_) {
    arena_ = o.arena_;
  } else {
    compact_from(o.arena_);
  }
}

HeaderMapCore::HeaderMapCore(HeaderMapCore&& o) noexcept
    : arena_(std::move(o.arena_)),
      entries_(std::move(o.entries_)),
      extras_(std::move(o.extras_)),
      index_(std::move(o.index_)),
      value_count_(o.value_count_),
      live_bytes_(o.live_bytes_) {
  // Leave the source a valid empty map, whatever the members' moved-from
  // states happen to be.
  o.arena_.clear();
  o.entries_.clear();
  o.extras_.clear();
  o.index_.clear();
  o.value_count_ = 0;
  o.live_bytes_ = 0;
}

void HeaderMapCore::copy_from(const HeaderMapCore& o) {
  if (this == &o) return;
  try {
    entries_ = o.entries_;
    extras_ = o.extras_;
    index_ = o.index_;
    value_count_ = o.value_count_;
    live_bytes_ = o.live_bytes_;
    arena_.clear();
    if (o.arena_.size() == o.live_bytes_) {
      arena_.reserve(o.arena_.size());
      arena_.append(o.arena_.data(), o.arena_.size());
    } else {
      compact_from(o.arena_);
    }
  } catch (...) {
    clear();
    throw;
  }
}

HeaderMapCore& HeaderMapCore::operator=(const HeaderMapCore& o) {
  if (this != &o) {
    HeaderMapCore tmp(o);
    *this = std::move(tmp);
  }
  return *this;
}

HeaderMapCore& HeaderMapCore::operator=(HeaderMapCore&& o) noexcept {
  if (this != &o) {
    arena_ = std::move(o.arena_);
    entries_ = std::move(o.entries_);
    extras_ = std::move(o.extras_);
    index_ = std::move(o.index_);
    value_count_ = o.value_count_;
    live_bytes_ = o.live_bytes_;
    o.arena_.clear();
    o.entries_.clear();
    o.extras_.clear();
    o.index_.clear();
    o.value_count_ = 0;
    o.live_bytes_ = 0;
  }
  return *this;
}

HeaderMapCore::~HeaderMapCore() = default;

// Sizes the arrays for `names` more names and the arena for `bytes` more
// bytes, and builds the index up front when the names will outgrow the
// linear scan, so a bulk fill of that size allocates nothing per header.
void HeaderMapCore::reserve(size_t names, size_t bytes) {
  size_t want = entries_.size() + std::min(names, kMaxHeaderNames);
  want = std::min(want, kMaxHeaderNames);
  entries_.reserve(want);
  if (bytes < (SIZE_MAX >> 1) - arena_.size()) arena_.reserve(arena_.size() + bytes);
  if (want > kLinearScanMax) {
    size_t slots = slots_for(want);
    if (index_.empty()) {
      build_index(slots);
    } else if (slots > index_.size()) {
      rebuild_index(slots);
    }
  }
}

void HeaderMapCore::clear() {
  if (arena_.capacity() > kRetainOnClearBytes) arena_.release();
  else arena_.clear();
  release_if_large(entries_);
  release_if_large(extras_);
  index_.clear();
  value_count_ = 0;
  live_bytes_ = 0;
}

// ---- HeaderMapCore: mutators -----------------------------------------------------

bool HeaderMapCore::at_capacity() const {
  // Once the index is at its largest and 3/4 full, every insertion is
  // refused, also a value for a name already present: "full" is a property
  // of the map, not of the name being inserted.
  return entries_.size() >= kMaxHeaderNames || extras_.size() >= kMaxExtraValues;
}

// Finds `name` by whichever lookup the map is in (scan or index); `h` gets
// the key the entry is stored under (fingerprint or keyed hash).
size_t HeaderMapCore::locate(std::string_view name, uint64_t& h) const {
  if (index_.empty()) {
    h = fingerprint(name);
    return find_linear(name, h);
  }
  h = hash_name(name);
  return find_hashed(name, h);
}

// Appends `value` to `name` (lower-case, valid), adding the name at the end
// of the order when absent. Full, with the map unchanged, once the map holds
// kMaxHeaderNames names.
HeaderMapCore::Result HeaderMapCore::add(std::string_view name, std::string_view value) {
  if (at_capacity()) return Result::Full;
  uint64_t h;
  size_t pos = locate(name, h);
  if (pos != npos) {
    append_extra(pos, value);
  } else {
    append_entry(name, value, h);
  }
  return Result::Ok;
}

// A fresh map is filled in one pass: every allocation but that of further
// values (rare in a head: duplicated names) happens up front, and only that
// one can fail midway, after which the map is emptied again. Anything else
// (a map with content, or more fields than names fit, where some add()
// could be refused) goes through add() on a copy that replaces the map only
// once every field is in.
HeaderMapCore::Result HeaderMapCore::add_fields(const FieldView* fields, size_t n) {
  if (n == 0) return Result::Ok;
  if (!entries_.empty() || n > kMaxHeaderNames) {
    HeaderMapCore tmp(*this);
    std::string lower;
    for (size_t i = 0; i < n; ++i) {
      lower.resize(fields[i].name.size());
      lower_token_copy(lower.data(), fields[i].name.data(), lower.size());
      if (tmp.add(lower, fields[i].value) != Result::Ok) return Result::Full;
    }
    *this = std::move(tmp);
    return Result::Ok;
  }
  // Empty, so nothing holds further values and no byte is live; at most
  // kMaxHeaderNames names and fewer further values arrive, so no add()
  // would be refused.
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (__builtin_add_overflow(bytes, fields[i].name.size() + fields[i].value.size(), &bytes)) throw std::bad_alloc();
  }
  if (bytes > (SIZE_MAX >> 1) - arena_.size()) throw std::bad_alloc();
  const bool had_index = !index_.empty();
  const bool indexed = had_index || n > kLinearScanMax;
  arena_.reserve(arena_.size() + bytes);
  entries_.reserve(n);
  if (indexed) {
    const size_t slots = slots_for(n);
    // An index with no entries has every slot empty already.
    if (index_.size() < slots) {
      std::vector<uint16_t> fresh(slots, kEmptySlot);
      index_.swap(fresh);
    }
  }
  const size_t arena_before = arena_.size();
  try {
    if (indexed) {
      fill_fresh<true>(fields, n);
    } else {
      fill_fresh<false>(fields, n);
    }
  } catch (...) {
    if (indexed) std::fill(index_.begin(), index_.end(), kEmptySlot);
    if (!had_index) index_.clear();
    entries_.clear();
    extras_.clear();
    arena_.truncate(arena_before);
    value_count_ = 0;
    live_bytes_ = 0;
    throw;
  }
  return Result::Ok;
}

// Each name is lower-cased into the free end of the arena (room reserved by
// the caller) and looked up right there: a new name keeps those bytes, a
// repeated one lets the next store overwrite them.
template <bool Indexed>
void HeaderMapCore::fill_fresh(const FieldView* fields, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const size_t nl = fields[i].name.size();
    const std::string_view value = fields[i].value;
    char* dst = arena_.tail();
    lower_token_copy(dst, fields[i].name.data(), nl);
    const std::string_view name(dst, nl);
    uint64_t h;
    size_t pos = npos;
    [[maybe_unused]] size_t slot = 0;
    if constexpr (Indexed) {
      // One probe run both finds the name and, when it is new, the empty
      // slot it goes into (nothing is inserted in between).
      h = hash_name(name);
      const size_t mask = index_.size() - 1;
      for (slot = h & mask;; slot = (slot + 1) & mask) {
        const uint16_t at = index_[slot];
        if (at == kEmptySlot) break;
        const Entry& e = entries_[at];
        if (e.hash == h && e.name.len == nl && std::memcmp(arena_.data() + e.name.off, dst, nl) == 0) {
          pos = at;
          break;
        }
      }
    } else {
      h = fingerprint(name);
      pos = find_linear(name, h);
    }
    if (pos != npos) {
      append_extra(pos, value);
      continue;
    }
    const Slice ns{arena_.size(), nl};
    arena_.grow(nl);
    const Slice vs = store(value);
    const auto idx = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{ns, vs, h, kNil, kNil, 1});
    if constexpr (Indexed) index_[slot] = static_cast<uint16_t>(idx);
    value_count_ += 1;
    live_bytes_ += nl + value.size();
  }
}

// Leaves `name` with exactly `value`, at its old position when present (its
// further values are dropped), at the end otherwise. Full as for add().
HeaderMapCore::Result HeaderMapCore::set(std::string_view name, std::string_view value) {
  if (at_capacity()) return Result::Full;
  uint64_t h;
  size_t pos = locate(name, h);
  if (pos == npos) {
    append_entry(name, value, h);
    return Result::Ok;
  }
  // Room first: if it cannot be had, the map is still untouched.
  reserve_arena(value.size(), value, value);
  remove_extras_of(static_cast<uint32_t>(pos));
  Entry& e = entries_[pos];
  live_bytes_ -= e.value.len;
  e.value = store(value);
  live_bytes_ += value.size();
  maybe_compact();
  return Result::Ok;
}

// Drops `name` and its values; the last name in the order moves into the
// freed position. False when the name is absent.
bool HeaderMapCore::remove(std::string_view name) {
  size_t found = find(name);
  if (found == npos) return false;
  const auto p = static_cast<uint32_t>(found);
  remove_extras_of(p);
  const auto last = static_cast<uint32_t>(entries_.size() - 1);
  {
    const Entry& e = entries_[p];
    live_bytes_ -= e.name.len + e.value.len;
    value_count_ -= 1;
    if (!index_.empty()) {
      index_remove(p, e.hash);
      if (p != last) index_relocate(last, p, entries_[last].hash);
    }
  }
  if (p != last) {
    entries_[p] = entries_[last];
    for (uint32_t x = entries_[p].extra_head; x != kNil; x = extras_[x].next) extras_[x].entry = p;
  }
  entries_.pop_back();
  maybe_compact();
  return true;
}

void HeaderMapCore::reserve_arena(size_t bytes, std::string_view& a, std::string_view& b) {
  const size_t need = arena_.size() + bytes;
  if (need <= arena_.capacity()) return;
  // The caller may hand us slices of our own arena (a value read from this
  // map); remember where they sit so they survive the move.
  const auto base = reinterpret_cast<uintptr_t>(arena_.data());
  const size_t size = arena_.size();
  auto offset_in = [&](std::string_view v) -> size_t {
    const auto q = reinterpret_cast<uintptr_t>(v.data());
    return (!v.empty() && q >= base && q - base < size) ? q - base : npos;
  };
  const size_t off_a = offset_in(a);
  const size_t off_b = offset_in(b);
  arena_.reserve(std::max({need, arena_.capacity() * 2, kMinArenaBytes}));
  if (off_a != npos) a = std::string_view(arena_.data() + off_a, a.size());
  if (off_b != npos) b = std::string_view(arena_.data() + off_b, b.size());
}

HeaderMapCore::Slice HeaderMapCore::store(std::string_view bytes) {
  Slice s{arena_.size(), bytes.size()};
  arena_.append(bytes.data(), bytes.size());
  return s;
}

// `h` is the name's SipHash when the index exists, its fingerprint in
// linear-scan mode.
void HeaderMapCore::append_entry(std::string_view name, std::string_view value, uint64_t h) {
  const size_t idx = entries_.size();
  if (index_.empty()) {
    if (idx >= kLinearScanMax) {
      build_index(slots_for(idx + 1));
      h = hash_name(name);
    }
  } else if (idx + 1 > index_.size() / 4 * 3) {
    rebuild_index(index_.size() * 2);
  }
  // All allocation happens before the map changes.
  if (entries_.size() == entries_.capacity()) entries_.reserve(std::max<size_t>(8, idx * 2));
  // The room check inline: a bulk fill after reserve() never needs more.
  if (name.size() + value.size() > arena_.capacity() - arena_.size())
    reserve_arena(name.size() + value.size(), name, value);
  Entry& e = entries_.emplace_back();
  e.name = store(name);
  e.value = store(value);
  e.hash = h;
  if (!index_.empty()) index_insert(static_cast<uint32_t>(idx), h);
  value_count_ += 1;
  live_bytes_ += name.size() + value.size();
}

void HeaderMapCore::append_extra(size_t entry_idx, std::string_view value) {
  if (extras_.size() == extras_.capacity()) extras_.reserve(std::max<size_t>(8, extras_.size() * 2));
  reserve_arena(value.size(), value, value);
  const auto x = static_cast<uint32_t>(extras_.size());
  Entry& e = entries_[entry_idx];
  Extra ex;
  ex.value = store(value);
  ex.entry = static_cast<uint32_t>(entry_idx);
  ex.prev = e.extra_tail;
  extras_.push_back(ex);
  if (e.extra_tail != kNil) {
    extras_[e.extra_tail].next = x;
  } else {
    e.extra_head = x;
  }
  e.extra_tail = x;
  e.count += 1;
  value_count_ += 1;
  live_bytes_ += value.size();
}

// Unlinks further value `x` from its name, then fills its array slot with
// the last further value, re-pointing that one's neighbours (or its name's
// head/tail) at the new position.
void HeaderMapCore::remove_extra(uint32_t x) {
  const Extra ex = extras_[x];
  Entry& owner = entries_[ex.entry];
  if (ex.prev != kNil) extras_[ex.prev].next = ex.next;
  else owner.extra_head = ex.next;
  if (ex.next != kNil) extras_[ex.next].prev = ex.prev;
  else owner.extra_tail = ex.prev;
  owner.count -= 1;
  value_count_ -= 1;
  live_bytes_ -= ex.value.len;

  const auto last = static_cast<uint32_t>(extras_.size() - 1);
  if (x != last) {
    const Extra moved = extras_[last];
    extras_[x] = moved;
    if (moved.prev != kNil) extras_[moved.prev].next = x;
    else entries_[moved.entry].extra_head = x;
    if (moved.next != kNil) extras_[moved.next].prev = x;
    else entries_[moved.entry].extra_tail = x;
  }
  extras_.pop_back();
}

void HeaderMapCore::remove_extras_of(uint32_t entry_idx) {
  while (entries_[entry_idx].extra_head != kNil) remove_extra(entries_[entry_idx].extra_head);
}

void HeaderMapCore::maybe_compact() {
  const size_t dead = arena_.size() - live_bytes_;
  if (arena_.size() <= kCompactMinArena || dead <= arena_.size() / 2) return;
  try {
    compact_from(arena_);
  } catch (const std::bad_alloc&) {
    // Compaction only reclaims memory; without memory to do it in, the map
    // is still correct as it is.
  }
}

void HeaderMapCore::compact_from(const Arena& src) {
  Arena fresh;
  fresh.reserve(live_bytes_);  // the only allocation: nothing below throws
  auto move_slice = [&](Slice& s) {
    const size_t off = fresh.size();
    fresh.append(src.data() + s.off, s.len);
    s.off = off;
  };
  for (Entry& e : entries_) {
    move_slice(e.name);
    move_slice(e.value);
    for (uint32_t x = e.extra_head; x != kNil; x = extras_[x].next) move_slice(extras_[x].value);
  }
  arena_ = std::move(fresh);
}

// ---- HeaderMapCore: index ----------------------------------------------------------

uint64_t HeaderMapCore::hash_name(std::string_view name) {
  const SipKey& k = process_key();
  return siphash_impl<1, 3>(k.k0, k.k1, reinterpret_cast<const unsigned char*>(name.data()), name.size());
}

size_t HeaderMapCore::find_linear(std::string_view name, uint64_t fp) const {
  const size_t n = name.size();
  // Pointer bounds, so the memcmp call does not force reloading the size.
  const Entry* const first = entries_.data();
  const Entry* const last = first + entries_.size();
  for (const Entry* e = first; e != last; ++e) {
    if (e->hash != fp) continue;
    if (n < kExactFingerprintLen ||
        (e->name.len == n && std::memcmp(arena_.data() + e->name.off, name.data(), n) == 0)) {
      return static_cast<size_t>(e - first);
    }
  }
  return npos;
}

size_t HeaderMapCore::find_hashed(std::string_view name, uint64_t h) const {
  const size_t mask = index_.size() - 1;
  // Terminates: the index is never more than 3/4 full.
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint16_t pos = index_[i];
    if (pos == kEmptySlot) return npos;
    const Entry& e = entries_[pos];
    if (e.hash == h && e.name.len == name.size() &&
        std::memcmp(arena_.data() + e.name.off, name.data(), name.size()) == 0) {
      return pos;
    }
  }
}

void HeaderMapCore::index_insert(uint32_t entry_idx, uint64_t h) {
  const size_t mask = index_.size() - 1;
  size_t i = h & mask;
  while (index_[i] != kEmptySlot) i = (i + 1) & mask;
  index_[i] = static_cast<uint16_t>(entry_idx);
}

// Deletes entry_idx's slot and closes the gap by shifting later members of
// the probe run back (no tombstones, so lookups never slow down with churn).
void HeaderMapCore::index_remove(uint32_t entry_idx, uint64_t h) {
  const size_t mask = index_.size() - 1;
  size_t hole = h & mask;
  while (index_[hole] != entry_idx) hole = (hole + 1) & mask;
  for (size_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
    const uint16_t pos = index_[j];
    if (pos == kEmptySlot) break;
    const size_t home = entries_[pos].hash & mask;
    // `pos` may fill the hole unless its home lies cyclically in (hole, j]:
    // then the hole is before its home and moving it would lose it.
    const bool home_after_hole = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!home_after_hole) {
      index_[hole] = pos;
      hole = j;
    }
  }
  index_[hole] = kEmptySlot;
}

void HeaderMapCore::index_relocate(uint32_t from_idx, uint32_t to_idx, uint64_t h) {
  const size_t mask = index_.size() - 1;
  size_t i = h & mask;
  while (index_[i] != from_idx) i = (i + 1) & mask;
  index_[i] = static_cast<uint16_t>(to_idx);
}

void HeaderMapCore::build_index(size_t slots) {
  for (Entry& e : entries_) e.hash = hash_name(view(e.name));
  rebuild_index(slots);
}

void HeaderMapCore::rebuild_index(size_t slots) {
  if (index_.size() != slots) {
    std::vector<uint16_t> fresh(slots, kEmptySlot);
    index_.swap(fresh);
  } else {
    std::fill(index_.begin(), index_.end(), kEmptySlot);
  }
  for (size_t i = 0; i < entries_.size(); ++i) index_insert(static_cast<uint32_t>(i), entries_[i].hash);
}

// ---- HeaderMapCore: reads ------------------------------------------------------------

size_t HeaderMapCore::find(std::string_view name) const {
  uint64_t h;
  return locate(name, h);
}

bool HeaderMapCore::contains(std::string_view name) const { return find(name) != npos; }

std::optional<std::string_view> HeaderMapCore::get(std::string_view name) const {
  size_t i = find(name);
  if (i == npos) return std::nullopt;
  return view(entries_[i].value);
}

std::string_view HeaderMapCore::name_at(size_t i) const { return view(entries_[i].name); }

size_t HeaderMapCore::value_count_at(size_t i) const { return entries_[i].count; }

// Equal value counts plus, for each of our names, an equal value sequence
// under the same name in `other`: together these also rule out names only
// `other` has (each name holds at least one value).
bool HeaderMapCore::equals(const HeaderMapCore& other) const {
  if (this == &other) return true;
  if (value_count_ != other.value_count_ || entries_.size() != other.entries_.size()) return false;
  const bool reuse_hash = !index_.empty() && !other.index_.empty();
  for (const Entry& e : entries_) {
    const std::string_view name = view(e.name);
    size_t j;
    if (reuse_hash) {
      j = other.find_hashed(name, e.hash);
    } else {
      j = other.find(name);
    }
    if (j == npos) return false;
    const Entry& f = other.entries_[j];
    if (e.count != f.count || view(e.value) != other.view(f.value)) return false;
    for (uint32_t x = e.extra_head, y = f.extra_head; x != kNil; x = extras_[x].next, y = other.extras_[y].next) {
      if (view(extras_[x].value) != other.view(other.extras_[y].value)) return false;
    }
  }
  return true;
}

}  // namespace quillon::http
