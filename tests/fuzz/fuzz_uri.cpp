// Fuzz harness for the URI parser and the proxy-URL and no-proxy parsers
// built on it: never crash, slices stay inside the input, and no credential
// byte ever reaches a proxy target.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/proxy.hpp"
#include "http/uri.hpp"

using namespace quillon::http;

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool inside(std::string_view whole, std::string_view part) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  UriView u;
  if (parse_uri(text, u) == UriError::None) {
    for (std::string_view s : {u.scheme_text, u.authority, u.userinfo, u.host, u.port_text, u.hostport, u.path, u.query})
      require(inside(text, s));
    require(!u.has_authority || !u.host.empty());
    require(u.port == (u.has_port ? parse_port(u.port_text) : -1));
    require(u.host.find('@') == std::string_view::npos);
    for (unsigned char c : u.authority) require(c > 0x20 && c < 0x7F);
  }

  if (auto p = parse_proxy_url(text)) {
    require(p->uri.find('@') == std::string::npos);
    UriView t;
    require(parse_uri(p->uri, t) == UriError::None);
  }

  std::vector<IpRule> ip;
  std::vector<std::string> dom;
  parse_no_proxy(text, ip, dom);
  for (const IpRule& r : ip) require(r.prefix <= (r.v6 ? 128 : 32));
  return 0;
}
