// HeaderMapCore: names and values in one arena, a dense entry array in map
// order, further values in a second array linked per name, and (past a few
// names) an open-addressed index keyed by SipHash so that a peer choosing
// header names cannot make lookups collide.
#include "http/header_map.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <stdexcept>
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
// Probe work (names examined, plus a unit per 16 name bytes compared) a
// fill in linear-scan mode (see kFillScanMax) may spend on repeats before it
// builds the keyed index for the rest: names chosen to share slots and
// fingerprints cannot make a fill quadratic. An ordinary head spends a few.
constexpr size_t kFillScanBudget = 2048;
// A Fill's table of names (see Fill::slots_) has at least 2^this slots.
constexpr unsigned kMinSlotBits = 4;
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
// A snapshot takes the source's arena whole while dead bytes are at most
// this share of it (one in four), else only the live bytes.
constexpr size_t kCopyDeadShare = 4;
// First arena allocation of a map filled without reserve(): a typical small
// head fits, so it does not regrow through 16, 32, 64 ... bytes.
constexpr size_t kMinArenaBytes = 256;
// First name-record allocation of a map filled without reserve().
constexpr size_t kMinNameRecords = 8;
// Arena bytes reserve() sets aside per name when the caller gives no byte
// count (a map built from host pairs): about one typical field's name and
// value, so names and bytes, which share one allocation, grow together
// instead of the whole block moving for the bytes a few times over.
constexpr size_t kTypicalFieldBytes = 40;
// clear() keeps buffers for reuse, but not ones a past burst made large.
constexpr size_t kRetainOnClearBytes = 64 * 1024;

// A map's records and bytes share one block, which for a head of twenty
// fields is past the sizes the allocator serves from its per-thread caches:
// maps built and dropped one after another (a head per request, a header
// list from the host) would each pay a full trip through malloc and free.
// So one freed block of such a size is kept back, for the process, and
// handed to the next map it fits: a free list of one, so the memory held
// back stays below kSpareBlockMax whatever the traffic. Smaller blocks are
// left to the allocator, which keeps those cheaply itself.
constexpr size_t kSpareBlockMin = 1024;
constexpr size_t kSpareBlockMax = 8192;
// Its first word holds its size. Taken and given by exchange, so threads
// never share it.
std::atomic<std::byte*> g_spare_block{nullptr};

// The spare when it fits `need` bytes without wasting more than as many
// again (its size then in `got`), else nullptr.
std::byte* take_spare(size_t need, size_t& got) {
  if (need < kSpareBlockMin || need > kSpareBlockMax || !g_spare_block.load(std::memory_order_relaxed)) return nullptr;
  std::byte* p = g_spare_block.exchange(nullptr, std::memory_order_acq_rel);
  if (!p) return nullptr;
  size_t size;
  std::memcpy(&size, p, sizeof size);
  if (size >= need && size / 2 <= need) {
    got = size;
    return p;
  }
  delete[] g_spare_block.exchange(p, std::memory_order_acq_rel);
  return nullptr;
}

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

namespace {

// No byte of `x` is below SP or is DEL (obs-text passes): the bytes of a
// short value are checked a word at a time. A tab fails here and is left
// to the full scan.
inline bool plain_value_word(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const uint64_t below_sp = (x - kOnes * 0x20) & ~x & kHigh;
  const uint64_t y = x ^ (kOnes * 0x7F);
  const uint64_t del = (y - kOnes) & ~y & kHigh;
  return (below_sp | del) == 0;
}

}  // namespace

// Every byte HTAB, SP..'~' or >= 0x80: the value scan finds no stop byte.
bool is_valid_header_value(std::string_view value) {
  const char* p = value.data();
  const size_t n = value.size();
  // Most values are short, below the vector scan's sixteen bytes: two
  // overlapping words, or halves of one, settle them.
  if (n >= 4 && n < 16) {
    uint64_t a, b;
    if (n >= 8) {
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
    } else {
      uint32_t a4, b4;
      std::memcpy(&a4, p, 4);
      std::memcpy(&b4, p + n - 4, 4);
      a = a4 | (uint64_t{b4} << 32);
      b = a;
    }
    if (plain_value_word(a) && plain_value_word(b)) return true;
  }
  const char* end = p + n;
  return find_special(p, end, ByteSet::FieldValue) == end;
}

namespace {

// Copies the `n` bytes of a value from src to dst and says whether they
// form a valid header value. The words or vectors that are stored are the
// ones tested, so each byte is read once; a stretch that fails the quick
// test (a tab, or a byte no value may hold) is decided by the full scan.
[[gnu::always_inline]] inline bool copy_value(char* dst, const char* src, size_t n) {
  const char* const end = src + n;
  if (n >= 4 && n < 16) {
    uint64_t a, b;
    if (n >= 8) {
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + n - 8, 8);
      std::memcpy(dst, &a, 8);
      std::memcpy(dst + n - 8, &b, 8);
    } else {
      uint32_t a4, b4;
      std::memcpy(&a4, src, 4);
      std::memcpy(&b4, src + n - 4, 4);
      std::memcpy(dst, &a4, 4);
      std::memcpy(dst + n - 4, &b4, 4);
      a = a4 | (uint64_t{b4} << 32);
      b = a;
    }
#ifdef __SSE2__
    const __m128i x = _mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a));
    const bool plain = chars_detail::stop_mask_of(x, ByteSet::FieldValue) == 0;
