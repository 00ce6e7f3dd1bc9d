// HeaderMap: the host face of HeaderMapCore. Names and values are converted
// and validated before the map's mutex is taken; results are snapshotted
// under it and turned into host objects after it is released.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "errors.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

using http::HeaderMapCore;

struct HeaderMapObj {
  py::Mutex mu;
  HeaderMapCore core;
  // The (name, value) pairs items() last listed, kept while the map stays
  // as it was: listing an unchanged map again then costs a list, not a new
  // tuple and bytes object per field. Only str, bytes and tuples, so the
  // cache can close no reference cycle.
  py::Ref items;
  uint64_t version = 0;  // counts the changes, so a listing made outside the lock knows if it is current

  HeaderMapObj() = default;
  explicit HeaderMapObj(HeaderMapCore&& c) : core(std::move(c)) {}

  // Called under the lock by every change; the listing goes to `g`.
  void changed(py::Graveyard& g) {
    ++version;
    g.bury(std::move(items));
  }
};

HeaderMapObj& self_of(PyObject* o) { return py::unbox<HeaderMapObj>(o); }

const char kBadNameType[] = "header name must be str or bytes";
const char kBadValueType[] = "header value must be str or bytes";
const char kBadName[] = "invalid header name: invalid HTTP header name";
const char kBadValue[] = "invalid header value: failed to parse header value";
// Kept exactly as published, limit and all: callers match on this text.
const char kFull[] = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";

