#include <string>
#include <string_view>

#include "check.hpp"
#include "http/uri.hpp"

using namespace quillon::http;

namespace {

// Expected dial target of an accepted URL. `scheme` null = no scheme,
// `host` null = no authority; port -1 = none.
struct DialRow {
  const char* url;
  const char* scheme;
  const char* host;
  const char* host_written;
  int port;
};

const DialRow kDialRows[] = {
    {"http://h:8080/x", "http", "h", "h", 8080},
    {"HTTPS://Hx/", "HTTPS", "Hx", "Hx", 443},
    {"hTtP://h", "hTtP", "h", "h", 80},
    {"http://[::1]/", "http", "::1", "[::1]", 80},
    {"http://[::1]:8443/p", "http", "::1", "[::1]", 8443},
    {"wss://h/", "wss", "h", "h", 443},
    {"ws://h/", "ws", "h", "h", 80},
    {"WS://h/", "WS", "h", "h", -1},
    {"ftp://h/", "ftp", "h", "h", -1},
    {"ftp://h:21/", "ftp", "h", "h", 21},
    {"/path", nullptr, nullptr, nullptr, -1},
    {"*", nullptr, nullptr, nullptr, -1},
    {"h:8080", nullptr, "h", "h", 8080},
    {"h", nullptr, "h", "h", -1},
    {"http://user@h:81/", "http", "h", "h", 81},
    {"http://u:p@ss@h:81/", "http", "h", "h", 81},
    {"http://u%20x:p@h/", "http", "h", "h", 80},
    {"http://h:abc/", "http", "h", "h", 80},
    {"http://h:65536/", "http", "h", "h", 80},
    {"http://h:+8080/", "http", "h", "h", 8080},
    {"http://h:+/", "http", "h", "h", 80},
    {"http://h:/", "http", "h", "h", 80},
    {"http://h:0/", "http", "h", "h", 0},
    {"http://h:65535", "http", "h", "h", 65535},
    {"http://h?q=1", "http", "h", "h", 80},
    {"http://h#frag", "http", "h", "h", 80},
    {"git+ssh.x-y://h/", "git+ssh.x-y", "h", "h", -1},
    {"http://a.b-c_d~e!$&'()*+,;=/", "http", "a.b-c_d~e!$&'()*+,;=", "a.b-c_d~e!$&'()*+,;=", 80},
    {"http://h/p\"{}|\\^%zz?q='x'|/?#f", "http", "h", "h", 80},
    {"http://h/\xC3\xA9?\xFF", "http", "h", "h", 80},
    {"http://@h/", "http", "h", "h", 80},
    {"mailto:x", nullptr, "mailto", "mailto", -1},
    {"10.0.0.1:443", nullptr, "10.0.0.1", "10.0.0.1", 443},
};

struct RefusalRow {
  const char* url;
  UriError error;
};

const RefusalRow kRefusalRows[] = {
    {"", UriError::Empty},
    {"http://[::1", UriError::InvalidAuthority},
    {"http://::1]/", UriError::InvalidAuthority},
    {"http://[::1]]/", UriError::InvalidAuthority},
    {"http://[[::1]/", UriError::InvalidAuthority},
    {"http://[::1]x/", UriError::InvalidAuthority},
    {"http://x[::1]/", UriError::InvalidAuthority},
    {"http://[]/", UriError::InvalidAuthority},
    {"http://[]:80/", UriError::InvalidAuthority},
    {"http://u[x@h/", UriError::InvalidAuthority},
    {"http://[::1]@h/", UriError::InvalidAuthority},
    {"http://h:1:2/", UriError::InvalidAuthority},
    {"http://::1/", UriError::InvalidAuthority},
    {"http://h@/", UriError::InvalidAuthority},
    {"http://@/", UriError::InvalidAuthority},
    {"@", UriError::InvalidAuthority},
    {"http://h%20/", UriError::InvalidAuthority},
    {"http://u@h%41/", UriError::InvalidAuthority},
    {"http://:80/", UriError::InvalidAuthority},
    {"http://u@:80/", UriError::InvalidAuthority},
    {"http://h o/", UriError::InvalidUriChar},
    {"http://h\x01/", UriError::InvalidUriChar},
    {"http://h\"/", UriError::InvalidUriChar},
    {"http://h\xC3\xA9/", UriError::InvalidUriChar},
    {"http://h{/", UriError::InvalidUriChar},
    {"http://h/a b", UriError::InvalidUriChar},
    {"http://h/a\tb", UriError::InvalidUriChar},
    {"http://h/a\x7F", UriError::InvalidUriChar},
    {"http://h/<", UriError::InvalidUriChar},
    {"http://h/>", UriError::InvalidUriChar},
    {"http://h/`", UriError::InvalidUriChar},
    {"http://h/?a\"", UriError::InvalidUriChar},
    {"http://h/?<", UriError::InvalidUriChar},
    {"http://h/?a b", UriError::InvalidUriChar},
    {"http://h/#a b", UriError::InvalidUriChar},
    {"/a\r\nHost: evil", UriError::InvalidUriChar},
    {"http://", UriError::InvalidFormat},
    {"http:///x", UriError::InvalidFormat},
    {"https://?q", UriError::InvalidFormat},
    {"h:8080/x", UriError::InvalidFormat},
    {"h?x", UriError::InvalidFormat},
    {"h#x", UriError::InvalidFormat},
    {"http:/x", UriError::InvalidFormat},
    {"*x/", UriError::InvalidFormat},
    {"?x", UriError::AuthorityMissing},
    {"#", UriError::AuthorityMissing},
    {"://h/", UriError::InvalidScheme},
    {"1http://h/", UriError::InvalidScheme},
    {"+a://h/", UriError::InvalidScheme},
};

std::string str(std::string_view v) { return std::string(v); }

}  // namespace