#else
    const bool plain = plain_value_word(a) && plain_value_word(b);
#endif
    return plain || find_special(src, end, ByteSet::FieldValue) == end;
  }
#ifdef __SSE2__
  if (n >= 16) {
    unsigned stops = 0;
    // The last block overlaps the one before it.
    for (size_t i = 0;; i += 16) {
      if (i + 16 > n) i = n - 16;
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      stops |= chars_detail::stop_mask_of(x, ByteSet::FieldValue);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
      if (i + 16 == n) break;
    }
    return stops == 0 || find_special(src, end, ByteSet::FieldValue) == end;
  }
#endif
  if (n < 4) {
    bool ok = true;
    for (size_t i = 0; i < n; ++i) {
      dst[i] = src[i];
      ok &= is_field_value_byte(static_cast<unsigned char>(src[i]));
    }
    return ok;
  }
  std::memcpy(dst, src, n);
  return find_special(src, end, ByteSet::FieldValue) == end;
}

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

bool table_valid(const unsigned char* p, size_t n) {
  bool ok = true;
  for (size_t i = 0; i < n; ++i) ok &= (kTokenLower[p[i]] != 0);
  return ok;
}

// The ends of the `n` bytes at p (the scan key is made of them), read from
// memory.
LoweredEnds ends_of(const char* p, size_t n) {
  LoweredEnds e{0, 0};
  if (n >= 8) {
    std::memcpy(&e.first, p, 8);
    std::memcpy(&e.last, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    e = LoweredEnds{a, b};
  } else {
    std::memcpy(&e.first, p, n);
  }
  return e;
}

// Real names are letters, digits and '-': those are checked and lowered
// sixteen bytes at a time, a short name as one vector made of two
// overlapping loads (never staged through memory, which would stall the
// load on the stores before it). A name holding anything else takes the
// table path, which decides validity for the full token set. `out` (when
// kWrite) may be partly written when the result is false. `ends`, when
// given, gets the lowered name's ends, on the vector path from the very
// registers that were stored, so a caller keying on them reads nothing back.
#ifdef __SSE2__
// A name of 4 to 15 bytes as two overlapping halves in one register: words
// of eight bytes from 8 on, of four below; `want` marks the lanes that hold
// name bytes.
struct Halves {
  __m128i x;
  unsigned want;
  bool wide;
};

[[gnu::always_inline]] inline Halves load_halves(const unsigned char* p, size_t n) {
  const bool wide = n >= 8;
  const size_t w = wide ? 8 : 4;
  uint64_t a = 0, b = 0;
  std::memcpy(&a, p, w);
  std::memcpy(&b, p + n - w, w);
  return {_mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a)), wide ? 0xFFFFu : 0x0F0Fu, wide};
}
#endif

template <bool kWrite>
[[gnu::always_inline]] inline bool check_name(std::string_view name, char* out, LoweredEnds* ends = nullptr) {
  const size_t n = name.size();
  if (n == 0 || n > kMaxHeaderNameLen) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  auto table = [&] {
    if constexpr (kWrite) {
      if (!normalize_table(p, n, out)) return false;
      if (ends) *ends = ends_of(out, n);
      return true;
    } else {
      return table_valid(p, n);
    }
  };
#ifdef __SSE2__
  if (n >= 16) {
    // The last block overlaps the one before it.
    for (size_t i = 0;; i += 16) {
      if (i + 16 > n) i = n - 16;
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      if (chars_detail::name_plain_mask(x) != 0xFFFF) return table();
      if constexpr (kWrite) {
        const __m128i l = chars_detail::lower_letters(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), l);
        if (ends && i == 0) ends->first = static_cast<uint64_t>(_mm_cvtsi128_si64(l));
        if (ends && i + 16 == n) ends->last = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(l, l)));
      }
      if (i + 16 == n) return true;
    }
  }
  if (n >= 4) {
    const Halves h = load_halves(p, n);
    if ((chars_detail::name_plain_mask(h.x) & h.want) != h.want) return table();
    if constexpr (kWrite) {
      const __m128i l = chars_detail::lower_letters(h.x);
      const auto a = static_cast<uint64_t>(_mm_cvtsi128_si64(l));
      const auto b = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(l, l)));
      // Fixed sizes, so each store is one instruction rather than a call.
      if (h.wide) {
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
      } else {
        const auto a4 = static_cast<uint32_t>(a), b4 = static_cast<uint32_t>(b);
        std::memcpy(out, &a4, 4);
        std::memcpy(out + n - 4, &b4, 4);
      }
      // Zero bytes above a four-byte half stay zero when lowered.
      if (ends) *ends = LoweredEnds{a, b};
    }
    return true;
  }