// The raw bytes of a str (UTF-8) or bytes argument; false when it is neither.
// A str that cannot be encoded raises the host's encoding error.
bool raw_bytes(PyObject* o, std::string_view& out) {
  if (PyUnicode_Check(o)) {
    if (PyUnicode_IS_COMPACT_ASCII(o)) {
      out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
      return true;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) throw py::PyErrSet{};
    out = std::string_view(s, static_cast<size_t>(n));
    return true;
  }
  if (PyBytes_Check(o)) {
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  return false;
}

// A header name converted to its lower-case form, on the stack when short.
class Name {
 public:
  std::string_view view() const { return view_; }

  // Converts or throws the host's TypeError / ValueError.
  void convert(PyObject* o) {
    std::string_view raw;
    if (!raw_bytes(o, raw)) throw py::type_error(kBadNameType);
    if (!try_normalize(raw)) throw py::value_error(kBadName);
  }
  // For `in`: any failure is just "not a valid name".
  bool try_convert(PyObject* o) {
    std::string_view raw;
    try {
      if (!raw_bytes(o, raw)) return false;
    } catch (const py::PyErrSet&) {
      PyErr_Clear();
      return false;
    }
    return try_normalize(raw);
  }

 private:
  bool try_normalize(std::string_view raw) {
    char* out = small_;
    if (raw.size() > sizeof(small_)) {
      big_.reset(new char[raw.size()]);
      out = big_.get();
    }
    if (!http::normalize_header_name(raw, out)) return false;
    view_ = std::string_view(out, raw.size());
    return true;
  }

  char small_[128];
  std::unique_ptr<char[]> big_;  // not a std::string: a lookup pays for its construction
  std::string_view view_;
};

std::string_view convert_value(PyObject* o) {
  std::string_view v;
  if (!raw_bytes(o, v)) throw py::type_error(kBadValueType);
  if (!http::is_valid_header_value(v)) throw py::value_error(kBadValue);
  return v;
}

void check_room(HeaderMapCore::Result r) {
  if (r == HeaderMapCore::Result::Full) throw py::value_error(kFull);
}

// One value copied out under the lock, so the bytes object is built after it.
class ValueCopy {
 public:
  void assign(std::string_view v) {
    char* to = small_;
    if (v.size() > sizeof(small_)) {
      big_.reset(new char[v.size()]);
      to = big_.get();
    }
    std::memcpy(to, v.data(), v.size());
    view_ = std::string_view(to, v.size());
  }
  std::string_view view() const { return view_; }

 private:
  char small_[256];
  std::unique_ptr<char[]> big_;
  std::string_view view_;
};

HeaderMapCore snapshot(HeaderMapObj& m) {
  return py::locked(m, [&] { return m.core; });
}

// A snapshot taken into this thread's scratch map, so listing a map does not
// allocate once the scratch has grown. Building the host objects afterwards
// may run a collection whose finalisers list another map on this thread:
// that nested listing finds the scratch busy and uses a map of its own.
class SnapshotLease {
 public:
  explicit SnapshotLease(HeaderMapObj& m, uint64_t* version = nullptr) {
    Scratch& s = scratch();
    if (!s.busy) {
      s.busy = true;
      map_ = &s.map;
      leased_ = true;
    } else {
      map_ = &own_;
    }
    py::locked(m, [&] {
      map_->copy_from(m.core);
      if (version) *version = m.version;
    });
  }
  ~SnapshotLease() {
    if (!leased_) return;
    map_->clear();  // drops buffers that grew large, keeps the small ones
    scratch().busy = false;
  }
  SnapshotLease(const SnapshotLease&) = delete;
  SnapshotLease& operator=(const SnapshotLease&) = delete;
  const HeaderMapCore& map() const { return *map_; }

 private:
  struct Scratch {
    HeaderMapCore map;
    bool busy = false;
  };
  static Scratch& scratch() {
    thread_local Scratch s;
    return s;
  }
  HeaderMapCore own_;
  HeaderMapCore* map_ = nullptr;
  bool leased_ = false;
};

// Header names repeat across every head a process sees, so their str (and,
// for raw_items, bytes) objects are kept in a small direct-mapped cache: a
// hit costs a hash and a compare instead of a new object. Bounded (slots and
// name length) whatever names peers send; a collision just replaces the slot.
template <py::Ref (*Make)(std::string_view)>
class NameCache {
 public:
  py::Ref get(std::string_view n) {
    if (n.size() > kMaxCachedLen) return Make(n);
    Slot& s = slots_[slot_of(n)];
    if (s.obj && s.len == n.size() && std::memcmp(s.bytes, n.data(), n.size()) == 0) return py::Ref::borrow(s.obj);
    py::Ref fresh = Make(n);
    PyObject* old = s.obj;
    s.obj = py::Ref(fresh).release();
    s.len = n.size();
    std::memcpy(s.bytes, n.data(), n.size());
    Py_XDECREF(old);  // a str or bytes: releasing it runs no host code
    return fresh;
  }

 private:
  static constexpr unsigned kSlotBits = 9;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;
  static constexpr size_t kMaxCachedLen = 40;
  struct Slot {
    PyObject* obj = nullptr;
    size_t len = 0;
    char bytes[kMaxCachedLen];
  };
  // Eight bytes a step (names are short, and a byte-at-a-time multiply chain
  // costs more than the object the cache saves), then one multiply whose top
  // bits pick the slot, so every byte reaches them: names that differ only at
  // the end ("x-id-1", "x-id-2") must not share a slot and evict each other
  // on every listing.
  static size_t slot_of(std::string_view n) {
    const char* p = n.data();
    const size_t len = n.size();
    uint64_t h = 0x9E3779B97F4A7C15ull ^ len;
    auto mix = [&h](uint64_t w) {
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    };
    if (len >= 8) {
      size_t i = 0;
      for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        mix(w);
      }
      if (i < len) {
        uint64_t w;
        std::memcpy(&w, p + len - 8, 8);
        mix(w);
      }
    } else {
      uint64_t w = 0;
      for (size_t i = 0; i < len; ++i) w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
      mix(w);
    }
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> (64 - kSlotBits));
  }
  Slot slots_[kSlots];
};

py::Ref name_str(std::string_view n) {
  static auto* cache = new NameCache<py::ascii_str>();  // kept for the process
  return cache->get(n);
}

py::Ref name_bytes(std::string_view n) {
  static auto* cache = new NameCache<py::bytes>();  // kept for the process
  return cache->get(n);
}

// ---------------------------------------------------------------------------
// Construction

void add_pair(HeaderMapCore& core, PyObject* k, PyObject* v) {
  Name n;
  n.convert(k);
  std::string_view val = convert_value(v);
  check_room(core.add(n.view(), val));
}

