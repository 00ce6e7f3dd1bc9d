// Fuzz harness for the header map. The input is a little program run on two
// maps, each mirrored by a plain reference model written from the order
// contract (values grouped at the name's first position, set keeps the
// position and leaves one value, remove moves the last name into the hole);
// after every operation a map must match its model exactly. Input layout:
//   byte 0 == kCapacityRun and byte 1 < 64 select the capacity run (about 1
//           input in 1000 from a uniform driver: it is costly), anything
//           else the program run
//   program run:  bytes 1.. are the operations (see run_program)
//   capacity run: byte 1 picks how the map is filled, byte 2 whether the
//                 whole map is compared at the end, bytes 3.. the operations
// Names come from a fixed pool (duplicates, removals, the switch from the
// linear scan to the keyed index past 32 names, names whose cheap
// fingerprints collide) and from raw input bytes through
// normalize_header_name; values are input bytes with invalid ones dropped.
// The validation helpers are checked against rules written out here.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "http/header_map.hpp"

using quillon::http::HeaderMapCore;
using quillon::http::kMaxHeaderNames;
using Result = HeaderMapCore::Result;

namespace {

// Operations per program: enough to cross the index threshold several times,
// few enough that a model check after each one stays cheap (1M inputs under
// the sanitizers in under a minute: about 40 s on a shared 2-core box).
constexpr size_t kMaxOps = 32;
constexpr size_t kMaxCapacityOps = 24;
constexpr uint8_t kCapacityRun = 0xC3;
// Slack the map may keep in its arena beyond twice its live bytes (the
// size under which it does not bother compacting).
constexpr size_t kArenaSlack = 4096;

// ---- rules written out independently of the map's tables ---------------------

bool ref_token(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool ref_value_byte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

// Byte equality without the sanitizer's memcmp interceptor: the model is
// compared with the map thousands of times per input, mostly on short
// strings, and inline checked loads are far cheaper than the interceptor.
[[gnu::always_inline]] inline bool eq(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return false;
  }
  for (; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// ---- input ----------------------------------------------------------------------

using fuzz::Reader;

// 64 names: short and long, every token symbol, names one byte apart, the
// 7/8/9-byte edges of the exact fingerprint, and long names that differ only
// in the middle (same length, same first and last eight bytes: their
// fingerprints are equal, so only the byte comparison tells them apart).
const std::vector<std::string>& pool() {
  static const std::vector<std::string> p = [] {
    std::vector<std::string> v = {"a", "b", "ab", "ba", "abc", "acb", "host", "date", "etag", "x-id",
                                  "abcdefg", "abcdefh", "abcdefgh", "abcdefgi", "abcdefghi", "hbcdefghi",
                                  "accept", "cookie", "content-type", "content-length", "set-cookie",
                                  "x-forwarded-for", "!#$%&'*+-.^_`|~", "~", "a.b", "0"};
    for (char c = '0'; c <= '9'; ++c) v.push_back(std::string("x-aaaaaaaa-") + c + "-bbbbbbbb");
    for (int i = 0; v.size() < 64; ++i) v.push_back("g" + std::to_string(i));
    return v;
  }();
  return p;
}

std::string_view pool_name(uint8_t b) { return pool()[b % pool().size()]; }

// A value from input bytes: a length (long ones repeat the bytes taken), the
// bytes, then every byte the field syntax forbids dropped, so only valid
// values reach the map. The map's validator must agree on every slice.
std::string make_value(Reader& in) {
  const uint8_t l = in.byte();
  const size_t len = (l & 0x80) ? (l & 0x7F) * 13u : l % 24u;
  const std::string_view src = in.bytes(std::min<size_t>(len, 32));
  bool ok = true;
  for (unsigned char c : src) ok &= ref_value_byte(c);
  FUZZ_ASSERT(quillon::http::is_valid_header_value(src) == ok);
  std::string v;
  if (!src.empty()) {
    v.reserve(len);
    while (v.size() < len) v.append(src.substr(0, len - v.size()));
  }
  v.erase(std::remove_if(v.begin(), v.end(), [](char c) { return !ref_value_byte(static_cast<unsigned char>(c)); }),
          v.end());
  FUZZ_ASSERT(quillon::http::is_valid_header_value(v));
  return v;
}

// A name from raw input bytes through normalize_header_name, checked against
// the written-out rules; false when the bytes are not a valid name.
bool make_raw_name(Reader& in, std::string& out) {
  const std::string_view raw = in.bytes(in.byte() % 40u);
  bool ok = !raw.empty();
  bool lower = true;
  std::string expect(raw);
  for (char& c : expect) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_ASSERT(quillon::http::is_token_char(u) == ref_token(u));
    ok &= ref_token(u);
    if (u >= 'A' && u <= 'Z') {
      c = static_cast<char>(u | 0x20);
      lower = false;
    }
  }
  out.assign(raw.size(), '\0');
  FUZZ_ASSERT(quillon::http::normalize_header_name(raw, out.data()) == ok);
  FUZZ_ASSERT(quillon::http::is_valid_header_name(raw) == ok);
  FUZZ_ASSERT(quillon::http::is_lower_header_name(raw) == (ok && lower));
  if (!ok) return false;
  FUZZ_ASSERT(out == expect);
  FUZZ_ASSERT(quillon::http::is_lower_header_name(out));
  return true;
}

// ---- the reference model --------------------------------------------------------

struct Model {
  static constexpr size_t npos = static_cast<size_t>(-1);
  std::vector<std::pair<std::string, std::vector<std::string>>> e;

  size_t find(std::string_view name) const {
    for (size_t i = 0; i < e.size(); ++i)
      if (e[i].first.size() == name.size() && eq(e[i].first, name)) return i;
    return npos;
  }
  void add(std::string_view name, std::string_view value) {
    size_t i = find(name);
    if (i == npos) e.emplace_back(std::string(name), std::vector<std::string>{std::string(value)});
    else e[i].second.emplace_back(value);
  }
  void set(std::string_view name, std::string_view value) {
    size_t i = find(name);
    if (i == npos) e.emplace_back(std::string(name), std::vector<std::string>{std::string(value)});
    else e[i].second.assign(1, std::string(value));
  }
  bool remove(std::string_view name) {
    size_t i = find(name);
    if (i == npos) return false;
    if (i + 1 != e.size()) e[i] = std::move(e.back());
    e.pop_back();
    return true;
  }
  size_t len() const {
    size_t n = 0;
    for (const auto& x : e) n += x.second.size();
    return n;
  }
  // Same names with the same value sequences; name order does not matter.
  bool equals(const Model& o) const {
    if (e.size() != o.e.size() || len() != o.len()) return false;
    for (const auto& x : e) {
      size_t j = o.find(x.first);
      if (j == npos || o.e[j].second != x.second) return false;
    }
    return true;
  }
};

// The whole map against the model, name by name; with `flat`, also the
// pair-by-pair walk the encoders use.
void check_map(const HeaderMapCore& m, const Model& r, bool flat = false) {
  FUZZ_ASSERT(m.name_count() == r.e.size());
  size_t values = 0, bytes = 0;
  for (size_t i = 0; i < r.e.size(); ++i) {
    const auto& [name, vals] = r.e[i];
    FUZZ_ASSERT(eq(m.name_at(i), name));
    FUZZ_ASSERT(m.value_count_at(i) == vals.size());
    size_t k = 0;
    m.for_each_value_at(i, [&](std::string_view v) {
      FUZZ_ASSERT(k < vals.size() && eq(v, vals[k]));
      ++k;
    });
    FUZZ_ASSERT(k == vals.size());
    values += vals.size();
    bytes += name.size();
    for (const std::string& v : vals) bytes += v.size();
  }
  FUZZ_ASSERT(m.len() == values);
  FUZZ_ASSERT(m.empty() == r.e.empty());
  FUZZ_ASSERT(m.byte_size() == bytes);
  FUZZ_ASSERT(m.arena_bytes() >= bytes);
  FUZZ_ASSERT(m.arena_bytes() <= std::max(2 * bytes, bytes + kArenaSlack));
  if (!flat) return;
  size_t i = 0, k = 0;
  m.for_each([&](std::string_view n, std::string_view v) {
    FUZZ_ASSERT(i < r.e.size() && eq(n, r.e[i].first) && eq(v, r.e[i].second[k]));
    if (++k == r.e[i].second.size()) {
      ++i;
      k = 0;
    }
  });
  FUZZ_ASSERT(i == r.e.size() && k == 0);
}

// find(), get() and contains() agree with the model; with `every_read`, so
// does for_each_value().
void check_lookup(const HeaderMapCore& m, const Model& r, std::string_view name, bool every_read = true) {
  const size_t pos = r.find(name);
  const auto got = m.get(name);
  if (pos == Model::npos) {
    FUZZ_ASSERT(m.find(name) == HeaderMapCore::npos);
    FUZZ_ASSERT(!got);
    FUZZ_ASSERT(!m.contains(name));
    if (!every_read) return;
    m.for_each_value(name, [](std::string_view) { FUZZ_ASSERT(false); });
    return;
  }
  const auto& vals = r.e[pos].second;
  FUZZ_ASSERT(m.find(name) == pos);
  FUZZ_ASSERT(got && eq(*got, vals.front()));
  FUZZ_ASSERT(m.contains(name));
  if (!every_read) return;
  size_t k = 0;
  m.for_each_value(name, [&](std::string_view v) {
    FUZZ_ASSERT(k < vals.size() && v == vals[k]);
    ++k;
  });
  FUZZ_ASSERT(k == vals.size());
}

void check_all_lookups(const HeaderMapCore& m, const Model& r) {
  for (const auto& x : r.e) check_lookup(m, r, x.first);
}

// ---- the program run -----------------------------------------------------------------
//
// Each operation is one byte: bit 7 picks the map it acts on (the other map
// is the source of copies and the partner of comparisons), the low four bits
// the operation; its arguments follow.
void run_program(Reader& in) {
  HeaderMapCore maps[2];
  Model models[2];
  std::string raw_name;
  for (size_t step = 0; step < kMaxOps && in.more(); ++step) {
    const uint8_t op = in.byte();
    const int t = op >> 7;
    HeaderMapCore& m = maps[t];
    Model& r = models[t];
    HeaderMapCore& other = maps[1 - t];
    Model& other_r = models[1 - t];
    std::string_view touched;  // a name the operation used, looked up after it
    bool both = false;         // check the other map too
    switch (op & 15) {
      case 0:
      case 1:
      case 2: {
        touched = pool_name(in.byte());
        const std::string v = make_value(in);
        FUZZ_ASSERT(m.add(touched, v) == Result::Ok);
        r.add(touched, v);
        break;
      }
      case 3:
      case 4: {
        touched = pool_name(in.byte());
        const std::string v = make_value(in);
        FUZZ_ASSERT(m.set(touched, v) == Result::Ok);
        r.set(touched, v);
        break;
      }
      case 5:
      case 6:
        touched = pool_name(in.byte());
        FUZZ_ASSERT(m.remove(touched) == r.remove(touched));
        FUZZ_ASSERT(!m.contains(touched));
        break;
      case 7:  // lookups only
        touched = pool_name(in.byte());
        break;
      case 8: {  // a run of adds (a head being filled), optionally reserved first
        const uint8_t a = in.byte();
        const size_t count = 1 + in.byte() % 40u;
        if (a & 0x80) m.reserve(count, count * 8);
        for (size_t j = 0; j < count; ++j) {
          const std::string_view n = pool_name(static_cast<uint8_t>(a + j));
          const std::string v(j % 9, static_cast<char>('a' + j % 26));
          FUZZ_ASSERT(m.add(n, v) == Result::Ok);
          r.add(n, v);
        }
        break;
      }
      case 9: {  // name and value handed back to the map as its own views
        if (m.empty()) break;
        const uint8_t a = in.byte(), b = in.byte();
        const size_t i = a % m.name_count();
        size_t k = b % m.value_count_at(i), seen = 0;
        std::string_view v;
        m.for_each_value_at(i, [&](std::string_view x) {
          if (seen++ == k) v = x;
        });
        // A stored name, or its tail (also a valid name, often a new one
        // whose bytes sit in the arena the add may move).
        std::string_view n = (b & 0x80) ? m.name_at(b % m.name_count()) : pool_name(b);
        if ((b & 0xC0) == 0xC0 && n.size() > 1) n.remove_prefix(1);
        const std::string n_copy(n), v_copy(v);
        if (a & 0x80) {
          FUZZ_ASSERT(m.set(n, v) == Result::Ok);
          r.set(n_copy, v_copy);
        } else {
          FUZZ_ASSERT(m.add(n, v) == Result::Ok);
          r.add(n_copy, v_copy);
        }
        touched = r.e[r.find(n_copy)].first;
        break;
      }
      case 10: {  // whole-map copies and moves
        bool copied = false;
        switch (in.byte() % 5) {
          case 0:
            m = other;
            copied = true;
            break;
          case 1:
            m = HeaderMapCore(other);
            copied = true;
            break;
          case 2: {
            HeaderMapCore moved(std::move(m));
            FUZZ_ASSERT(m.empty() && m.len() == 0 && m.byte_size() == 0);
            check_map(moved, r);
            m = std::move(moved);
            FUZZ_ASSERT(moved.empty());
            check_map(moved, Model{});
            break;
          }
          case 3: {
            HeaderMapCore& self = m;
            m = self;
            break;
          }
          default:
            std::swap(m, other);
            std::swap(r, other_r);
            both = true;
            break;
        }
        if (copied) r = other_r;
        const bool swapped = both;
        both = true;  // a copy must leave its source as it was
        if ((op & 0x40) == 0 || swapped) break;
        // Keep going on the result at once, to catch state it still shares
        // with its source.
        const std::string v = make_value(in);
        touched = pool_name(in.byte());
        FUZZ_ASSERT(m.set(touched, v) == Result::Ok);
        r.set(touched, v);
        break;
      }
      case 11:
        if (op & 0x40) {
          m.copy_from(m);
        } else {
          m.copy_from(other);
          r = other_r;
          both = true;
        }
        break;
      case 12:
        if (in.byte() % 4 == 0) {
          m.clear();
          r.e.clear();
          break;
        }
        [[fallthrough]];
      case 13:
        FUZZ_ASSERT(m.equals(other) == r.equals(other_r));
        FUZZ_ASSERT(other.equals(m) == r.equals(other_r));
        FUZZ_ASSERT(m.equals(m));
        break;
      case 14: {
        const uint8_t a = in.byte();
        m.reserve(a % 64u, static_cast<size_t>(in.byte()) * 16);
        break;
      }
      default: {  // a name from raw bytes, when valid
        const uint8_t a = in.byte();
        if (!make_raw_name(in, raw_name)) break;
        const std::string v = make_value(in);
        if (a & 1) {
          FUZZ_ASSERT(m.set(raw_name, v) == Result::Ok);
          r.set(raw_name, v);
        } else {
          FUZZ_ASSERT(m.add(raw_name, v) == Result::Ok);
          r.add(raw_name, v);
        }
        touched = raw_name;
        break;
      }
    }
    check_map(m, r);
    if (both) check_map(other, other_r);
    if (!touched.empty()) check_lookup(m, r, touched, false);
    // Now and then one more name, so absent names are looked up in both
    // modes.
    if (step % 4 == 3) check_lookup(m, r, pool_name(static_cast<uint8_t>(step * 37 + op)), false);
  }
  for (int t = 0; t < 2; ++t) {
    check_map(maps[t], models[t], true);
    check_all_lookups(maps[t], models[t]);
  }
  FUZZ_ASSERT(maps[0].equals(maps[1]) == models[0].equals(models[1]));
}

// ---- the capacity run --------------------------------------------------------------------
//
// A map holding kMaxHeaderNames generated names refuses every insertion and
// stays unchanged; removing a name frees exactly one insertion. The model is
// the order of name ids (generated names, then pool names) plus the values of
// the few names the run touched; untouched names hold their one default value.

std::string gen_name(size_t id) {
  return id < kMaxHeaderNames ? "f" + std::to_string(id) : pool()[id - kMaxHeaderNames];
}
std::string gen_value(size_t id) { return std::to_string(id * 7); }

const HeaderMapCore& full_map() {
  static const HeaderMapCore m = [] {
    HeaderMapCore f;
    for (size_t i = 0; i < kMaxHeaderNames; ++i) FUZZ_ASSERT(f.add(gen_name(i), gen_value(i)) == Result::Ok);
    FUZZ_ASSERT(f.add("one-more", "") == Result::Full);
    return f;
  }();
  return m;
}

struct CapacityModel {
  std::vector<uint32_t> ids;  // name id at each position
  std::vector<uint32_t> pos;  // position of each name id, kAbsent when absent
  std::unordered_map<uint32_t, std::vector<std::string>> values;  // touched names only
  size_t len = 0;
  static constexpr uint32_t kAbsent = 0xFFFFFFFFu;

  static const CapacityModel& initial() {
    static const CapacityModel c = [] {
      CapacityModel f;
      f.pos.assign(kMaxHeaderNames + pool().size(), kAbsent);
      for (uint32_t i = 0; i < kMaxHeaderNames; ++i) {
        f.ids.push_back(i);
        f.pos[i] = i;
      }
      f.len = kMaxHeaderNames;
      return f;
    }();
    return c;
  }

  std::vector<std::string> values_of(uint32_t id) const {
    auto it = values.find(id);
    return it != values.end() ? it->second : std::vector<std::string>{gen_value(id)};
  }
  size_t position(uint32_t id) const { return pos[id] == kAbsent ? HeaderMapCore::npos : pos[id]; }
  void push(uint32_t id) {
    pos[id] = static_cast<uint32_t>(ids.size());
    ids.push_back(id);
  }
  // Removal as the map does it: the last name moves into the hole.
  void erase(uint32_t id) {
    const uint32_t hole = pos[id], last = ids.back();
    ids[hole] = last;
    pos[last] = hole;
    ids.pop_back();
    pos[id] = kAbsent;
  }
};

void check_position(const HeaderMapCore& m, const CapacityModel& c, size_t pos) {
  if (pos >= c.ids.size()) return;
  const uint32_t id = c.ids[pos];
  const std::string name = gen_name(id);
  // Untouched names (nearly all) are checked without building a vector.
  const auto it = c.values.find(id);
  const bool touched = it != c.values.end();
  const std::string first = touched ? std::string() : gen_value(id);
  const std::string* vals = touched ? it->second.data() : &first;
  const size_t count = touched ? it->second.size() : 1;
  FUZZ_ASSERT(m.name_at(pos) == name);
  FUZZ_ASSERT(m.find(name) == pos);
  FUZZ_ASSERT(m.get(name) == std::optional<std::string_view>(vals[0]));
  FUZZ_ASSERT(m.value_count_at(pos) == count);
  size_t k = 0;
  m.for_each_value_at(pos, [&](std::string_view v) {
    FUZZ_ASSERT(k < count && v == vals[k]);
    ++k;
  });
  FUZZ_ASSERT(k == count);
}

void run_capacity(const uint8_t* data, size_t size) {
  if (size < 3) return;
  Reader in{data + 3, size - 3};
  const HeaderMapCore& full = full_map();
  HeaderMapCore m;
  if (data[1] < 8) {
    // The real fill path, rarely (about 25k adds): with or without the
    // bulk reservation a parsed head would make.
    if (data[1] & 1) m.reserve(kMaxHeaderNames, kMaxHeaderNames * 8);
    for (size_t i = 0; i < kMaxHeaderNames; ++i) FUZZ_ASSERT(m.add(gen_name(i), gen_value(i)) == Result::Ok);
  } else if (data[1] & 1) {
    m.copy_from(full);
  } else {
    m = full;
  }
  CapacityModel c = CapacityModel::initial();

  for (size_t step = 0; step < kMaxCapacityOps && in.more(); ++step) {
    const uint8_t op = in.byte();
    const size_t pick = (static_cast<size_t>(in.byte()) << 8 | in.byte()) % c.ids.size();
    const bool is_full = c.ids.size() == kMaxHeaderNames;
    // An existing name (at position `pick`) or a pool name, absent unless
    // an earlier step added it.
    const uint32_t id = (op & 0x80) ? c.ids[pick] : static_cast<uint32_t>(kMaxHeaderNames + op % pool().size());
    const std::string name = gen_name(id);
    const size_t pos = c.position(id);
    switch (op & 3) {
      case 0:
      case 1: {  // add or set
        const bool set = op & 1;
        const std::string v = "w" + std::to_string(step);
        const size_t count_before = m.name_count(), len_before = m.len(), bytes_before = m.byte_size(),
                     arena_before = m.arena_bytes();
        const Result res = set ? m.set(name, v) : m.add(name, v);
        if (is_full) {
          FUZZ_ASSERT(res == Result::Full);
          FUZZ_ASSERT(m.name_count() == count_before && m.len() == len_before);
          FUZZ_ASSERT(m.byte_size() == bytes_before && m.arena_bytes() == arena_before);
          FUZZ_ASSERT(m.find(name) == pos);
          break;
        }
        FUZZ_ASSERT(res == Result::Ok);
        if (pos == HeaderMapCore::npos) {
          c.push(id);
          c.values[id] = {v};
          c.len += 1;
        } else {
          std::vector<std::string> vals = c.values_of(id);
          c.len -= vals.size();
          if (set) vals.assign(1, v);
          else vals.push_back(v);
          c.len += vals.size();
          c.values[id] = std::move(vals);
        }
        break;
      }
      default: {  // remove
        const bool present = pos != HeaderMapCore::npos;
        FUZZ_ASSERT(m.remove(name) == present);
        if (!present) break;
        c.len -= c.values_of(id).size();
        c.values.erase(id);
        c.erase(id);
        FUZZ_ASSERT(!m.contains(name));
        check_position(m, c, pos);
        break;
      }
    }
    FUZZ_ASSERT(m.name_count() == c.ids.size());
    FUZZ_ASSERT(m.len() == c.len);
    if (c.position(id) == HeaderMapCore::npos) FUZZ_ASSERT(!m.contains(name) && !m.get(name));
    check_position(m, c, c.position(id));
    check_position(m, c, pick);
    check_position(m, c, c.ids.size() - 1);
  }
  // Now and then, the whole map against the model.
  if (data[2] < 32) {
    for (size_t i = 0; i < c.ids.size(); ++i) check_position(m, c, i);
    if (c.ids.size() == kMaxHeaderNames && c.values.empty()) FUZZ_ASSERT(m.equals(full));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] == kCapacityRun && size > 1 && data[1] < 64) {
    run_capacity(data, size);
    return 0;
  }
  Reader in{data + 1, size - 1};
  run_program(in);
  return 0;
}
