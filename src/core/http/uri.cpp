// The URI parser: one pass over the bytes, one class-table lookup per byte,
// slices out. Every caller (request encoders, uri_parts, proxy selection)
// goes through parse_uri so they agree on what a URL is.
#include "http/uri.hpp"

#include <array>
#include <new>

#include "http/chars.hpp"

namespace quillon::http {

namespace {

// Byte classes. A byte may be in several; the delimiters that end a part
// ("/", "?", "#" and the authority's structural ":", "@", "[", "]", "%") are
// deliberately left out of the "plain" classes so the scanning loops stop
// on them and handle them once.
enum : uint8_t {
  kScheme = 1 << 0,     // ALPHA DIGIT + - .
  kAuthPlain = 1 << 1,  // authority bytes without structural meaning
  kPath = 1 << 2,       // path bytes except "?" and "#"
  kQuery = 1 << 3,      // query bytes except "#"
  kFragment = 1 << 4,   // fragment bytes (the query's set plus "#")
  kAlpha = 1 << 5,
};

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    uint8_t k = 0;
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (alpha) k |= kAlpha;
    if (alpha || digit || c == '+' || c == '-' || c == '.') k |= kScheme;
    if (alpha || digit) k |= kAuthPlain;
    switch (c) {
      case '!': case '$': case '&': case '\'': case '(': case ')': case '*':
      case '+': case ',': case '-': case '.': case ';': case '=': case '_':
      case '~':
        k |= kAuthPlain;
        break;
      default:
        break;
    }
    const bool visible = c >= 0x21 && c <= 0x7E;
    if ((visible && c != '<' && c != '>' && c != '`' && c != '?' && c != '#') || c >= 0x80)
      k |= kPath;
    if ((visible && c != '"' && c != '<' && c != '>' && c != '#') || c >= 0x80) k |= kQuery;
    if ((visible && c != '"' && c != '<' && c != '>') || c >= 0x80) k |= kFragment;
    t[c] = k;
  }
  return t;
}

constexpr std::array<uint8_t, 256> kClass = make_classes();

constexpr size_t npos = static_cast<size_t>(-1);

inline uint8_t cls(unsigned char c) { return kClass[c]; }

// Path, query and fragment from p[i] on; p[i] is "/", "?", "#" or i == n.
UriError parse_tail(std::string_view text, size_t i, UriView& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const size_t path_start = i;
  while (i < n && (cls(p[i]) & kPath)) ++i;
  out.path = text.substr(path_start, i - path_start);
  if (i == n) return UriError::None;
  if (p[i] == '?') {
    const size_t q = ++i;
    while (i < n && (cls(p[i]) & kQuery)) ++i;
    out.has_query = true;
    out.query = text.substr(q, i - q);
    if (i == n) return UriError::None;
  }
  if (p[i] == '#') {
    ++i;
    while (i < n && (cls(p[i]) & kFragment)) ++i;
    if (i == n) return UriError::None;
  }
  return UriError::InvalidUriChar;
}

// The authority starting at `start`. On success `end` is the index of the
// first "/", "?" or "#" (or the text's end). Structural rules (one port
// colon outside brackets, brackets once and around the whole host, "%" only
// in the user information, "@" not last, non-empty host) are tracked while
// scanning and judged once at the end, so each byte is read exactly once.
UriError parse_authority(std::string_view text, size_t start, size_t& end, UriView& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t host_start = start;
  size_t last_at = npos, port_colon = npos, lbr = npos, rbr = npos, last_pct = npos;
  unsigned colons = 0;
  size_t i = start;
  for (; i < n; ++i) {
    const unsigned char c = p[i];
    if (cls(c) & kAuthPlain) continue;
    switch (c) {
      case '/':
      case '?':
      case '#':
        goto scanned;
      case ':':
        if (lbr == npos || rbr != npos) {
          ++colons;
          port_colon = i;
        }
        break;
      case '@':
        // Brackets belong to the host only; one seen so far would put it in
        // the user information.
        if (lbr != npos) return UriError::InvalidAuthority;
        last_at = i;
        host_start = i + 1;
        colons = 0;
        port_colon = npos;
        break;
      case '[':
        if (lbr != npos || i != host_start) return UriError::InvalidAuthority;
        lbr = i;
        break;
      case ']':
        if (lbr == npos || rbr != npos) return UriError::InvalidAuthority;
        rbr = i;
        // Only a port (or the authority's end) may follow the literal.
        if (i + 1 < n && p[i + 1] != ':' && p[i + 1] != '/' && p[i + 1] != '?' && p[i + 1] != '#')
          return UriError::InvalidAuthority;
        break;
      case '%':
        last_pct = i;
        break;
      default:
        return UriError::InvalidUriChar;
    }
  }
scanned:
  end = i;
  if (end == start) return UriError::None;  // the caller names the missing part
  if (last_at == end - 1) return UriError::InvalidAuthority;
  if (lbr != npos && rbr == npos) return UriError::InvalidAuthority;
  if (colons > 1) return UriError::InvalidAuthority;
  if (last_pct != npos && (last_at == npos || last_pct > last_at)) return UriError::InvalidAuthority;
  const size_t host_end = port_colon != npos ? port_colon : end;
  if (host_end == host_start) return UriError::InvalidAuthority;
  if (lbr != npos && rbr == lbr + 1) return UriError::InvalidAuthority;

  out.has_authority = true;
  out.authority = text.substr(start, end - start);
  if (last_at != npos) {
    out.has_userinfo = true;
    out.userinfo = text.substr(start, last_at - start);
  }
  out.hostport = text.substr(host_start, end - host_start);
  out.host = text.substr(host_start, host_end - host_start);
  if (port_colon != npos) {
    out.has_port = true;
    out.port_text = text.substr(port_colon + 1, end - port_colon - 1);
    out.port = parse_port(out.port_text);
  }
  return UriError::None;
}

}  // namespace

