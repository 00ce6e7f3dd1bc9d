// The one URI parser of the system. The HTTP/1 and HTTP/2 request encoders,
// uri_parts() and proxy selection all use it, so what the host dials always
// agrees with what the codecs will write.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon::http {

// Longest URI text accepted (bytes).
inline constexpr size_t kMaxUriLen = 65534;
// Longest scheme accepted (characters).
inline constexpr size_t kMaxSchemeLen = 64;

enum class UriError : uint8_t {
  None,
  InvalidUriChar,
  InvalidScheme,
  InvalidAuthority,
  InvalidPort,
  InvalidFormat,
  SchemeMissing,
  AuthorityMissing,
  PathMissing,
  PathNoSlash,
  TooLong,
  Empty,
  SchemeTooLong,
};

// The refusal reason as the system words it, e.g. "invalid authority".
const char* uri_error_text(UriError e);

enum class Scheme : uint8_t { None, Http, Https, Other };

// Slices into the parsed text; valid while that text lives.
//
// Forms: origin ("/p?q": path set, no scheme or authority), asterisk ("*"),
// absolute ("scheme://authority[/path][?query]") and authority ("host:port",
// nothing after it). A port that is written but does not parse is not a
// refusal of parse_uri: `has_port` is set and `port` stays -1, so uri_parts
// can ignore it while a request encoder calls check_port() to refuse it.
struct UriView {
  Scheme scheme = Scheme::None;
  std::string_view scheme_text;  // as written ("HTTP", "ws", ...); empty without a scheme
  bool has_authority = false;
  std::string_view authority;  // everything between "://" (or the start) and the path
  bool has_userinfo = false;   // the authority holds an "@"
  std::string_view userinfo;   // before the last "@" of the authority (without the "@")
  std::string_view host;       // host as written, IPv6 brackets kept
  bool has_port = false;       // a ":" after the host
  std::string_view port_text;  // after that ":" (may be empty or not numeric)
  int port = -1;               // parse_port(port_text) when has_port, else -1
  std::string_view hostport;   // the authority after the user information
  std::string_view path;       // "" when absent; "*" for the asterisk form
  bool has_query = false;
  std::string_view query;  // after "?", without it; fragment dropped
};

// Parses `text` as an HTTP request target or absolute URI (origin form,
// absolute form, authority form or "*") in one pass over its bytes and fills
// `out` with slices of `text`. Returns UriError::None on success, otherwise
// the first rule broken (`out` is then unspecified). A scheme followed by an
// empty authority ("http://", "http:///x") is InvalidFormat; text that starts
// with "?" or "#" (no authority at all) is AuthorityMissing; a scheme run
// that is empty or does not start with a letter ("://h", "1x://h") is
// InvalidScheme. Brackets are accepted only around the whole host (after the
// user information), an empty host is InvalidAuthority, and the fragment is
// checked (query characters and "#") before it is dropped.
UriError parse_uri(std::string_view text, UriView& out);

// InvalidPort when `uri` has a ":" port that is empty or does not parse,
// else None. For writers that must not emit an unusable authority.
UriError check_port(const UriView& uri);

// Parses a port text: decimal, optional leading "+", value <= 65535.
// Returns -1 when it does not parse.
int parse_port(std::string_view text);

// The default port of a scheme ("http"/"https" by Scheme, "ws" 80 and "wss"
// 443 compared case-sensitively), or -1.
int default_port(const UriView& uri);

// What a client needs to dial a URL: the core of uri_parts().
struct DialTarget {
  Scheme scheme = Scheme::None;
  std::string_view scheme_text;  // as written
  bool has_authority = false;
  std::string_view host;          // every leading "[" and trailing "]" stripped
  std::string_view host_written;  // brackets kept: the authority's host text
  int port = -1;                  // explicit valid port, else the default, else -1
};

// Parses `url` and derives its dial target: an explicit port that does not
// parse counts as absent (the scheme's default applies). Returns the parser's
// refusal reason, or UriError::None.
UriError dial_target(std::string_view url, DialTarget& out);

}  // namespace quillon::http
