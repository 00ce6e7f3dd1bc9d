#include "py.hpp"

#include <cstring>
#include <deque>
#include <string>

namespace quillon::py {

namespace {

PyObject* g_internal_failure = nullptr;

// Strings that must outlive every type and function built from them.
std::deque<std::string>& keep_strings() {
  static auto* d = new std::deque<std::string>();
  return *d;
}

const char* keep(std::string s) {
  keep_strings().push_back(std::move(s));
  return keep_strings().back().c_str();
}

}  // namespace

Ref Ref::check(PyObject* p) {
  if (!p) throw PyErrSet{};
  return Ref(p);
}

// ---------------------------------------------------------------------------
// Errors

void StdError::set() const { PyErr_SetString(type_, message_.c_str()); }

void KeyError::set() const {
  PyObject* k = PyUnicode_FromStringAndSize(key_.data(), static_cast<Py_ssize_t>(key_.size()));
  if (!k) return;
  PyErr_SetObject(PyExc_KeyError, k);
  Py_DECREF(k);
}

PyObject* internal_failure_type() {
  if (!g_internal_failure) {
    g_internal_failure = PyErr_NewExceptionWithDoc(
        "_quillon.InternalFailure",
        "An internal invariant of the protocol core failed. The object it happened in is\n"
        "unusable from now on; discard it. Derives from BaseException so that ordinary\n"
        "`except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_internal_failure;
}

static void set_internal(const char* message) {
  PyObject* t = internal_failure_type();
  if (t) PyErr_SetString(t, message);
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const Error& e) {
    e.set();
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) set_internal("error raised without an exception set");
  } catch (const InternalFailure& f) {
    set_internal(f.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal(e.what());
  } catch (...) {
    set_internal("unknown internal failure");
  }
}

// ---------------------------------------------------------------------------
// Signatures

struct Sig::Parsed {
  std::vector<std::string> names;
  std::vector<PyObject*> interned;  // immortal for the process
  std::vector<bool> required;
  size_t positional = 0;  // parameters before "*"
  uint64_t required_mask = 0;  // bit i: parameter i is required (the first 64)
};

const Sig::Parsed& Sig::parsed() const {
  if (cache_) return *cache_;
  auto* p = new Parsed();
  for_each_param([&](Param param) {
    std::string name(param.name);
    if (param.required && p->required.size() < 64) p->required_mask |= uint64_t{1} << p->required.size();
    p->required.push_back(param.required);
    p->interned.push_back(PyUnicode_InternFromString(name.c_str()));
    p->names.push_back(std::move(name));
    if (!param.keyword_only) ++p->positional;
  });
  cache_ = p;
  return *p;
}

const char* Sig::param_name(size_t index) const { return parsed().names.at(index).c_str(); }

static std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void Sig::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out, size_t count) const {
  const Parsed& p = parsed();
  if (count != p.names.size()) throw InternalFailure{std::string("argument table mismatch in ") + qualname_};
  size_t n = static_cast<size_t>(nargs);
  if (n > p.positional) {
    std::string m = std::string(qualname_) + "() ";
    if (p.positional == 0)
      m += "takes no positional arguments";
    else
      m += "takes at most " + plural(p.positional, "positional argument");
    m += " (" + std::to_string(n) + " given)";
    throw type_error(std::move(m));
  }
  for (size_t i = 0; i < count; ++i) out[i] = i < n ? args[i] : nullptr;
  // The usual call: positional arguments only, covering every required one.
  const uint64_t given = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  if (!kwnames && count <= 64 && (p.required_mask & ~given) == 0) return;
  if (kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nk; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      size_t idx = count;
      for (size_t i = 0; i < count; ++i) {
        if (p.interned[i] == key) {
          idx = i;
          break;
        }
      }
      if (idx == count) {
        for (size_t i = 0; i < count; ++i) {
          if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[i].c_str()) == 0) {
            idx = i;
            break;
          }
        }
      }
      if (idx == count) {
        const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!k) PyErr_Clear();
        throw type_error(std::string(qualname_) + "() got an unexpected keyword argument '" + (k ? k : "?") + "'");
      }
      if (out[idx]) {
        throw type_error(std::string(qualname_) + "() got multiple values for argument '" + p.names[idx] + "'");
      }
      out[idx] = args[n + static_cast<size_t>(j)];
    }
  }
  if (count <= 64) {
    uint64_t present = 0;
    for (size_t i = 0; i < count; ++i) present |= uint64_t{out[i] != nullptr} << i;
    if ((p.required_mask & ~present) == 0) return;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!out[i] && p.required[i]) {
      std::string m = std::string(qualname_) + "() missing required ";
      if (i < p.positional)
        m += "argument '" + p.names[i] + "' (pos " + std::to_string(i + 1) + ")";
      else
        m += "keyword-only argument '" + p.names[i] + "'";
      throw type_error(std::move(m));
    }
  }
}

void Sig::bad_type(size_t index, const char* expected, PyObject* got) const {
  throw type_error(std::string(qualname_) + "() argument '" + param_name(index) + "' must be " + expected +
                   ", not " + Py_TYPE(got)->tp_name);
}

void Sig::bad_value(size_t index, const char* what) const {
  throw value_error(std::string(qualname_) + "() argument '" + param_name(index) + "' " + what);
}

std::string_view arg_bytes(const Sig& sig, size_t i, PyObject* o) {
  if (!PyBytes_Check(o)) sig.bad_type(i, "bytes", o);
  return std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
}

