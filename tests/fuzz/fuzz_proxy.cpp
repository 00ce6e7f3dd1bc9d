// Fuzz harness for proxy selection: a matcher built from fuzzed all / http /
// https / no-proxy texts, asked about fuzzed destination URLs. Input layout:
//   byte 0: bits 0..3 say which of all, http, https, no are given; bit 4
//           picks raw texts (the rest split at "\n": the four settings, then
//           destinations) instead of texts assembled from URL pieces
//   rest:   the texts (see url_text and no_proxy_text)
// Checks: no crash or sanitizer report; every intercept's target parses, is
// http/https/socks "://" host "/" and never holds an "@" (credentials never
// reach the target); Basic credentials are Base64 of UTF-8 text holding a
// ":"; SOCKS credentials are UTF-8; credentials written without escapes come
// out as written; the per-scheme slots fall back to `all`; intercept and
// select agree, and a destination is refused only when the rules say so
// (bypass checked against the matching rules written out here, after the
// module's own unbracket_host: a host's brackets are read one way only);
// percent-decoding always yields valid UTF-8, and the module's UTF-8 check
// agrees with the one here.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "http/proxy.hpp"
#include "http/uri.hpp"

using namespace quillon::http;

namespace {

// Destinations asked per input, and pieces per assembled text: enough for
// every rule kind to meet every host kind, small enough to stay cheap.
constexpr size_t kMaxDestinations = 6;
constexpr size_t kMaxPieces = 16;
// Bytes of each text percent-decoded by itself (raw texts can be long).
constexpr size_t kMaxDecodedPrefix = 256;

// ---- input -------------------------------------------------------------------------

using fuzz::Reader;

// Pieces URLs, proxy URLs and no-proxy lists are made of: schemes, user
// information with escapes (valid and invalid UTF-8 once decoded), IPv4 and
// IPv6 literals, prefixes in and out of range, domain rules with and without
// the leading dot, ports in and out of range, and bytes no URL may hold.
constexpr std::string_view kPieces[] = {
    "a", "b", "x", "p", "a.b", ".a.b", "x.a.b", "xa.b", "A.B", "X.A.b", "localhost", "proxy", "*", ".",
    "..", ",", ", ", " ", "\t", ":", "@", "%", "%3A", "%3a", "%40", "%25", "%41", "%c3%a9", "%C3",
    "%E2%82%AC", "%E2%82", "%ED%A0%80", "%F4%90%80%80", "%F0%9F%98%80", "%FF", "%C0%AF", "%E0%80%AF",
    "%F8%88%80%80%80", "%2", "%g1", "[", "]", "::1", "::", "fe80::1", "1:2:3:4:5:6:7:8",
    "::ffff:10.0.0.1", "10.0.0.1", "10.2.3.4", "127.0.0.1", "192.168.0.0", "0.0.0.0",
    "255.255.255.255", "1.2.3", "01.2.3.4", "/", "/0", "/1", "/8", "/24", "/31", "/32", "/33", "/64",
    "/127", "/128", "/129", "/999", "3128", "80", "443", "0", "65535", "65536", "99999", "+1", "-1",
    "?", "?q=1", "#", "#f", "/path", "user", "pass", "u:p", "\xc3\xa9", "\xff", std::string_view("\0", 1),
    "\x7f", "\r\n", "=", "~", "!$&'()*+;=", "http://", "https://", "socks5://", "//"};
constexpr size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];

constexpr std::string_view kProxySchemes[] = {"http://", "https://", "socks5://", "socks5h://", "socks4://",
                                              "socks4a://", "", "HTTP://", "HtTpS://", "SOCKS5://", "ftp://"};
constexpr std::string_view kDestSchemes[] = {"http://", "https://", "HTTP://", "hTTps://", "ws://", "", "//"};
constexpr std::string_view kUserinfos[] = {"u@", "user:pass@", "a%3Ab:c%40d@", "%C3%A9:%FF@", "u@v@", ":@",
                                           "@", "%ED%A0%80:%E2%82@", "p:@ss@", "u:p:q@", "%%41@"};
