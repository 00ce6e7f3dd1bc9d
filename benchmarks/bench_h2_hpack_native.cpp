// The HPACK core against nghttp2's inflater and deflater (libnghttp2, a
// benchmark-only dependency), on the blocks of the shared HPACK stories.
//
//   cmake -S . -B build/bench -G Ninja -DQUILLON_CORE_ONLY=ON -DQUILLON_BENCH=ON
//   cmake --build build/bench && build/bench/bench_h2_hpack_native [testdata dir]
//
// Decoding: every block of the five encoders' stories, one context per
// story, with the story's table-size changes; ours fills a HeaderBlock (a
// HeaderMapCore and the pseudo-header slots), nghttp2 hands out each field.
// Encoding: every head of the raw-data stories, one context per story, the
// fields in story order. Figures are best-of-runs totals, ratio = theirs /
// ours (above 1: we are faster). Target: within 1.5x, or faster.
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "h2/hpack.hpp"

namespace fs = std::filesystem;
using namespace quillon::h2;

namespace {

struct Block {
  long table_size = -1;  // a SETTINGS_HEADER_TABLE_SIZE acknowledged just before
  std::string wire;
};
using Head = std::vector<std::pair<std::string, std::string>>;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A JSON string starting at s[i] == '"'; i ends past the closing quote.
std::string json_string(const std::string& s, size_t& i) {
  std::string out;
  for (++i; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] != '\\') {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    if (c == 'u') {
      const unsigned cp = static_cast<unsigned>(std::stoul(s.substr(i + 1, 4), nullptr, 16));
      i += 4;
      if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
      } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      }
    } else {
      out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
    }
  }
  ++i;
  return out;
}

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

// The case objects of a story file ({"description": ..., "cases": [{...}]}):
// the objects that open two levels of nesting down, strings skipped.
std::vector<std::string> cases_of(const std::string& json) {
  std::vector<std::string> out;
  int depth = 0;
  size_t start = 0;
  bool in_string = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (depth++ == 2) start = i;
    } else if (c == '}' || c == ']') {
      if (--depth == 2) out.push_back(json.substr(start, i + 1 - start));
    }
  }
  return out;
}

std::vector<std::vector<Block>> load_wire(const fs::path& root) {
  std::vector<std::vector<Block>> stories;
  for (const char* enc : {"go-hpack", "nghttp2", "nghttp2-change-table-size", "python-hpack", "swift-nio-hpack-plain-text"}) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(root / "hpack" / enc)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::vector<Block> story;
      for (const std::string& c : cases_of(read_file(f))) {
        Block b;
        size_t t = c.find("\"header_table_size\"");
        if (t != std::string::npos) {
          t = c.find(':', t) + 1;
          while (c[t] == ' ') ++t;
          if (c[t] != 'n') b.table_size = std::stol(c.substr(t));
        }
        size_t w = c.find('"', c.find(':', c.find("\"wire\"")) + 1);
        b.wire = unhex(json_string(c, w));
        story.push_back(std::move(b));
      }
      stories.push_back(std::move(story));
    }
  }
  return stories;
}

std::vector<std::vector<Head>> load_heads(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(root / "hpack" / "raw-data")) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<std::vector<Head>> stories;
  for (const auto& f : files) {
    std::vector<Head> story;
    for (const std::string& c : cases_of(read_file(f))) {
      Head head;
      size_t i = c.find('[', c.find("\"headers\"")) + 1;
      for (;;) {
        while (c[i] == ' ' || c[i] == ',' || c[i] == '\n' || c[i] == '\r' || c[i] == '\t') ++i;
        if (c[i] != '{') break;
        i = c.find('"', i);
        std::string name = json_string(c, i);
        i = c.find('"', c.find(':', i));
        std::string value = json_string(c, i);
        i = c.find('}', i) + 1;
        head.emplace_back(std::move(name), std::move(value));
      }
      story.push_back(std::move(head));
    }
    stories.push_back(std::move(story));
  }
  return stories;
}

template <class F>
double best_ms(F&& f, int runs = 15) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