std::string_view arg_str(const Sig& sig, size_t i, PyObject* o) {
  if (!PyUnicode_Check(o)) sig.bad_type(i, "str", o);
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw PyErrSet{};
  return std::string_view(s, static_cast<size_t>(n));
}

bool arg_bool(const Sig& sig, size_t i, PyObject* o, bool dflt) {
  if (!o) return dflt;
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  sig.bad_type(i, "bool", o);
}

uint64_t arg_u64(const Sig& sig, size_t i, PyObject* o) {
  if (!PyLong_Check(o)) sig.bad_type(i, "int", o);
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    throw overflow_error(std::string(sig.qualname()) + "() argument '" + sig.param_name(i) +
                         "' out of range for an unsigned 64-bit integer");
  }
  return v;
}

long long arg_int_in(const Sig& sig, size_t i, PyObject* o, long long lo, long long hi, const char* message) {
  if (!PyLong_Check(o)) sig.bad_type(i, "int", o);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
  if (overflow || v < lo || v > hi) throw value_error(message);
  return v;
}

// ---------------------------------------------------------------------------
// Values

Ref bytes(std::string_view b) {
  return Ref::check(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
}

Ref str(std::string_view s) {
  return Ref::check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Ref ascii_str(std::string_view s) {
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (!o) throw PyErrSet{};
  std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
  return Ref::steal(o);
}

Ref integer(long long v) { return Ref::check(PyLong_FromLongLong(v)); }
Ref uinteger(unsigned long long v) { return Ref::check(PyLong_FromUnsignedLongLong(v)); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref none() { return Ref::borrow(Py_None); }

PyObject* interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw PyErrSet{};
  return s;  // the reference is kept for the process
}

Ref bytes_uninit(size_t size, char** data) {
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) throw overflow_error("bytes size does not fit Py_ssize_t");
  PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!o) throw PyErrSet{};
  *data = PyBytes_AS_STRING(o);
  return Ref::steal(o);
}

// ---------------------------------------------------------------------------
// Construction outside vectorcall

PyObject* new_via_vectorcall(CtorBody body, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> vec(static_cast<size_t>(npos + nkw));
    for (Py_ssize_t i = 0; i < npos; ++i) vec[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref names;
    if (nkw) {
      names = Ref::check(PyTuple_New(nkw));
      Py_ssize_t pos = 0, j = 0;
      PyObject *k, *v;
      while (PyDict_Next(kwargs, &pos, &k, &v)) {
        Py_INCREF(k);
        PyTuple_SET_ITEM(names.get(), j, k);
        vec[static_cast<size_t>(npos + j)] = v;
        ++j;
      }
    }
    return body(type, vec.data(), npos, names.get()).release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Types and functions

static std::string signature_doc(const char* name, const Sig* sig, bool self, const char* doc) {
  std::string s = name;
  s += "(";
  if (self) s += "$self";
  if (sig && *sig->params()) {
    if (self) s += ", ";
    s += sig->params();
  }
  s += ")\n--\n\n";
  s += doc ? doc : "";
  return s;
}

PyTypeObject* build_type(TypeDef def) {
  auto* methods = new std::vector<PyMethodDef>();
  for (const MethodDef& m : def.methods) {
    bool self = !(m.flags & METH_STATIC);
    methods->push_back(PyMethodDef{m.name, m.fn, m.flags, keep(signature_doc(m.name, m.sig, self, m.doc))});
  }
  methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  auto* getsets = new std::vector<PyGetSetDef>();
  for (const GetterDef& g : def.getters) getsets->push_back(PyGetSetDef{g.name, g.fn, nullptr, g.doc, nullptr});
  getsets->push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});

  std::string doc = def.ctor_sig ? signature_doc(def.name, def.ctor_sig, false, def.doc) : std::string(def.doc);
  std::vector<PyType_Slot> slots = def.slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(keep(std::move(doc)))});
  slots.push_back({Py_tp_methods, methods->data()});
  slots.push_back({Py_tp_getset, getsets->data()});
  if (def.dealloc) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
  if (def.ctor_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.ctor_new)});
  if (def.traverse) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(def.traverse)});
  if (def.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(def.clear)});
  slots.push_back({0, nullptr});

  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (def.flags & kSubclassable) flags |= Py_TPFLAGS_BASETYPE;
  if (def.flags & kGC) {
    if (!def.traverse || !def.clear) {
      PyErr_Format(PyExc_SystemError, "%s: a GC type needs traverse and clear", def.name);
      return nullptr;
    }
    flags |= Py_TPFLAGS_HAVE_GC;
  }
  if (!def.ctor_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;

  auto* type_spec = new PyType_Spec{keep(std::string("quillon._quillon.") + def.name), static_cast<int>(def.basicsize), 0,
                               flags, nullptr};
  auto* slot_store = new std::vector<PyType_Slot>(std::move(slots));
  type_spec->slots = slot_store->data();
  PyObject* t = PyType_FromSpec(type_spec);
  if (!t) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(t);
  if (def.ctor_vectorcall) tp->tp_vectorcall = def.ctor_vectorcall;
  return tp;
}

Ref make_function(const char* name, PyCFunction fn, int flags, const Sig* sig, const char* doc, PyObject* module) {
  auto* def = new PyMethodDef{name, fn, flags, keep(signature_doc(name, sig, false, doc))};
  PyObject* modname = module ? PyModule_GetNameObject(module) : nullptr;
  if (module && !modname) throw PyErrSet{};
  PyObject* f = PyCMethod_New(def, module, modname, nullptr);
  Py_XDECREF(modname);
  return Ref::check(f);
}

}  // namespace quillon::py
