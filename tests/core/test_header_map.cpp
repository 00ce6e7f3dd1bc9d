// HeaderMapCore against its order, capacity and memory contracts, and
// against a plain reference model under long random operation sequences.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "http/header_map.hpp"

using quillon::http::HeaderMapCore;
using quillon::http::kMaxHeaderNameLen;
using quillon::http::kMaxHeaderNames;
using Result = HeaderMapCore::Result;
using Pairs = std::vector<std::pair<std::string, std::string>>;

namespace {

Pairs items(const HeaderMapCore& m) {
  Pairs out;
  m.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(std::string(n), std::string(v)); });
  return out;
}

std::vector<std::string> names(const HeaderMapCore& m) {
  std::vector<std::string> out;
  for (size_t i = 0; i < m.name_count(); ++i) out.emplace_back(m.name_at(i));
  return out;
}

std::vector<std::string> values_of(const HeaderMapCore& m, std::string_view name) {
  std::vector<std::string> out;
  m.for_each_value(name, [&](std::string_view v) { out.emplace_back(v); });
  return out;
}

HeaderMapCore from(const Pairs& ps) {
  HeaderMapCore m;
  for (const auto& [n, v] : ps) CHECK(m.add(n, v) == Result::Ok);
  return m;
}

// Dead bytes stay within half the arena, or within the few KiB not worth
// compacting for.
bool arena_bounded(const HeaderMapCore& m) {
  return m.arena_bytes() <= std::max<size_t>(2 * m.byte_size(), m.byte_size() + 4096);
}

std::string numbered(const char* prefix, size_t i) { return prefix + std::to_string(i); }

// The rules written out independently of the implementation's tables.
bool rule_token(int c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}
bool rule_value_byte(int c) { return c == 9 || (c >= 32 && c <= 126) || c >= 128; }

}  // namespace

TEST_CASE("header bytes: every byte classified as token / value byte") {
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    CHECK_EQ(quillon::http::is_token_char(static_cast<unsigned char>(c)), rule_token(c));

    char out = 0;
    const bool valid_name = quillon::http::normalize_header_name(std::string_view(&ch, 1), &out);
    CHECK_EQ(valid_name, rule_token(c));
    if (valid_name) CHECK_EQ(out, (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : ch);
    CHECK_EQ(quillon::http::is_lower_header_name(std::string_view(&ch, 1)), rule_token(c) && !(c >= 'A' && c <= 'Z'));
    // Names are checked a word or a vector at a time, the ends overlapping:
    // put the byte at every offset of names around those widths.
    for (size_t len : {2u, 4u, 7u, 8u, 15u, 16u, 17u, 31u, 40u}) {
      for (size_t at = 0; at < len; ++at) {
        std::string name(len, 'Q');
        name[at] = ch;
        std::string lowered(len, '\0');
        CHECK_EQ(quillon::http::is_valid_header_name(name), rule_token(c));
        CHECK_EQ(quillon::http::normalize_header_name(name, lowered.data()), rule_token(c));
        std::string lower_name(len, 'q');
        lower_name[at] = ch;
        CHECK_EQ(quillon::http::is_lower_header_name(lower_name), rule_token(c) && !(c >= 'A' && c <= 'Z'));
        CHECK(!quillon::http::is_lower_header_name(name));  // its 'Q's
        if (!rule_token(c)) continue;
        std::string expect(len, 'q');
        expect[at] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : ch;
        CHECK_EQ(lowered, expect);
      }
    }

    // The value check screens whole words first: put the byte at every
    // offset of a word-sized run, and next to a tab in the same word.
    for (size_t len : {1u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 24u}) {
      for (size_t at = 0; at < len; ++at) {
        std::string v(len, 'a');
        v[at] = ch;
        CHECK_EQ(quillon::http::is_valid_header_value(v), rule_value_byte(c));
        if (len >= 8) {
          v[(at + 1) % len] = '\t';
          CHECK_EQ(quillon::http::is_valid_header_value(v), rule_value_byte(c));
        }
      }
    }
  }
  CHECK(quillon::http::is_valid_header_value(""));
  CHECK(quillon::http::is_valid_header_value(std::string(1000, '\x80') + "\t \x7e\xff"));
}

