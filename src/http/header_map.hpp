// The one header collection of the system: ordered, case-insensitive,
// multi-valued. Plain C++ so that the HTTP/1 and HTTP/2 codecs fill and read
// it without the interpreter; the Python type wraps one of these.
//
// Order contract: names keep the position of their first insertion (new
// names are appended); a name's values stay grouped at that position in the
// order they were added; removing a name moves the last name into its slot.
//
// All bytes (names and values) live in one arena owned by the map, so a head
// copied in with reserve() + add() costs one allocation for its bytes, and
// values are slices of that one copy. Every string_view the map hands out
// (get, name_at, the for_each visitors) is valid only until the next
// mutating call: growth moves the arena and removal may compact it. A view
// obtained from the map may itself be passed back to add/set.
//
// Not thread-safe; the owner (the Python type, a codec) serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/chars.hpp"

namespace quillon::http {

// Longest header name accepted anywhere.
inline constexpr size_t kMaxHeaderNameLen = 65535;
// The lookup index never grows past this many slots and is never more than
// three-quarters full: an upper bound on memory a peer can make us hold in
// one map, whatever it sends.
inline constexpr size_t kMaxIndexSlots = 32768;
inline constexpr size_t kMaxHeaderNames = kMaxIndexSlots / 4 * 3;  // 24576

// HTAB, SP..~, and obs-text (>= 0x80); never CR, LF, NUL or DEL.
bool is_valid_header_value(std::string_view value);
// Validates `name` (1..65535 token bytes) and writes its lower-case form to
// `out`, which must have room for name.size() bytes. False when invalid.
bool normalize_header_name(std::string_view name, char* out);
// True when `name` is a valid header name already in lower case.
bool is_lower_header_name(std::string_view name);

// SipHash-c-d of `data` under the 128-bit key (k0, k1), as in the reference
// implementation (little-endian words). The map's index uses SipHash-1-3
// with a per-process random key so that peers cannot pick colliding names;
// instantiated for <1, 3> and <2, 4>.
template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, std::string_view data);

// One header field handed over in bulk (add_fields): slices of the
// caller's bytes, the name in any letter case.
struct FieldView {
  std::string_view name;
  std::string_view value;
};

class HeaderMapCore {
 public:
  enum class Result : uint8_t { Ok, Full };

  HeaderMapCore();
  HeaderMapCore(const HeaderMapCore&);
  HeaderMapCore(HeaderMapCore&&) noexcept;
  HeaderMapCore& operator=(const HeaderMapCore&);
  HeaderMapCore& operator=(HeaderMapCore&&) noexcept;
  ~HeaderMapCore();

  // Capacity hints for a bulk fill (a parsed head): room for `names` more
  // names and `bytes` more name/value bytes, so the fill allocates nothing
  // per header. Never changes content.
  void reserve(size_t names, size_t bytes);

  // In every mutator `name` must already be a valid lower-case header name
  // and `value` a valid header value; the map does not re-validate.

  // Appends a value (a new name goes to the end of the order). Full, with
  // the map unchanged, once kMaxHeaderNames names are present: then every
  // insertion is refused, also a value for a name already present.
  Result add(std::string_view name, std::string_view value);
  // Appends `n` fields in order, with exactly the outcome of add() for
  // each of them in turn with its name lower-cased: a parsed head copied in
  // one step. Each name must be a valid header name in any letter case, each
  // value a valid header value; neither may be a slice of this map. Full,
  // with the map unchanged, when one of those add() calls would have been
  // refused. Allocates before it changes anything, so a failed allocation
  // leaves the map unchanged too.
  Result add_fields(const FieldView* fields, size_t n);
  // Replaces all values of `name` by `value`, keeping its position, or
  // appends `name` when absent. Full exactly as add().
  Result set(std::string_view name, std::string_view value);
  // Removes `name` and all its values; the last name takes its slot. False
  // when absent. Never fails otherwise.
  bool remove(std::string_view name);
  // Empties the map, keeping modest buffers for reuse.
  void clear();
  // Makes this map a copy of `o`, reusing this map's buffers where they are
  // large enough (a reader that snapshots maps repeatedly allocates once).
  void copy_from(const HeaderMapCore& o);

  bool contains(std::string_view name) const;
  // First value of `name`.
  std::optional<std::string_view> get(std::string_view name) const;
  // Position of `name` in the order, or npos.
  size_t find(std::string_view name) const;
  static constexpr size_t npos = static_cast<size_t>(-1);

  // Number of values, duplicates included.
  size_t len() const { return value_count_; }
  // Number of distinct names.
  size_t name_count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Positional access, 0 <= i < name_count(), in map order.
  std::string_view name_at(size_t i) const;
  size_t value_count_at(size_t i) const;

