// HPACK internals the host cannot reach: the generated tables against the
// RFC data files, the table-driven Huffman decoder against a bit-at-a-time
// reference, and the encoder's dynamic-table bookkeeping.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "h2/hpack.hpp"
#include "h2/hpack_tables.hpp"

using namespace quillon::h2::hpack;

namespace {

// The RFC data files: $QUILLON_TESTDATA, else the copies in tests/data.
std::filesystem::path testdata() {
  if (const char* env = std::getenv("QUILLON_TESTDATA")) return env;
  return QUILLON_TESTDATA;
}

std::vector<std::vector<std::string>> read_tsv(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);  // header row
  while (std::getline(in, line)) {
    std::vector<std::string> row;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) row.push_back(cell);
    if (!line.empty() && line.back() == '\t') row.push_back("");
    rows.push_back(row);
  }
  return rows;
}

// Bit-at-a-time reference decoder over the code table itself.
bool reference_decode(std::string_view in, std::string& out) {
  uint32_t code = 0;
  int bits = 0;
  for (size_t i = 0; i < in.size() * 8; ++i) {
    code = (code << 1) | ((static_cast<unsigned char>(in[i / 8]) >> (7 - i % 8)) & 1);
    ++bits;
    for (int sym = 0; sym < 257; ++sym) {
      if (kHuffmanCodes[sym].bits == bits && kHuffmanCodes[sym].code == code) {
        if (sym == 256) return false;
        out.push_back(static_cast<char>(sym));
        code = 0;
        bits = 0;
        break;
      }
    }
    if (bits > 30) return false;
  }
  // Padding: fewer than eight bits, all ones.
  return bits < 8 && code == (1u << bits) - 1;
}

}  // namespace

TEST_CASE("hpack: generated tables equal the RFC 7541 data files") {
  const auto dir = testdata();
  CHECK(std::filesystem::exists(dir / "hpack_huffman.tsv"));
  const auto stat = read_tsv(dir / "hpack_static_table.tsv");
  CHECK_EQ(stat.size(), kStaticTableSize);
  for (size_t i = 0; i < stat.size() && i < kStaticTableSize; ++i) {
    CHECK_EQ(std::string(kStaticTable[i].name), stat[i][1]);
    CHECK_EQ(std::string(kStaticTable[i].value), stat[i].size() > 2 ? stat[i][2] : "");
    CHECK(static_name_index(kStaticTable[i].name) <= static_cast<int>(i + 1));
    CHECK_EQ(kStaticTable[static_name_index(kStaticTable[i].name) - 1].name, kStaticTable[i].name);
  }
  const auto huff = read_tsv(dir / "hpack_huffman.tsv");
  CHECK_EQ(huff.size(), 257u);
  for (size_t s = 0; s < huff.size() && s < 257; ++s) {
    CHECK_EQ(static_cast<int>(kHuffmanCodes[s].bits), std::stoi(huff[s][2]));
    CHECK_EQ(kHuffmanCodes[s].code, static_cast<uint32_t>(std::stoul(huff[s][1], nullptr, 2)));
  }
}

TEST_CASE("hpack: table-driven Huffman decoding agrees with a bit-at-a-time reference") {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string in(rng() % 40, '\0');
    for (char& c : in) c = static_cast<char>(rng());
    // Half the inputs are valid codes with random tails chopped or flipped.
    if (round % 2) {
      // Half of those header-like text, whose short codes take the
      // decoder's two-symbol steps.
      if (round % 8 >= 4)
        for (char& c : in) c = static_cast<char>(0x20 + static_cast<unsigned char>(c) % 0x5F);
      std::string text = in, coded;
      huffman_encode(text, coded);
      std::string back;
      CHECK(huffman_decode(coded, back));
      CHECK(back == text);
      in = coded;
      if (!in.empty() && round % 4 == 1) in.back() = static_cast<char>(in.back() ^ (1 << (rng() % 8)));
    }
    std::string fast, slow;
    const bool ok_fast = huffman_decode(in, fast);
    const bool ok_slow = reference_decode(in, slow);
    CHECK_EQ(ok_fast, ok_slow);
    if (ok_fast && ok_slow) CHECK(fast == slow);
  }
}

TEST_CASE("hpack: encoder table evicts oldest entries and stays within its size") {
  Encoder enc;
  std::string out;
  // 200 distinct 100-octet entries through a 4096-octet table.
  for (int i = 0; i < 200; ++i) {
    std::string name = "x-field-" + std::to_string(i);
    std::string value(100 - name.size(), 'v');
    Field f{name, value};
    out.clear();
    enc.encode(&f, 1, nullptr, nullptr, 0, out);
    CHECK(enc.table_size() <= enc.table_max());
    CHECK_EQ(enc.table_size(), enc.table_len() * (100 + kEntryOverhead));
  }
  // The newest entry is still indexed (62); an evicted one is written again.
  std::string name = "x-field-199", value(100 - name.size(), 'v');
  Field f{name, value};
  out.clear();
  enc.encode(&f, 1, nullptr, nullptr, 0, out);
  CHECK_EQ(out, std::string(1, static_cast<char>(0x80 | 62)));
  name = "x-field-0";
  value.assign(100 - name.size(), 'v');
  f = {name, value};
  out.clear();
  enc.encode(&f, 1, nullptr, nullptr, 0, out);
  CHECK_EQ(static_cast<unsigned char>(out[0]), 0x40u);
}