// Adds the pairs of `init` (a dict or any iterable of indexable pairs) one
// at a time, in order.
void add_pairs(HeaderMapCore& core, PyObject* init) {
  if (PyDict_Check(init)) {
    core.reserve(static_cast<size_t>(PyDict_GET_SIZE(init)), 0);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(init, &pos, &k, &v)) add_pair(core, k, v);
    return;
  }
  Py_ssize_t hint = PyObject_LengthHint(init, 0);
  if (hint < 0) throw py::PyErrSet{};
  // A hint only: bounded so a lying __length_hint__ cannot make us reserve
  // more than the map could ever hold.
  core.reserve(std::min<size_t>(static_cast<size_t>(hint), http::kMaxHeaderNames), 0);
  py::Ref it = py::Ref::check(PyObject_GetIter(init));
  for (;;) {
    PyObject* raw = PyIter_Next(it.get());
    if (!raw) {
      if (PyErr_Occurred()) throw py::PyErrSet{};
      break;
    }
    py::Ref item = py::Ref::steal(raw);
    py::Ref k, v;
    if (PyTuple_CheckExact(raw) && PyTuple_GET_SIZE(raw) >= 2) {
      k = py::Ref::borrow(PyTuple_GET_ITEM(raw, 0));
      v = py::Ref::borrow(PyTuple_GET_ITEM(raw, 1));
    } else if (PyList_CheckExact(raw) && PyList_GET_SIZE(raw) >= 2) {
      k = py::Ref::borrow(PyList_GET_ITEM(raw, 0));
      v = py::Ref::borrow(PyList_GET_ITEM(raw, 1));
    } else {
      py::Ref zero = py::integer(0), one = py::integer(1);
      k = py::Ref::check(PyObject_GetItem(raw, zero.get()));
      v = py::Ref::check(PyObject_GetItem(raw, one.get()));
    }
    add_pair(core, k.get(), v.get());
  }
}

constexpr py::Sig kCtor("HeaderMap", "init=None");

// Sources with at most this many pairs are converted whole, then copied in
// one fill (one allocation, no lookup per new name); larger ones go pair by
// pair, so a map that fills up reports "full" at the same pair as add() would.
constexpr size_t kBulkPairs = 256;

// The bytes of a compact ASCII str or of a bytes object, read in place;
// false for any other object (a str that needs encoding, another type),
// which fill_bulk then converts with its errors in their order.
inline bool plain_bytes(PyObject* o, std::string_view& out) {
  // Exact: an instance of a str subclass is never compact. A compact ASCII
  // str keeps its characters right after its header (PyUnicode_DATA would
  // test the flags again to find them there).
  if (PyUnicode_CheckExact(o)) {
    if (!PyUnicode_IS_COMPACT_ASCII(o)) return false;
    const auto* s = reinterpret_cast<const PyASCIIObject*>(o);
    out = std::string_view(reinterpret_cast<const char*>(s + 1), static_cast<size_t>(s->length));
    return true;
  }
  if (PyBytes_Check(o)) {
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  return false;
}

// The pairs of a dict, or of a list or tuple whose items are all exact
// tuples or lists of two or more, in `out` as views of the objects' own
// bytes, which stay valid because nothing here runs host code that could
// drop them. False (nothing raised) when an item has another shape, whose
// indexing could run host code, or a name or value is not plain_bytes():
// the caller takes a careful path. `each(k, v, field)` fills one field, or
// returns false (plain) or throws (careful).
template <class Each>
bool collect(PyObject* init, http::FieldView* out, size_t& n, Each each) {
  n = 0;
  if (PyDict_Check(init)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(init, &pos, &k, &v)) {
      if (!each(k, v, out[n++])) return false;
    }
    return true;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(init);
  PyObject** items = PySequence_Fast_ITEMS(init);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = items[i];
    PyObject *k, *v;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) >= 2) {
      k = PyTuple_GET_ITEM(item, 0);
      v = PyTuple_GET_ITEM(item, 1);
    } else if (PyList_CheckExact(item) && PyList_GET_SIZE(item) >= 2) {
      k = PyList_GET_ITEM(item, 0);
      v = PyList_GET_ITEM(item, 1);
    } else {
      return false;
    }
    if (!each(k, v, out[n++])) return false;
  }
  return true;
}

