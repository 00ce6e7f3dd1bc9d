// The fixed HPACK data of RFC 7541: the static table (Appendix A) and the
// Huffman code (Appendix B), generated into hpack_tables.cpp by
// tools/gen_hpack_tables.py from the reference TSV files.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon::h2::hpack {

inline constexpr size_t kStaticTableSize = 61;

struct StaticEntry {
  std::string_view name;
  std::string_view value;
};

// kStaticTable[i - 1] is static index i.
extern const StaticEntry kStaticTable[kStaticTableSize];

// Symbol 0..255 and EOS (256): the code right-aligned in `code`, `bits` long.
struct HuffmanCode {
  uint32_t code;
  uint8_t bits;
};
extern const HuffmanCode kHuffmanCodes[257];

// One step of the nibble decoder: from state s (an inner node of the code
// tree, 0 = the root) four input bits lead to `next`, completing `sym` when
// kHuffEmit is set. kHuffFail: the bits complete EOS, which never occurs in
// a valid string. kHuffAccept: a string may end in `next` (the bits since
// the last symbol are at most seven ones, RFC 7541 §5.2 padding).
struct HuffmanStep {
  uint8_t next;
  uint8_t flags;
  uint8_t sym;
};
inline constexpr uint8_t kHuffEmit = 1;
inline constexpr uint8_t kHuffFail = 2;
inline constexpr uint8_t kHuffAccept = 4;
extern const HuffmanStep kHuffmanDecode[256][16];

// The lowest static index whose name is `name`, or 0.
int static_name_index(std::string_view name);

}  // namespace quillon::h2::hpack
