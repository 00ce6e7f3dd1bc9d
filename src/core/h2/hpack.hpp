// HPACK (RFC 7541): one decoder and one encoder per connection, each with its
// own dynamic table. The decoder turns header block fragments into a
// HeaderBlock (pseudo-header fields plus a HeaderMapCore) while applying the
// HTTP/2 header-list rules; the encoder writes a head with a fixed indexing
// policy and Huffman-codes every non-empty string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "h2/constants.hpp"
#include "http/header_map.hpp"

namespace quillon::h2::hpack {

// Every entry costs its name and value plus this (RFC 7541 §4.1).
inline constexpr size_t kEntryOverhead = 32;
// Dynamic table size both sides start with (RFC 9113 SETTINGS default).
inline constexpr uint32_t kDefaultTableSize = kDefaultHeaderTableSize;
// The encoder never uses a larger table than this, whatever the peer allows:
// our memory for the peer's benefit stays small and the entry count bounded.
inline constexpr uint32_t kSendTableCap = 4096;
// Most continuation octets after an integer's prefix: four carry 28 bits,
// more than any length or index a peer can make us honour.
inline constexpr int kMaxIntegerContinuations = 4;
// Huffman output buffers above this size are released after each call, so
// one huge string does not pin its buffer for the connection's life.
inline constexpr size_t kScratchKeep = 16384;
// Abuse limit: a block whose decoded list exceeds this multiple of the max
// header list size is a connection error, not a droppable over-size block.
inline constexpr uint64_t kAbuseFactor = 4;

enum class DecodeError : uint8_t {
  None,
  UnexpectedEndOfStream,  // need more: no octet where one must follow
  IntegerUnderflow,       // need more: an integer's continuation octets ran out
  StringUnderflow,        // need more: a string is longer than the bytes left
  // Part of the error-name space the frame layer reports; every first octet
  // is some representation and every prefix width is fixed, so this decoder
  // never produces these two.
  InvalidRepresentation,
  InvalidIntegerPrefix,
  InvalidTableIndex,
  InvalidHuffmanCode,
  InvalidUtf8,
  InvalidStatusCode,
  InvalidPseudoheader,
  InvalidMaxDynamicSize,
  IntegerOverflow,
  HeaderListWayTooLarge,  // the list passed kAbuseFactor x the max list size
};

// "NeedMore(IntegerUnderflow)", "InvalidTableIndex", ...
const char* decode_error_name(DecodeError e);
inline bool is_need_more(DecodeError e) {
  return e == DecodeError::UnexpectedEndOfStream || e == DecodeError::IntegerUnderflow ||
         e == DecodeError::StringUnderflow;
}

// RFC 9113 §8.2.2: fields about the HTTP/1 connection, never carried in
// HTTP/2 either way; `te` is allowed, but only as "trailers".
inline constexpr std::string_view kConnectionSpecificFields[] = {"connection", "keep-alive", "proxy-connection",
                                                                 "transfer-encoding", "upgrade"};
// Whether a field (lower-case name) is connection-specific.
inline bool connection_specific(std::string_view name, std::string_view value) {
  if (name == "te") return value != "trailers";
  for (std::string_view f : kConnectionSpecificFields)
    if (name == f) return true;
  return false;
}

enum class Pseudo : uint8_t { Authority, Method, Scheme, Path, Protocol, Status, Count };

// What the decoder builds for one header block, across all its fragments.
struct HeaderBlock {
  std::string pseudo[static_cast<int>(Pseudo::Count)];
  uint8_t pseudo_set = 0;  // bit per Pseudo
  http::HeaderMapCore fields;
  // Every decoded field counts, kept or dropped, so a list spread over many
  // fragments cannot pass the abuse limit unseen.
  uint64_t list_size = 0;
  bool over_size = false;     // a field was dropped for the max list size
  bool malformed = false;     // RFC 9113 §8.2 broken: a stream error
  bool regular_seen = false;  // a regular field was seen: no pseudo after it

  bool has(Pseudo p) const { return (pseudo_set >> static_cast<int>(p)) & 1; }
  const std::string* get(Pseudo p) const { return has(p) ? &pseudo[static_cast<int>(p)] : nullptr; }
};

class Decoder {
 public:
  // Decodes the representations of `block` into `out`. `consumed` is set to
  // the octets of every completely decoded representation. Returns None when
  // the whole of `block` was decoded; a need-more error when it ends inside
  // a representation (the bytes from `consumed` on must be passed again,
  // with more after them); any other error stops decoding at once (the
  // table keeps what the representations before it did). `max_list_size`
  // is the SETTINGS_MAX_HEADER_LIST_SIZE we advertise; fields beyond it are
  // dropped, and past kAbuseFactor times it decoding stops with
  // HeaderListWayTooLarge. A malformed block keeps decoding to the end so
  // that the table stays in step with the peer's.
  DecodeError decode(std::string_view block, size_t& consumed, uint64_t max_list_size, HeaderBlock& out);

  // SETTINGS_HEADER_TABLE_SIZE we advertised: the peer may resize up to the
  // largest value queued since the last block, from the next block on.
  void queue_size_update(uint32_t size);