TEST_CASE("header names: length limits and lower-casing") {
  std::string out(kMaxHeaderNameLen + 1, '\0');
  CHECK(!quillon::http::normalize_header_name("", out.data()));
  CHECK(!quillon::http::is_lower_header_name(""));
  std::string longest(kMaxHeaderNameLen, 'X');
  CHECK(quillon::http::normalize_header_name(longest, out.data()));
  CHECK_EQ(out.substr(0, kMaxHeaderNameLen), std::string(kMaxHeaderNameLen, 'x'));
  CHECK(!quillon::http::is_lower_header_name(longest));
  CHECK(quillon::http::is_lower_header_name(std::string(kMaxHeaderNameLen, 'x')));
  CHECK(!quillon::http::normalize_header_name(longest + "X", out.data()));
  CHECK(!quillon::http::is_lower_header_name(std::string(kMaxHeaderNameLen + 1, 'x')));
  // An invalid byte anywhere, including the very end, spoils the name.
  CHECK(!quillon::http::normalize_header_name(longest.substr(1) + ":", out.data()));
  CHECK(!quillon::http::normalize_header_name("Content Type", out.data()));
  CHECK(quillon::http::normalize_header_name("X-Custom_Header.1~", out.data()));
  CHECK_EQ(out.substr(0, 18), std::string("x-custom_header.1~"));
}

TEST_CASE("siphash: reference answers for 2-4 and 1-3") {
  std::string msg;
  for (int i = 0; i < 16; ++i) msg.push_back(static_cast<char>(i));
  const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  struct Row {
    size_t len;
    uint64_t sip24;  // key 00..0f
    uint64_t sip13;  // all-zero key
  };
  const Row rows[] = {
      {0, 0x726fdb47dd0e0e31ULL, 0xd1fba762150c532cULL},
      {1, 0x74f839c593dc67fdULL, 0x68a914128e01e473ULL},
      {8, 0x93f5f5799a932462ULL, 0xead411e67ebe2eeaULL},
      {15, 0xa129ca6149be45e5ULL, 0xf30eb725bb91c9eaULL},
  };
  using quillon::http::siphash;
  for (const Row& r : rows) {
    const std::string_view m = std::string_view(msg).substr(0, r.len);
    CHECK((siphash<2, 4>(k0, k1, m) == r.sip24));
    CHECK((siphash<1, 3>(0, 0, m) == r.sip13));
  }
}

TEST_CASE("header map: values grouped at the name's first position") {
  HeaderMapCore m = from({{"a", "1"}, {"b", "2"}, {"a", "3"}, {"c", ""}, {"b", "4"}});
  CHECK_EQ(items(m), (Pairs{{"a", "1"}, {"a", "3"}, {"b", "2"}, {"b", "4"}, {"c", ""}}));
  CHECK_EQ(m.len(), 5u);
  CHECK_EQ(m.name_count(), 3u);
  CHECK_EQ(m.value_count_at(0), 2u);
  CHECK_EQ(m.value_count_at(2), 1u);
  CHECK(m.get("a") == std::optional<std::string_view>("1"));
  CHECK(m.get("c") == std::optional<std::string_view>(""));
  CHECK(!m.get("d").has_value());
  CHECK(!m.contains("A"));  // lookups take the stored lower-case form
  CHECK_EQ(m.find("b"), 1u);
  CHECK_EQ(m.find("zz"), HeaderMapCore::npos);
  CHECK_EQ(m.byte_size(), 3u + 4u);  // names a, b, c; values 1, 3, 2, 4, ""
}

TEST_CASE("header map: short-map lookups tell apart names that differ in one byte") {
  // Small maps are scanned, not hashed: names of every short length over a
  // two-letter alphabet differ only in single positions, so any byte the
  // scan's shortcut failed to compare would show up as a false hit.
  std::mt19937 rng(7);
  for (size_t len = 1; len <= 12; ++len) {
    for (int round = 0; round < 40; ++round) {
      auto random_name = [&] {
        std::string n(len, 'a');
        for (char& c : n) c = (rng() & 1) ? 'b' : 'a';
        return n;
      };
      HeaderMapCore m;
      std::vector<std::string> in;
      while (in.size() < 16 && in.size() + 1 < (size_t{1} << len)) {
        std::string n = random_name();
        if (std::find(in.begin(), in.end(), n) != in.end()) continue;
        in.push_back(n);
        CHECK(m.add(n, n) == Result::Ok);
      }
      for (int probe = 0; probe < 32; ++probe) {
        const std::string n = random_name();
        const auto it = std::find(in.begin(), in.end(), n);
        const size_t want = it == in.end() ? HeaderMapCore::npos : static_cast<size_t>(it - in.begin());
        CHECK_EQ(m.find(n), want);
      }
    }
  }
}

