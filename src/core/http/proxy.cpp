// Proxy selection. Everything that can be prepared is prepared when the
// matcher is built (targets, Base64 credentials, parsed IP rules), so a
// lookup is one URI parse plus a linear scan of the bypass rules.
#include "http/proxy.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "http/chars.hpp"
#include "http/uri.hpp"

namespace quillon::http {

namespace {

// Longest text inet_pton can accept as an address (INET6_ADDRSTRLEN plus
// room); anything longer is not an IP literal and is never copied.
constexpr size_t kMaxIpTextLen = 63;

inline bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Parses an IPv4 or IPv6 literal (the C library's strict forms) into `rule`
// with a full-length prefix. No allocation: the text is copied to the stack
// only to give inet_pton its terminating NUL.
bool parse_ip(std::string_view text, IpRule& rule) {
  if (text.empty() || text.size() > kMaxIpTextLen) return false;
  char buf[kMaxIpTextLen + 1];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  if (std::memchr(buf, '\0', text.size()) != nullptr) return false;  // embedded NUL
  if (inet_pton(AF_INET, buf, rule.addr) == 1) {
    rule.v6 = false;
    rule.prefix = 32;
    return true;
  }
  if (inet_pton(AF_INET6, buf, rule.addr) == 1) {
    rule.v6 = true;
    rule.prefix = 128;
    return true;
  }
  return false;
}

// Clears the address bits beyond the prefix.
void mask_to_prefix(IpRule& rule) {
  const unsigned len = rule.v6 ? 16 : 4;
  for (unsigned i = 0; i < len; ++i) {
    const unsigned bit = i * 8;
    if (bit >= rule.prefix)
      rule.addr[i] = 0;
    else if (rule.prefix - bit < 8)
      rule.addr[i] &= static_cast<uint8_t>(0xFF << (8 - (rule.prefix - bit)));
  }
}

// "addr/prefix" with a prefix within the family's width.
bool parse_ip_network(std::string_view text, IpRule& rule) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view digits = text.substr(slash + 1);
  if (digits.empty()) return false;
  unsigned prefix = 0;
  for (char ch : digits) {
    const unsigned d = static_cast<unsigned char>(ch) - unsigned{'0'};
    if (d > 9) return false;
    prefix = prefix * 10 + d;
    if (prefix > 128) return false;
  }
  if (!parse_ip(text.substr(0, slash), rule)) return false;
  if (prefix > (rule.v6 ? 128u : 32u)) return false;
  rule.prefix = static_cast<uint8_t>(prefix);
  mask_to_prefix(rule);
  return true;
}

bool ip_rule_contains(const IpRule& rule, const IpRule& addr) {
  if (rule.v6 != addr.v6) return false;
  const unsigned whole = rule.prefix / 8, rest = rule.prefix % 8;
  if (std::memcmp(rule.addr, addr.addr, whole) != 0) return false;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (addr.addr[whole] & mask) == rule.addr[whole];
}

// Length of the well-formed UTF-8 sequence at p[0..n), or 0 with `bad` set
// to the length of its maximal invalid subpart (at least 1), following the
// Unicode table of well-formed byte sequences.
size_t utf8_sequence(const unsigned char* p, size_t n, size_t& bad) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    const unsigned char lo_k = k == 1 ? lo : 0x80, hi_k = k == 1 ? hi : 0xBF;
    if (k >= n || p[k] < lo_k || p[k] > hi_k) {
      bad = k;
      return 0;
    }
  }
  return need;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const size_t len = utf8_sequence(p + i, bytes.size() - i, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string percent_decode_lossy(std::string_view text) {
  std::string raw;
  raw.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%' && i + 2 < text.size()) {
      const int h = hex_value(static_cast<unsigned char>(text[i + 1]));
      const int l = hex_value(static_cast<unsigned char>(text[i + 2]));
      if (h >= 0 && l >= 0) {
        raw.push_back(static_cast<char>(h * 16 + l));
        i += 2;
        continue;
      }
    }
    raw.push_back(static_cast<char>(c));
  }
  if (is_valid_utf8(raw)) return raw;