  // Visits the values of the name at position i, in order: f(string_view).
  template <class F>
  void for_each_value_at(size_t i, F&& f) const {
    const Entry& e = entries_[i];
    f(view(e.value));
    for (uint32_t x = e.extra_head; x != kNil; x = extras_[x].next) f(view(extras_[x].value));
  }
  // Visits every value of `name` in order.
  template <class F>
  void for_each_value(std::string_view name, F&& f) const {
    size_t i = find(name);
    if (i != npos) for_each_value_at(i, f);
  }
  // Visits every (name, value) pair in map order: f(string_view, string_view).
  template <class F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < entries_.size(); ++i) {
      std::string_view n = view(entries_[i].name);
      for_each_value_at(i, [&](std::string_view v) { f(n, v); });
    }
  }

  // Same names with the same value sequences, regardless of name order.
  bool equals(const HeaderMapCore& other) const;

  // Total bytes of names and values (for encoders sizing a buffer).
  size_t byte_size() const { return live_bytes_; }
  // Bytes the arena holds, including ones left behind by remove/set; stays
  // within about twice byte_size() (memory accounting and tests).
  size_t arena_bytes() const { return arena_.size(); }

 private:
  static constexpr uint32_t kNil = 0xFFFFFFFFu;
  struct Slice {
    size_t off = 0;
    size_t len = 0;
  };
  struct Entry {
    Slice name;
    Slice value;
    uint64_t hash = 0;
    uint32_t extra_head = kNil;  // first further value
    uint32_t extra_tail = kNil;  // last further value
    uint32_t count = 1;          // values including the first
  };
  struct Extra {
    Slice value;
    uint32_t entry = 0;  // owning entry
    uint32_t prev = kNil;
    uint32_t next = kNil;
  };

  // The byte store. Not a std::string or std::vector: appending into room
  // reserved up front must be a bare memcpy on the fill path.
  class Arena {
   public:
    Arena() = default;
    Arena(const Arena& o);
    Arena(Arena&& o) noexcept
        : buf_(std::move(o.buf_)), size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)) {}
    Arena& operator=(const Arena& o) {
      Arena t(o);
      swap(t);
      return *this;
    }
    Arena& operator=(Arena&& o) noexcept {
      Arena t(std::move(o));
      swap(t);
      return *this;
    }
    void swap(Arena& o) noexcept {
      buf_.swap(o.buf_);
      std::swap(size_, o.size_);
      std::swap(cap_, o.cap_);
    }
    const char* data() const { return buf_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }
    // Grows the buffer to hold at least `n` bytes, keeping the content.
    void reserve(size_t n);
    // Appends into reserved room: size() + n <= capacity(). Names and most
    // values are short, so those are copied inline (two overlapping moves)
    // rather than through a library call each.
    void append(const char* p, size_t n) {
      char* d = buf_.get() + size_;
      if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
        std::memcpy(d, &a, 8);
        std::memcpy(d + n - 8, &b, 8);
      } else if (n > 16 && n <= 64) {
        // Header values are mostly a few dozen bytes: two or four 16-byte
        // moves (the outer ones overlapping the inner) beat a library call.
        char a[16], b[16];
        std::memcpy(a, p, 16);
        std::memcpy(b, p + n - 16, 16);
        if (n > 32) {
          char c[16], e[16];
          std::memcpy(c, p + 16, 16);
          std::memcpy(e, p + n - 32, 16);
          std::memcpy(d + 16, c, 16);
          std::memcpy(d + n - 32, e, 16);
        }
        std::memcpy(d, a, 16);
        std::memcpy(d + n - 16, b, 16);
      } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + n - 4, &b, 4);
      } else if (n != 0) {
        std::memcpy(d, p, n);
      }
      size_ += n;
    }
    void clear() { size_ = 0; }
    // The first free byte; the caller writes at most capacity() - size()
    // bytes there and then claims them with grow().
    char* tail() { return buf_.get() + size_; }
    void grow(size_t n) { size_ += n; }
    // Forgets everything from byte `n` on (n <= size()).
    void truncate(size_t n) { size_ = n; }
    void release() {
      buf_.reset();
      size_ = cap_ = 0;
    }

   private:
    std::unique_ptr<char[]> buf_;
    size_t size_ = 0;
    size_t cap_ = 0;
  };

  std::string_view view(Slice s) const { return std::string_view(arena_.data() + s.off, s.len); }
  bool at_capacity() const;
  // Makes room for `bytes` more arena bytes; `a` and `b` are re-pointed if
  // they were slices of the arena and it moved.
  void reserve_arena(size_t bytes, std::string_view& a, std::string_view& b);
  // Appends to the arena, which must already have room.
  Slice store(std::string_view bytes);
  static uint64_t hash_name(std::string_view name);
  size_t locate(std::string_view name, uint64_t& h) const;
  // `fp` is fingerprint(name) (see the .cpp).
  size_t find_linear(std::string_view name, uint64_t fp) const;
  size_t find_hashed(std::string_view name, uint64_t h) const;
  void append_entry(std::string_view name, std::string_view value, uint64_t h);
  void append_extra(size_t entry_idx, std::string_view value);
  // add_fields on an empty map with at most kMaxHeaderNames fields (where
  // no add() can be refused): one pass that lower-cases each name straight
  // into the arena and looks it up there.
  template <bool Indexed>
  void fill_fresh(const FieldView* fields, size_t n);
  void index_insert(uint32_t entry_idx, uint64_t h);
  void index_remove(uint32_t entry_idx, uint64_t h);
  void index_relocate(uint32_t from_idx, uint32_t to_idx, uint64_t h);
  // Hashes every entry, then indexes them (leaving linear-scan mode).
  void build_index(size_t slots);
  // Re-indexes every entry into `slots` slots from the stored hashes.
  void rebuild_index(size_t slots);
  void remove_extras_of(uint32_t entry_idx);
  void remove_extra(uint32_t x);
  void maybe_compact();
  // Rewrites the arena as a copy of only the live bytes of `src` (the arena
  // the slices currently point into), re-pointing every slice.
  void compact_from(const Arena& src);

  Arena arena_;
  std::vector<Entry> entries_;
  std::vector<Extra> extras_;
  // Open-addressed index of entry positions (uint16 each: at most 24576
  // names), empty slot = 0xFFFF. Built only once the map outgrows a short
  // linear scan, so small heads never pay for hashing. While it is empty
  // Entry::hash holds a cheap fingerprint of the name; building the index
  // replaces every one with the keyed hash.
  std::vector<uint16_t> index_;
  size_t value_count_ = 0;
  size_t live_bytes_ = 0;
};

}  // namespace quillon::http