TEST_CASE("header map: set replaces in place, remove swaps the last name in") {
  struct Case {
    const char* what;
    Pairs start;
    bool is_set;  // set(name, value) else remove(name)
    const char* name;
    const char* value;
    Pairs want;
  };
  const Case cases[] = {
      {"set existing keeps position, drops extras", {{"a", "1"}, {"b", "2"}, {"a", "3"}}, true, "a", "z",
       {{"a", "z"}, {"b", "2"}}},
      {"set new appends", {{"a", "1"}}, true, "b", "2", {{"a", "1"}, {"b", "2"}}},
      {"remove middle", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}, false, "b", nullptr,
       {{"a", "1"}, {"d", "4"}, {"c", "3"}}},
      {"remove first moves last with its values", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"c", "4"}}, false, "a",
       nullptr, {{"c", "3"}, {"c", "4"}, {"b", "2"}}},
      {"remove last changes nothing else", {{"a", "1"}, {"b", "2"}, {"c", "3"}}, false, "c", nullptr,
       {{"a", "1"}, {"b", "2"}}},
      {"remove only name", {{"a", "1"}, {"a", "2"}}, false, "a", nullptr, {}},
      {"remove missing", {{"a", "1"}}, false, "b", nullptr, {{"a", "1"}}},
  };
  for (const Case& c : cases) {
    HeaderMapCore m = from(c.start);
    if (c.is_set) {
      CHECK(m.set(c.name, c.value) == Result::Ok);
    } else {
      const bool present = m.contains(c.name);
      CHECK_EQ(m.remove(c.name), present);
    }
    if (items(m) != c.want) std::fprintf(stderr, "case: %s\n", c.what);
    CHECK_EQ(items(m), c.want);
    CHECK_EQ(m.len(), c.want.size());
  }
}

TEST_CASE("header map: equality ignores name order, not value order") {
  struct Case {
    Pairs a, b;
    bool equal;
  };
  const Case cases[] = {
      {{}, {}, true},
      {{{"a", "1"}, {"b", "2"}}, {{"b", "2"}, {"a", "1"}}, true},
      {{{"a", "1"}, {"a", "2"}}, {{"a", "2"}, {"a", "1"}}, false},
      {{{"a", "1"}, {"a", "2"}}, {{"a", "1"}, {"b", "2"}}, false},
      {{{"a", "1"}}, {{"a", "1"}, {"a", "1"}}, false},
      {{{"a", "1"}}, {{"b", "1"}}, false},
      {{{"a", ""}}, {{"a", ""}}, true},
      {{{"a", "1"}, {"b", "2"}, {"a", "3"}}, {{"b", "2"}, {"a", "1"}, {"a", "3"}}, true},
  };
  for (const Case& c : cases) {
    HeaderMapCore a = from(c.a), b = from(c.b);
    CHECK_EQ(a.equals(b), c.equal);
    CHECK_EQ(b.equals(a), c.equal);
    CHECK(a.equals(a));
  }
  // Past the linear scan both sides are indexed; build them in opposite orders.
  HeaderMapCore big1, big2;
  for (size_t i = 0; i < 100; ++i) CHECK(big1.add(numbered("n", i), numbered("v", i)) == Result::Ok);
  for (size_t i = 100; i-- > 0;) CHECK(big2.add(numbered("n", i), numbered("v", i)) == Result::Ok);
  CHECK(big1.equals(big2));
  CHECK(big2.set("n7", "other") == Result::Ok);
  CHECK(!big1.equals(big2));
  // Mixed: a small map never equals a big one, and vice versa.
  CHECK(!big1.equals(from({{"n1", "v1"}})));
}

TEST_CASE("header map: capacity limit refuses every insertion, removal frees room") {
  HeaderMapCore m;
  for (size_t i = 0; i < kMaxHeaderNames; ++i) {
    if (m.add(numbered("h", i), "v") != Result::Ok) {
      CHECK(false);
      break;
    }
  }
  CHECK_EQ(m.name_count(), kMaxHeaderNames);
  const Pairs before = items(m);
  CHECK(m.add("new", "v") == Result::Full);
  CHECK(m.add("h5", "again") == Result::Full);
  CHECK(m.set("h5", "again") == Result::Full);
  CHECK(m.set("new", "v") == Result::Full);
  CHECK(items(m) == before);
  CHECK_EQ(m.len(), kMaxHeaderNames);

  CHECK(m.remove("h0"));
  CHECK(m.add("h5", "second") == Result::Ok);  // still one short of the limit
  CHECK(m.add("new", "v") == Result::Ok);
  CHECK(m.add("another", "v") == Result::Full);
  CHECK_EQ(values_of(m, "h5"), (std::vector<std::string>{"v", "second"}));
  for (size_t i = 1; i < kMaxHeaderNames; i += 997) CHECK(m.contains(numbered("h", i)));

  // A copy is as full as its source.
  HeaderMapCore copy(m);
  CHECK(copy.add("h7", "x") == Result::Full);
  CHECK(copy.equals(m));
}

