// Fuzz harness for the HPACK decoder and encoder. Input layout:
//   byte 0: max header list size (x 64 octets, 0 = the default)
//   byte 1: where to split the block into two fragments (scaled)
//   rest:   one header block
// Checks: no crash or sanitizer report; a block that decodes whole decodes
// the same in two fragments (the first one's incomplete representation
// passed again, as the frame layer does); the table never
// exceeds its size; a block that is not malformed has no value with
// whitespace at either end; a block that decodes is re-encoded by our
// encoder and decodes back to the same fields.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "h2/hpack.hpp"
#include "http/chars.hpp"

using namespace quillon::h2::hpack;

namespace {

struct Outcome {
  DecodeError error = DecodeError::None;
  HeaderBlock block;
};

std::string fields_of(const HeaderBlock& b) {
  std::string s;
  for (int i = 0; i < static_cast<int>(Pseudo::Count); ++i)
    if (b.has(static_cast<Pseudo>(i))) s.append(std::to_string(i)).append("=").append(b.pseudo[i]).append("\n");
  b.fields.for_each([&](std::string_view n, std::string_view v) { s.append(n).append(": ").append(v).append("\n"); });
  return s;
}

Outcome decode(std::string_view block, size_t split, uint64_t max_list) {
  Decoder d;
  Outcome o;
  size_t consumed = 0;
  if (split < block.size()) {
    const DecodeError e = d.decode(block.substr(0, split), consumed, max_list, o.block);
    if (e != DecodeError::None && !is_need_more(e)) {
      o.error = e;
      return o;
    }
    FUZZ_ASSERT(consumed <= split);
    block.remove_prefix(consumed);
  }
  o.error = d.decode(block, consumed, max_list, o.block);
  FUZZ_ASSERT(d.table_size() <= d.table_max());
  if (o.error == DecodeError::None) FUZZ_ASSERT(consumed == block.size());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint64_t max_list = data[0] ? data[0] * 64u : 16777216u;
  const std::string_view block(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t split = block.empty() ? 0 : data[1] % (block.size() + 1);

  Outcome whole = decode(block, block.size(), max_list);
  Outcome pieces = decode(block, split, max_list);
  // Size updates are allowed at the start of each fragment, so only a late
  // size update may fail whole and pass in pieces.
  if (whole.error != DecodeError::None) {
    FUZZ_ASSERT(whole.error == pieces.error || whole.error == DecodeError::InvalidMaxDynamicSize);
    return 0;
  }
  FUZZ_ASSERT(pieces.error == DecodeError::None);
  FUZZ_ASSERT(fields_of(whole.block) == fields_of(pieces.block));
  FUZZ_ASSERT(whole.block.malformed == pieces.block.malformed);
  FUZZ_ASSERT(whole.block.over_size == pieces.block.over_size);
  if (whole.block.malformed || whole.block.over_size) return 0;
  // A block that is not malformed holds no value with whitespace at an end.
  for (const std::string& p : whole.block.pseudo) FUZZ_ASSERT(!quillon::http::has_edge_ows(p));
  whole.block.fields.for_each(
      [](std::string_view, std::string_view v) { FUZZ_ASSERT(!quillon::http::has_edge_ows(v)); });

  // Round trip through our encoder.
  Field pseudo[static_cast<int>(Pseudo::Count)];
  size_t n = 0;
  static const char* const names[] = {":authority", ":method", ":scheme", ":path", ":protocol", ":status"};
  for (int i = 0; i < static_cast<int>(Pseudo::Count); ++i)
    if (whole.block.has(static_cast<Pseudo>(i))) pseudo[n++] = {names[i], whole.block.pseudo[i]};
  Encoder enc;
  std::string out;
  enc.encode(pseudo, n, &whole.block.fields, nullptr, 0, out);
  FUZZ_ASSERT(enc.table_size() <= enc.table_max());
  Outcome back = decode(out, out.size(), max_list);
  FUZZ_ASSERT(back.error == DecodeError::None);
  FUZZ_ASSERT(fields_of(back.block) == fields_of(whole.block));
  return 0;
}