constexpr std::string_view kHosts[] = {"p", "proxy", "a.b", "x.a.b", "xa.b", "A.B", "X.A.b", "localhost",
                                       "10.0.0.1", "10.2.3.4", "127.0.0.1", "255.255.255.255", "1.2.3",
                                       "[::1]", "[fe80::1]", "[::ffff:10.0.0.1]", "[1:2:3:4:5:6:7:8]", "[::]",
                                       "[[::1]]", "[10.0.0.1]", "[", "a..b", ".a.b"};
constexpr std::string_view kPorts[] = {":3128", ":80", ":0", ":65535", ":65536", ":", ":abc", ":+1", ""};
constexpr std::string_view kTails[] = {"", "/", "/x?q#f", "?q", "#f", "/p/"};
constexpr std::string_view kRules[] = {"a.b", ".a.b", "A.B", "x.a.b", "*", "localhost", "10.0.0.0/8",
                                       "10.2.3.4/8", "10.2.3.4/16", "10.2.3.4/24", "10.2.3.4/31", "10.2.3.4",
                                       "10.2.3.4/32", "0.0.0.0/0", "127.0.0.1/31", "::1", "[::1]",
                                       "fe80::/10", "fe80::1/64", "1:2:3:4:5:6:7:8/48", "::/0",
                                       "::ffff:10.0.0.0/104", "10.0.0.0/33", "::1/129", "p:80", "", " ",
                                       " a.b ", "\ta.b"};
constexpr std::string_view kSeparators[] = {",", ", ", " ,", ",,"};

template <size_t N>
std::string_view pick(Reader& in, const std::string_view (&from)[N]) {
  return from[in.byte() % N];
}

// Appends up to `max_pieces` pieces: piece bytes index kPieces, except that
// bytes from 0xE0 take the next input byte literally.
void append_pieces(Reader& in, std::string& t, size_t max_pieces) {
  const size_t pieces = in.byte() % (max_pieces + 1);
  for (size_t i = 0; i < pieces && in.more(); ++i) {
    const uint8_t b = in.byte();
    if (b >= 0xE0) {
      t.push_back(static_cast<char>(in.byte()));
    } else {
      t.append(kPieces[b % kPieceCount]);
    }
  }
}

// A URL: usually scheme, optional user information, host, port and tail
// from the lists (so proxies get set and destinations reach the rules),
// now and then followed by free pieces; one in eight is free pieces only.
template <size_t N>
std::string url_text(Reader& in, const std::string_view (&schemes)[N]) {
  const uint8_t shape = in.byte();
  std::string t(pick(in, schemes));
  if (shape % 8 == 0) {
    append_pieces(in, t, kMaxPieces);
    return t;
  }
  if (shape & 8) t.append(pick(in, kUserinfos));
  t.append(pick(in, kHosts));
  if (shape & 16) t.append(pick(in, kPorts));
  if (shape & 32) t.append(pick(in, kTails));
  if (shape & 64) append_pieces(in, t, 2);
  return t;
}

// A no-proxy list: rules from the list, now and then free pieces instead.
std::string no_proxy_text(Reader& in) {
  std::string t;
  const size_t rules = in.byte() % 6;
  for (size_t i = 0; i < rules; ++i) {
    const uint8_t b = in.byte();
    if (i != 0) t.append(kSeparators[b % 4]);
    if (b & 0x80) append_pieces(in, t, 3);
    else t.append(pick(in, kRules));
  }
  return t;
}

// ---- rules written out here ------------------------------------------------------------