// Fills the fresh `core` from `init` (at most kBulkPairs pairs) in one
// checked pass when every name and value is plain_bytes(); else converts
// the pairs first, raising the first pair's error as add() would, then
// fills. False (nothing raised, `core` still empty) when an item has a
// shape only the general path handles.
bool fill_bulk(HeaderMapCore& core, PyObject* init) {
  // Written by collect before any is read, so left uninitialised: clearing
  // all of them would cost more than converting a typical head.
  union Fields {
    Fields() {}
    http::FieldView v[kBulkPairs];
  } fields;
  size_t n = 0;
  auto plain = [](PyObject* k, PyObject* v, http::FieldView& f) {
    return plain_bytes(k, f.name) && plain_bytes(v, f.value);
  };
  if (collect(init, fields.v, n, plain)) {
    const size_t bad = core.fill_checked(fields.v, n);
    if (bad == n) return true;
    // Types were fine, and every field before this one valid.
    if (!http::is_valid_header_name(fields.v[bad].name)) throw py::value_error(kBadName);
    throw py::value_error(kBadValue);
  }
  auto careful = [](PyObject* k, PyObject* v, http::FieldView& f) {
    if (!raw_bytes(k, f.name)) throw py::type_error(kBadNameType);
    if (!http::is_valid_header_name(f.name)) throw py::value_error(kBadName);
    f.value = convert_value(v);
    return true;
  };
  if (!collect(init, fields.v, n, careful)) return false;
  // Checked again on the way in, which only costs on this rarer path.
  core.fill_checked(fields.v, n);
  return true;
}

py::Ref hm_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kCtor>(args, nargs, kwnames);
  PyObject* init = a["init"];
  // Filled in place: nothing else can see the new map yet.
  py::Ref self = py::make<HeaderMapObj>(type);
  HeaderMapCore& core = self_of(self.get()).core;
  const bool seq = init && (PyList_CheckExact(init) || PyTuple_CheckExact(init));
  const bool dict = init && PyDict_Check(init);
  if (!init || init == Py_None) {
    // empty
  } else if (is_header_map(init)) {
    core = snapshot(self_of(init));
  } else if ((seq && static_cast<size_t>(PySequence_Fast_GET_SIZE(init)) <= kBulkPairs) ||
             (dict && static_cast<size_t>(PyDict_GET_SIZE(init)) <= kBulkPairs)) {
    if (!fill_bulk(core, init)) add_pairs(core, init);
  } else {
    add_pairs(core, init);
  }
  return self;
}

// ---------------------------------------------------------------------------
// Mapping protocol

py::Ref get_first(PyObject* self, PyObject* key, PyObject* dflt, bool raise_missing) {
  Name n;
  n.convert(key);
  ValueCopy out;
  HeaderMapObj& m = self_of(self);
  const bool found = py::locked(m, [&] {
    auto v = m.core.get(n.view());
    if (v) out.assign(*v);
    return v.has_value();
  });
  if (found) return py::bytes(out.view());
  if (raise_missing) throw py::KeyError(std::string(n.view()));
  return py::Ref::borrow(dflt ? dflt : Py_None);
}

py::Ref hm_subscript(PyObject* self, PyObject* key) { return get_first(self, key, nullptr, true); }

void hm_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  Name n;
  n.convert(key);
  HeaderMapObj& m = self_of(self);
  py::Graveyard gy;
  if (!value) {
    py::locked(m, [&] {
      if (!m.core.remove(n.view())) throw py::KeyError(std::string(n.view()));
      m.changed(gy);
    });
    return;
  }
  std::string_view v = convert_value(value);
  py::locked(m, [&] {
    check_room(m.core.set(n.view(), v));
    m.changed(gy);
  });
}

size_t hm_length(PyObject* self) {
  HeaderMapObj& m = self_of(self);
  return py::locked(m, [&] { return m.core.len(); });
}

bool hm_contains(PyObject* self, PyObject* key) {
  Name n;
  if (!n.try_convert(key)) return false;
  HeaderMapObj& m = self_of(self);
  return py::locked(m, [&] { return m.core.contains(n.view()); });
}

// ---------------------------------------------------------------------------
// Listing

py::Ref keys_of(const HeaderMapCore& c) {
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(c.name_count())));
  for (size_t i = 0; i < c.name_count(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name_str(c.name_at(i)).release());
  return list;
}

py::Ref values_of(const HeaderMapCore& c) {
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(c.len())));
  Py_ssize_t at = 0;
  c.for_each([&](std::string_view, std::string_view v) {
    PyList_SET_ITEM(list.get(), at++, py::bytes(v).release());
  });
  return list;
}