#endif
  return table();
}

}  // namespace

bool normalize_header_name(std::string_view name, char* out) { return check_name<true>(name, out); }
bool is_valid_header_name(std::string_view name) { return check_name<false>(name, nullptr); }

// A valid name whose every byte is already its own lower-case form. Names
// of letters, digits and '-' are settled a vector (or two overlapping
// halves) at a time, as in check_name; any other byte sends the name to the
// table.
bool is_lower_header_name(std::string_view name) {
  const size_t n = name.size();
  if (n == 0 || n > kMaxHeaderNameLen) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
#ifdef __SSE2__
  // Bit i set when byte i of `x` is a capital letter.
  auto capitals = [](__m128i x) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(
        _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - 'A'))), _mm_set1_epi8(static_cast<char>(-128 + 26)))));
  };
  if (n >= 16) {
    for (size_t i = 0;; i += 16) {
      if (i + 16 > n) i = n - 16;
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      if (chars_detail::name_plain_mask(x) != 0xFFFF) break;  // the table decides
      if (capitals(x) != 0) return false;
      if (i + 16 == n) return true;
    }
  } else if (n >= 4) {
    const Halves h = load_halves(p, n);
    if ((chars_detail::name_plain_mask(h.x) & h.want) == h.want) return (capitals(h.x) & h.want) == 0;
  }
#endif
  for (size_t i = 0; i < n; ++i) {
    // The table maps non-token bytes to 0, so NUL would map to itself.
    if (kTokenLower[p[i]] != p[i] || p[i] == 0) return false;
  }
  return true;
}

// Linear-scan mode keeps this in Entry::hash instead of a SipHash: a few
// loads instead of a hash. For a name under 8 bytes it is exact: its bytes
// little-endian in the low 56 bits and its length in the top byte, so equal
// fingerprints mean equal names. A longer name mixes both ends (names that
// share a prefix, "sec-fetch-..." or "accept-...", still rarely reach the
// memcmp) and always has the top bit set, so no long name, however chosen,
// can pass for a short one without the byte comparison.
uint64_t HeaderMapCore::fingerprint(std::string_view name) { return key_of(ends_of(name.data(), name.size()), name.size()); }

// ---- HeaderMapCore: store ---------------------------------------------------------

void HeaderMapCore::Store::reserve(size_t names, size_t nbytes) {
  if (names <= name_cap_ && nbytes <= cap_) return;
  Store t;
  t.reset_for(std::max(names, name_cap_), std::max(nbytes, cap_));
  if (names_ != 0) {
    std::memcpy(t.keys(), keys(), names_ * sizeof(uint64_t));
    std::memcpy(t.entries(), entries(), names_ * sizeof(Entry));
  }
  if (size_ != 0) std::memcpy(t.bytes(), bytes(), size_);
  t.names_ = names_;
  t.size_ = size_;
  swap(t);
}

void HeaderMapCore::Store::reset_for(size_t names, size_t nbytes) {
  names_ = size_ = 0;
  if ((names <= name_cap_ && nbytes <= cap_ && block_) || (names == 0 && nbytes == 0)) return;
  // Name counts are bounded by kMaxHeaderNames; only the byte count can be
  // absurd, and it is refused before the multiplication can wrap.
  if (nbytes > (SIZE_MAX >> 2) || names > kMaxHeaderNames) throw std::bad_alloc();
  const size_t need = names * kNameRecordBytes + nbytes;
  size_t got = need;
  std::unique_ptr<std::byte[]> fresh(take_spare(need, got));
  if (!fresh) fresh = std::make_unique_for_overwrite<std::byte[]>(need);
  recycle();
  block_ = std::move(fresh);
  name_cap_ = names;
  cap_ = got - names * kNameRecordBytes;  // all of a spare's room
}

void HeaderMapCore::Store::recycle() noexcept {
  if (!block_) return;
  const size_t size = allocated();
  std::byte* p = block_.release();
  if (size >= kSpareBlockMin && size <= kSpareBlockMax) {
    std::memcpy(p, &size, sizeof size);
    p = g_spare_block.exchange(p, std::memory_order_acq_rel);
  }
  delete[] p;
}

// ---- HeaderMapCore: lifetime -----------------------------------------------------

HeaderMapCore::HeaderMapCore() = default;

// Records are copied as they are (same process, so stored hashes stay
// valid); only the arena is repacked when the source carries garbage.
HeaderMapCore::HeaderMapCore(const HeaderMapCore& o)
    : extras_(o.extras_), index_(o.index_), value_count_(o.value_count_), live_bytes_(o.live_bytes_) {
  repack_from(o.store_, o.store_.names());
}

HeaderMapCore::HeaderMapCore(HeaderMapCore&& o) noexcept
    : store_(std::move(o.store_)),
      extras_(std::move(o.extras_)),
      index_(std::move(o.index_)),
      value_count_(o.value_count_),
      live_bytes_(o.live_bytes_) {
  // Leave the source a valid empty map, whatever the members' moved-from
  // states happen to be.
  o.extras_.clear();
  o.index_.clear();
  o.value_count_ = 0;
  o.live_bytes_ = 0;
}