TEST_CASE("header map: index survives removal in random order") {
  // Sizes at the index's load limits (24/32, 48/64, 96/128 ...) give the
  // longest probe runs, where backward-shift deletion can go wrong.
  for (size_t n : {17u, 24u, 25u, 48u, 96u, 768u, 1500u}) {
    HeaderMapCore m;
    std::vector<std::string> live;
    for (size_t i = 0; i < n; ++i) {
      live.push_back(numbered("x-name-", i * 7919 % 100003));
      CHECK(m.add(live.back(), live.back() + "=v") == Result::Ok);
    }
    std::mt19937 rng(static_cast<unsigned>(n));
    std::vector<std::string> order = live;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<std::string> gone;
    for (const std::string& victim : order) {
      CHECK(m.remove(victim));
      gone.push_back(victim);
      live.erase(std::find(live.begin(), live.end(), victim));
      CHECK_EQ(m.name_count(), live.size());
      for (size_t i = 0; i < m.name_count(); ++i) {
        const std::string nm(m.name_at(i));
        if (m.find(nm) != i || m.get(nm) != std::optional<std::string_view>(nm + "=v")) {
          CHECK(false);
          break;
        }
      }
      // Only the last few removed names: enough to catch a stale slot.
      for (size_t k = gone.size() > 4 ? gone.size() - 4 : 0; k < gone.size(); ++k) CHECK(!m.contains(gone[k]));
    }
    CHECK(m.empty());
    CHECK_EQ(m.byte_size(), 0u);
  }
}

TEST_CASE("header map: churn keeps memory bounded and content right") {
  HeaderMapCore m;
  const std::string big(1000, 'q');
  CHECK(m.add("keep", "first") == Result::Ok);
  for (int i = 0; i < 5000; ++i) {
    CHECK(m.set("rotating", big + std::to_string(i)) == Result::Ok);
    CHECK(m.add("dup", std::to_string(i)) == Result::Ok);
    if (i % 3 == 0) CHECK(m.remove("dup"));
    if (i % 7 == 0) {
      CHECK(m.add(numbered("tmp", i), big) == Result::Ok);
      CHECK(m.remove(numbered("tmp", i)));
    }
    CHECK(arena_bounded(m));
  }
  CHECK(m.get("rotating") == std::optional<std::string_view>(big + "4999"));
  CHECK(m.get("keep") == std::optional<std::string_view>("first"));
  CHECK_EQ(values_of(m, "dup"), (std::vector<std::string>{"4999"}));
  CHECK_EQ(names(m), (std::vector<std::string>{"keep", "rotating", "dup"}));
}

TEST_CASE("header map: values taken from the map itself can be re-added") {
  HeaderMapCore m;
  CHECK(m.add("a", std::string(40, 'x')) == Result::Ok);
  // Each add may grow (move) the arena while the source slice points into it.
  for (int i = 0; i < 12; ++i) CHECK(m.add("a", *m.get("a")) == Result::Ok);
  CHECK(m.add("b", *m.get("a")) == Result::Ok);
  CHECK(m.set("a", *m.get("b")) == Result::Ok);
  CHECK_EQ(values_of(m, "a"), (std::vector<std::string>{std::string(40, 'x')}));
  CHECK_EQ(values_of(m, "b"), (std::vector<std::string>{std::string(40, 'x')}));
  // Names that are slices of a stored value, added with values big enough
  // to make the arena move during the add.
  for (size_t i = 0; i < 24; ++i) {
    CHECK(m.set("src", numbered("xx-name", i)) == Result::Ok);
    CHECK(m.add(m.get("src")->substr(3), std::string(64 * i, 'v')) == Result::Ok);
  }
  for (size_t i = 0; i < 24; ++i) CHECK(m.get(numbered("name", i)) == std::optional<std::string_view>(std::string(64 * i, 'v')));
}

