// Proxy selection: which proxy (if any) a destination URL is dialled
// through, configured from the conventional environment variables or from
// explicit proxy URLs. Immutable once built, so any thread may read it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::http {

// One proxy, ready to dial: the target URL and its prepared credentials.
struct ProxyInterceptCore {
  enum class Auth : uint8_t { None, Basic, Raw };
  std::string uri;  // scheme "://" host[:port] "/", never any user information
  Auth auth = Auth::None;
  std::string basic;  // Basic: the whole Proxy-Authorization value, "Basic <base64>"
  std::string user, password;  // Raw (SOCKS): decoded user and password texts
};

// The four texts a matcher is built from; nullopt = not given.
struct ProxyConfig {
  std::optional<std::string> all, http, https, no;
};

// An IP no-proxy rule: an address (prefix 32/128) or a network. Addresses
// are kept in network byte order, bits beyond the prefix cleared.
struct IpRule {
  bool v6 = false;
  uint8_t prefix = 0;
  uint8_t addr[16] = {};
};

// Parses a proxy URL into an intercept. Accepts http/https (any case,
// written in lower case in the target), socks4/socks4a/socks5/socks5h (exact
// lower case) and scheme-less texts (taken as http). The user information is
// everything before the authority's LAST "@" (so no credential byte can end
// up in the target), split at its first ":" and percent-decoded; decoded
// bytes are read as UTF-8 with invalid sequences replaced by U+FFFD. The
// target is rebuilt as scheme "://" host-and-port "/"; a port that does not
// parse makes the text unusable. Nothing for every other text.
std::optional<ProxyInterceptCore> parse_proxy_url(std::string_view text);

// Splits a no-proxy list at "," and trims ASCII white space around each
// piece; empty pieces are dropped. "addr/prefix" with a valid prefix is an
// IP network, a bare (or bracketed) IPv4/IPv6 literal an IP address, any
// other piece a domain rule kept as written (leading "." included; "*"
// matches every name).
void parse_no_proxy(std::string_view text, std::vector<IpRule>& ip_rules,
                    std::vector<std::string>& domain_rules);

// The text a destination host is judged by: `host` without the bracket
// pairs around it, so "[::1]" (and "[[::1]]") read as the address ::1.
// Brackets that do not pair up ("[10.0.0.1", "[10.0.0.1][") stay, so such a
// host is never an IP literal and only the domain rules can match it. URL
// hosts always come bracketed whole or not at all; other texts must not be
// read as an address by dropping whichever brackets happen to sit at one end.
std::string_view unbracket_host(std::string_view host);

// Domain rule test (ASCII case-insensitive, no allocation): `rule` equals
// `host`; or rule is "." + host; or host ends with rule and rule starts with
// "." or the host byte before that ending is "."; or rule is "*".
bool domain_rule_matches(std::string_view rule, std::string_view host);

// Standard Base64 (RFC 4648, with padding).
std::string base64_encode(std::string_view bytes);

// Percent-decodes `text` ("%" not followed by two hex digits is kept as is)
// and reads the bytes as UTF-8, each maximal invalid subsequence replaced by
// U+FFFD (the replacement Python's "replace" error handler makes).
std::string percent_decode_lossy(std::string_view text);

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or
// values above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

class ProxyMatcherCore {
 public:
  using InterceptPtr = std::shared_ptr<const ProxyInterceptCore>;

  // No proxies, no bypass rules.
  ProxyMatcherCore() = default;
  // Builds from the four texts: http proxy = `http` else `all`, https proxy
  // = `https` else `all`; unusable texts leave their slot unset; `no` is the
  // bypass list.
  explicit ProxyMatcherCore(const ProxyConfig& config);

  // The stored intercept for `url`, shared: null when the URL does not
  // parse, has no host, is bypassed, or its scheme is neither http nor https.
  InterceptPtr select(std::string_view url) const;
  // Same as select(), as an independent copy.
  std::optional<ProxyInterceptCore> intercept(std::string_view url) const;
  // The bypass test for a destination host as the URI parser returns it
  // (IPv6 brackets allowed, see unbracket_host): IP literals against IP
  // rules only, names against domain rules only.
  bool bypassed(std::string_view host) const;

  const ProxyInterceptCore* http_proxy() const { return http_.get(); }
  const ProxyInterceptCore* https_proxy() const { return https_.get(); }
  const std::vector<IpRule>& ip_rules() const { return ip_rules_; }
  const std::vector<std::string>& domain_rules() const { return domain_rules_; }

 private:
  InterceptPtr http_, https_;
  std::vector<IpRule> ip_rules_;
  std::vector<std::string> domain_rules_;
};

// Looks a variable up; nullptr when it is not set (getenv's contract). The
// returned text is copied before the next call.
using EnvLookup = std::function<const char*(const char* name)>;

// Reads the proxy settings from an environment. A set REQUEST_METHOD means a
// CGI process, where a client controls HTTP_PROXY through its "Proxy"
// header: then nothing else is read and the config is empty (no proxies, an
// empty bypass list). Otherwise each setting comes from the upper-case
// variable, then the lower-case one (ALL_PROXY/all_proxy, HTTP_PROXY/
// http_proxy, HTTPS_PROXY/https_proxy, NO_PROXY/no_proxy): the first that is
// set and valid UTF-8 wins, a set-but-empty value included.
ProxyConfig proxy_config_from_env(const EnvLookup& getenv_fn);

}  // namespace quillon::http
