// The one header collection of the system: ordered, case-insensitive,
// multi-valued. Plain C++ so that the HTTP/1 and HTTP/2 codecs fill and read
// it without the interpreter; the Python type wraps one of these.
//
// Order contract: names keep the position of their first insertion (new
// names are appended); a name's values stay grouped at that position in the
// order they were added; removing a name moves the last name into its slot.
//
// All bytes (names and values) live in one arena owned by the map, in the
// same allocation as the per-name records, so a head copied in with
// add_fields() (or reserve() + add()) costs one allocation, and values are
// slices of that one copy. Every string_view the map hands out
// (get, name_at, the for_each visitors) is valid only until the next
// mutating call: growth moves the arena and removal may compact it. A view
// obtained from the map may itself be passed back to add/set.
//
// Not thread-safe; the owner (the Python type, a codec) serialises access.
#pragma once

#include <bit>
#include <algorithm>
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
// True when `name` is a valid header name in any letter case.
bool is_valid_header_name(std::string_view name);
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
  // A map filled by a Fill (a parsed head) may keep up to this many names in
  // linear-scan mode, where maps filled by add() index past 32: a head's
  // names are nearly all distinct, so the fill finds repeats through a small
  // table of its own, keyed by the fingerprints, while hashing every name into
  // an index would cost more than tokenizing the head. Lookups on such a map
  // scan at most this many keys, eight bytes each. Past it the fill builds
  // the keyed index.
  static constexpr size_t kFillScanMax = 128;
 public:
  enum class Result : uint8_t { Ok, Full };

  HeaderMapCore();
  HeaderMapCore(const HeaderMapCore&);
  HeaderMapCore(HeaderMapCore&&) noexcept;
  HeaderMapCore& operator=(const HeaderMapCore&);
  HeaderMapCore& operator=(HeaderMapCore&&) noexcept;
  ~HeaderMapCore();

  // Capacity hints for a bulk fill (a parsed head): room for `names` more
  // names and `bytes` more name/value bytes (0: a typical field's worth per
  // name), so the fill allocates nothing per header. Never changes content.
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
  // Fills this map, which must be empty, with `n` (at most kMaxHeaderNames)
  // fields whose names and values are checked here, as they are copied in:
  // one allocation, one pass over the bytes. Returns n when every field was
  // valid, the map then holding what add() of each in turn with its name
  // lower-cased would give; else the position of the first field with an
  // invalid name or value, the map left empty.
  size_t fill_checked(const FieldView* fields, size_t n);
  // add_fields one field at a time, for a caller that reads each field as it
  // stores it (the head parser walks a head's fields once). Made on an empty
  // map with the number of fields to come (at most kMaxHeaderNames); add()
  // then never allocates but for a repeated name's further value, and is
  // never refused. Between add()s the Fill's remove() may drop a name;
  // nothing else may touch the map until the Fill is gone.
  class Fill {
   public:
    // Fields from anywhere, whose name and value bytes total at most
    // `bytes`: each is copied into the arena as it is added.
    Fill(HeaderMapCore& map, size_t fields, size_t bytes);
    // Fields that are all slices of `block` (a head's field lines): the
    // block is copied into the arena at once and each field's bytes are
    // used where that copy holds them (names lower-cased there). The
    // block's other bytes (separators, line ends) stay in the arena, dead,
    // until a later removal compacts it.
    Fill(HeaderMapCore& map, size_t fields, std::string_view block);
    Fill(const Fill&) = delete;
    Fill& operator=(const Fill&) = delete;
    // Appends one field: a valid header name in any letter case (not a
    // slice of the map) and a valid header value.
    [[gnu::always_inline]] void add(std::string_view name, std::string_view value) {
      // Inline for the usual field of a head: a new name, no index. The
      // store's parts are read once, before the name's bytes are written
      // (a char store may alias anything, so later reads would be redone).
      Store& st = m_.store_;
      const size_t at = st.names_;
      if (at < inline_limit_) {
        std::byte* const base = st.block_.get();
        uint64_t* const keys = reinterpret_cast<uint64_t*>(base);
        Entry* const entries = reinterpret_cast<Entry*>(base + st.name_cap_ * sizeof(uint64_t));
        char* const bytes = reinterpret_cast<char*>(base + st.name_cap_ * Store::kNameRecordBytes);
        const size_t nl = name.size();
        const auto name_off = static_cast<size_t>(name.data() - block_);
        // Lower-cased into its place in the block's copy whether or not it
        // is new (a repeat's bytes there are dead either way).
        const uint64_t h = lower_copy_fingerprint(bytes + name_off, name.data(), nl);
        const size_t slot = free_slot(h, keys, slot_shift_, slot_mask_);
        if (slot != kTaken) {
          slots_[slot] = static_cast<uint8_t>(at + 1);
          keys[at] = h;
          Entry& e = entries[at];
          e.value = Slice{static_cast<size_t>(value.data() - block_), value.size()};
          e.name_off = name_off;
          e.name_len = static_cast<uint32_t>(nl);
          e.count = 1;
          e.extra_head = kNil;
          e.extra_tail = kNil;
          st.names_ = at + 1;
          m_.value_count_ += 1;
          m_.live_bytes_ += nl + value.size();
          return;
        }
      }
      add_slow(name, value);
    }
    // The map's remove(), keeping the arena where it is.
    bool remove(std::string_view name);

   private:
    friend class HeaderMapCore;  // fill_checked
    // add() of each field in turn, in the form made for fields from
    // anywhere, with each name (any letter case) and value validated as it
    // is copied in; `bytes` is the sum of their sizes. Returns n, or the
    // position of the first invalid field, those before it added.
    size_t add_all_checked(const FieldView* fields, size_t n, size_t bytes);
    // Looks up a field just written at the arena's free end, lowered, under
    // the key `h`, and stores it.
    void settle_tail(size_t nl, size_t vl, uint64_t h);
    size_t slot_of(uint64_t fp) const { return (fp * 0x9E3779B97F4A7C15ull) >> slot_shift_; }
    // The free slot a name keyed `fp` takes in slots_ (`keys` the store's),
    // or kTaken when a name of that key is already there (a repeat, or a
    // long name that only shares its key) or the probe runs past
    // kInlineProbes: the caller then takes the slow way, which decides.
    static constexpr size_t kTaken = ~size_t{0};
    static constexpr int kInlineProbes = 8;
    size_t free_slot(uint64_t fp, const uint64_t* keys, unsigned shift, size_t mask) const {
      size_t s = (fp * 0x9E3779B97F4A7C15ull) >> shift;
      for (int probe = 0; probe < kInlineProbes; ++probe, s = (s + 1) & mask) {
        const uint8_t at = slots_[s];
        if (at == 0) return s;
        if (keys[at - 1] == fp) break;
      }
      return kTaken;
    }
    void add_slow(std::string_view name, std::string_view value);
    // Finds the lower-case `name` (`h` its fingerprint, replaced by its keyed
    // hash once the fill is indexed): its position, or npos with `slot` the
    // slot a new name takes (in the index, or in slots_ before there is one).
    size_t lookup(const char* name, size_t nl, uint64_t& h, size_t& slot);
    // Places every name stored so far in slots_ again (after a removal).
    void reslot();
    // Stores a looked-up field whose bytes are in the arena: a further value
    // of the name at `pos`, or a new name.
    void link(size_t pos, size_t slot, uint64_t h, size_t name_off, size_t nl, size_t value_off, size_t vl);
    // Switches the rest of the fill to the keyed index.
    void index_all();
    // Names below which add() may take its inline path: the block form, no
    // index, room for the record, still linear-scan mode.
    void set_inline_limit() {
      inline_limit_ = (block_ != nullptr && !indexed_) ? std::min(m_.store_.name_cap_, slot_limit()) : 0;
    }
    // Names slots_ takes before the fill turns to the index: it stays at
    // most half full.
    size_t slot_limit() const { return (slot_mask_ + 1) / 2; }

    HeaderMapCore& m_;
    size_t fields_;
    size_t budget_;
    bool indexed_;
    const char* block_ = nullptr;  // block form: the caller's block, copied to arena offset 0
    size_t inline_limit_ = 0;
    // Without the index: the names stored so far, placed by fingerprint in
    // an open-addressed table of positions + 1 (0: empty) sized for twice
    // the names to come, so a repeat is found, and a new name known new, in
    // a probe or two rather than a scan of every name. Probes are charged to
    // the scan budget, so names chosen to share slots cannot make a fill
    // quadratic.
    static constexpr size_t kMaxSlots = 2 * kFillScanMax;
    static_assert(kFillScanMax < 256, "a slot holds a position + 1 in a byte");
    unsigned slot_shift_ = 64;
    size_t slot_mask_ = 0;
    uint8_t slots_[kMaxSlots];
  };

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
  // Meant for short-lived snapshots: a few dead bytes of `o` may come along.
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
  size_t name_count() const { return store_.names(); }
  bool empty() const { return store_.names() == 0; }

  // Positional access, 0 <= i < name_count(), in map order.
  std::string_view name_at(size_t i) const;
  size_t value_count_at(size_t i) const;

  // Visits the values of the name at position i, in order: f(string_view).
  template <class F>
  void for_each_value_at(size_t i, F&& f) const {
    const Entry& e = store_.entries()[i];
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
    for (size_t i = 0; i < store_.names(); ++i) {
      std::string_view n = name_view(store_.entries()[i]);
      for_each_value_at(i, [&](std::string_view v) { f(n, v); });
    }
  }

  // Same names with the same value sequences, regardless of name order.
  bool equals(const HeaderMapCore& other) const;

  // Total bytes of names and values (for encoders sizing a buffer).
  size_t byte_size() const { return live_bytes_; }
  // Bytes the arena holds, including ones left behind by remove/set; stays
  // within about twice byte_size() (memory accounting and tests), except
  // that a map filled from a head's block also holds the block's separators
  // until a removal compacts it.
  size_t arena_bytes() const { return store_.size(); }

 private:
  static constexpr uint32_t kNil = 0xFFFFFFFFu;

  // The linear-scan key (see fingerprint() in the .cpp) of an `n`-byte name
  // from its ends as loaded from memory: the bytes read as a little-endian
  // number whatever the target.
  static uint64_t key_of(LoweredEnds e, size_t n) {
    if constexpr (std::endian::native == std::endian::big) {
      const int w = n >= 8 ? 64 : n >= 4 ? 32 : 64;
      e.first = __builtin_bswap64(e.first) >> (64 - w);
      e.last = __builtin_bswap64(e.last) >> (64 - w);
    }
    if (n >= 8) return (e.first ^ std::rotl(e.last, 23) ^ n) | (uint64_t{1} << 63);
    uint64_t w = e.first;
    if (n >= 4) w |= e.last << (8 * (n - 4));  // the overlap ORs equal bytes
    return w | (static_cast<uint64_t>(n) << 56);
  }
  // The key of a name already in lower case.
  static uint64_t fingerprint(std::string_view name);
  // Lower-cases the `n` token bytes at `src` into `dst` and returns the
  // key of the result, made from the very words the copy lowers: the key
  // costs a few operations more than the copy, and nothing is read back
  // from `dst`.
  static uint64_t lower_copy_fingerprint(char* dst, const char* src, size_t n) {
    return key_of(lower_token_copy(dst, src, n), n);
  }

  struct Slice {
    size_t off = 0;
    size_t len = 0;
  };
  // One name: where its bytes are, its first value and the chain of further
  // values. Its lookup key is kept apart in the Store's key array, so a scan
  // reads eight bytes per name.
  struct Entry {
    Slice value;
    size_t name_off;
    uint32_t name_len;    // at most kMaxHeaderNameLen
    uint32_t count;       // values including the first
    uint32_t extra_head;  // first further value
    uint32_t extra_tail;  // last further value
  };
  struct Extra {
    Slice value;
    uint32_t entry = 0;  // owning entry
    uint32_t prev = kNil;
    uint32_t next = kNil;
  };

  // Keys, entries and arena bytes in one allocation: [keys | entries |
  // bytes], each part sized by its own capacity. A key is the name's keyed
  // hash while the index exists and its fingerprint otherwise. Not a
  // std::string or std::vector: appending into room reserved up front must
  // be a bare store on the fill path.
  class Store {
   public:
    Store() = default;
    ~Store() { recycle(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    Store(Store&& o) noexcept
        : block_(std::move(o.block_)),
          names_(std::exchange(o.names_, 0)),
          name_cap_(std::exchange(o.name_cap_, 0)),
          size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)) {}
    Store& operator=(Store&& o) noexcept {
      Store t(std::move(o));
      swap(t);
      return *this;
    }
    void swap(Store& o) noexcept {
      block_.swap(o.block_);
      std::swap(names_, o.names_);
      std::swap(name_cap_, o.name_cap_);
      std::swap(size_, o.size_);
      std::swap(cap_, o.cap_);
    }

    uint64_t* keys() { return reinterpret_cast<uint64_t*>(block_.get()); }
    const uint64_t* keys() const { return reinterpret_cast<const uint64_t*>(block_.get()); }
    Entry* entries() { return reinterpret_cast<Entry*>(block_.get() + name_cap_ * sizeof(uint64_t)); }
    const Entry* entries() const {
      return reinterpret_cast<const Entry*>(block_.get() + name_cap_ * sizeof(uint64_t));
    }
    char* bytes() { return reinterpret_cast<char*>(block_.get() + name_cap_ * kNameRecordBytes); }
    const char* bytes() const { return reinterpret_cast<const char*>(block_.get() + name_cap_ * kNameRecordBytes); }

    size_t names() const { return names_; }
    size_t name_capacity() const { return name_cap_; }
    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }
    size_t allocated() const { return name_cap_ * kNameRecordBytes + cap_; }

    // Room for `names` names and `bytes` arena bytes in all, keeping the
    // content; allocates only when either part is short.
    void reserve(size_t names, size_t bytes);
    // Drops the content and makes room for exactly `names` and `bytes`,
    // reusing the allocation when it is large enough.
    void reset_for(size_t names, size_t bytes);
    // Appends a name record into reserved room.
    void push_name(uint64_t key, const Entry& e) {
      // Through locals: a key is a uint64_t like the counts, so storing it
      // would otherwise make the compiler reload them all.
      std::byte* const base = block_.get();
      const size_t at = names_;
      reinterpret_cast<uint64_t*>(base)[at] = key;
      reinterpret_cast<Entry*>(base + name_cap_ * sizeof(uint64_t))[at] = e;
      names_ = at + 1;
    }
    void pop_name() { --names_; }
    // Appends all of `o`'s name records (room reserved; o is not *this).
    void copy_names_from(const Store& o) {
      if (o.names_ == 0) return;
      std::memcpy(keys() + names_, o.keys(), o.names_ * sizeof(uint64_t));
      std::memcpy(entries() + names_, o.entries(), o.names_ * sizeof(Entry));
      names_ += o.names_;
    }
    // Appends into reserved room: size() + n <= capacity(). Names and most
    // values are short, so those are copied inline (two overlapping moves)
    // rather than through a library call each.
    void append(const char* p, size_t n) {
      char* d = bytes() + size_;
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
    // The first free byte; the caller writes at most capacity() - size()
    // bytes there and then claims them with grow().
    char* tail() { return bytes() + size_; }
    void grow(size_t n) { size_ += n; }
    void clear() { names_ = size_ = 0; }
    void release() {
      recycle();
      names_ = name_cap_ = size_ = cap_ = 0;
    }

   private:
    // Gives up the block: kept as the spare (see the .cpp) when it is of
    // the size the spare holds, else freed.
    void recycle() noexcept;
    friend class Fill;  // its inline path works on the parts directly
    static constexpr size_t kNameRecordBytes = sizeof(uint64_t) + sizeof(Entry);
    static_assert(sizeof(Entry) % alignof(uint64_t) == 0 && alignof(Entry) <= alignof(uint64_t));
    std::unique_ptr<std::byte[]> block_;
    size_t names_ = 0;
    size_t name_cap_ = 0;
    size_t size_ = 0;
    size_t cap_ = 0;
  };

  std::string_view view(Slice s) const { return std::string_view(store_.bytes() + s.off, s.len); }
  std::string_view name_view(const Entry& e) const { return std::string_view(store_.bytes() + e.name_off, e.name_len); }
  bool at_capacity() const;
  // Makes room for one more name record (when `name` is set) and `bytes`
  // more arena bytes; `a` and `b` are re-pointed if they were slices of the
  // arena and it moved.
  void reserve_room(bool name, size_t bytes, std::string_view& a, std::string_view& b);
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
  // no add() can be refused), through a Fill.
  Result add_fields_fresh(const FieldView* fields, size_t n, size_t bytes);
  // Leaves a map whose fill failed midway empty (and indexed again, with
  // every slot empty, when `had_index`).
  void empty_after_fill(bool had_index);
  // Links `value`, already in the arena, as a further value of the name at
  // `entry_idx`.
  void link_extra(size_t entry_idx, Slice value);
  // Drops the name at `pos` and its values (remove() without the lookup and
  // the compaction).
  void erase_at(size_t pos);
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
  // Makes this map's store a copy of `src`'s records with room for
  // `name_cap` names and the live bytes of `src`'s arena (for a `snapshot`
  // of another map, the dead ones too when they are few), re-pointing every
  // slice (extras_ must already be the extras of `src`'s map).
  void repack_from(const Store& src, size_t name_cap, bool snapshot = false);

  Store store_;
  std::vector<Extra> extras_;
  // Open-addressed index of entry positions (uint16 each: at most 24576
  // names), empty slot = 0xFFFF. Built only once the map outgrows a short
  // linear scan (32 names, or kFillScanMax for a map a Fill made), so heads
  // of ordinary size never pay for hashing. While it is empty
  // the keys hold a cheap fingerprint of each name; building the index
  // replaces every one with the keyed hash.
  std::vector<uint16_t> index_;
  size_t value_count_ = 0;
  size_t live_bytes_ = 0;
};

}  // namespace quillon::http