void HeaderMapCore::copy_from(const HeaderMapCore& o) {
  if (this == &o) return;
  try {
    extras_ = o.extras_;
    index_ = o.index_;
    value_count_ = o.value_count_;
    live_bytes_ = o.live_bytes_;
    repack_from(o.store_, o.store_.names(), true);
  } catch (...) {
    clear();
    throw;
  }
}

// Reuses this map's allocation when it is large enough; `src` may not be
// store_ itself unless a fresh block is needed (maybe_compact's case). A
// snapshot (`snapshot`: a reader's short-lived copy) takes a mostly live
// arena whole (a parsed head's separators, a repeated name's bytes): one
// move beats moving every slice apart.
void HeaderMapCore::repack_from(const Store& src, size_t name_cap, bool snapshot) {
  Store fresh;
  Store& dst = (&src == &store_) ? fresh : store_;
  const size_t dead = src.size() - live_bytes_;
  const bool whole = dead == 0 || (snapshot && &src != &store_ && dead * kCopyDeadShare <= src.size());
  dst.reset_for(name_cap, whole ? src.size() : live_bytes_);
  const size_t n = src.names();
  dst.copy_names_from(src);
  if (whole) {
    dst.append(src.bytes(), src.size());
  } else {
    auto move_slice = [&](size_t& off, size_t len) {
      const size_t at = dst.size();
      dst.append(src.bytes() + off, len);
      off = at;
    };
    Entry* es = dst.entries();
    for (size_t i = 0; i < n; ++i) {
      Entry& e = es[i];
      move_slice(e.name_off, e.name_len);
      move_slice(e.value.off, e.value.len);
      for (uint32_t x = e.extra_head; x != kNil; x = extras_[x].next) move_slice(extras_[x].value.off, extras_[x].value.len);
    }
  }
  if (&dst == &fresh) store_ = std::move(fresh);
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
    store_ = std::move(o.store_);
    extras_ = std::move(o.extras_);
    index_ = std::move(o.index_);
    value_count_ = o.value_count_;
    live_bytes_ = o.live_bytes_;
    o.extras_.clear();
    o.index_.clear();
    o.value_count_ = 0;
    o.live_bytes_ = 0;
  }
  return *this;
}

HeaderMapCore::~HeaderMapCore() = default;

// Sizes the records for `names` more names and the arena for `bytes` more
// bytes, and builds the index up front when the names will outgrow the
// linear scan, so a fill of that size allocates nothing per header.
void HeaderMapCore::reserve(size_t names, size_t bytes) {
  size_t want = store_.names() + std::min(names, kMaxHeaderNames);
  want = std::min(want, kMaxHeaderNames);
  if (bytes == 0) bytes = (want - store_.names()) * kTypicalFieldBytes;
  const size_t arena = bytes < (SIZE_MAX >> 2) - store_.size() ? store_.size() + bytes : store_.capacity();
  store_.reserve(want, arena);
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
  if (store_.allocated() > kRetainOnClearBytes) store_.release();
  else store_.clear();
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
  return store_.names() >= kMaxHeaderNames || extras_.size() >= kMaxExtraValues;
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
  if (!empty() || n > kMaxHeaderNames) {
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
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (__builtin_add_overflow(bytes, fields[i].name.size() + fields[i].value.size(), &bytes)) throw std::bad_alloc();
  }
  return add_fields_fresh(fields, n, bytes);
}

// Empty, so nothing holds further values and no byte is live; at most
// kMaxHeaderNames names and fewer further values arrive, so no add() would
// be refused. A failure midway (memory for further values) empties the map
// again.
HeaderMapCore::Result HeaderMapCore::add_fields_fresh(const FieldView* fields, size_t n, size_t bytes) {
  const bool had_index = !index_.empty();
  try {
    Fill fill(*this, n, bytes);
    for (size_t i = 0; i < n; ++i) fill.add(fields[i].name, fields[i].value);
  } catch (...) {
    empty_after_fill(had_index);
    throw;
  }
  return Result::Ok;
}