TEST_CASE("uri: accepted shapes give the dial target") {
  for (const DialRow& r : kDialRows) {
    DialTarget t;
    const UriError e = dial_target(r.url, t);
    if (e != UriError::None) {
      qtest::fail(__FILE__, __LINE__, std::string("refused: ") + r.url + " (" + uri_error_text(e) + ")");
      continue;
    }
    const bool ok = (r.scheme ? t.scheme_text == r.scheme : t.scheme == Scheme::None) &&
                    t.has_authority == (r.host != nullptr) &&
                    (!r.host || (t.host == r.host && t.host_written == r.host_written)) &&
                    t.port == r.port;
    if (!ok)
      qtest::fail(__FILE__, __LINE__,
                  std::string("dial target of ") + r.url + ": scheme=" + str(t.scheme_text) +
                      " host=" + str(t.host) + " written=" + str(t.host_written) +
                      " port=" + std::to_string(t.port));
  }
}

TEST_CASE("uri: refusal reasons") {
  for (const RefusalRow& r : kRefusalRows) {
    UriView u;
    const UriError e = parse_uri(r.url, u);
    if (e != r.error)
      qtest::fail(__FILE__, __LINE__,
                  std::string("reason for \"") + r.url + "\": got " + uri_error_text(e) + ", want " +
                      uri_error_text(r.error));
  }
  // Embedded NUL bytes are text too (the literal table cannot hold them).
  UriView u;
  CHECK_EQ(parse_uri(std::string_view("http://h\0/", 10), u), UriError::InvalidUriChar);
  CHECK_EQ(parse_uri(std::string_view("/p\0", 3), u), UriError::InvalidUriChar);
}

TEST_CASE("uri: scheme recognition and scheme length limit") {
  UriView u;
  CHECK_EQ(parse_uri("HtTpS://h/", u), UriError::None);
  CHECK(u.scheme == Scheme::Https);
  CHECK_EQ(parse_uri("httpx://h/", u), UriError::None);
  CHECK(u.scheme == Scheme::Other);
  CHECK_EQ(parse_uri("http+unix://h/", u), UriError::None);
  CHECK(u.scheme == Scheme::Other);

  const std::string s64(64, 's'), s65(65, 's');
  CHECK_EQ(parse_uri(s64 + "://h/", u), UriError::None);
  CHECK_EQ(u.scheme_text.size(), size_t{64});
  CHECK_EQ(parse_uri(s65 + "://h/", u), UriError::SchemeTooLong);
  // A long run of scheme bytes that is not a scheme is a host.
  CHECK_EQ(parse_uri(std::string(300, 'a') + ":80", u), UriError::None);
  CHECK_EQ(u.host.size(), size_t{300});
}