TEST_CASE("header map: copies, moves, clear and reserve") {
  HeaderMapCore m;
  m.reserve(40, 2000);
  for (size_t i = 0; i < 40; ++i) CHECK(m.add(numbered("h", i % 30), numbered("v", i)) == Result::Ok);
  CHECK_EQ(m.name_count(), 30u);
  CHECK_EQ(m.len(), 40u);
  CHECK_EQ(values_of(m, "h3"), (std::vector<std::string>{"v3", "v33"}));

  CHECK(m.remove("h4"));  // leaves garbage for the copy to skip
  HeaderMapCore copy(m);
  CHECK(copy.equals(m));
  CHECK_EQ(items(copy), items(m));
  CHECK_EQ(copy.arena_bytes(), copy.byte_size());
  HeaderMapCore snap;  // a snapshot may keep the few dead bytes: slices must still line up
  snap.copy_from(m);
  CHECK(snap.equals(m));
  CHECK_EQ(items(snap), items(m));
  CHECK(copy.add("h1", "only-in-copy") == Result::Ok);
  CHECK(!copy.equals(m));
  CHECK_EQ(m.value_count_at(m.find("h1")), 2u);

  HeaderMapCore moved(std::move(copy));
  CHECK(copy.empty() && copy.len() == 0 && copy.byte_size() == 0);
  CHECK(!copy.contains("h1"));
  CHECK(copy.add("fresh", "1") == Result::Ok);  // a moved-from map is usable
  CHECK_EQ(items(copy), (Pairs{{"fresh", "1"}}));
  CHECK_EQ(values_of(moved, "h1"), (std::vector<std::string>{"v1", "v31", "only-in-copy"}));

  HeaderMapCore assigned;
  assigned = moved;
  CHECK(assigned.equals(moved));
  assigned = std::move(moved);
  CHECK(moved.empty());
  assigned.clear();
  CHECK(assigned.empty() && assigned.len() == 0 && assigned.byte_size() == 0);
  CHECK(!assigned.contains("h1"));
  for (size_t i = 0; i < 20; ++i) CHECK(assigned.add(numbered("z", i), "v") == Result::Ok);
  CHECK_EQ(assigned.find("z19"), 19u);
}

namespace {

// The reference: a vector of (name, values) in map order, with the order
// rules applied by hand.
struct Model {
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;

  size_t find(const std::string& n) const {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].first == n) return i;
    return HeaderMapCore::npos;
  }
  void add(const std::string& n, const std::string& v) {
    size_t i = find(n);
    if (i == HeaderMapCore::npos) rows.push_back({n, {v}});
    else rows[i].second.push_back(v);
  }
  void set(const std::string& n, const std::string& v) {
    size_t i = find(n);
    if (i == HeaderMapCore::npos) rows.push_back({n, {v}});
    else rows[i].second = {v};
  }
  bool remove(const std::string& n) {
    size_t i = find(n);
    if (i == HeaderMapCore::npos) return false;
    rows[i] = std::move(rows.back());
    rows.pop_back();
    return true;
  }
  Pairs items() const {
    Pairs out;
    for (const auto& [n, vs] : rows)
      for (const auto& v : vs) out.emplace_back(n, v);
    return out;
  }
};

bool matches(const HeaderMapCore& m, const Model& model, const std::vector<std::string>& pool) {
  if (items(m) != model.items()) return false;
  if (m.len() != model.items().size() || m.name_count() != model.rows.size()) return false;
  size_t bytes = 0;
  for (const auto& [n, vs] : model.rows) {
    bytes += n.size();
    for (const auto& v : vs) bytes += v.size();
  }
  if (m.byte_size() != bytes) return false;
  for (const std::string& n : pool) {
    const size_t i = model.find(n);
    if (m.find(n) != i || m.contains(n) != (i != HeaderMapCore::npos)) return false;
    if (i != HeaderMapCore::npos && (m.value_count_at(i) != model.rows[i].second.size() ||
                                     m.get(n) != std::optional<std::string_view>(model.rows[i].second[0])))
      return false;
  }
  return true;
}

