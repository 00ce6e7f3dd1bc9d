#include <map>
#include <string>

#include "check.hpp"
#include "http/proxy.hpp"

using namespace quillon::http;

namespace {

ProxyMatcherCore matcher(const char* all, const char* http, const char* https, const char* no) {
  ProxyConfig c;
  if (all) c.all = all;
  if (http) c.http = http;
  if (https) c.https = https;
  if (no) c.no = no;
  return ProxyMatcherCore(c);
}

std::string uri_of(const ProxyMatcherCore& m, const char* url) {
  auto r = m.intercept(url);
  return r ? r->uri : "<none>";
}

EnvLookup env_of(const std::map<std::string, std::string>& vars) {
  return [vars](const char* name) -> const char* {
    auto it = vars.find(name);
    return it == vars.end() ? nullptr : it->second.c_str();
  };
}

}  // namespace

TEST_CASE("proxy: proxy URL parsing") {
  struct {
    const char* text;
    const char* uri;  // null = not a usable proxy
    ProxyInterceptCore::Auth auth;
    const char* basic;
    const char* user;
    const char* password;
  } rows[] = {
      {"http://p:3128", "http://p:3128/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"HTTP://P:3128/ignored/path?q#f", "http://P:3128/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"https://[::1]:8443", "https://[::1]:8443/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"p:3128", "http://p:3128/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"p", "http://p/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"http://u@p", "http://p/", ProxyInterceptCore::Auth::Basic, "Basic dTo=", "", ""},
      {"http://user:p@ss@proxy:3128", "http://proxy:3128/", ProxyInterceptCore::Auth::Basic,
       "Basic dXNlcjpwQHNz", "", ""},
      {"http://a%3Ab:c@p", "http://p/", ProxyInterceptCore::Auth::Basic, "Basic YTpiOmM=", "", ""},
      {"http://@p", "http://p/", ProxyInterceptCore::Auth::Basic, "Basic Og==", "", ""},
      {"socks5://u@p:1080", "socks5://p:1080/", ProxyInterceptCore::Auth::Raw, "", "u", ""},
      {"socks5h://a%3Ab:p%40w@p:1080", "socks5h://p:1080/", ProxyInterceptCore::Auth::Raw, "", "a:b",
       "p@w"},
      {"socks4://p", "socks4://p/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"socks4a://p", "socks4a://p/", ProxyInterceptCore::Auth::None, "", "", ""},
      {"SOCKS5://p", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"ftp://p", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"/path", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"*", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"http://", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"http://p:abc", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"http://p:99999", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
      {"http://p p", nullptr, ProxyInterceptCore::Auth::None, "", "", ""},
  };
  for (const auto& r : rows) {
    auto got = parse_proxy_url(r.text);
    std::string where = std::string("proxy url \"") + r.text + "\"";
    if (!r.uri) {
      if (got) qtest::fail(__FILE__, __LINE__, where + " accepted as " + got->uri);
      continue;
    }
    if (!got) {
      qtest::fail(__FILE__, __LINE__, where + " refused");
      continue;
    }
    if (got->uri != r.uri || got->auth != r.auth || got->basic != r.basic || got->user != r.user ||
        got->password != r.password)
      qtest::fail(__FILE__, __LINE__,
                  where + " gave uri=" + got->uri + " basic=" + got->basic + " user=" + got->user +
                      " password=" + got->password);
  }
}

TEST_CASE("proxy: credentials never reach the target") {
  // Whatever the user information holds, the target is what follows the
  // authority's last "@".
  const char* texts[] = {"http://a@b@c@p:1", "http://a:b@c:d@p:1", "http://x%40y:@@p:1",
                         "socks5://u:p@ss@p:1"};
  for (const char* t : texts) {
    auto r = parse_proxy_url(t);
    CHECK(r.has_value());
    if (r) CHECK(r->uri.find('@') == std::string::npos && r->uri.find("p:1/") != std::string::npos);
  }
}

TEST_CASE("proxy: percent-decoding and lossy UTF-8") {
  struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"a%3Ab", "a:b"},
      {"%41%42", "AB"},
      {"%E2%82%AC", "\xE2\x82\xAC"},
      {"%F0%9F%98%80", "\xF0\x9F\x98\x80"},
      {"%FF", "\xEF\xBF\xBD"},
      {"%E2%82", "\xEF\xBF\xBD"},
      {"%E2%82x", "\xEF\xBF\xBDx"},
      {"%f0%9f%98", "\xEF\xBF\xBD"},
      {"%ED%A0%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"%C0%AF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"%E0%80%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"%F4%90%80%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"%zz", "%zz"},
      {"%4", "%4"},
      {"100%", "100%"},
      {"", ""},
  };
  for (const auto& r : rows) {
    if (percent_decode_lossy(r.in) != r.out)
      qtest::fail(__FILE__, __LINE__, std::string("percent_decode_lossy(\"") + r.in + "\")");
  }
  CHECK(is_valid_utf8("plain \xC3\xA9 \xF4\x8F\xBF\xBF"));
  CHECK(!is_valid_utf8("\xC3"));
  CHECK(!is_valid_utf8("\xED\xA0\x80"));
  CHECK(!is_valid_utf8("\xF8\x88\x80\x80\x80"));
}

TEST_CASE("proxy: base64 test vectors") {
  const char* rows[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                           {"foobar", "Zm9vYmFy"}};
  for (const auto& r : rows) CHECK_EQ(base64_encode(r[0]), std::string(r[1]));
  CHECK_EQ(base64_encode(std::string("\xFF\xFE\x00", 3)), std::string("//4A"));
}

TEST_CASE("proxy: no-proxy list parsing") {
  std::vector<IpRule> ip;
  std::vector<std::string> dom;
  parse_no_proxy(" 10.0.0.0/8 , ::1,\t.a.b ,a.b:80,, *,10.0.0.0/33,fe80::/10, [::2], 192.168.1.1 ,1.2.3", ip,
                 dom);
  CHECK_EQ(ip.size(), size_t{5});
  const std::vector<std::string> want_dom = {".a.b", "a.b:80", "*", "10.0.0.0/33", "1.2.3"};
  CHECK(dom == want_dom);

  ip.clear();
  dom.clear();
  parse_no_proxy(" , ,\t", ip, dom);
  CHECK(ip.empty() && dom.empty());
}

TEST_CASE("proxy: domain rule matching") {
  struct {
    const char* rule;
    const char* host;
    bool match;
  } rows[] = {
      {"a.b", "a.b", true},     {"a.b", "A.B", true},      {"A.B", "x.a.b", true},
      {"a.b", "xa.b", false},   {".a.b", "a.b", true},     {".a.b", "x.a.b", true},
      {".a.b", "xa.b", false},  {"a.b", "b", false},       {"*", "anything", true},
      {"*.a.b", "x.a.b", false}, {"a.b", "a.b.c", false},  {".", "h", false},
      {"b", "a.b", true},       {"a.b:80", "a.b", false},  {"x.y.a.b", "a.b", false},
  };
  for (const auto& r : rows) {
    if (domain_rule_matches(r.rule, r.host) != r.match)
      qtest::fail(__FILE__, __LINE__, std::string("rule ") + r.rule + " vs host " + r.host);
  }
}

TEST_CASE("proxy: destination checks") {
  auto m = matcher("http://p:3128", nullptr, nullptr,
                   "a.b, 10.0.0.0/8, ::1, 192.168.1.77/24, 2001:db8::/32, *.ignored");
  struct {
    const char* url;
    bool proxied;
  } rows[] = {
      {"http://h/", true},
      {"https://h/", true},
      {"ws://h/", false},
      {"h:80", false},
      {"not a url", false},
      {"/path", false},
      {"http://A.B/", false},
      {"http://x.a.b:8080/", false},
      {"http://xa.b/", true},
      {"http://10.2.3.4/", false},
      {"http://11.2.3.4/", true},
      {"http://192.168.1.5/", false},
      {"http://192.168.2.5/", true},
      {"http://[::1]:8080/", false},
      {"http://[::2]/", true},
      {"https://[2001:db8:ffff::1]/", false},
      {"https://[2001:db9::1]/", true},
      {"http://u@a.b/", false},
  };
  for (const auto& r : rows) {
    if ((uri_of(m, r.url) != "<none>") != r.proxied)
      qtest::fail(__FILE__, __LINE__, std::string("destination ") + r.url + ": " + uri_of(m, r.url));
  }
  CHECK_EQ(uri_of(m, "http://h/"), std::string("http://p:3128/"));

  // The wildcard bypasses names but never IP literals.
  auto w = matcher("http://p:1", nullptr, nullptr, "*");
  CHECK_EQ(uri_of(w, "http://h/"), std::string("<none>"));
  CHECK_EQ(uri_of(w, "http://10.2.3.4/"), std::string("http://p:1/"));
  CHECK_EQ(uri_of(w, "http://[::1]/"), std::string("http://p:1/"));
  auto blank = matcher("http://p:1", nullptr, nullptr, " , ");
  CHECK_EQ(uri_of(blank, "http://h/"), std::string("http://p:1/"));
}

TEST_CASE("proxy: a host is an IP literal only inside paired brackets") {
  auto m = matcher(nullptr, nullptr, nullptr, "10.0.0.0/8, ::/0");
  auto w = matcher(nullptr, nullptr, nullptr, "*");
  struct {
    const char* host;
    bool literal;
  } rows[] = {
      {"10.0.0.1", true},    {"[10.0.0.1]", true},   {"[[::1]]", true},  {"[10.0.0.1", false},
      {"[10.0.0.1][", false}, {"[::1][", false},     {"[[::1]", false},  {"10.0.0.1]", false},
  };
  // Literals meet the IP rules and never the wildcard; anything else is a name.
  for (const auto& r : rows) {
    if (m.bypassed(r.host) != r.literal || w.bypassed(r.host) == r.literal)
      qtest::fail(__FILE__, __LINE__, std::string("host ") + r.host);
  }
}

TEST_CASE("proxy: per-scheme slots fall back to all") {
  auto m = matcher("http://p:1", nullptr, "http://q:2", nullptr);
  CHECK_EQ(uri_of(m, "http://h/"), std::string("http://p:1/"));
  CHECK_EQ(uri_of(m, "https://h/"), std::string("http://q:2/"));
  auto only_http = matcher(nullptr, "p:3128", nullptr, nullptr);
  CHECK_EQ(uri_of(only_http, "http://h/"), std::string("http://p:3128/"));
  CHECK_EQ(uri_of(only_http, "https://h/"), std::string("<none>"));
  auto bad = matcher("http://all:1", "ftp://p", "", nullptr);
  CHECK_EQ(uri_of(bad, "http://h/"), std::string("http://all:1/"));
  CHECK_EQ(uri_of(bad, "https://h/"), std::string("http://all:1/"));
  auto none = matcher(nullptr, "ftp://p", "", nullptr);
  CHECK(none.http_proxy() == nullptr && none.https_proxy() == nullptr);
  CHECK_EQ(uri_of(none, "http://h/"), std::string("<none>"));
}

TEST_CASE("proxy: environment reading") {
  // CGI guard: nothing else is read.
  auto cgi = proxy_config_from_env(env_of({{"REQUEST_METHOD", "\xFF"}, {"HTTP_PROXY", "http://evil:1"}}));
  CHECK(!cgi.all && !cgi.http && !cgi.https && !cgi.no);

  auto both = proxy_config_from_env(
      env_of({{"HTTP_PROXY", "http://upper:1"}, {"http_proxy", "http://lower:1"}, {"no_proxy", "a.b"}}));
  CHECK(both.http && *both.http == "http://upper:1");
  CHECK(both.no && *both.no == "a.b");
  CHECK(!both.all && !both.https);

  auto bad_upper = proxy_config_from_env(
      env_of({{"HTTPS_PROXY", "http://\xFF:1"}, {"https_proxy", "http://lower:2"}}));
  CHECK(bad_upper.https && *bad_upper.https == "http://lower:2");

  auto bad_both = proxy_config_from_env(env_of({{"ALL_PROXY", "\xC3"}, {"all_proxy", "\xFF"}}));
  CHECK(!bad_both.all);

  auto empty_wins = proxy_config_from_env(env_of({{"HTTP_PROXY", ""}, {"http_proxy", "http://lower:1"}}));
  CHECK(empty_wins.http && empty_wins.http->empty());
  ProxyMatcherCore m(empty_wins);
  CHECK(m.http_proxy() == nullptr);
}