const char* uri_error_text(UriError e) {
  switch (e) {
    case UriError::None: return "no error";
    case UriError::InvalidUriChar: return "invalid uri character";
    case UriError::InvalidScheme: return "invalid scheme";
    case UriError::InvalidAuthority: return "invalid authority";
    case UriError::InvalidPort: return "invalid port";
    case UriError::InvalidFormat: return "invalid format";
    case UriError::SchemeMissing: return "scheme missing";
    case UriError::AuthorityMissing: return "authority missing";
    case UriError::PathMissing: return "path missing";
    case UriError::PathNoSlash: return "path does not start with slash";
    case UriError::TooLong: return "uri too long";
    case UriError::Empty: return "empty string";
    case UriError::SchemeTooLong: return "scheme too long";
  }
  return "invalid uri";
}

// Resets `out` field by field: a whole-struct assignment compiles to a
// "rep stos" whose start-up cost is a third of a short URL's parse.
inline void reset(UriView& out) {
  out.scheme = Scheme::None;
  out.scheme_text = {};
  out.has_authority = false;
  out.has_userinfo = false;
  out.has_port = false;
  out.has_query = false;
  out.authority = {};
  out.userinfo = {};
  out.host = {};
  out.port_text = {};
  out.port = -1;
  out.hostport = {};
  out.path = {};
  out.query = {};
}

UriError parse_uri(std::string_view text, UriView& out) {
  reset(out);
  const size_t n = text.size();
  if (n == 0) return UriError::Empty;
  if (n > kMaxUriLen) return UriError::TooLong;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());

  if (p[0] == '/') return parse_tail(text, 0, out);
  if (n == 1 && p[0] == '*') {
    out.path = text;
    return UriError::None;
  }

  // A scheme is a run of scheme bytes directly followed by "://".
  size_t run = 0;
  while (run < n && (cls(p[run]) & kScheme)) ++run;
  const bool has_scheme = run + 3 <= n && p[run] == ':' && p[run + 1] == '/' && p[run + 2] == '/';
  size_t auth_start = 0;
  if (has_scheme) {
    if (run == 0 || !(cls(p[0]) & kAlpha)) return UriError::InvalidScheme;
    if (run > kMaxSchemeLen) return UriError::SchemeTooLong;
    if (ascii_iequals(text.substr(0, run), "http"))
      out.scheme = Scheme::Http;
    else if (ascii_iequals(text.substr(0, run), "https"))
      out.scheme = Scheme::Https;
    else
      out.scheme = Scheme::Other;
    out.scheme_text = text.substr(0, run);
    auth_start = run + 3;
  }

  size_t auth_end = 0;
  if (UriError e = parse_authority(text, auth_start, auth_end, out); e != UriError::None) return e;
  if (auth_end == auth_start) return has_scheme ? UriError::InvalidFormat : UriError::AuthorityMissing;
  if (!has_scheme) {
    // Authority form: a host and optional port, nothing else.
    return auth_end == n ? UriError::None : UriError::InvalidFormat;
  }
  return parse_tail(text, auth_end, out);
}

UriError check_port(const UriView& uri) {
  return uri.has_port && uri.port < 0 ? UriError::InvalidPort : UriError::None;
}

int parse_port(std::string_view text) {
  size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
  if (i == text.size()) return -1;
  uint32_t v = 0;
  for (; i < text.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(text[i]) - unsigned{'0'};
    if (d > 9) return -1;
    v = v * 10 + d;
    if (v > 65535) return -1;  // also bounds the loop's arithmetic
  }
  return static_cast<int>(v);
}

int default_port(const UriView& uri) {
  switch (uri.scheme) {
    case Scheme::Http: return 80;
    case Scheme::Https: return 443;
    case Scheme::Other:
      if (uri.scheme_text == "ws") return 80;
      if (uri.scheme_text == "wss") return 443;
      return -1;
    case Scheme::None: return -1;
  }
  return -1;
}

UriError dial_target(std::string_view url, DialTarget& out) {
  out = DialTarget{};
  // Raw storage instead of `UriView u;`: UriView is an implicit-lifetime
  // aggregate and parse_uri writes every field first, so the default member
  // initialisers (a "rep stos" costing ~10 ns here) would be wasted work.
  alignas(UriView) unsigned char raw[sizeof(UriView)];
  UriView& u = *std::launder(reinterpret_cast<UriView*>(raw));
  if (UriError e = parse_uri(url, u); e != UriError::None) return e;
  out.scheme = u.scheme;
  out.scheme_text = u.scheme_text;
  if (!u.has_authority) return UriError::None;
  out.has_authority = true;
  out.host_written = u.host;
  std::string_view h = u.host;
  while (!h.empty() && h.front() == '[') h.remove_prefix(1);
  while (!h.empty() && h.back() == ']') h.remove_suffix(1);
  out.host = h;
  out.port = u.port >= 0 ? u.port : default_port(u);
  return UriError::None;
}

}  // namespace quillon::http