void run_model(unsigned seed, size_t pool_size, int steps) {
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  std::vector<std::string> pool;
  for (size_t i = 0; i < pool_size; ++i) pool.push_back(std::string(1 + i % 5, 'a' + i % 26) + std::to_string(i));
  auto random_value = [&]() {
    switch (pick(8)) {
      case 0: return std::string();
      case 1: return std::string(200 + pick(3000), static_cast<char>('A' + pick(26)));
      default: return std::to_string(rng());
    }
  };

  HeaderMapCore m;
  Model model;
  for (int step = 0; step < steps; ++step) {
    const std::string& name = pool[pick(pool.size())];
    const size_t op = pick(100);
    if (op < 40) {
      std::string v = random_value();
      CHECK(m.add(name, v) == Result::Ok);
      model.add(name, v);
    } else if (op < 55) {
      std::string v = random_value();
      CHECK(m.set(name, v) == Result::Ok);
      model.set(name, v);
    } else if (op < 80) {
      CHECK_EQ(m.remove(name), model.remove(name));
    } else if (op < 85 && !model.rows.empty()) {
      // A value read out of the map goes back in under another name.
      const auto& row = model.rows[pick(model.rows.size())];
      std::string v = row.second.back();
      std::string_view own;
      m.for_each_value(row.first, [&](std::string_view x) { own = x; });
      CHECK(m.add(name, own) == Result::Ok);
      model.add(name, v);
    } else if (op < 90) {
      HeaderMapCore copy(m);
      CHECK(copy.equals(m));
      m = std::move(copy);
    } else if (op < 95) {
      // Equality with a map built in another name order.
      HeaderMapCore other;
      std::vector<size_t> idx(model.rows.size());
      for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
      std::shuffle(idx.begin(), idx.end(), rng);
      for (size_t i : idx)
        for (const auto& v : model.rows[i].second) CHECK(other.add(model.rows[i].first, v) == Result::Ok);
      CHECK(other.equals(m) && m.equals(other));
      if (!model.rows.empty()) {
        const auto& row = model.rows[pick(model.rows.size())];
        CHECK(other.add(row.first, "extra") == Result::Ok);
        CHECK(!other.equals(m) && !m.equals(other));
      }
    } else if (op < 96) {
      m.clear();
      model.rows.clear();
    } else {
      m.reserve(pick(64), pick(4096));
    }
    if (!matches(m, model, pool)) {
      std::fprintf(stderr, "model mismatch: seed %u pool %zu step %d op %zu\n", seed, pool_size, step, op);
      CHECK(false);
      return;
    }
    CHECK(arena_bounded(m));
  }
}

}  // namespace

TEST_CASE("header map: random operations agree with a reference model") {
  run_model(1, 8, 4000);    // stays in linear-scan mode
  run_model(2, 20, 4000);   // crosses the index threshold back and forth
  run_model(3, 300, 6000);  // index growth and long probe runs
}

namespace {

// SipHash-c-d as the reference text states it, a byte at a time: the
// implementation's whole-word tail loads must agree for every length.
uint64_t siphash_bytewise(int c, int d, uint64_t k0, uint64_t k1, std::string_view data) {
  uint64_t v0 = 0x736f6d6570736575ULL ^ k0, v1 = 0x646f72616e646f6dULL ^ k1, v2 = 0x6c7967656e657261ULL ^ k0,
           v3 = 0x7465646279746573ULL ^ k1;
  auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  auto round = [&]() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  auto compress = [&](uint64_t m) {
    v3 ^= m;
    for (int r = 0; r < c; ++r) round();
    v0 ^= m;
  };
  const size_t n = data.size();
  const size_t whole = n / 8 * 8;
  auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(data[i])); };
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (size_t j = 0; j < 8; ++j) m |= byte(i + j) << (8 * j);
    compress(m);
  }
  uint64_t last = static_cast<uint64_t>(n) << 56;
  for (size_t j = whole; j < n; ++j) last |= byte(j) << (8 * (j - whole));
  compress(last);
  v2 ^= 0xff;
  for (int r = 0; r < d; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

using quillon::http::FieldView;

// add_fields must leave exactly what add() one field at a time leaves.
void check_bulk_matches_adds(const HeaderMapCore& start, const Pairs& fields) {
  HeaderMapCore one_by_one(start);
  Result expect = Result::Ok;
  for (const auto& [n, v] : fields) {
    std::string lower = n;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (one_by_one.add(lower, v) != Result::Ok) {
      expect = Result::Full;
      break;
    }
  }
  std::vector<FieldView> views;
  for (const auto& [n, v] : fields) views.push_back(FieldView{n, v});
  HeaderMapCore bulk(start);
  CHECK(bulk.add_fields(views.data(), views.size()) == expect);
  const HeaderMapCore& want = expect == Result::Ok ? one_by_one : start;
  CHECK_EQ(items(bulk), items(want));
  CHECK_EQ(names(bulk), names(want));
  CHECK_EQ(bulk.len(), want.len());
  CHECK_EQ(bulk.byte_size(), want.byte_size());
  CHECK(arena_bounded(bulk));
  // Lookups, removal and later inserts see a consistent map.
  HeaderMapCore ref(want);
  for (size_t i = 0; i < fields.size(); i += 3) {
    std::string lower = fields[i].first;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    CHECK_EQ(values_of(bulk, lower), values_of(ref, lower));
    CHECK_EQ(bulk.remove(lower), ref.remove(lower));
  }
  CHECK(bulk.add("late-name", "x") == ref.add("late-name", "x"));
  CHECK_EQ(items(bulk), items(ref));
  CHECK(bulk.equals(ref) && ref.equals(bulk));
  // The checked fill keys each name from the words it lowered: lookups, made
  // from the stored bytes, must find every one of them.
  if (!start.empty() || fields.size() > kMaxHeaderNames) return;
  HeaderMapCore checked;
  CHECK_EQ(checked.fill_checked(views.data(), views.size()), views.size());
  CHECK_EQ(items(checked), items(one_by_one));
  CHECK(checked.equals(one_by_one) && one_by_one.equals(checked));
  for (const auto& [n, v] : fields) {
    std::string lower = n;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    CHECK_EQ(values_of(checked, lower), values_of(one_by_one, lower));
  }
}

}  // namespace

