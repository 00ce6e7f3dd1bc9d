#include "h1/encode.hpp"

#include <array>
#include <charconv>
#include <vector>

#include "h1/tokens.hpp"
#include "http/date.hpp"
#include "http/uri.hpp"

namespace quillon::h1 {
namespace {

using http::HeaderMapCore;

constexpr std::string_view kTooManyHeadersMessage = "too many headers";
constexpr std::string_view kDateFailureMessage = "system clock outside the range of the Date header";
// Room a head needs beyond its fields' names and values (4 bytes each for
// ": " and CRLF): the start line's fixed part, the reason phrase, and the
// lines the encoder adds itself (content-length with 20 digits,
// transfer-encoding, a date line), so a head is written into one allocation.
constexpr size_t kHeadExtraBytes = 160;

// "100".."999" back to back, so a status line never formats an integer.
constexpr std::array<char, 900 * 3> kStatusDigits = [] {
  std::array<char, 900 * 3> t{};
  for (int s = 100; s <= 999; ++s) {
    size_t at = static_cast<size_t>(s - 100) * 3;
    t[at] = static_cast<char>('0' + s / 100);
    t[at + 1] = static_cast<char>('0' + s / 10 % 10);
    t[at + 2] = static_cast<char>('0' + s % 10);
  }
  return t;
}();

EncodeError value_error(std::string message) {
  EncodeError e;
  e.kind = EncodeError::Kind::ValueError;
  e.message = std::move(message);
  return e;
}

EncodeError user_error(UserKind k) {
  EncodeError e;
  e.kind = EncodeError::Kind::User;
  e.failure = Failure::user(k);
  return e;
}

inline void put(std::string& out, std::string_view s) { out.append(s.data(), s.size()); }

// Writes a header name lower-case as stored, or title-cased: a letter is
// upper-cased at the start and after each "-".
void put_name(std::string& out, std::string_view name, bool title) {
  if (!title) {
    put(out, name);
    return;
  }
  size_t at = out.size();
  out.append(name.data(), name.size());
  char prev = '-';
  for (size_t i = at; i < out.size(); ++i) {
    char c = out[i];
    if (prev == '-' && c >= 'a' && c <= 'z') out[i] = static_cast<char>(c - 32);
    prev = c;
  }
}

void put_line(std::string& out, std::string_view name, std::string_view value, bool title) {
  put_name(out, name, title);
  put(out, ": ");
  put(out, value);
  put(out, "\r\n");
}

void put_u64(std::string& out, uint64_t n) {
  char buf[20];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

// Adds the header names listed in one `trailer` value (comma-separated,
// trimmed; pieces that are not header names are skipped) in lower case.
void add_trailer_names(std::vector<std::string>& allow, std::string_view value) {
  while (true) {
    size_t comma = value.find(',');
    std::string_view piece = trim_ows(value.substr(0, comma));
    if (!piece.empty() && piece.size() <= http::kMaxHeaderNameLen) {
      std::string name(piece.size(), '\0');
      if (http::normalize_header_name(piece, name.data())) allow.push_back(std::move(name));
    }
    if (comma == std::string_view::npos) return;
    value.remove_prefix(comma + 1);
  }
}

std::vector<std::string> trailer_allow_list(const HeaderMapCore& headers) {
  std::vector<std::string> allow;
  headers.for_each_value("trailer", [&](std::string_view v) { add_trailer_names(allow, v); });
  return allow;
}

// Makes the last `transfer-encoding` value end in "chunked", appending
// ", chunked" to it when it does not.
bool ensure_chunked_last(HeaderMapCore& headers, size_t at) {
  std::vector<std::string> values;
  headers.for_each_value_at(at, [&](std::string_view v) { values.emplace_back(v); });
  if (last_encoding_is_chunked(values.back())) return true;
  values.back() += ", chunked";
  if (headers.set("transfer-encoding", values[0]) != HeaderMapCore::Result::Ok) return false;
  for (size_t i = 1; i < values.size(); ++i)
    if (headers.add("transfer-encoding", values[i]) != HeaderMapCore::Result::Ok) return false;
  return true;
}

// Every value of the name at `at` is one run of digits (spaces and tabs
// around it allowed) and all are equal: the response encoder's reading of a
// caller's `content-length`.
bool response_content_length(const HeaderMapCore& headers, size_t at, uint64_t& out) {
  bool ok = true, have = false;
  uint64_t len = 0;
  headers.for_each_value_at(at, [&](std::string_view v) {
    uint64_t n = 0;
    if (!ok) return;
    if (!parse_u64_digits(trim_ows(v), n) || (have && n != len)) {
      ok = false;
      return;
    }
    len = n;
    have = true;
  });
  if (ok) out = len;
  return ok && have;
}

// Writes the request-target in canonical form: an absolute URI as scheme
// "://" host[:port] path ("/" when empty) and "?query"; the authority form as
// host[:port]; any other target as path and "?query". Neither a fragment nor
// user information is ever written: RFC 9110 forbids both in a target, and
// credentials in a request line end up in every proxy's and server's logs.
void put_target(std::string& out, const http::UriView& uri) {
  if (uri.scheme != http::Scheme::None) {
    if (uri.scheme == http::Scheme::Http)
      put(out, "http");
    else if (uri.scheme == http::Scheme::Https)
      put(out, "https");
    else
      put(out, uri.scheme_text);
    put(out, "://");
    put(out, uri.hostport);
    put(out, uri.path.empty() ? std::string_view("/") : uri.path);
  } else if (uri.has_authority) {
    put(out, uri.hostport);
    return;
  } else {
    put(out, uri.path);
  }
  if (uri.has_query) {
    out.push_back('?');
    put(out, uri.query);
  }
}

enum class Special : uint8_t { None, ContentLength, TransferEncoding, Connection, Trailer, Date };

Special classify(std::string_view name) {
  switch (name.size()) {
    case 4:
      if (name == "date") return Special::Date;
      break;
    case 7:
      if (name == "trailer") return Special::Trailer;
      break;
    case 10:
      if (name == "connection") return Special::Connection;
      break;
    case 14:
      if (name == "content-length") return Special::ContentLength;
      break;
    case 17:
      if (name == "transfer-encoding") return Special::TransferEncoding;
      break;
    default:
      break;
  }
  return Special::None;
}

}  // namespace

std::string_view canonical_reason(uint16_t status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 102: return "Processing";
    case 103: return "Early Hints";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status";
    case 208: return "Already Reported";
    case 226: return "IM Used";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 418: return "I'm a teapot";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Entity";
    case 423: return "Locked";
    case 424: return "Failed Dependency";
    case 425: return "Too Early";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 510: return "Not Extended";
    case 511: return "Network Authentication Required";
    default: return "<none>";
  }
}

bool connection_close(const HeaderMapCore& headers) { return connection_has_token(headers, "close"); }

EncodeError serialize_request(CodecState& state, std::string_view method, std::string_view url,
                              HeaderMapCore headers, bool http10, BodyLength body, std::string& out) {
  out.clear();
  if (!http::is_token(method)) return value_error(std::string(kInvalidMethodMessage));
  http::UriView uri;
  http::UriError ue = http::parse_uri(url, uri);
  if (ue == http::UriError::None) ue = http::check_port(uri);
  if (ue != http::UriError::None) return value_error(std::string("invalid url: ") + http::uri_error_text(ue));

  const bool close = connection_has_token(headers, "close");
  bool room = true;
  if (http10) {
    if (!close) {
      auto first = headers.get("connection");
      if (!first || !value_has_token(*first, "keep-alive"))
        room = headers.set("connection", "keep-alive") == HeaderMapCore::Result::Ok;
    }
  } else if (close) {
    room = headers.set("connection", "close") == HeaderMapCore::Result::Ok;
  }

  const Method kind = standard_method(method);
  BodyEncoder enc;
  enc.kind = BodyEncoder::Kind::Length;
  uint64_t existing = 0;
  if (body.kind == BodyLength::Kind::None) {
    headers.remove("transfer-encoding");
    // The head frames no body, so a caller `content-length` above 0 would
    // leave the server waiting for bytes that never come. As for responses,
    // a length that disagrees with the framing is the caller's mistake; an
    // agreeing one is written once.
    if (headers.find("content-length") != HeaderMapCore::npos) {
      if (!content_length_list(headers, existing) || existing != 0) return user_error(UserKind::UnexpectedHeader);
      room = room && headers.set("content-length", "0") == HeaderMapCore::Result::Ok;
    }
  } else if (http10) {
    // No chunked coding in HTTP/1.0: without a length the request has no body.
    headers.remove("transfer-encoding");
    if (content_length_list(headers, existing)) {
      enc.remaining = existing;
    } else if (body.kind == BodyLength::Kind::Known) {
      std::string digits;
      put_u64(digits, body.n);
      room = room && headers.set("content-length", digits) == HeaderMapCore::Result::Ok;
      enc.remaining = body.n;
    }
  } else {
    if (size_t te = headers.find("transfer-encoding"); te != HeaderMapCore::npos) {
      room = room && ensure_chunked_last(headers, te);
      enc.kind = BodyEncoder::Kind::Chunked;
    } else if (content_length_list(headers, existing)) {
      enc.remaining = existing;
    } else if (body.kind == BodyLength::Kind::Unknown) {
      // GET, HEAD and CONNECT practically never carry a body: send none
      // rather than a chunked body holding only its terminator.
      if (kind != Method::Get && kind != Method::Head && kind != Method::Connect) {
        room = room && headers.add("transfer-encoding", "chunked") == HeaderMapCore::Result::Ok;
        enc.kind = BodyEncoder::Kind::Chunked;
      }
    } else {
      std::string digits;
      put_u64(digits, body.n);
      room = room && headers.set("content-length", digits) == HeaderMapCore::Result::Ok;
      enc.remaining = body.n;
    }
    // A message must never carry both framings (RFC 9112 6.2): a receiver
    // or proxy that honours the wrong one desynchronises the connection.
    if (enc.kind == BodyEncoder::Kind::Chunked) headers.remove("content-length");
  }
  if (!room) return value_error(std::string(kTooManyHeadersMessage));
  if (enc.kind == BodyEncoder::Kind::Chunked) enc.trailer_allow = trailer_allow_list(headers);

  out.reserve(kHeadExtraBytes + method.size() + url.size() + headers.byte_size() + 4 * headers.len());
  put(out, method);
  out.push_back(' ');
  put_target(out, uri);
  put(out, http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
  headers.for_each([&](std::string_view n, std::string_view v) { put_line(out, n, v, false); });
  put(out, "\r\n");

  state.method.kind = kind;
  if (kind == Method::Extension)
    state.method.ext.assign(method.data(), method.size());
  else
    state.method.ext.clear();
  state.encoder = std::move(enc);
  state.request_connection_close = close;
  return {};
}

namespace {
EncodeError encode_response(CodecState& state, const CodecConfig& config, uint16_t status,
                            const HeaderMapCore& headers, bool keep_alive, bool http10, BodyLength body,
                            std::string& out);
}  // namespace

// The caller's map is only read: the rare head that needs a `connection`
// line added is encoded from an edited copy.
EncodeError serialize_response(CodecState& state, const CodecConfig& config, uint16_t status,
                               const HeaderMapCore& headers, bool keep_alive, bool http10, BodyLength body,
                               std::string& out) {
  out.clear();
  if (status < 100 || status > 999) return value_error(std::string(kInvalidStatusMessage));
  // Interim responses other than 101 are not a server's to send through
  // this path (100 has its own fixed bytes).
  if (status == 100 || (status >= 102 && status <= 199)) return user_error(UserKind::UnsupportedStatusCode);

  const char* connection = nullptr;
  if (http10) {
    if (keep_alive) {
      auto first = headers.get("connection");
      if (!first || !value_has_token(*first, "keep-alive")) connection = "keep-alive";
    }
  } else if (!keep_alive) {
    connection = "close";
  }
  if (connection == nullptr) return encode_response(state, config, status, headers, keep_alive, http10, body, out);
  HeaderMapCore edited(headers);
  if (edited.set("connection", connection) != HeaderMapCore::Result::Ok)
    return value_error(std::string(kTooManyHeadersMessage));
  return encode_response(state, config, status, edited, keep_alive, http10, body, out);
}

namespace {
EncodeError encode_response(CodecState& state, const CodecConfig& config, uint16_t status,
                            const HeaderMapCore& headers, bool keep_alive, bool http10, BodyLength body,
                            std::string& out) {

  const Method method = state.method.kind;
  const bool is_head = method == Method::Head;
  const bool informational = status < 200;  // only 101 gets this far
  const bool connect_ok = method == Method::Connect && status >= 200 && status <= 299;
  const bool no_content = status == 204 || status == 304;
  const bool can_have_body = !(is_head || connect_ok || informational || no_content);
  const bool can_chunk = can_have_body && !http10;
  const bool can_have_length = !(informational || connect_ok || no_content);
  const bool title = config.title_case_headers;

  bool last = false;
  bool wrote_len = false;
  if (status == 101) {
    last = true;
  } else if (connect_ok) {
    // The connection becomes a tunnel: any framing header is a mistake
    // (RFC 9110 9.3.6).
    last = true;
    wrote_len = true;
  } else {
    last = !keep_alive;
  }

  auto fail = [&](UserKind k) {
    out.clear();
    return user_error(k);
  };

  // The status line, every field with its ": " and CRLF, and the lines
  // this encoder may add (content-length, transfer-encoding, date): one
  // allocation for the whole head.
  out.reserve(kHeadExtraBytes + headers.byte_size() + 4 * headers.len());
  if (!http10 && status == 200) {
    put(out, "HTTP/1.1 200 OK\r\n");
  } else {
    put(out, http10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    out.append(kStatusDigits.data() + static_cast<size_t>(status - 100) * 3, 3);
    out.push_back(' ');
    put(out, canonical_reason(status));
    put(out, "\r\n");
  }

  BodyEncoder enc;
  enc.kind = BodyEncoder::Kind::Length;
  std::vector<std::string> allow;
  bool wrote_date = false;

  // Writes every value of the name at `i` on one line, joined by ", ".
  auto put_joined = [&](size_t i, std::string_view name) {
    put_name(out, name, title);
    put(out, ": ");
    bool first = true;
    headers.for_each_value_at(i, [&](std::string_view v) {
      if (!first) put(out, ", ");
      put(out, v);
      first = false;
    });
  };

  for (size_t i = 0; i < headers.name_count(); ++i) {
    const std::string_view name = headers.name_at(i);
    switch (classify(name)) {
      case Special::ContentLength: {
        if (wrote_len) return fail(UserKind::UnexpectedHeader);
        const std::string_view first = *headers.get(name);
        if (body.kind == BodyLength::Kind::Known) {
          if (can_have_body) {
            uint64_t v = 0;
            if (!response_content_length(headers, i, v) || v != body.n) return fail(UserKind::UnexpectedHeader);
          }
          put_line(out, name, first, title);
          enc.remaining = body.n;
          wrote_len = true;
        } else if (body.kind == BodyLength::Kind::Unknown) {
          uint64_t v = 0;
          if (!response_content_length(headers, i, v)) return fail(UserKind::UnexpectedHeader);
          put_line(out, name, first, title);
          enc.remaining = v;
          wrote_len = true;
        } else if (is_head) {
          // No body, but a HEAD response announces the length a GET
          // would have had.
          headers.for_each_value_at(i, [&](std::string_view v) { put_line(out, name, v, title); });
          wrote_len = true;
        }
        break;
      }
      case Special::TransferEncoding: {
        if (wrote_len) return fail(UserKind::UnexpectedHeader);
        if (!can_chunk) break;
        put_joined(i, name);
        std::string_view last_value;
        headers.for_each_value_at(i, [&](std::string_view v) { last_value = v; });
        if (!last_encoding_is_chunked(last_value)) put(out, ", chunked");
        put(out, "\r\n");
        enc.kind = BodyEncoder::Kind::Chunked;
        wrote_len = true;
        break;
      }
      case Special::Connection:
        put_joined(i, name);
        put(out, "\r\n");
        headers.for_each_value_at(i, [&](std::string_view v) {
          if (!last && value_has_token(v, "close")) last = true;
        });
        break;
      case Special::Trailer:
        if (!can_chunk) break;
        put_joined(i, name);
        put(out, "\r\n");
        headers.for_each_value_at(i, [&](std::string_view v) { add_trailer_names(allow, v); });
        break;
      case Special::Date:
        wrote_date = true;
        [[fallthrough]];
      case Special::None:
        headers.for_each_value_at(i, [&](std::string_view v) { put_line(out, name, v, title); });
        break;
    }
  }

  if (!wrote_len) {
    if (body.kind == BodyLength::Kind::Unknown) {
      if (!can_chunk) {
        enc.kind = BodyEncoder::Kind::Close;
      } else {
        put_line(out, "transfer-encoding", "chunked", title);
        enc.kind = BodyEncoder::Kind::Chunked;
      }
    } else if (body.kind == BodyLength::Kind::None || body.n == 0) {
      if (can_have_length && !is_head) put_line(out, "content-length", "0", title);
      enc.remaining = 0;
    } else if (can_have_length) {
      put_name(out, "content-length", title);
      put(out, ": ");
      put_u64(out, body.n);
      put(out, "\r\n");
      enc.remaining = body.n;
    } else {
      enc.remaining = 0;
    }
  }
  if (!can_have_body) {
    enc.kind = BodyEncoder::Kind::Length;
    enc.remaining = 0;
  }

  if (config.date_header && !wrote_date) {
    const char* date = http::current_http_date();
    if (date == nullptr) {
      out.clear();
      EncodeError e;
      e.kind = EncodeError::Kind::Internal;
      e.message = std::string(kDateFailureMessage);
      return e;
    }
    put_name(out, "date", title);
    put(out, ": ");
    out.append(date, http::kHttpDateLen);
    put(out, "\r\n\r\n");
  } else {
    put(out, "\r\n");
  }

  if (enc.kind == BodyEncoder::Kind::Chunked) enc.trailer_allow = std::move(allow);
  state.response_close_delimited = enc.kind == BodyEncoder::Kind::Close;
  state.response_is_last = last;
  state.encoder = std::move(enc);
  return {};
}

}  // namespace

}  // namespace quillon::h1