// Every (name, value) pair in map order, as a tuple.
template <bool RawNames>
py::Ref items_of(const HeaderMapCore& c) {
  py::Ref list = py::Ref::check(PyTuple_New(static_cast<Py_ssize_t>(c.len())));
  Py_ssize_t at = 0;
  for (size_t i = 0; i < c.name_count(); ++i) {
    py::Ref name = RawNames ? name_bytes(c.name_at(i)) : name_str(c.name_at(i));
    c.for_each_value_at(i, [&](std::string_view v) {
      PyObject* t = PyTuple_New(2);
      if (!t) throw py::PyErrSet{};
      PyTuple_SET_ITEM(list.get(), at++, t);
      PyTuple_SET_ITEM(t, 0, py::Ref(name).release());
      PyTuple_SET_ITEM(t, 1, py::bytes(v).release());
    });
  }
  return list;
}

py::Ref hm_keys(PyObject* self) { return keys_of(SnapshotLease(self_of(self)).map()); }
py::Ref hm_values(PyObject* self) {
  HeaderMapObj& m = self_of(self);
  py::Ref pairs = py::locked(m, [&] { return m.items; });
  if (!pairs) return values_of(SnapshotLease(m).map());
  // The values items() already made.
  const Py_ssize_t n = PyTuple_GET_SIZE(pairs.get());
  py::Ref list = py::Ref::check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = PyTuple_GET_ITEM(PyTuple_GET_ITEM(pairs.get(), i), 1);
    Py_INCREF(v);
    PyList_SET_ITEM(list.get(), i, v);
  }
  return list;
}
// A new list of the cached pairs, built first when the map changed since.
py::Ref hm_items(PyObject* self) {
  HeaderMapObj& m = self_of(self);
  py::Ref pairs = py::locked(m, [&] { return m.items; });
  if (!pairs) {
    uint64_t version = 0;
    pairs = items_of<false>(SnapshotLease(m, &version).map());
    py::Graveyard gy;
    py::locked(m, [&] {
      if (m.version == version) {
        gy.bury(std::move(m.items));
        m.items = pairs;
      }
    });
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(pairs.get());
  py::Ref list = py::Ref::check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* p = PyTuple_GET_ITEM(pairs.get(), i);
    Py_INCREF(p);
    PyList_SET_ITEM(list.get(), i, p);
  }
  return list;
}
py::Ref hm_raw_items(PyObject* self) {
  py::Ref pairs = items_of<true>(SnapshotLease(self_of(self)).map());
  return py::Ref::check(PySequence_List(pairs.get()));
}

py::Ref hm_iter(PyObject* self) {
  py::Ref keys = hm_keys(self);
  return py::Ref::check(PyObject_GetIter(keys.get()));
}

py::Ref hm_repr(PyObject* self) {
  py::Ref items = hm_items(self);
  py::Ref r = py::Ref::check(PyObject_Repr(items.get()));
  return py::Ref::check(PyUnicode_FromFormat("HeaderMap(%U)", r.get()));
}

py::Ref hm_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return py::Ref::borrow(Py_NotImplemented);
  bool eq;
  if (!is_header_map(other)) {
    eq = false;
  } else if (other == self) {
    eq = true;
  } else {
    HeaderMapObj& a = self_of(self);
    HeaderMapObj& b = self_of(other);
    eq = py::locked(a, b, [&] { return a.core.equals(b.core); });
  }
  return py::boolean(op == Py_EQ ? eq : !eq);
}

// ---------------------------------------------------------------------------
// Methods

constexpr py::Sig kGet("HeaderMap.get", "name, default=None");
py::Ref hm_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kGet>(args, nargs, kwnames);
  return get_first(self, a["name"], a["default"], false);
}

constexpr py::Sig kGetAll("HeaderMap.get_all", "name");
py::Ref hm_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kGetAll>(args, nargs, kwnames);
  Name n;
  n.convert(a["name"]);
  // Values copied into one buffer under the lock; objects built after it.
  // Most names have one or two short values: those stay on the stack.
  char small[512];
  size_t small_ends[8];
  std::string big;
  std::vector<size_t> big_ends;
  size_t used = 0, count = 0;
  bool spilled = false;
  HeaderMapObj& m = self_of(self);
  py::locked(m, [&] {
    m.core.for_each_value(n.view(), [&](std::string_view v) {
      if (!spilled && (count == 8 || used + v.size() > sizeof(small))) {
        spilled = true;
        big.assign(small, used);
        big_ends.assign(small_ends, small_ends + count);
      }
      if (spilled) {
        big.append(v);
        big_ends.push_back(big.size());
      } else {
        std::memcpy(small + used, v.data(), v.size());
        used += v.size();
        small_ends[count] = used;
      }
      ++count;
    });
  });
  const char* data = spilled ? big.data() : small;
  const size_t* ends = spilled ? big_ends.data() : small_ends;
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(count)));
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    py::bytes(std::string_view(data + start, ends[i] - start)).release());
    start = ends[i];
  }
  return list;
}

