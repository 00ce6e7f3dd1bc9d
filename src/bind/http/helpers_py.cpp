// The module functions http_date() and uri_parts(): thin faces of the Date
// clock and the URI parser. uri_parts builds its result straight from the
// parser's slices (all ASCII) without intermediate copies.
#include <cstdio>
#include <cstring>
#include <string>

#include "http/date.hpp"
#include "http/uri.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

// ---------------------------------------------------------------------------
// http_date()

py::Ref http_date(PyObject*) {
  const char* v = http::current_http_date();
  if (!v) py::fail_internal("the wall clock is outside 1970..9999 and cannot be rendered as an HTTP date");
  return py::bytes(std::string_view(v, http::kHttpDateLen));
}

// ---------------------------------------------------------------------------
// uri_parts(url)

constexpr py::Sig kUriParts("uri_parts", "url");

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

// Built from the str's code points so even text that is not valid UTF-8
// can be shown.
std::string quoted(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  std::string out;
  out.reserve(static_cast<size_t>(n) + 2);
  out.push_back('"');
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c < 0xE000)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      append_utf8(out, c);
    }
  }
  out.push_back('"');
  return out;
}

namespace {

[[noreturn]] void refuse(PyObject* url, http::UriError e) {
  throw py::value_error("invalid url " + quoted(url) + ": " + http::uri_error_text(e));
}

PyObject* scheme_name(const char* text) {
  // Interned once; the reference is kept for the process.
  return py::interned(text);
}

// host_written ":" port as a new ASCII str, written in place.
py::Ref authority_str(std::string_view host, int port) {
  // Digits by hand: snprintf's locale-aware machinery would cost as much as
  // the whole URL parse.
  char digits[5];
  int nd = 0;
  unsigned v = static_cast<unsigned>(port);
  do {
    digits[4 - nd++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  const size_t len = host.size() + 1 + static_cast<size_t>(nd);
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
  if (!o) throw py::PyErrSet{};
  auto* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(o));
  std::memcpy(p, host.data(), host.size());
  p[host.size()] = ':';
  std::memcpy(p + host.size() + 1, digits + 5 - nd, static_cast<size_t>(nd));
  return py::Ref::steal(o);
}

py::Ref uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* url;
  if (nargs == 1 && !kwnames) {
    url = args[0];  // the common call, without the general parser
  } else {
    auto a = py::parse<kUriParts>(args, nargs, kwnames);
    url = a["url"];
  }
  if (!PyUnicode_Check(url)) kUriParts.bad_type(kUriParts.index_of("url"), "str", url);
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(url, &n);
  if (!s) {
    // Lone surrogates: not text any URL can carry.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::PyErrSet{};
    PyErr_Clear();
    refuse(url, http::UriError::InvalidUriChar);
  }

  http::DialTarget t;
  if (http::UriError e = http::dial_target(std::string_view(s, static_cast<size_t>(n)), t); e != http::UriError::None)
    refuse(url, e);

  static PyObject* const kHttp = scheme_name("http");
  static PyObject* const kHttps = scheme_name("https");
  py::Ref scheme;
  switch (t.scheme) {
    case http::Scheme::Http: scheme = py::Ref::borrow(kHttp); break;
    case http::Scheme::Https: scheme = py::Ref::borrow(kHttps); break;
    case http::Scheme::Other: scheme = py::ascii_str(t.scheme_text); break;
    case http::Scheme::None: scheme = py::none(); break;
  }
  py::Ref host = t.has_authority ? py::ascii_str(t.host) : py::none();
  // 80 is one of the interpreter's shared small ints; 443 is kept here.
  static PyObject* const k443 = py::integer(443).release();
  py::Ref port = t.port == 443 ? py::Ref::borrow(k443) : t.port >= 0 ? py::integer(t.port) : py::none();
  py::Ref authority = t.port >= 0 ? authority_str(t.host_written, t.port) : py::none();

  PyObject* tuple = PyTuple_New(4);
  if (!tuple) throw py::PyErrSet{};
  PyTuple_SET_ITEM(tuple, 0, scheme.release());
  PyTuple_SET_ITEM(tuple, 1, host.release());
  PyTuple_SET_ITEM(tuple, 2, port.release());
  PyTuple_SET_ITEM(tuple, 3, authority.release());
  return py::Ref::steal(tuple);
}

}  // namespace

py::Ref http_date_function(PyObject* module) {
  return py::make_function("http_date", &py::noargs_wrapper<http_date>, METH_NOARGS, nullptr,
                           "The current Date header value: 29 bytes of IMF-fixdate, for example\n"
                           "b'Sun, 06 Nov 1994 08:49:37 GMT'. Read from the calling thread's cache,\n"
                           "which is re-rendered only when the wall-clock second changes.",
                           module);
}

py::Ref uri_parts_function(PyObject* module) {
  return py::make_function(
      "uri_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py::method_wrapper<uri_parts>)),
      METH_FASTCALL | METH_KEYWORDS, &kUriParts,
      "Split a URL into (scheme, host, port, authority) for dialling a server.\n\n"
      "scheme is 'http' or 'https' in lower case, any other scheme as written, or None.\n"
      "host has IPv6 brackets removed; None without an authority. port is the explicit\n"
      "port when it is a valid 16-bit number, else the scheme's default, else None.\n"
      "authority is the host as written, ':' and the port; None when port is None.\n"
      "Raises ValueError for a URL the parser refuses.",
      module);
}

}  // namespace quillon::bind