TEST_CASE("siphash: whole-word tail loads agree with the byte-wise reference at every length") {
  std::mt19937_64 rng(7);
  std::string msg;
  for (int i = 0; i < 70; ++i) msg.push_back(static_cast<char>(rng()));
  for (int trial = 0; trial < 4; ++trial) {
    const uint64_t k0 = rng(), k1 = rng();
    for (size_t len = 0; len <= msg.size(); ++len) {
      // Unaligned starts too: the loads must not assume alignment.
      const std::string_view m = std::string_view(msg).substr(trial, std::min(len, msg.size() - trial));
      CHECK((quillon::http::siphash<1, 3>(k0, k1, m) == siphash_bytewise(1, 3, k0, k1, m)));
      CHECK((quillon::http::siphash<2, 4>(k0, k1, m) == siphash_bytewise(2, 4, k0, k1, m)));
    }
  }
}

TEST_CASE("header map: add_fields equals add() field by field") {
  std::mt19937 rng(11);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::vector<std::string> pool = {"Host", "host", "ACCEPT", "accept-encoding", "X-A", "x-a", "Set-Cookie",
                                         "te", "Content-Length", "a", "ab", "abc", "abcd", "sec-fetch-dest",
                                         "Sec-Fetch-Mode", "x-very-long-header-name-for-the-wide-loads"};
  for (int round = 0; round < 300; ++round) {
    Pairs fields;
    const size_t count = pick(4) == 0 ? 33 + pick(120) : pick(40);
    const size_t mode = pick(4);
    for (size_t i = 0; i < count; ++i) {
      std::string name;
      if (mode == 0) {
        name = numbered(pick(2) ? "X-Field-" : "x-field-", pick(200));
      } else if (mode == 1) {
        // Same length, first and last eight bytes: equal fingerprints, so
        // the fill's repeat scans pay in full until it turns to the index.
        name = "X-Shared-" + std::to_string(1000 + pick(400)) + "-the-same-end";
      } else {
        name = pool[pick(pool.size())];
      }
      std::string value = pick(5) == 0 ? std::string(pick(200), 'v') : std::to_string(rng());
      fields.emplace_back(std::move(name), std::move(value));
    }
    HeaderMapCore start;
    if (round % 4 == 1) start = from({{"host", "h"}, {"x-a", "0"}});  // a map with content
    if (round % 4 == 2) {
      // Emptied by removal: past the linear scan, so its index outlives its names.
      for (size_t i = 0; i < 40; ++i) CHECK(start.add(numbered("gone-", i), "x") == Result::Ok);
      for (size_t i = 0; i < 40; ++i) CHECK(start.remove(numbered("gone-", i)));
    }
    check_bulk_matches_adds(start, fields);
  }
}

TEST_CASE("header map: add_fields at the name limit") {
  Pairs fields;
  for (size_t i = 0; i < kMaxHeaderNames; ++i) fields.emplace_back(numbered("N-", i), "v");
  check_bulk_matches_adds(HeaderMapCore(), fields);  // exactly full: accepted
  fields.emplace_back("n-0", "again");               // a value for a present name, once full: refused
  check_bulk_matches_adds(HeaderMapCore(), fields);
  fields.back() = {"n-new", "v"};  // one name too many: refused, map unchanged
  check_bulk_matches_adds(from({{"kept", "1"}}), fields);
  Pairs few = {{"A", "1"}, {"b", "2"}, {"a", "3"}};
  check_bulk_matches_adds(HeaderMapCore(), few);
  HeaderMapCore m;
  CHECK(m.add_fields(nullptr, 0) == Result::Ok);
  CHECK(m.empty());
}