// Each field is written at the arena's free end, its name lowered, as it is
// checked, and a new name claims the bytes there. The store's counts and
// pointers live in locals meanwhile: kept in the store, every byte written
// into the arena (which may alias anything) would make the compiler load
// them all again. Anything but a new name in room reserved (a taken slot, an
// index, a broken size promise) puts them back and takes the slow way.
size_t HeaderMapCore::Fill::add_all_checked(const FieldView* fields, size_t n, size_t bytes) {
  Store& st = m_.store_;
  size_t i = 0;
  for (;;) {
    // The fields left fit: then no single one needs a room check. Only a
    // fill that was not sized for them all (none is) would grow here.
    if (bytes > st.cap_ - st.size_ || n - i > st.name_cap_ - st.names_) st.reserve(st.names_ + (n - i), st.size_ + bytes);
    std::byte* const base = st.block_.get();
    const size_t name_cap = st.name_cap_;
    uint64_t* const keys = reinterpret_cast<uint64_t*>(base);
    Entry* const entries = reinterpret_cast<Entry*>(base + name_cap * sizeof(uint64_t));
    char* const arena = reinterpret_cast<char*>(base + name_cap * Store::kNameRecordBytes);
    // Past the names slots_ takes, every name goes the slow way (which
    // builds the index).
    const size_t limit = indexed_ ? 0 : slot_limit();
    const unsigned shift = slot_shift_;
    const size_t mask = slot_mask_;
    const size_t names_before = st.names_, size_before = st.size_;
    size_t names = names_before, size = size_before;
    enum class Stop : uint8_t { Done, Invalid, Known } stop = Stop::Done;
    uint64_t h = 0;
    for (; i < n; ++i) {
      const std::string_view name = fields[i].name, value = fields[i].value;
      const size_t nl = name.size(), vl = value.size();
      char* const dst = arena + size;
      LoweredEnds ends;
      if (!check_name<true>(name, dst, &ends) || !copy_value(dst + nl, value.data(), vl)) {
        stop = Stop::Invalid;
        break;
      }
      bytes -= nl + vl;
      h = key_of(ends, nl);
      if (names >= limit) {
        stop = Stop::Known;
        break;
      }
      const size_t slot = free_slot(h, keys, shift, mask);
      if (slot == kTaken) {
        stop = Stop::Known;
        break;
      }
      slots_[slot] = static_cast<uint8_t>(names + 1);
      keys[names] = h;
      entries[names] = Entry{Slice{size + nl, vl}, size, static_cast<uint32_t>(nl), 1, kNil, kNil};
      names += 1;
      size += nl + vl;
    }
    // Every byte claimed here is live: all went to new names.
    m_.value_count_ += names - names_before;
    m_.live_bytes_ += size - size_before;
    st.names_ = names;
    st.size_ = size;
    switch (stop) {
      case Stop::Done:
        return n;
      case Stop::Invalid:
        return i;
      case Stop::Known:
        settle_tail(fields[i].name.size(), fields[i].value.size(), h);
        ++i;
        break;
    }
  }
}

// A field written at the arena's free end whose name may be known: a new
// name claims both, a repeated one moves its value over the name's bytes.
void HeaderMapCore::Fill::settle_tail(size_t nl, size_t vl, uint64_t h) {
  Store& st = m_.store_;
  const size_t name_off = st.size();
  char* const dst = st.bytes() + name_off;
  size_t slot = 0;
  const size_t pos = lookup(dst, nl, h, slot);
  if (pos != npos) {
    std::memmove(dst, dst + nl, vl);
    // Claimed once linked: a failed allocation leaves the bytes unclaimed.
    link(pos, slot, h, name_off, nl, name_off, vl);
    st.grow(vl);
  } else {
    link(pos, slot, h, name_off, nl, name_off + nl, vl);
    st.grow(nl + vl);
  }
}

// As add_fields_fresh, with the fields checked on the way in.
size_t HeaderMapCore::fill_checked(const FieldView* fields, size_t n) {
  if (!empty() || n > kMaxHeaderNames) throw std::length_error("fill_checked: a fresh map of at most kMaxHeaderNames fields");
  // No sum can wrap while every size is below 2^48 (n is below 2^15): one
  // test after the loop instead of one per field.
  size_t bytes = 0, sizes = 0;
  for (size_t i = 0; i < n; ++i) {
    bytes += fields[i].name.size() + fields[i].value.size();
    sizes |= fields[i].name.size() | fields[i].value.size();
  }
  static_assert(kMaxHeaderNames < (size_t{1} << 15));
  if ((sizes >> 48) != 0) throw std::bad_alloc();
  const bool had_index = !index_.empty();
  size_t i = 0;
  try {
    Fill fill(*this, n, bytes);
    i = fill.add_all_checked(fields, n, bytes);
  } catch (...) {
    empty_after_fill(had_index);
    throw;
  }
  if (i != n) empty_after_fill(had_index);
  return i;
}

void HeaderMapCore::empty_after_fill(bool had_index) {
  if (had_index) std::fill(index_.begin(), index_.end(), kEmptySlot);
  else index_.clear();
  store_.clear();
  extras_.clear();
  value_count_ = 0;
  live_bytes_ = 0;
}