  static constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(raw.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
  size_t i = 0, bad = 0;
  while (i < raw.size()) {
    const size_t len = utf8_sequence(p + i, raw.size() - i, bad);
    if (len != 0) {
      out.append(raw, i, len);
      i += len;
    } else {
      out.append(kReplacement, 3);
      i += bad;
    }
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest != 0) {
    uint32_t v = uint32_t{p[i]} << 16;
    if (rest == 2) v |= uint32_t{p[i + 1]} << 8;
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<ProxyInterceptCore> parse_proxy_url(std::string_view text) {
  UriView u;
  if (parse_uri(text, u) != UriError::None) return std::nullopt;
  std::string_view scheme;
  bool socks = false;
  switch (u.scheme) {
    case Scheme::None:
    case Scheme::Http:
      scheme = "http";
      break;
    case Scheme::Https:
      scheme = "https";
      break;
    case Scheme::Other:
      if (u.scheme_text == "socks4" || u.scheme_text == "socks4a" || u.scheme_text == "socks5" ||
          u.scheme_text == "socks5h") {
        scheme = u.scheme_text;
        socks = true;
        break;
      }
      return std::nullopt;
  }
  if (!u.has_authority) return std::nullopt;
  // A proxy we could not dial is no proxy at all.
  if (check_port(u) != UriError::None) return std::nullopt;

  ProxyInterceptCore r;
  r.uri.reserve(scheme.size() + 3 + u.hostport.size() + 1);
  r.uri.append(scheme).append("://").append(u.hostport).push_back('/');
  UriView target;
  if (parse_uri(r.uri, target) != UriError::None) return std::nullopt;

  if (u.has_userinfo) {
    const size_t colon = u.userinfo.find(':');
    const std::string_view user_text = u.userinfo.substr(0, colon);
    const std::string_view pass_text =
        colon == std::string_view::npos ? std::string_view() : u.userinfo.substr(colon + 1);
    std::string user = percent_decode_lossy(user_text);
    std::string password = percent_decode_lossy(pass_text);
    if (socks) {
      r.auth = ProxyInterceptCore::Auth::Raw;
      r.user = std::move(user);
      r.password = std::move(password);
    } else {
      r.auth = ProxyInterceptCore::Auth::Basic;
      std::string pair;
      pair.reserve(user.size() + 1 + password.size());
      pair.append(user).append(":").append(password);
      r.basic = "Basic " + base64_encode(pair);
    }
  }
  return r;
}

void parse_no_proxy(std::string_view text, std::vector<IpRule>& ip_rules,
                    std::vector<std::string>& domain_rules) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = text.substr(start, comma - start);
    start = comma + 1;
    while (!piece.empty() && is_space(static_cast<unsigned char>(piece.front()))) piece.remove_prefix(1);
    while (!piece.empty() && is_space(static_cast<unsigned char>(piece.back()))) piece.remove_suffix(1);
    if (piece.empty()) continue;
    IpRule rule;
    if (parse_ip_network(piece, rule) || parse_ip(piece, rule)) {
      ip_rules.push_back(rule);
      continue;
    }
    // "[::1]" is how IPv6 literals are written in URLs; take it as one.
    if (piece.size() > 2 && piece.front() == '[' && piece.back() == ']' &&
        parse_ip(piece.substr(1, piece.size() - 2), rule) && rule.v6) {
      ip_rules.push_back(rule);
      continue;
    }
    domain_rules.emplace_back(piece);
  }
}

bool domain_rule_matches(std::string_view d, std::string_view host) {
  if (d.size() == 1 && d[0] == '*') return true;
  if (ascii_iequals(d, host)) return true;
  const bool dotted = !d.empty() && d[0] == '.';
  if (dotted && ascii_iequals(d.substr(1), host)) return true;
  if (host.size() > d.size()) {
    const size_t cut = host.size() - d.size();
    if ((dotted || host[cut - 1] == '.') && ascii_iequals(host.substr(cut), d)) return true;
  }
  return false;
}

ProxyMatcherCore::ProxyMatcherCore(const ProxyConfig& config) {
  auto build = [](const std::optional<std::string>& text) -> InterceptPtr {
    if (!text) return nullptr;
    auto r = parse_proxy_url(*text);
    if (!r) return nullptr;
    return std::make_shared<const ProxyInterceptCore>(std::move(*r));
  };
  InterceptPtr all = build(config.all);
  http_ = build(config.http);
  if (!http_) http_ = all;
  https_ = build(config.https);
  if (!https_) https_ = all;
  if (config.no) parse_no_proxy(*config.no, ip_rules_, domain_rules_);
}

std::string_view unbracket_host(std::string_view host) {
  while (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return host;
}

bool ProxyMatcherCore::bypassed(std::string_view host) const {
  const std::string_view h = unbracket_host(host);
  IpRule addr;
  if (parse_ip(h, addr)) {
    for (const IpRule& r : ip_rules_)
      if (ip_rule_contains(r, addr)) return true;
    return false;
  }
  for (const std::string& d : domain_rules_)
    if (domain_rule_matches(d, h)) return true;
  return false;
}

ProxyMatcherCore::InterceptPtr ProxyMatcherCore::select(std::string_view url) const {
  UriView u;
  if (parse_uri(url, u) != UriError::None || !u.has_authority || u.host.empty()) return nullptr;
  const InterceptPtr* slot;
  switch (u.scheme) {
    case Scheme::Http: slot = &http_; break;
    case Scheme::Https: slot = &https_; break;
    default: return nullptr;
  }
  if (!*slot || bypassed(u.host)) return nullptr;
  return *slot;
}

std::optional<ProxyInterceptCore> ProxyMatcherCore::intercept(std::string_view url) const {
  InterceptPtr p = select(url);
  if (!p) return std::nullopt;
  return *p;
}

ProxyConfig proxy_config_from_env(const EnvLookup& getenv_fn) {
  ProxyConfig config;
  if (getenv_fn("REQUEST_METHOD") != nullptr) return config;
  auto pick = [&](const char* upper, const char* lower) -> std::optional<std::string> {
    for (const char* name : {upper, lower}) {
      const char* v = getenv_fn(name);
      if (v != nullptr && is_valid_utf8(v)) return std::string(v);
    }
    return std::nullopt;
  };
  config.all = pick("ALL_PROXY", "all_proxy");
  config.http = pick("HTTP_PROXY", "http_proxy");
  config.https = pick("HTTPS_PROXY", "https_proxy");
  config.no = pick("NO_PROXY", "no_proxy");
  return config;
}

}  // namespace quillon::http