TEST_CASE("header map: fill_checked stops at the first invalid field, leaving the map empty") {
  // Names and values are checked a word or a vector at a time while they are
  // copied: a bad byte at every offset of lengths around those widths.
  for (size_t len : {1u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 40u}) {
    for (size_t at = 0; at < len; ++at) {
      for (int c : {0, int{'\r'}, int{'\n'}, int{':'}, int{' '}, 0x7F, 0x80, 0xFF, int{'\t'}, int{'Z'}}) {
        for (const bool in_name : {true, false}) {
          std::string name(len, 'N'), value(len, 'v');
          (in_name ? name : value)[at] = static_cast<char>(c);
          const bool valid = in_name ? rule_token(c) : rule_value_byte(c);
          const Pairs fields = {{"Before", "1"}, {"x-Same", "2"}, {name, value}, {"x-same", "3"}};
          std::vector<FieldView> views;
          for (const auto& [n, v] : fields) views.push_back(FieldView{n, v});
          HeaderMapCore m;
          const size_t got = m.fill_checked(views.data(), views.size());
          CHECK_EQ(got, valid ? views.size() : size_t{2});
          if (!valid) {
            CHECK(m.empty() && m.len() == 0 && m.byte_size() == 0);
            continue;
          }
          std::string lower = name;
          for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
          CHECK_EQ(values_of(m, lower), std::vector<std::string>{value});
          CHECK_EQ(values_of(m, "x-same"), (std::vector<std::string>{"2", "3"}));
        }
      }
    }
  }
  HeaderMapCore m;
  const std::string too_long(kMaxHeaderNameLen + 1, 'n');
  const FieldView empty_name{"", "v"}, long_name{too_long, "v"};
  CHECK_EQ(m.fill_checked(&empty_name, 1), size_t{0});
  CHECK_EQ(m.fill_checked(&long_name, 1), size_t{0});
  CHECK(m.empty());
}

TEST_CASE("header map: a freed block handed to the next map is used within its bounds") {
  // Maps of a few dozen fields free blocks of the size that is kept for the
  // next map; each one after takes it whole, possibly larger than it asked
  // for, and then grows past it.
  for (size_t round = 0; round < 40; ++round) {
    const size_t count = 12 + (round * 7) % 40;
    Pairs fields;
    for (size_t i = 0; i < count; ++i) fields.emplace_back(numbered("x-spare-", i), std::string(round % 13 + i % 5, 'v'));
    std::vector<FieldView> views;
    for (const auto& [n, v] : fields) views.push_back(FieldView{n, v});
    HeaderMapCore m;
    CHECK_EQ(m.fill_checked(views.data(), views.size()), views.size());
    for (size_t i = 0; i < 30; ++i) CHECK(m.add(numbered("x-late-", i), std::string(i, 'w')) == Result::Ok);
    HeaderMapCore ref = from(fields);
    for (size_t i = 0; i < 30; ++i) CHECK(ref.add(numbered("x-late-", i), std::string(i, 'w')) == Result::Ok);
    CHECK_EQ(items(m), items(ref));
    HeaderMapCore copy(m);
    CHECK(copy.equals(ref));
  }
}

TEST_CASE("header map: a Fill finds repeats after a removal moved a name") {
  // remove() moves the last name into the hole, so the fill's table of
  // names must follow: later repeats of both names land on the right ones.
  const std::string block = "Content-Length5X-A1X-B2X-C3";
  auto at = [&](size_t off, size_t len) { return std::string_view(block).substr(off, len); };
  for (size_t fields = 5; fields <= 200; fields += 65) {  // small and large tables
    HeaderMapCore m;
    {
      HeaderMapCore::Fill fill(m, fields, block);
      fill.add(at(0, 14), at(14, 1));   // content-length
      fill.add(at(15, 3), at(18, 1));   // x-a
      fill.add(at(19, 3), at(22, 1));   // x-b
      CHECK(fill.remove("content-length"));
      fill.add(at(19, 3), at(26, 1));   // x-b again, now at position 0
      fill.add(at(23, 3), at(22, 1));   // x-c
      fill.add(at(15, 3), at(26, 1));   // x-a again
    }
    CHECK_EQ(items(m), (Pairs{{"x-b", "2"}, {"x-b", "3"}, {"x-a", "1"}, {"x-a", "3"}, {"x-c", "2"}}));
  }
}