fs::path find_testdata(int argc, char** argv) {
  if (argc > 1) return argv[1];
  if (const char* env = std::getenv("QUILLON_TESTDATA")) return env;
  for (auto p = fs::current_path(); p != p.parent_path(); p = p.parent_path())
    if (fs::exists(p / "shared/testdata/hpack")) return p / "shared/testdata";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = find_testdata(argc, argv);
  if (root.empty()) {
    std::fprintf(stderr, "shared HPACK test data not found: pass its folder or set QUILLON_TESTDATA\n");
    return 2;
  }
  const auto wire = load_wire(root);
  const auto heads = load_heads(root);
  size_t blocks = 0, fields_out = 0;
  for (const auto& s : wire) blocks += s.size();

  auto ours_decode = [&] {
    for (const auto& story : wire) {
      hpack::Decoder d;
      for (const Block& b : story) {
        if (b.table_size >= 0) d.queue_size_update(static_cast<uint32_t>(b.table_size));
        hpack::HeaderBlock out;
        size_t consumed;
        if (d.decode(b.wire, consumed, 1u << 24, out) != hpack::DecodeError::None) std::abort();
        fields_out += out.fields.len();
      }
    }
  };
  auto theirs_decode = [&] {
    for (const auto& story : wire) {
      nghttp2_hd_inflater* inf;
      nghttp2_hd_inflate_new(&inf);
      for (const Block& b : story) {
        if (b.table_size >= 0) nghttp2_hd_inflate_change_table_size(inf, static_cast<size_t>(b.table_size));
        auto* in = reinterpret_cast<const uint8_t*>(b.wire.data());
        size_t left = b.wire.size();
        for (;;) {
          nghttp2_nv nv;
          int flags = 0;
          const auto n = nghttp2_hd_inflate_hd2(inf, &nv, &flags, in, left, 1);
          if (n < 0) std::abort();
          in += n;
          left -= static_cast<size_t>(n);
          if (flags & NGHTTP2_HD_INFLATE_EMIT) ++fields_out;
          if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(inf);
            break;
          }
        }
      }
      nghttp2_hd_inflate_del(inf);
    }
  };

  size_t cases = 0, out_bytes = 0, head_fields = 0;
  std::vector<std::vector<std::vector<hpack::Field>>> our_fields;
  std::vector<std::vector<std::vector<nghttp2_nv>>> their_fields;
  for (const auto& story : heads) {
    auto& of = our_fields.emplace_back();
    auto& tf = their_fields.emplace_back();
    for (const Head& h : story) {
      ++cases;
      auto& o = of.emplace_back();
      auto& t = tf.emplace_back();
      for (const auto& [n, v] : h) {
        ++head_fields;
        o.push_back({n, v});
        t.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(n.data())),
                     reinterpret_cast<uint8_t*>(const_cast<char*>(v.data())), n.size(), v.size(), NGHTTP2_NV_FLAG_NONE});
      }
    }
  }
  std::string buf;
  std::vector<uint8_t> tbuf(1 << 20);
  auto ours_encode = [&] {
    for (const auto& story : our_fields) {
      hpack::Encoder e;
      for (const auto& f : story) {
        buf.clear();
        e.encode(f.data(), f.size(), nullptr, nullptr, 0, buf);
        out_bytes += buf.size();
      }
    }
  };
  auto theirs_encode = [&] {
    for (const auto& story : their_fields) {
      nghttp2_hd_deflater* def;
      nghttp2_hd_deflate_new(&def, 4096);
      for (const auto& f : story) {
        const auto n = nghttp2_hd_deflate_hd(def, tbuf.data(), tbuf.size(), const_cast<nghttp2_nv*>(f.data()), f.size());
        if (n < 0) std::abort();
        out_bytes += static_cast<size_t>(n);
      }
      nghttp2_hd_deflate_del(def);
    }
  };

  const double od = best_ms(ours_decode), td = best_ms(theirs_decode);
  const double oe = best_ms(ours_encode), te = best_ms(theirs_encode);
  std::printf("HPACK core against nghttp2 %s (best of runs, ratio = nghttp2 / ours)\n", NGHTTP2_VERSION);
  std::printf("  decode %zu story blocks   ours %8.3f ms  nghttp2 %8.3f ms  (%.2fx)\n", blocks, od, td, td / od);
  std::printf("  encode %zu raw-data heads ours %8.3f ms  nghttp2 %8.3f ms  (%.2fx)  [%zu fields]\n", cases, oe, te,
              te / oe, head_fields);
  return fields_out == 0 || out_bytes == 0;
}