TEST_CASE("uri: view slices of each form") {
  UriView u;
  CHECK_EQ(parse_uri("https://us:pw@h.example:8443/a/b?x=1&y#frag", u), UriError::None);
  CHECK_EQ(str(u.authority), "us:pw@h.example:8443");
  CHECK(u.has_userinfo);
  CHECK_EQ(str(u.userinfo), "us:pw");
  CHECK_EQ(str(u.hostport), "h.example:8443");
  CHECK_EQ(str(u.host), "h.example");
  CHECK(u.has_port);
  CHECK_EQ(str(u.port_text), "8443");
  CHECK_EQ(u.port, 8443);
  CHECK_EQ(str(u.path), "/a/b");
  CHECK(u.has_query);
  CHECK_EQ(str(u.query), "x=1&y");

  CHECK_EQ(parse_uri("/a?", u), UriError::None);
  CHECK(!u.has_authority);
  CHECK_EQ(str(u.path), "/a");
  CHECK(u.has_query);
  CHECK(u.query.empty());

  CHECK_EQ(parse_uri("/a#?b", u), UriError::None);
  CHECK_EQ(str(u.path), "/a");
  CHECK(!u.has_query);

  CHECK_EQ(parse_uri("http://h?q", u), UriError::None);
  CHECK(u.path.empty());
  CHECK_EQ(str(u.query), "q");
  CHECK(!u.has_userinfo);

  CHECK_EQ(parse_uri("*", u), UriError::None);
  CHECK_EQ(str(u.path), "*");
  CHECK(!u.has_authority);

  // User information is everything before the last "@", "%" allowed there.
  CHECK_EQ(parse_uri("http://a@b:c%40@h:1/", u), UriError::None);
  CHECK_EQ(str(u.userinfo), "a@b:c%40");
  CHECK_EQ(str(u.hostport), "h:1");

  CHECK_EQ(parse_uri("http://[fe80::1]:99", u), UriError::None);
  CHECK_EQ(str(u.host), "[fe80::1]");
  CHECK_EQ(str(u.port_text), "99");
}

TEST_CASE("uri: ports parse strictly and check_port refuses the unusable") {
  struct {
    const char* text;
    int want;
  } rows[] = {
      {"0", 0},      {"80", 80},    {"+80", 80},     {"0080", 80},   {"65535", 65535},
      {"65536", -1}, {"99999999999999999999", -1},   {"", -1},       {"+", -1},
      {"-1", -1},    {"8a", -1},    {"++1", -1},     {" 80", -1},    {"８0", -1},
  };
  for (const auto& r : rows) {
    if (parse_port(r.text) != r.want)
      qtest::fail(__FILE__, __LINE__, std::string("parse_port(\"") + r.text + "\")");
  }
  UriView u;
  CHECK_EQ(parse_uri("http://h:abc/", u), UriError::None);
  CHECK(u.has_port);
  CHECK_EQ(u.port, -1);
  CHECK_EQ(check_port(u), UriError::InvalidPort);
  CHECK_EQ(parse_uri("http://h:/", u), UriError::None);
  CHECK_EQ(check_port(u), UriError::InvalidPort);
  CHECK_EQ(parse_uri("http://h:1/", u), UriError::None);
  CHECK_EQ(check_port(u), UriError::None);
  CHECK_EQ(parse_uri("http://h/", u), UriError::None);
  CHECK_EQ(check_port(u), UriError::None);
}

TEST_CASE("uri: length limits and hostile sizes") {
  UriView u;
  std::string at_limit = "/" + std::string(kMaxUriLen - 1, 'a');
  CHECK_EQ(parse_uri(at_limit, u), UriError::None);
  CHECK_EQ(u.path.size(), kMaxUriLen);
  CHECK_EQ(parse_uri(at_limit + "a", u), UriError::TooLong);

  std::string host = "http://" + std::string(kMaxUriLen - 7, 'h');
  CHECK_EQ(parse_uri(host, u), UriError::None);
  CHECK_EQ(parse_uri(host + "h", u), UriError::TooLong);

  // A huge run of "@" and ":" stays linear and is refused on structure.
  std::string ats = "http://" + std::string(60000, '@') + "h";
  CHECK_EQ(parse_uri(ats, u), UriError::None);
  CHECK_EQ(str(u.host), "h");
  CHECK_EQ(parse_uri("http://h" + std::string(60000, ':'), u), UriError::InvalidAuthority);

  // Every single byte as a whole URL: never crashes, refusals are reasons.
  for (int c = 0; c < 256; ++c) {
    const char b = static_cast<char>(c);
    const UriError e = parse_uri(std::string_view(&b, 1), u);
    const bool accepted = e == UriError::None;
    const bool printable_host = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || std::string_view("!$&'()*+,-.;=_~").find(b) != std::string_view::npos;
    if (accepted != (printable_host || c == '/'))
      qtest::fail(__FILE__, __LINE__, "single byte " + std::to_string(c));
  }
}

TEST_CASE("uri: error texts") {
  CHECK_EQ(std::string(uri_error_text(UriError::InvalidUriChar)), "invalid uri character");
  CHECK_EQ(std::string(uri_error_text(UriError::PathNoSlash)), "path does not start with slash");
  CHECK_EQ(std::string(uri_error_text(UriError::TooLong)), "uri too long");
  CHECK_EQ(std::string(uri_error_text(UriError::Empty)), "empty string");
  CHECK_EQ(std::string(uri_error_text(UriError::SchemeTooLong)), "scheme too long");
}
