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

// The Huffman decoder's tables, eight input bits per lookup. Table 0 is
// indexed by the next eight bits of a code; an entry with kHuffSymbol set
// holds the symbol (bits 0..8, 256 = EOS) and how many of the eight bits its
// code uses (bits 9..12); any other entry is the index of the table that
// continues a longer code after those eight bits.
inline constexpr size_t kHuffmanTables = 15;
inline constexpr uint16_t kHuffSymbol = 0x8000;
extern const uint16_t kHuffmanDecode[kHuffmanTables][256];

// The lowest static index whose name is `name`, or 0.
int static_name_index(std::string_view name);

}  // namespace quillon::h2::hpack