HeaderMapCore::Fill::Fill(HeaderMapCore& map, size_t fields, size_t bytes)
    : m_(map), fields_(std::min(fields, kMaxHeaderNames)), budget_(kFillScanBudget), indexed_(!map.index_.empty()) {
  Store& st = m_.store_;
  st.reset_for(std::max(fields_, st.name_capacity()), std::max(bytes, st.capacity()));
  if (indexed_) {
    // An emptied map keeps its index (every slot empty): it stays indexed.
    const size_t slots = slots_for(fields_);
    if (m_.index_.size() < slots) {
      std::vector<uint16_t> fresh(slots, kEmptySlot);
      m_.index_.swap(fresh);
    }
    return;
  }
  // Twice the names to come, a power of two (only the part in use is
  // cleared: a small head's fill touches a few words).
  const size_t names = std::clamp<size_t>(fields_, 1, kFillScanMax);
  const auto bits = std::max(kMinSlotBits, static_cast<unsigned>(std::bit_width(2 * names - 1)));
  slot_shift_ = 64 - bits;
  slot_mask_ = (size_t{1} << bits) - 1;
  std::memset(slots_, 0, slot_mask_ + 1);
}

HeaderMapCore::Fill::Fill(HeaderMapCore& map, size_t fields, std::string_view block)
    : Fill(map, fields, fields == 0 ? 0 : block.size()) {
  if (fields == 0) return;  // a head without fields allocates nothing
  m_.store_.append(block.data(), block.size());
  block_ = block.data();
  set_inline_limit();
}

void HeaderMapCore::Fill::index_all() {
  m_.build_index(slots_for(fields_));
  indexed_ = true;
  set_inline_limit();
}

bool HeaderMapCore::Fill::remove(std::string_view name) {
  const size_t pos = m_.find(name);
  if (pos == npos) return false;
  m_.erase_at(pos);
  // The last name moved into the hole: rare enough (a head's framing
  // fields) to place every name again.
  if (!indexed_) reslot();
  return true;
}

void HeaderMapCore::Fill::reslot() {
  const size_t mask = slot_mask_;
  std::memset(slots_, 0, mask + 1);
  const uint64_t* keys = m_.store_.keys();
  for (size_t j = 0; j < m_.store_.names(); ++j) {
    size_t s = slot_of(keys[j]);
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<uint8_t>(j + 1);
  }
}

// The name is lower-cased into the arena (the free end, or its place in the
// block's copy) and looked up right there: a new name keeps those bytes, a
// repeated one leaves them dead.
void HeaderMapCore::Fill::add_slow(std::string_view raw, std::string_view value) {
  Store& st = m_.store_;
  const size_t nl = raw.size();
  size_t name_off;
  if (block_ != nullptr) {
    if (st.names() == st.name_capacity()) {
      m_.reserve_room(true, 0, raw, value);
      set_inline_limit();
    }
    name_off = static_cast<size_t>(raw.data() - block_);
  } else {
    // The bound is the caller's promise; one compare keeps a broken
    // promise safe.
    if (nl + value.size() > st.capacity() - st.size() || st.names() == st.name_capacity())
      m_.reserve_room(true, nl + value.size(), raw, value);
    name_off = st.size();
  }
  char* const dst = st.bytes() + name_off;
  uint64_t h = lower_copy_fingerprint(dst, raw.data(), nl);
  size_t slot = 0;
  const size_t pos = lookup(dst, nl, h, slot);
  Slice vs;
  if (block_ != nullptr) {
    vs = Slice{static_cast<size_t>(value.data() - block_), value.size()};
  } else if (pos != npos) {
    m_.append_extra(pos, value);
    return;
  } else {
    st.grow(nl);
    vs = m_.store(value);
  }
  link(pos, slot, h, name_off, nl, vs.off, vs.len);
}

// Without an index, the names are found through slots_ (see the header);
// the index is built (and used from then on) once the names pass what slots_
// takes or the probes pass kFillScanBudget.
size_t HeaderMapCore::Fill::lookup(const char* name, size_t nl, uint64_t& h, size_t& slot) {
  Store& st = m_.store_;
  size_t pos = npos;
  if (!indexed_) {
    const uint64_t* keys = st.keys();
    const Entry* es = st.entries();
    const size_t mask = slot_mask_;
    size_t cost = 0;
    for (slot = slot_of(h);; slot = (slot + 1) & mask) {
      const uint8_t at = slots_[slot];
      if (at == 0) break;
      cost += 1;
      const size_t j = at - 1u;
      if (keys[j] != h) continue;
      if (nl < kExactFingerprintLen) {
        pos = j;
        break;
      }
      cost += nl / 16;
      if (es[j].name_len == nl && std::memcmp(st.bytes() + es[j].name_off, name, nl) == 0) {
        pos = j;
        break;
      }
    }
    budget_ -= std::min(budget_, cost);
    if (pos == npos && (budget_ == 0 || st.names() >= slot_limit())) index_all();
  }
  if (indexed_) {
    if (st.names() + 1 > m_.index_.size() / 4 * 3) m_.rebuild_index(m_.index_.size() * 2);
    // One probe run both finds the name and, when it is new, the empty slot
    // it goes into (nothing is inserted in between).
    h = hash_name(std::string_view(name, nl));
    const size_t mask = m_.index_.size() - 1;
    const uint64_t* keys = st.keys();
    const Entry* es = st.entries();
    for (slot = h & mask;; slot = (slot + 1) & mask) {
      const uint16_t at = m_.index_[slot];
      if (at == kEmptySlot) break;
      if (keys[at] == h && es[at].name_len == nl && std::memcmp(st.bytes() + es[at].name_off, name, nl) == 0) {
        pos = at;
        break;
      }
    }
  }
  return pos;
}

