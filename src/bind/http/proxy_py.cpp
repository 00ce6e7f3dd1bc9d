// ProxyMatcher and ProxyIntercept: host faces of ProxyMatcherCore. Both are
// immutable after construction, so neither has a mutex; an intercept shares
// the matcher's prepared proxy record instead of copying its strings.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "http/proxy.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

using http::ProxyInterceptCore;
using http::ProxyMatcherCore;

struct ProxyMatcherObj {
  ProxyMatcherCore core;
  explicit ProxyMatcherObj(ProxyMatcherCore&& c) : core(std::move(c)) {}
};

struct ProxyInterceptObj {
  ProxyMatcherCore::InterceptPtr p;
  explicit ProxyInterceptObj(ProxyMatcherCore::InterceptPtr ptr) : p(std::move(ptr)) {}
};

const ProxyInterceptCore& intercept_of(PyObject* o) { return *py::unbox<ProxyInterceptObj>(o).p; }

// The UTF-8 bytes of a str. A str holding lone surrogates has none; it is
// then encoded with "surrogatepass" into `storage`: such bytes never parse
// as a proxy authority or match a host, so the text is simply unusable
// without failing the whole call. False when `o` is not a str.
bool text_of(PyObject* o, std::string& storage, std::string_view& out) {
  if (!PyUnicode_Check(o)) return false;
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(o, &n)) {
    out = std::string_view(s, static_cast<size_t>(n));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::PyErrSet{};
  PyErr_Clear();
  py::Ref b = py::Ref::check(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
  storage.assign(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
  out = storage;
  return true;
}

py::Ref wrap_matcher(ProxyMatcherCore&& core) {
  return py::make<ProxyMatcherObj>(proxy_matcher_type(), std::move(core));
}

// ---------------------------------------------------------------------------
// ProxyMatcher

constexpr py::Sig kFromEnv("ProxyMatcher.from_env", "");
py::Ref pm_from_env(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::parse<kFromEnv>(args, nargs, kwnames);
  // The C environment, which os.environ writes through to; values are raw
  // bytes and are checked for UTF-8 by the reader. Read under the
  // interpreter lock, so no host thread changes it meanwhile.
  http::ProxyConfig config = http::proxy_config_from_env([](const char* name) { return std::getenv(name); });
  return wrap_matcher(ProxyMatcherCore(config));
}

constexpr py::Sig kFromParts("ProxyMatcher.from_parts", "*, all=None, http=None, https=None, no=None");
py::Ref pm_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kFromParts>(args, nargs, kwnames);
  http::ProxyConfig config;
  const std::pair<py::Arg, std::optional<std::string>*> slots[] = {
      {a.arg("all"), &config.all}, {a.arg("http"), &config.http}, {a.arg("https"), &config.https}, {a.arg("no"), &config.no}};
  for (const auto& [arg, slot] : slots) {
    if (!arg.given()) continue;
    std::string storage;
    std::string_view text;
    if (!text_of(arg.value, storage, text)) arg.bad_type("str or None");
    slot->emplace(text);
  }
  return wrap_matcher(ProxyMatcherCore(config));
}

constexpr py::Sig kIntercept("ProxyMatcher.intercept", "url");
py::Ref pm_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kIntercept>(args, nargs, kwnames);
  std::string storage;
  std::string_view url;
  if (!text_of(a["url"], storage, url)) a.bad_type("url", "str");
  ProxyMatcherCore::InterceptPtr p = py::unbox<ProxyMatcherObj>(self).core.select(url);
  if (!p) return py::none();
  return py::make<ProxyInterceptObj>(proxy_intercept_type(), std::move(p));
}

PyTypeObject* build_matcher() {
  py::TypeDef d = py::type_def<ProxyMatcherObj>(
      "ProxyMatcher",
      "Decides whether a destination URL is reached through a proxy, and which.\n\n"
      "Built by from_env() or from_parts(); immutable, safe to share between threads.",
      py::kNoConstructor);
  d.methods = {
      py::method<pm_from_env>("from_env", kFromEnv,
                              "A matcher configured from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY\n"
                              "(upper case first, then lower case). In a CGI process (REQUEST_METHOD set)\n"
                              "no proxy is configured.",
                              true),
      py::method<pm_from_parts>("from_parts", kFromParts,
                                "A matcher from explicit proxy URLs: all is the fallback for both schemes;\n"
                                "no is the comma-separated bypass list. None, '' and unusable URLs leave\n"
                                "a slot unset.",
                                true),
      py::method<pm_intercept>("intercept", kIntercept,
                               "The ProxyIntercept for url, or None to connect directly (bypassed,\n"
                               "not http/https, no host, or not a parsable URL)."),
  };
  return py::build_type(std::move(d));
}

// ---------------------------------------------------------------------------
// ProxyIntercept

py::Ref pi_uri(PyObject* self) { return py::ascii_str(intercept_of(self).uri); }

py::Ref pi_basic_auth(PyObject* self) {
  const ProxyInterceptCore& i = intercept_of(self);
  if (i.auth != ProxyInterceptCore::Auth::Basic) return py::none();
  return py::ascii_str(i.basic);
}

py::Ref pi_raw_auth(PyObject* self) {
  const ProxyInterceptCore& i = intercept_of(self);
  if (i.auth != ProxyInterceptCore::Auth::Raw) return py::none();
  py::Ref user = py::str(i.user), password = py::str(i.password);
  PyObject* t = PyTuple_New(2);
  if (!t) throw py::PyErrSet{};
  PyTuple_SET_ITEM(t, 0, user.release());
  PyTuple_SET_ITEM(t, 1, password.release());
  return py::Ref::steal(t);
}

py::Ref pi_repr(PyObject* self) {
  py::Ref uri = pi_uri(self);
  return py::Ref::check(PyUnicode_FromFormat("ProxyIntercept(uri=%R)", uri.get()));
}

PyTypeObject* build_intercept() {
  py::TypeDef d = py::type_def<ProxyInterceptObj>(
      "ProxyIntercept",
      "A proxy to dial for one destination: its URL and prepared credentials.\n\n"
      "Returned by ProxyMatcher.intercept(); immutable.",
      py::kNoConstructor);
  d.slots = {py::slots::repr<pi_repr>()};
  d.getters = {py::property<pi_uri>("uri", "The proxy URL: scheme, '://', host and port as written, and '/'.")};
  d.methods = {
      py::noargs<pi_basic_auth>("basic_auth",
                                "The Proxy-Authorization value 'Basic <base64>' for an HTTP proxy with\n"
                                "credentials, else None."),
      py::noargs<pi_raw_auth>("raw_auth", "(user, password) for a SOCKS proxy with credentials, else None."),
  };
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* proxy_matcher_type() { return py::cached_type<build_matcher>(); }
PyTypeObject* proxy_intercept_type() { return py::cached_type<build_intercept>(); }

}  // namespace quillon::bind