  size_t table_size() const { return size_; }
  size_t table_max() const { return max_; }
  size_t table_len() const { return count_; }
  // Octets the table's byte store holds: stays within about twice
  // table_size() plus one entry (tests).
  size_t arena_bytes() const { return arena_.size(); }

 private:
  // A dynamic-table entry: its name and value are adjacent in `arena_`,
  // from the absolute offset `off` (arena_[0] is at `base_`).
  struct Rec {
    uint64_t off;
    uint32_t name_len;
    uint32_t value_len;
  };

  DecodeError decode_fragment(std::string_view block, size_t& consumed, uint64_t max_list_size, HeaderBlock& out);
  DecodeError read_string(const uint8_t*& p, const uint8_t* end, std::string& scratch, std::string_view& out);
  // `name_known`, `value_known`: the text came from a table, so it was
  // validated when it went in.
  DecodeError emit(std::string_view name, std::string_view value, bool name_known, bool value_known,
                   uint64_t max_list_size, HeaderBlock& out);
  bool lookup(uint64_t index, std::string_view& name, std::string_view& value) const;
  void insert(std::string_view name, std::string_view value);
  void evict_to(size_t max);

  // Entries oldest first in a ring (capacity a power of two); bytes in one
  // store that is appended to and compacted once its evicted front outgrows
  // the live part, so an insertion costs no allocation of its own.
  std::vector<Rec> ring_;
  size_t first_ = 0;
  size_t count_ = 0;
  std::string arena_;
  uint64_t base_ = 0;
  std::string name_copy_;
  size_t size_ = 0;
  size_t max_ = kDefaultTableSize;
  uint64_t permitted_ = kDefaultTableSize;
  std::optional<uint64_t> pending_permitted_;
  std::string name_buf_, value_buf_;  // Huffman output, grown and reused
  size_t fill_hint_ = 0;              // names to make room for in an empty map
};

// One field handed to the encoder.
struct Field {
  std::string_view name;
  std::string_view value;
};

class Encoder {
 public:
  Encoder();

  // Appends the header block of one head to `out`: a pending size update,
  // then `pseudo` in order, every field of `fields` (may be null) in map
  // order, then `extra` (fields the encoder of a head adds, like `date`).
  // Blocks must reach the wire in the order they were encoded.
  void encode(const Field* pseudo, size_t pseudo_count, const http::HeaderMapCore* fields, const Field* extra,
              size_t extra_count, std::string& out);

  // SETTINGS_HEADER_TABLE_SIZE from the peer (capped at kSendTableCap):
  // queues the size update(s) the next block starts with.
  void request_size_update(uint64_t size);

  size_t table_size() const { return size_; }
  size_t table_max() const { return max_; }
  size_t table_len() const { return count_; }

 private:
  // At most this many entries fit in kSendTableCap octets.
  static constexpr size_t kSlots = kSendTableCap / kEntryOverhead;
  static constexpr unsigned kBucketBits = 8;
  static constexpr size_t kBuckets = size_t{1} << kBucketBits;

  // Every entry is on two chains: one by name (for a literal that reuses
  // the newest entry's name) and one by name and value (for a whole
  // match), so neither search walks entries that differ in the other part.
  struct Slot {
    std::string name, value;
    uint64_t name_chain = 0;  // seq + 1 of the next older entry in this name bucket, 0 = none
    uint64_t pair_chain = 0;  // the same in its pair bucket
    uint64_t name_hash = 0;   // most chain steps end without comparing text
    uint64_t pair_hash = 0;
  };
  struct Pending {
    enum class Kind : uint8_t { None, One, Two } kind = Kind::None;
    uint32_t a = 0, b = 0;
  };

  // Writes one field's representation at `w`, which has room for the
  // worst case (see field_room in the .cpp); returns its end.
  char* field(char* w, std::string_view name, std::string_view value);
  void resize(size_t max);
  void evict_one();

  // The dynamic table and its name index: about 12 KiB, so it is made by
  // the first insertion rather than with the encoder. A server holds many
  // idle connections, and one that never sends a head never needs it.
  struct Table {
    Slot slots[kSlots];
    uint64_t name_heads[kBuckets] = {};  // seq + 1 of the newest entry, 0 = none
    uint64_t pair_heads[kBuckets] = {};
  };
  std::unique_ptr<Table> table_;
  uint64_t next_seq_ = 0;
  size_t count_ = 0;
  size_t size_ = 0;
  size_t max_ = kDefaultTableSize;
  Pending pending_;
  // A block is written here, sized for its worst case, and appended to the
  // caller's string once: growing the string field by field would zero-fill
  // that worst case every time.
  std::unique_ptr<char[]> scratch_;
  size_t scratch_cap_ = 0;
};

// RFC 7541 §5.2 Huffman coding, exposed for tests and the frame layer.
// Appends the decoded octets; false for an invalid code (EOS, a code that
// is not in the table, more than seven or non-one padding bits).
bool huffman_decode(std::string_view in, std::string& out);
// huffman_decode into `w`, which has room for 2 * in.size() octets; returns
// the end of the output, or null for an invalid code.
char* huffman_decode_to(std::string_view in, char* w);
void huffman_encode(std::string_view in, std::string& out);

}  // namespace quillon::h2::hpack