void HeaderMapCore::Fill::link(size_t pos, size_t slot, uint64_t h, size_t name_off, size_t nl, size_t value_off,
                               size_t vl) {
  if (pos != npos) {
    m_.link_extra(pos, Slice{value_off, vl});
    return;
  }
  Store& st = m_.store_;
  const auto idx = static_cast<uint32_t>(st.names());
  st.push_name(h, Entry{Slice{value_off, vl}, name_off, static_cast<uint32_t>(nl), 1, kNil, kNil});
  if (indexed_) {
    m_.index_[slot] = static_cast<uint16_t>(idx);
  } else {
    slots_[slot] = static_cast<uint8_t>(idx + 1);
  }
  m_.value_count_ += 1;
  m_.live_bytes_ += nl + vl;
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
  reserve_room(false, value.size(), value, value);
  remove_extras_of(static_cast<uint32_t>(pos));
  Entry& e = store_.entries()[pos];
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
  erase_at(found);
  maybe_compact();
  return true;
}

void HeaderMapCore::erase_at(size_t pos) {
  const auto p = static_cast<uint32_t>(pos);
  remove_extras_of(p);
  const auto last = static_cast<uint32_t>(store_.names() - 1);
  Entry* es = store_.entries();
  uint64_t* keys = store_.keys();
  live_bytes_ -= es[p].name_len + es[p].value.len;
  value_count_ -= 1;
  if (!index_.empty()) {
    index_remove(p, keys[p]);
    if (p != last) index_relocate(last, p, keys[last]);
  }
  if (p != last) {
    es[p] = es[last];
    keys[p] = keys[last];
    for (uint32_t x = es[p].extra_head; x != kNil; x = extras_[x].next) extras_[x].entry = p;
  }
  store_.pop_name();
}

void HeaderMapCore::reserve_room(bool name, size_t bytes, std::string_view& a, std::string_view& b) {
  const size_t names = store_.names() + (name ? 1 : 0);
  const size_t need = store_.size() + bytes;
  if (names <= store_.name_capacity() && need <= store_.capacity()) return;
  // The caller may hand us slices of our own arena (a value read from this
  // map); remember where they sit so they survive the move.
  const auto base = reinterpret_cast<uintptr_t>(store_.bytes());
  const size_t size = store_.size();
  auto offset_in = [&](std::string_view v) -> size_t {
    const auto q = reinterpret_cast<uintptr_t>(v.data());
    return (!v.empty() && q >= base && q - base < size) ? q - base : npos;
  };
  const size_t off_a = offset_in(a);
  const size_t off_b = offset_in(b);
  size_t name_cap = store_.name_capacity();
  if (names > name_cap) name_cap = std::min(std::max({names, name_cap * 2, kMinNameRecords}), kMaxHeaderNames);
  size_t cap = store_.capacity();
  if (need > cap) cap = std::max({need, cap * 2, kMinArenaBytes});
  store_.reserve(name_cap, cap);
  if (off_a != npos) a = std::string_view(store_.bytes() + off_a, a.size());
  if (off_b != npos) b = std::string_view(store_.bytes() + off_b, b.size());
}

HeaderMapCore::Slice HeaderMapCore::store(std::string_view bytes) {
  Slice s{store_.size(), bytes.size()};
  store_.append(bytes.data(), bytes.size());
  return s;
}

// `h` is the name's SipHash when the index exists, its fingerprint in
// linear-scan mode.
void HeaderMapCore::append_entry(std::string_view name, std::string_view value, uint64_t h) {
  const size_t idx = store_.names();
  if (index_.empty()) {
    if (idx >= kLinearScanMax) {
      build_index(slots_for(idx + 1));
      h = hash_name(name);
    }
  } else if (idx + 1 > index_.size() / 4 * 3) {
    rebuild_index(index_.size() * 2);
  }
  // All allocation happens before the map changes. The room check inline:
  // a fill after reserve() never needs more.
  if (idx == store_.name_capacity() || name.size() + value.size() > store_.capacity() - store_.size())
    reserve_room(true, name.size() + value.size(), name, value);
  const size_t name_off = store_.size();
  store_.append(name.data(), name.size());
  const Slice vs = store(value);
  store_.push_name(h, Entry{vs, name_off, static_cast<uint32_t>(name.size()), 1, kNil, kNil});
  if (!index_.empty()) index_insert(static_cast<uint32_t>(idx), h);
  value_count_ += 1;
  live_bytes_ += name.size() + value.size();
}

void HeaderMapCore::append_extra(size_t entry_idx, std::string_view value) {
  if (extras_.size() == extras_.capacity()) extras_.reserve(std::max<size_t>(8, extras_.size() * 2));
  reserve_room(false, value.size(), value, value);
  link_extra(entry_idx, store(value));
}