constexpr py::Sig kAdd("HeaderMap.add", "name, value");
py::Ref hm_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kAdd>(args, nargs, kwnames);
  Name n;
  n.convert(a["name"]);
  std::string_view v = convert_value(a["value"]);
  HeaderMapObj& m = self_of(self);
  py::Graveyard gy;
  py::locked(m, [&] {
    check_room(m.core.add(n.view(), v));
    m.changed(gy);
  });
  return py::none();
}

constexpr py::Sig kSetDefault("HeaderMap.setdefault", "name, value");
py::Ref hm_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSetDefault>(args, nargs, kwnames);
  Name n;
  n.convert(a["name"]);
  HeaderMapObj& m = self_of(self);
  ValueCopy out;
  auto copy_existing = [&] {
    auto v = m.core.get(n.view());
    if (v) out.assign(*v);
    return v.has_value();
  };
  if (py::locked(m, copy_existing)) return py::bytes(out.view());
  // Absent: the value is converted with the lock released (encoding a str
  // can raise, and raising creates host objects), then the name is looked
  // up again, since another thread may have added it meanwhile.
  std::string_view v = convert_value(a["value"]);
  py::Graveyard gy;
  py::locked(m, [&] {
    if (copy_existing()) return;
    check_room(m.core.add(n.view(), v));
    m.changed(gy);
    out.assign(v);
  });
  return py::bytes(out.view());
}

PyTypeObject* build() {
  py::TypeDef d = py::type_def<HeaderMapObj>(
      "HeaderMap",
      "An ordered, case-insensitive, multi-valued map of HTTP header fields.\n\n"
      "Names are stored in lower case and returned as str; values are bytes. Both str and\n"
      "bytes are accepted and validated against the HTTP field syntax. init may be another\n"
      "HeaderMap, a dict, or an iterable of (name, value) pairs. Values of one name stay\n"
      "grouped at the position where the name was first inserted.");
  py::set_ctor<hm_new>(d, kCtor);
  d.slots = {
      py::slots::subscript<hm_subscript>(),  py::slots::ass_subscript<hm_ass_subscript>(),
      py::slots::length<hm_length>(),        py::slots::contains<hm_contains>(),
      py::slots::iter<hm_iter>(),            py::slots::repr<hm_repr>(),
      py::slots::richcompare<hm_richcompare>(),
  };
  d.methods = {
      py::method<hm_get>("get", kGet, "The first value of name, or default when it is absent."),
      py::method<hm_get_all>("get_all", kGetAll, "All values of name in insertion order; [] when absent."),
      py::method<hm_add>("add", kAdd, "Append value to name's values, keeping the existing ones."),
      py::method<hm_setdefault>("setdefault", kSetDefault,
                                "The first value of name; when absent, add value and return it as bytes."),
      py::noargs<hm_keys>("keys", "The distinct names in map order."),
      py::noargs<hm_values>("values", "Every value in map order, duplicates included."),
      py::noargs<hm_items>("items", "Every (name, value) pair in map order, duplicates included."),
      py::noargs<hm_raw_items>("raw_items", "As items(), with each name as bytes."),
  };
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* header_map_type() { return py::cached_type<build>(); }

bool is_header_map(PyObject* o) {
  return Py_IS_TYPE(o, header_map_type());
}

py::Ref wrap_header_map(http::HeaderMapCore&& core) {
  return py::make<HeaderMapObj>(header_map_type(), std::move(core));
}

http::HeaderMapCore copy_header_map(PyObject* o) { return snapshot(self_of(o)); }

const http::HeaderMapCore& header_map_core(PyObject* o) { return self_of(o).core; }
py::Mutex& header_map_mutex(PyObject* o) { return self_of(o).mu; }

}  // namespace quillon::bind