// UTF-8 by decoding code points (a different method from the module's table
// of byte ranges): no overlongs, no surrogates, nothing above U+10FFFF.
bool ref_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp, min;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding without the UTF-8 repair.
std::string ref_percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Strict standard Base64 (padding required, nothing else tolerated).
std::optional<std::string> base64_decode(std::string_view s) {
  if (s.size() % 4 != 0) return std::nullopt;
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(s.size() / 4 * 3);
  for (size_t i = 0; i < s.size(); i += 4) {
    const bool last = i + 4 == s.size();
    const int pad = last ? (s[i + 3] == '=') + (s[i + 2] == '=') : 0;
    if (pad == 1 && s[i + 2] == '=') return std::nullopt;  // "x=y=" and the like
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = k >= 4 - pad ? 0 : val(s[i + k]);
      if (d < 0) return std::nullopt;
      v = (v << 6) | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<char>(v >> 16));
    if (pad < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; }

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The four domain-rule cases, one by one.
bool ref_domain_match(std::string_view d, std::string_view host) {
  if (ieq(d, host)) return true;
  if (!d.empty() && d[0] == '.' && ieq(d.substr(1), host)) return true;
  if (host.size() >= d.size() && ieq(host.substr(host.size() - d.size()), d)) {
    if (!d.empty() && d[0] == '.') return true;
    if (host.size() > d.size() && host[host.size() - d.size() - 1] == '.') return true;
  }
  return d == "*";
}

// An IP literal as the C library reads it (no embedded NUL).
bool ref_ip(std::string_view text, bool& v6, uint8_t (&addr)[16]) {
  if (text.empty() || text.find('\0') != std::string_view::npos) return false;
  const std::string z(text);
  std::memset(addr, 0, sizeof addr);
  if (inet_pton(AF_INET, z.c_str(), addr) == 1) {
    v6 = false;
    return true;
  }
  if (inet_pton(AF_INET6, z.c_str(), addr) == 1) {
    v6 = true;
    return true;
  }
  return false;
}

bool bit(const uint8_t* a, unsigned i) { return (a[i / 8] >> (7 - i % 8)) & 1; }

// The destination check's bypass test, bit by bit for networks.
bool ref_bypassed(const ProxyMatcherCore& m, std::string_view host) {
  const std::string_view h = unbracket_host(host);
  bool v6;
  uint8_t addr[16];
  if (ref_ip(h, v6, addr)) {
    for (const IpRule& r : m.ip_rules()) {
      if (r.v6 != v6) continue;
      bool inside = true;
      for (unsigned i = 0; i < r.prefix && inside; ++i) inside = bit(r.addr, i) == bit(addr, i);
      if (inside) return true;
    }
    return false;
  }
  for (const std::string& d : m.domain_rules())
    if (ref_domain_match(d, h)) return true;
  return false;
}

// ---- checks ----------------------------------------------------------------------------------

bool same(const ProxyInterceptCore* a, const ProxyInterceptCore* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->uri == b->uri && a->auth == b->auth && a->basic == b->basic && a->user == b->user &&
         a->password == b->password;
}

// What every intercept must satisfy, wherever it came from.
void check_intercept(const ProxyInterceptCore& r) {
  const bool socks = starts_with(r.uri, "socks");
  FUZZ_ASSERT(starts_with(r.uri, "http://") || starts_with(r.uri, "https://") ||
              starts_with(r.uri, "socks4://") || starts_with(r.uri, "socks4a://") ||
              starts_with(r.uri, "socks5://") || starts_with(r.uri, "socks5h://"));
  FUZZ_ASSERT(!r.uri.empty() && r.uri.back() == '/');
  FUZZ_ASSERT(r.uri.find('@') == std::string::npos);
  UriView t;
  FUZZ_ASSERT(parse_uri(r.uri, t) == UriError::None);
  FUZZ_ASSERT(t.has_authority && !t.has_userinfo && !t.host.empty() && t.path == "/" && !t.has_query);
  FUZZ_ASSERT(check_port(t) == UriError::None);
  FUZZ_ASSERT(r.uri.size() == t.scheme_text.size() + 3 + t.hostport.size() + 1);
  switch (r.auth) {
    case ProxyInterceptCore::Auth::None:
      FUZZ_ASSERT(r.basic.empty() && r.user.empty() && r.password.empty());
      break;
    case ProxyInterceptCore::Auth::Basic: {
      FUZZ_ASSERT(!socks && r.user.empty() && r.password.empty());
      FUZZ_ASSERT(starts_with(r.basic, "Basic "));
      const auto pair = base64_decode(std::string_view(r.basic).substr(6));
      FUZZ_ASSERT(pair && pair->find(':') != std::string::npos);
      FUZZ_ASSERT(ref_utf8(*pair));
      break;
    }
    case ProxyInterceptCore::Auth::Raw:
      FUZZ_ASSERT(socks && r.basic.empty());
      FUZZ_ASSERT(ref_utf8(r.user) && ref_utf8(r.password));
      break;
  }
}

// A proxy text's intercept, checked against the text it came from.
std::optional<ProxyInterceptCore> check_proxy_text(std::string_view text) {
  std::optional<ProxyInterceptCore> r = parse_proxy_url(text);
  if (!r) return r;
  check_intercept(*r);
  UriView u, t;
  FUZZ_ASSERT(parse_uri(text, u) == UriError::None && u.has_authority);
  FUZZ_ASSERT(parse_uri(r->uri, t) == UriError::None);
  FUZZ_ASSERT(t.host == u.host && t.has_port == u.has_port && t.port_text == u.port_text);
  FUZZ_ASSERT((r->auth != ProxyInterceptCore::Auth::None) == u.has_userinfo);
  // User information written without escapes in valid UTF-8 comes out as
  // written: user, then ":" (added when absent), then password.
  if (u.has_userinfo && u.userinfo.find('%') == std::string_view::npos && ref_utf8(u.userinfo)) {
    std::string pair(u.userinfo);
    if (pair.find(':') == std::string::npos) pair.push_back(':');
    if (r->auth == ProxyInterceptCore::Auth::Basic) {
      FUZZ_ASSERT(base64_decode(std::string_view(r->basic).substr(6)) == pair);
    } else {
      FUZZ_ASSERT(r->user.find(':') == std::string::npos);
      FUZZ_ASSERT(r->user + ":" + r->password == pair);
    }
  }
  return r;
}

// Percent-decoding repairs to valid UTF-8 and changes nothing else.
void check_percent_decode(std::string_view text) {
  const std::string raw = ref_percent_decode(text);
  const bool raw_ok = ref_utf8(raw);
  FUZZ_ASSERT(is_valid_utf8(raw) == raw_ok);
  FUZZ_ASSERT(is_valid_utf8(text) == ref_utf8(text));
  const std::string out = percent_decode_lossy(text);
  FUZZ_ASSERT(ref_utf8(out));
  if (raw_ok) FUZZ_ASSERT(out == raw);
  else FUZZ_ASSERT(out.size() <= 3 * raw.size() && out.find("\xEF\xBF\xBD") != std::string::npos);
}

void check_no_proxy(const ProxyMatcherCore& m, std::string_view text) {
  std::vector<IpRule> ip;
  std::vector<std::string> dom;
  parse_no_proxy(text, ip, dom);
  FUZZ_ASSERT(ip.size() == m.ip_rules().size() && dom == m.domain_rules());
  for (size_t i = 0; i < ip.size(); ++i) {
    const IpRule& r = ip[i];
    FUZZ_ASSERT(r.v6 == m.ip_rules()[i].v6 && r.prefix == m.ip_rules()[i].prefix);
    FUZZ_ASSERT(std::memcmp(r.addr, m.ip_rules()[i].addr, 16) == 0);
    const unsigned width = r.v6 ? 128 : 32;
    FUZZ_ASSERT(r.prefix <= width);
    for (unsigned b = r.prefix; b < 128; ++b) FUZZ_ASSERT(!bit(r.addr, b));
  }
  for (const std::string& d : dom) {
    FUZZ_ASSERT(!d.empty() && d.find(',') == std::string::npos);
    for (char c : {d.front(), d.back()}) FUZZ_ASSERT(std::string_view(" \t\n\r\f\v").find(c) == std::string_view::npos);
  }
}

void check_destination(const ProxyMatcherCore& m, std::string_view url) {
  const std::optional<ProxyInterceptCore> r = m.intercept(url);
  const ProxyMatcherCore::InterceptPtr p = m.select(url);
  FUZZ_ASSERT(same(r ? &*r : nullptr, p.get()));
  UriView u;
  const bool parsed = parse_uri(url, u) == UriError::None;
  const bool dialable = parsed && u.has_authority && !u.host.empty();
  const ProxyInterceptCore* slot = !dialable                      ? nullptr
                                   : u.scheme == Scheme::Http  ? m.http_proxy()
                                   : u.scheme == Scheme::Https ? m.https_proxy()
                                                                : nullptr;
  if (!dialable) {
    FUZZ_ASSERT(!r);
    return;
  }
  const bool bypassed = m.bypassed(u.host);
  FUZZ_ASSERT(bypassed == ref_bypassed(m, u.host));
  // Refused exactly when there is no proxy for the scheme or the rules
  // bypass the host; otherwise the slot's intercept, whole.
  FUZZ_ASSERT(same(r ? &*r : nullptr, (slot != nullptr && !bypassed) ? slot : nullptr));
  if (r) check_intercept(*r);
  for (const std::string& d : m.domain_rules()) FUZZ_ASSERT(domain_rule_matches(d, u.host) == ref_domain_match(d, u.host));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  Reader in{data + 1, size - 1};

  // The four settings, then the destinations.
  std::vector<std::string> texts;
  if (flags & 0x10) {
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (size_t start = 0; start <= rest.size() && texts.size() < 4 + kMaxDestinations;) {
      size_t nl = rest.find('\n', start);
      if (nl == std::string_view::npos) nl = rest.size();
      texts.emplace_back(rest.substr(start, nl - start));
      start = nl + 1;
    }
  } else {
    for (int i = 0; i < 3; ++i) texts.push_back(url_text(in, kProxySchemes));
    texts.push_back(no_proxy_text(in));
    while (in.more() && texts.size() < 4 + kMaxDestinations) texts.push_back(url_text(in, kDestSchemes));
  }
  texts.resize(std::max<size_t>(texts.size(), 4));

  ProxyConfig config;
  std::optional<std::string>* slots[] = {&config.all, &config.http, &config.https, &config.no};
  for (int i = 0; i < 4; ++i)
    if (flags & (1u << i)) *slots[i] = texts[i];

  std::optional<ProxyInterceptCore> parsed[3];
  for (int i = 0; i < 3; ++i)
    if (*slots[i]) parsed[i] = check_proxy_text(**slots[i]);

  const ProxyMatcherCore m(config);
  // http = http, else all; https = https, else all.
  const ProxyInterceptCore* all = parsed[0] ? &*parsed[0] : nullptr;
  FUZZ_ASSERT(same(m.http_proxy(), parsed[1] ? &*parsed[1] : all));
  FUZZ_ASSERT(same(m.https_proxy(), parsed[2] ? &*parsed[2] : all));
  if (config.no) check_no_proxy(m, *config.no);
  else FUZZ_ASSERT(m.ip_rules().empty() && m.domain_rules().empty());

  for (size_t i = 4; i < texts.size(); ++i) {
    check_destination(m, texts[i]);
    // The bypass test on its own, for host texts no URL would yield
    // ("[[::1]]", stray brackets, spaces).
    FUZZ_ASSERT(m.bypassed(texts[i]) == ref_bypassed(m, texts[i]));
  }
  // Long texts tell these two nothing more than their start does.
  for (const std::string& t : texts) {
    check_percent_decode(std::string_view(t).substr(0, kMaxDecodedPrefix));
    const std::string_view head = std::string_view(t).substr(0, 32);
    FUZZ_ASSERT(base64_decode(base64_encode(head)) == head);
  }
  return 0;
}