void HeaderMapCore::link_extra(size_t entry_idx, Slice value) {
  if (extras_.size() == extras_.capacity()) extras_.reserve(std::max<size_t>(8, extras_.size() * 2));
  const auto x = static_cast<uint32_t>(extras_.size());
  Entry& e = store_.entries()[entry_idx];
  Extra ex;
  ex.value = value;
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
  live_bytes_ += value.len;
}

// Unlinks further value `x` from its name, then fills its array slot with
// the last further value, re-pointing that one's neighbours (or its name's
// head/tail) at the new position.
void HeaderMapCore::remove_extra(uint32_t x) {
  Entry* es = store_.entries();
  const Extra ex = extras_[x];
  Entry& owner = es[ex.entry];
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
    else es[moved.entry].extra_head = x;
    if (moved.next != kNil) extras_[moved.next].prev = x;
    else es[moved.entry].extra_tail = x;
  }
  extras_.pop_back();
}

void HeaderMapCore::remove_extras_of(uint32_t entry_idx) {
  while (store_.entries()[entry_idx].extra_head != kNil) remove_extra(store_.entries()[entry_idx].extra_head);
}

void HeaderMapCore::maybe_compact() {
  const size_t dead = store_.size() - live_bytes_;
  if (store_.size() <= kCompactMinArena || dead <= store_.size() / 2) return;
  try {
    repack_from(store_, store_.name_capacity());
  } catch (const std::bad_alloc&) {
    // Compaction only reclaims memory; without memory to do it in, the map
    // is still correct as it is.
  }
}

// ---- HeaderMapCore: index ----------------------------------------------------------

uint64_t HeaderMapCore::hash_name(std::string_view name) {
  const SipKey& k = process_key();
  return siphash_impl<1, 3>(k.k0, k.k1, reinterpret_cast<const unsigned char*>(name.data()), name.size());
}

size_t HeaderMapCore::find_linear(std::string_view name, uint64_t fp) const {
  const size_t n = name.size();
  const uint64_t* const keys = store_.keys();
  const size_t count = store_.names();
  for (size_t i = 0; i < count; ++i) {
    if (keys[i] != fp) continue;
    const Entry& e = store_.entries()[i];
    if (n < kExactFingerprintLen || (e.name_len == n && std::memcmp(store_.bytes() + e.name_off, name.data(), n) == 0)) {
      return i;
    }
  }
  return npos;
}

size_t HeaderMapCore::find_hashed(std::string_view name, uint64_t h) const {
  const size_t mask = index_.size() - 1;
  const uint64_t* const keys = store_.keys();
  // Terminates: the index is never more than 3/4 full.
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint16_t pos = index_[i];
    if (pos == kEmptySlot) return npos;
    if (keys[pos] != h) continue;
    const Entry& e = store_.entries()[pos];
    if (e.name_len == name.size() && std::memcmp(store_.bytes() + e.name_off, name.data(), name.size()) == 0) {
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
    const size_t home = store_.keys()[pos] & mask;
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
  uint64_t* keys = store_.keys();
  for (size_t i = 0; i < store_.names(); ++i) keys[i] = hash_name(name_view(store_.entries()[i]));
  rebuild_index(slots);
}

void HeaderMapCore::rebuild_index(size_t slots) {
  if (index_.size() != slots) {
    std::vector<uint16_t> fresh(slots, kEmptySlot);
    index_.swap(fresh);
  } else {
    std::fill(index_.begin(), index_.end(), kEmptySlot);
  }
  for (size_t i = 0; i < store_.names(); ++i) index_insert(static_cast<uint32_t>(i), store_.keys()[i]);
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
  return view(store_.entries()[i].value);
}

std::string_view HeaderMapCore::name_at(size_t i) const { return name_view(store_.entries()[i]); }

size_t HeaderMapCore::value_count_at(size_t i) const { return store_.entries()[i].count; }

// Equal value counts plus, for each of our names, an equal value sequence
// under the same name in `other`: together these also rule out names only
// `other` has (each name holds at least one value).
bool HeaderMapCore::equals(const HeaderMapCore& other) const {
  if (this == &other) return true;
  if (value_count_ != other.value_count_ || store_.names() != other.store_.names()) return false;
  const bool reuse_hash = !index_.empty() && !other.index_.empty();
  for (size_t i = 0; i < store_.names(); ++i) {
    const Entry& e = store_.entries()[i];
    const std::string_view name = name_view(e);
    size_t j;
    if (reuse_hash) {
      j = other.find_hashed(name, store_.keys()[i]);
    } else {
      j = other.find(name);
    }
    if (j == npos) return false;
    const Entry& f = other.store_.entries()[j];
    if (e.count != f.count || view(e.value) != other.view(f.value)) return false;
    for (uint32_t x = e.extra_head, y = f.extra_head; x != kNil; x = extras_[x].next, y = other.extras_[y].next) {
      if (view(extras_[x].value) != other.view(other.extras_[y].value)) return false;
    }
  }
  return true;
}

}  // namespace quillon::http
