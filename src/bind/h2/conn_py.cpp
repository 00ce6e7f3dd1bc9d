// H2Streams: the host face of h2::Connection, subclassed by the drivers.
//
// Locks: `state` guards the connection core, `codec` its decoder (receive
// and prime take it alone; recv_settings takes it inside `state` to apply
// acknowledged limits), and the task-handle slot has a small lock of its
// own. Stream handles are owned references the core keeps as opaque
// pointers: a new reference is taken under the state lock before a handle
// is handed out, and a reference the core lets go is released after it.
//
// H2WriteBatch (not published) carries a taken pending buffer to the write
// pump through the buffer protocol and brings it back as the spare when the
// last view is gone.
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "h2/conn.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

struct Lock {
  py::Mutex mu;
};

struct TaskSlot {
  py::Mutex mu;
  PyObject* read = nullptr;
  PyObject* pump = nullptr;
};

struct StreamsObj {
  Lock state;
  Lock codec;
  h2::Connection core;
  TaskSlot tasks;

  explicit StreamsObj(const h2::Config& config) : core(config) {}
  StreamsObj(const StreamsObj&) = delete;
  StreamsObj& operator=(const StreamsObj&) = delete;

  // Runs at deallocation, outside every lock.
  ~StreamsObj() {
    py::Graveyard g;
    clear(g);
  }

  int traverse(visitproc visit, void* arg) const {
    int rc = 0;
    core.for_each_handle([&](void* h) {
      if (rc == 0) rc = visit(static_cast<PyObject*>(h), arg);
    });
    if (rc != 0) return rc;
    Py_VISIT(tasks.read);
    Py_VISIT(tasks.pump);
    return 0;
  }

  void clear(py::Graveyard& g) {
    std::vector<void*> handles;
    core.take_handles(handles);
    for (void* h : handles) g.bury(py::Ref::steal(static_cast<PyObject*>(h)));
    g.bury(py::Ref::steal(std::exchange(tasks.read, nullptr)));
    g.bury(py::Ref::steal(std::exchange(tasks.pump, nullptr)));
  }
};

StreamsObj& obj_of(PyObject* o) { return py::unbox<StreamsObj>(o); }

// Runs `f(core)` under the state lock; a core Fault is raised after it.
// Handles of streams that left the store in the step are released after the
// lock is gone (the Graveyard outlives it), whether the step ended or threw.
template <class F>
decltype(auto) with_state(PyObject* self, F&& f) {
  StreamsObj& o = obj_of(self);
  py::Graveyard g;
  struct Drain {
    h2::Connection& core;
    py::Graveyard& g;
    ~Drain() {
      if (!core.has_dead()) return;
      for (void* h : core.take_dead()) g.bury(py::Ref::steal(static_cast<PyObject*>(h)));
    }
  };
  return errors::h2_call([&]() -> decltype(auto) {
    return py::locked(o.state, [&]() -> decltype(auto) {
      Drain d{o.core, g};
      return f(o.core);
    });
  });
}

py::Ref opt_uint(std::optional<uint64_t> v) { return v ? py::uinteger(*v) : py::none(); }

// --- H2WriteBatch -----------------------------------------------------------

struct BatchObj {
  std::string buf;
  PyObject* owner;  // the H2Streams the buffer goes back to (owned)

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(owner);
    return 0;
  }
  void clear(py::Graveyard& g) { g.bury(py::Ref::steal(std::exchange(owner, nullptr))); }
};

void batch_get_buffer(PyObject* self, Py_buffer* view, int flags) {
  BatchObj& b = py::unbox<BatchObj>(self);
  if (PyBuffer_FillInfo(view, self, b.buf.data(), static_cast<Py_ssize_t>(b.buf.size()), 1, flags) < 0)
    throw py::PyErrSet{};
}

void batch_dealloc(PyObject* self) {
  BatchObj& b = py::unbox<BatchObj>(self);
  PyObject* owner = std::exchange(b.owner, nullptr);
  if (owner) {
    StreamsObj& s = obj_of(owner);
    try {
      py::locked(s.state, [&] { s.core.recycle(std::move(b.buf)); });
    } catch (...) {
      // A poisoned connection keeps no spare; the buffer is simply freed.
    }
  }
  py::dealloc<BatchObj>(self);
  Py_XDECREF(owner);
}

PyTypeObject* build_batch() {
  py::TypeDef d = py::type_def<BatchObj>(
      "H2WriteBatch",
      "Bytes taken from an H2Streams' pending buffer, exported read-only through the buffer\n"
      "protocol; the buffer is reused when the last view is released.",
      py::kNoConstructor);
  d.dealloc = &batch_dealloc;
  d.slots = {py::slots::get_buffer<batch_get_buffer>()};
  return py::build_type(std::move(d));
}

PyTypeObject* batch_type() { return py::cached_type<build_batch>(); }

// --- construction -----------------------------------------------------------

constexpr py::Sig kCtor("H2Streams",
                        "role, *, initial_window_size, connection_window, max_frame_size, max_header_list_size, "
                        "max_send_buf_size, max_concurrent_streams=None, max_pending_accept_reset_streams=20, "
                        "max_local_error_reset_streams=1024, data_frame_budget=None, auto_date_header=True, "
                        "enable_push=None, enable_connect_protocol=False");

py::Ref streams_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kCtor>(args, nargs, kwnames);
  const std::string_view role = a.str("role");
  h2::Config c;
  c.initial_window_size = arg_u32(a.arg("initial_window_size"));
  c.connection_window = arg_u32(a.arg("connection_window"));
  c.max_frame_size = arg_u32(a.arg("max_frame_size"));
  c.max_header_list_size = arg_u32(a.arg("max_header_list_size"));
  c.max_send_buf_size = a.u64("max_send_buf_size");
  c.max_concurrent_streams = arg_opt_u32(a.arg("max_concurrent_streams"));
  if (a["max_pending_accept_reset_streams"]) c.max_pending_accept_reset_streams = a.u64("max_pending_accept_reset_streams");
  if (a["max_local_error_reset_streams"]) c.max_local_error_reset_streams = arg_opt_u64(a.arg("max_local_error_reset_streams"));  // None: no cap
  c.data_frame_budget = arg_opt_u64(a.arg("data_frame_budget"));
  c.auto_date_header = a.flag("auto_date_header", true);
  if (a.has("enable_push")) c.enable_push = a.flag("enable_push", false);
  c.enable_connect_protocol = a.flag("enable_connect_protocol", false);
  errors::h2_call([&] {
    c.role = h2::parse_role(role);
    c.validate();
  });
  return py::make<StreamsObj>(type, c);
}

// --- handshake, intake, SETTINGS, PING -----------------------------------------

py::Ref streams_begin(PyObject* self) {
  with_state(self, [](h2::Connection& c) { c.begin(); });
  return py::none();
}

constexpr py::Sig kPrime("H2Streams.prime", "data");
py::Ref streams_prime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kPrime>(args, nargs, kwnames);
  const std::string_view data = a.bytes("data");
  StreamsObj& o = obj_of(self);
  const std::optional<bool> r = py::locked(o.codec, [&] { return o.core.prime(data); });
  return r ? py::boolean(*r) : py::none();
}

// An optional int setting of a frame record, read through its property.
std::optional<uint32_t> record_u32(PyObject* frame, const char* name) {
  py::Ref v = py::Ref::check(PyObject_GetAttrString(frame, name));
  if (v.get() == Py_None) return std::nullopt;
  const unsigned long n = PyLong_AsUnsignedLong(v.get());
  if (n == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw py::PyErrSet{};
  return static_cast<uint32_t>(n);
}

bool record_bool(PyObject* frame, const char* name) {
  py::Ref v = py::Ref::check(PyObject_GetAttrString(frame, name));
  return v.get() == Py_True;
}

constexpr py::Sig kRecvSettings("H2Streams.recv_settings", "frame");
py::Ref streams_recv_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvSettings>(args, nargs, kwnames);
  PyObject* fr = a["frame"];
  if (Py_TYPE(fr) != h2_frame_settings_type()) a.bad_type("frame", "H2FrameSettings");
  h2::SettingsFrame f;
  f.ack = record_bool(fr, "ack");
  f.header_table_size = record_u32(fr, "header_table_size");
  f.max_concurrent_streams = record_u32(fr, "max_concurrent_streams");
  f.initial_window_size = record_u32(fr, "initial_window_size");
  f.max_frame_size = record_u32(fr, "max_frame_size");
  f.max_header_list_size = record_u32(fr, "max_header_list_size");
  {
    py::Ref push = py::Ref::check(PyObject_GetAttrString(fr, "enable_push"));
    if (push.get() != Py_None) f.enable_push = push.get() == Py_True;
  }
  {
    py::Ref ecp = py::Ref::check(PyObject_GetAttrString(fr, "enable_connect_protocol"));
    if (ecp.get() != Py_None) f.enable_connect_protocol = ecp.get() == Py_True;
  }
  StreamsObj& o = obj_of(self);
  std::vector<py::Ref> wake;  // released after the lock, if an error cuts the step short
  bool initial = false;
  const uint32_t flags = with_state(self, [&](h2::Connection& c) {
    std::vector<void*> handles;
    const uint32_t fl = c.recv_settings(f, initial, handles, [&](auto&& apply) {
      py::locked(o.codec, [&] { apply(o.core); });
    });
    wake.reserve(handles.size());
    for (void* h : handles) wake.push_back(py::Ref::borrow(static_cast<PyObject*>(h)));
    return fl;
  });
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(wake.size())));
  for (size_t i = 0; i < wake.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wake[i].release());
  return py::Ref::check(PyTuple_Pack(3, initial ? Py_True : Py_False, list.get(), py::uinteger(flags).get()));
}

constexpr py::Sig kRecvPing("H2Streams.recv_ping", "frame");
py::Ref streams_recv_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvPing>(args, nargs, kwnames);
  PyObject* fr = a["frame"];
  if (Py_TYPE(fr) != h2_frame_ping_type()) a.bad_type("frame", "H2FramePing");
  const bool ack = record_bool(fr, "ack");
  py::Ref data = py::Ref::check(PyObject_GetAttrString(fr, "data"));
  if (!PyBytes_Check(data.get())) a.bad_type("frame", "H2FramePing");
  const std::string_view payload(PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())));
  return py::uinteger(with_state(self, [&](h2::Connection& c) { return c.recv_ping(ack, payload); }));
}

// --- pending buffer ---------------------------------------------------------

py::Ref streams_take_pending(PyObject* self) {
  std::string buf;
  bool stopping = false;
  with_state(self, [&](h2::Connection& c) {
    buf = c.take_pending();
    stopping = c.stopping();
  });
  py::Ref batch = py::make<BatchObj>(batch_type(), BatchObj{std::move(buf), Py_NewRef(self)});
  py::Ref view = py::Ref::check(PyMemoryView_FromObject(batch.get()));
  return py::Ref::check(PyTuple_Pack(2, view.get(), stopping ? Py_True : Py_False));
}

py::Ref streams_has_pending(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return c.has_pending(); }));
}

// --- task handles -----------------------------------------------------------

constexpr py::Sig kStoreTasks("H2Streams.store_task_handles", "read, pump");
py::Ref streams_store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kStoreTasks>(args, nargs, kwnames);
  TaskSlot& t = obj_of(self).tasks;
  py::Ref read = py::Ref::borrow(a["read"]);
  py::Ref pump = py::Ref::borrow(a["pump"]);
  py::Graveyard g;
  py::locked(t, [&] {
    g.bury(py::Ref::steal(std::exchange(t.read, read.release())));
    g.bury(py::Ref::steal(std::exchange(t.pump, pump.release())));
  });
  return py::none();
}

template <PyObject* TaskSlot::*Which>
py::Ref streams_take_task(PyObject* self) {
  TaskSlot& t = obj_of(self).tasks;
  PyObject* h = py::locked(t, [&] { return std::exchange(t.*Which, nullptr); });
  return h ? py::Ref::steal(h) : py::none();
}

// --- properties -------------------------------------------------------------

template <auto Read>
py::Ref state_int(PyObject* self) {
  const auto v = with_state(self, [](h2::Connection& c) { return Read(c); });
  if constexpr (std::is_signed_v<decltype(v)>) {
    return py::integer(v);
  } else {
    return py::uinteger(v);
  }
}
template <auto Read>
py::Ref state_bool(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return static_cast<bool>(Read(c)); }));
}
template <auto Read>
py::Ref state_opt(PyObject* self) {
  return opt_uint(with_state(self, [](h2::Connection& c) -> std::optional<uint64_t> { return Read(c); }));
}

using C = const h2::Connection&;
constexpr auto kNumStreams = [](C c) { return c.num_streams(); };
constexpr auto kNumOpen = [](C c) { return c.num_open_streams(); };
constexpr auto kStreamLimit = [](C c) { return c.stream_limit(); };
constexpr auto kPeerWindow = [](C c) { return c.peer_initial_window_size(); };
constexpr auto kPeerFrame = [](C c) { return c.peer_max_frame_size(); };
constexpr auto kPeerConnect = [](C c) { return c.peer_enable_connect_protocol(); };
constexpr auto kPeerMcs = [](C c) -> std::optional<uint64_t> { return c.peer_max_concurrent_streams(); };
constexpr auto kSendWindow = [](C c) { return c.conn_send_flow().window(); };
constexpr auto kRecvAvailable = [](C c) { return c.conn_recv_flow().available(); };
constexpr auto kBudget = [](C c) { return c.budget().available(); };
constexpr auto kEmpty = [](C c) { return c.budget().empty_frames(); };
constexpr auto kPendingResets = [](C c) { return c.config().max_pending_accept_reset_streams; };
constexpr auto kLocalResetCap = [](C c) { return c.config().max_local_error_reset_streams; };
constexpr auto kLocalResets = [](C c) { return c.local_error_resets(); };
constexpr auto kGraceful = [](C c) { return c.graceful(); };
constexpr auto kFinal = [](C c) { return c.shutdown_final(); };
constexpr auto kReplied = [](C c) { return c.goaway_replied(); };
constexpr auto kLastProcessed = [](C c) { return c.last_processed_id(); };
constexpr auto kMaxStreamId = [](C c) { return c.max_stream_id(); };

py::Ref streams_is_server(PyObject* self) { return py::boolean(obj_of(self).core.is_server()); }

py::Ref streams_repr(PyObject* self) {
  struct View {
    bool server;
    size_t entries;
    uint64_t active;
    bool failed, goaway;
  };
  const View v = with_state(self, [](h2::Connection& c) {
    return View{c.is_server(), c.streams().size(), c.num_streams(), c.failed(), c.goaway_received()};
  });
  auto tf = [](bool b) { return b ? "True" : "False"; };
  return py::ascii_str(std::string("H2Streams(role=") + (v.server ? "server" : "client") +
                       ", streams=" + std::to_string(v.entries) + ", active=" + std::to_string(v.active) +
                       ", failed=" + tf(v.failed) + ", goaway=" + tf(v.goaway) + ")");
}

// --- per-stream inspection ----------------------------------------------------

enum class Query { Has, RecvEndStream, State, Unreleased, Charged, SendBuffered, SendWindow, Reclaimed, ResetStore };

template <const py::Sig& S, Query Q>
py::Ref streams_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.sole());
  struct Out {
    bool found = false;
    long long n = 0;
    std::string text;
  };
  Out out = with_state(self, [&](h2::Connection& c) {
    Out o;
    if (Q == Query::ResetStore) {
      o.n = c.reset_store().contains(sid);
      return o;
    }
    const h2::Stream* s = c.streams().find(sid);
    if (!s) return o;
    o.found = true;
    switch (Q) {
      case Query::Has:
      case Query::ResetStore:
        break;
      case Query::RecvEndStream:
        o.n = s->state.is_recv_end_stream();
        break;
      case Query::State:
        o.text = s->state.render();
        break;
      case Query::Unreleased:
        o.n = static_cast<long long>(s->unreleased);
        break;
      case Query::Charged:
        o.n = static_cast<long long>(s->charged);
        break;
      case Query::SendBuffered:
        o.n = static_cast<long long>(s->send_buffered);
        break;
      case Query::SendWindow:
        o.n = s->send_flow.window();
        break;
      case Query::Reclaimed:
        o.n = s->reclaimed;
        break;
    }
    return o;
  });
  switch (Q) {
    case Query::Has:
      return py::boolean(out.found);
    case Query::RecvEndStream:
    case Query::ResetStore:
      return py::boolean(out.n != 0);
    case Query::State:
      return out.found ? py::ascii_str(out.text) : py::none();
    case Query::Reclaimed:
      return out.found ? py::boolean(out.n != 0) : py::none();
    default:
      return out.found ? py::integer(out.n) : py::none();
  }
}

constexpr py::Sig kHasStream("H2Streams.has_stream", "sid");
constexpr py::Sig kIsRecvEnd("H2Streams.is_recv_end_stream", "sid");
constexpr py::Sig kStreamState("H2Streams.stream_state", "sid");
constexpr py::Sig kUnreleased("H2Streams.stream_recv_unreleased", "sid");
constexpr py::Sig kCharged("H2Streams.stream_data_budget_charged", "sid");
constexpr py::Sig kSendBuffered("H2Streams.stream_send_buffered", "sid");
constexpr py::Sig kStreamSendWindow("H2Streams.stream_send_window", "sid");
constexpr py::Sig kReclaimed("H2Streams.stream_recv_reclaimed", "sid");
constexpr py::Sig kInResetStore("H2Streams.in_reset_store", "sid");

// --- verdict records --------------------------------------------------------------

template <class R, py::Ref R::*F>
py::Ref ref_or_none(PyObject* self) {
  const py::Ref& r = py::unbox<R>(self).*F;
  return r ? r : py::none();
}
template <class R, class T, T R::*F>
py::Ref uint_field(PyObject* self) {
  return py::uinteger(py::unbox<R>(self).*F);
}
template <class R, bool R::*F>
py::Ref flag_field(PyObject* self) {
  return py::boolean(py::unbox<R>(self).*F);
}

template <class R>
PyTypeObject* build_verdict(const char* name, const char* doc, std::vector<py::GetterDef> getters) {
  py::TypeDef d = py::type_def<R>(name, doc, py::kNoConstructor);
  d.getters = std::move(getters);
  return py::build_type(std::move(d));
}

struct HeadersVerdict {
  uint32_t kind;
  py::Ref handle;
  uint32_t stream_id;
  bool eof;
  uint32_t flags;
};

PyTypeObject* build_headers_verdict() {
  using R = HeadersVerdict;
  return build_verdict<R>(
      "H2RecvHeadersVerdict", "What a received HEADERS frame did.",
      {
          py::property<uint_field<R, uint32_t, &R::kind>>("kind", "One of the H2_HEADERS_* kinds."),
          py::property<ref_or_none<R, &R::handle>>("handle", "The stream's handle, or None."),
          py::property<uint_field<R, uint32_t, &R::stream_id>>("stream_id", "The frame's stream id."),
          py::property<flag_field<R, &R::eof>>("eof", "The frame carried END_STREAM."),
          py::property<uint_field<R, uint32_t, &R::flags>>("flags", "H2_FLAG_* bits."),
      });
}
PyTypeObject* headers_verdict_type() { return py::cached_type<build_headers_verdict>(); }

struct DataVerdict {
  py::Ref handle;
  py::Ref payload;
  bool budgeted;
  bool eof;
  uint32_t flags;
};

PyTypeObject* build_data_verdict() {
  using R = DataVerdict;
  return build_verdict<R>(
      "H2RecvDataVerdict", "What a received DATA frame delivers.",
      {
          py::property<ref_or_none<R, &R::handle>>("handle", "The stream's handle, or None."),
          py::property<ref_or_none<R, &R::payload>>("payload", "The bytes to deliver, or None."),
          py::property<flag_field<R, &R::budgeted>>(
              "budgeted", "Charged to the DATA-framing budget: call release_data_frame on consumption."),
          py::property<flag_field<R, &R::eof>>("eof", "The frame carried END_STREAM."),
          py::property<uint_field<R, uint32_t, &R::flags>>("flags", "H2_FLAG_* bits."),
      });
}
PyTypeObject* data_verdict_type() { return py::cached_type<build_data_verdict>(); }

struct SendVerdict {
  uint64_t sent;
  bool done;
  py::Ref stopped;
  uint32_t flags;
  py::Ref handle;
  py::Ref reader_stop;
};

PyTypeObject* build_send_verdict() {
  using R = SendVerdict;
  return build_verdict<R>(
      "H2SendVerdict", "What a send call queued.",
      {
          py::property<uint_field<R, uint64_t, &R::sent>>("sent", "Bytes framed and queued by this call."),
          py::property<flag_field<R, &R::done>>("done", "The last byte (and END_STREAM, if asked) is queued."),
          py::property<ref_or_none<R, &R::stopped>>("stopped", "H2Stopped when the stream can no longer send."),
          py::property<uint_field<R, uint32_t, &R::flags>>("flags", "H2_FLAG_* bits."),
          py::property<ref_or_none<R, &R::handle>>(
              "handle", "Server: the request whose unread body was reset in this step, or None."),
          py::property<ref_or_none<R, &R::reader_stop>>("reader_stop", "The stop that body's readers must see."),
      });
}
PyTypeObject* send_verdict_type() { return py::cached_type<build_send_verdict>(); }

struct ResetVerdict {
  py::Ref handle;
  py::Ref stop;
  uint32_t flags;
};

PyTypeObject* build_reset_verdict() {
  using R = ResetVerdict;
  return build_verdict<R>(
      "H2ResetVerdict", "What a reset or a body close did.",
      {
          py::property<ref_or_none<R, &R::handle>>("handle", "The stream's handle to notify, or None."),
          py::property<ref_or_none<R, &R::stop>>("stop", "The stop body readers must see, or None."),
          py::property<uint_field<R, uint32_t, &R::flags>>("flags", "H2_FLAG_* bits."),
      });
}
PyTypeObject* reset_verdict_type() { return py::cached_type<build_reset_verdict>(); }

// A handle the core returned (borrowed): a new reference, taken under the lock.
py::Ref take_ref(void* h) { return h ? py::Ref::borrow(static_cast<PyObject*>(h)) : py::Ref(); }

py::Ref opt_stop(const std::optional<h2::Stop>& s) { return s ? h2_stopped(*s) : py::Ref(); }

py::Ref handle_list(std::vector<py::Ref>& refs) {
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(refs.size())));
  for (size_t i = 0; i < refs.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), refs[i].release());
  return list;
}

// A HeaderMap read in place, under its own mutex inside our step (a leaf
// lock, so taken after ours), or nullptr for None where allowed. A poisoned
// map fails the call here, before our state is touched.
PyObject* headers_ref(py::Arg a, bool none_ok) {
  if (!a.given() && none_ok) return nullptr;
  if (!a.value || !is_header_map(a.value)) a.sig->bad_type(a.index, "HeaderMap", a.value ? a.value : Py_None);
  header_map_mutex(a.value).check_usable();
  return a.value;
}

py::Ref send_verdict(const h2::SendResult& r, py::Ref handle) {
  py::Ref stopped = opt_stop(r.stopped);
  py::Ref reader = handle ? h2_stopped(r.reader_stop) : py::Ref();
  return py::make<SendVerdict>(send_verdict_type(),
                               SendVerdict{r.sent, r.done, std::move(stopped), r.flags, std::move(handle),
                                           std::move(reader)});
}

// Runs one send step; the handle its verdict carries gets a reference of
// its own under the lock.
template <class F>
py::Ref send_call(PyObject* self, F&& f) {
  py::Ref handle;
  const h2::SendResult r = with_state(self, [&](h2::Connection& c) {
    h2::SendResult res = f(c);
    handle = take_ref(res.handle);
    return res;
  });
  return send_verdict(r, std::move(handle));
}

py::Ref reset_verdict(const h2::ResetResult& r, py::Ref handle) {
  return py::make<ResetVerdict>(reset_verdict_type(), ResetVerdict{std::move(handle), opt_stop(r.stop), r.flags});
}

// A list of (handle, H2Stopped) pairs.
struct Pairs {
  std::vector<py::Ref> handles;
  std::vector<h2::Stop> stops;
  void take(const std::vector<h2::Stopped>& v) {
    for (const auto& p : v) {
      handles.push_back(take_ref(p.handle));
      stops.push_back(p.stop);
    }
  }
  py::Ref build() {
    py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(handles.size())));
    for (size_t i = 0; i < handles.size(); ++i) {
      py::Ref h = handles[i] ? std::move(handles[i]) : py::none();
      py::Ref pair = py::Ref::check(PyTuple_Pack(2, h.get(), h2_stopped(stops[i]).get()));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
  }
};

// --- intake -------------------------------------------------------------------

constexpr py::Sig kReceive("H2Streams.receive", "data");
py::Ref streams_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kReceive>(args, nargs, kwnames);
  const std::string_view data = a.bytes("data");
  StreamsObj& o = obj_of(self);
  std::vector<h2::Frame> frames;
  errors::h2_call([&] { py::locked(o.codec, [&] { o.core.receive(data, frames); }); });
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  for (size_t i = 0; i < frames.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), h2_frame_record(frames[i]).release());
  return list;
}

py::Ref streams_has_backlog(PyObject* self) {
  StreamsObj& o = obj_of(self);
  return py::boolean(py::locked(o.codec, [&] { return o.core.backlog(); }));
}

// --- send path ---------------------------------------------------------------------

py::Ref streams_try_claim_slot(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return c.try_claim_slot(); }));
}
py::Ref streams_can_open(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return c.can_open(); }));
}
py::Ref streams_release_slot_count(PyObject* self) {
  with_state(self, [](h2::Connection& c) { c.release_slot_count(); });
  return py::none();
}

constexpr py::Sig kApplyLimit("H2Streams.apply_stream_limit", "limit");
py::Ref streams_apply_stream_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kApplyLimit>(args, nargs, kwnames);
  const std::optional<uint64_t> limit = arg_opt_u64(a.arg("limit"));
  with_state(self, [&](h2::Connection& c) { c.apply_stream_limit(limit); });
  return py::none();
}

constexpr py::Sig kOpenStream("H2Streams.open_stream",
                              "method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None, "
                              "protocol=None");
py::Ref streams_open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  StreamsObj& o = obj_of(self);
  py::Named<kOpenStream> a;
  // Until a stream takes it over, the claimed slot must not be lost to an
  // argument error: every failure below releases it.
  std::string method, target;
  PyObject* headers = nullptr;
  bool end_stream = false, is_head = false;
  std::optional<std::string> scheme, authority, protocol;
  try {
    a = py::parse<kOpenStream>(args, nargs, kwnames);
    method = a.str("method");
    target = a.str("target");
    headers = headers_ref(a.arg("headers"), true);
    end_stream = a.flag("end_stream", false);
    is_head = a.flag("is_head", false);
    if (a.has("scheme")) scheme = std::string(a.str("scheme"));
    if (a.has("authority")) authority = std::string(a.str("authority"));
    if (a.has("protocol")) protocol = std::string(a.str("protocol"));
  } catch (...) {
    py::locked(o.state, [&] { o.core.release_slot_count(); });
    throw;
  }
  py::Ref handle = py::Ref::borrow(a["handle"]);
  const std::optional<uint32_t> sid = with_state(self, [&](h2::Connection& c) {
    auto r = read_header_map(headers, [&](const http::HeaderMapCore& m) {
      return c.open_stream(method, target, headers ? &m : nullptr, end_stream, is_head, handle.get(), scheme,
                           authority, protocol);
    });
    if (r) (void)handle.release();  // the stream owns it now
    return r;
  });
  return sid ? py::uinteger(*sid) : py::none();
}

constexpr py::Sig kSendData("H2Streams.send_data", "sid, data, offset, end_stream");
py::Ref streams_send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSendData>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const std::string_view data = a.bytes("data");
  const uint64_t offset = a.u64("offset");
  const bool end_stream = a.flag("end_stream", false);
  if (offset > data.size())
    throw py::value_error("offset " + std::to_string(offset) + " is past the end of data (" +
                          std::to_string(data.size()) + " bytes)");
  return send_call(self, [&](h2::Connection& c) { return c.send_data(sid, data.substr(offset), end_stream); });
}

constexpr py::Sig kSendTrailers("H2Streams.send_trailers", "sid, trailers");
py::Ref streams_send_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSendTrailers>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  PyObject* trailers = headers_ref(a.arg("trailers"), false);
  return send_call(self, [&](h2::Connection& c) {
    return read_header_map(trailers, [&](const http::HeaderMapCore& m) { return c.send_trailers(sid, m); });
  });
}

constexpr py::Sig kSendHead("H2Streams.send_response_head", "sid, status, headers, end_stream");
py::Ref streams_send_response_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSendHead>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const uint32_t status = arg_u32(a.arg("status"));
  PyObject* headers = headers_ref(a.arg("headers"), true);
  const bool end_stream = a.flag("end_stream", false);
  if (headers && !read_header_map(headers, h2::headers_sendable))
    throw errors::h2_user(h2::UserKind::MalformedHeaders);
  return send_call(self, [&](h2::Connection& c) {
    return read_header_map(headers, [&](const http::HeaderMapCore& m) {
      return c.send_response_head(sid, status, headers ? &m : nullptr, end_stream);
    });
  });
}

py::Ref streams_credit_written(PyObject* self) {
  std::vector<py::Ref> wake;
  with_state(self, [&](h2::Connection& c) {
    std::vector<void*> hs;
    c.credit_written(hs);
    for (void* h : hs) wake.push_back(take_ref(h));
  });
  return handle_list(wake);
}

py::Ref streams_stop_pump(PyObject* self) {
  with_state(self, [](h2::Connection& c) { c.stop_pump(); });
  return py::none();
}

// --- receive path --------------------------------------------------------------------

constexpr py::Sig kRecvHeaders("H2Streams.recv_headers", "frame, spare=None");
py::Ref streams_recv_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvHeaders>(args, nargs, kwnames);
  h2::HeadersInfo f;
  if (!h2_headers_fields(a["frame"], f)) a.bad_type("frame", "H2FrameHeaders");
  py::Ref spare = a.has("spare") ? py::Ref::borrow(a["spare"]) : py::Ref();
  py::Ref handle;
  const h2::HeadersResult r = with_state(self, [&](h2::Connection& c) {
    h2::HeadersResult res = c.recv_headers(f, spare.get());
    if (res.kind == h2::HeadersKind::Opened) (void)spare.release();  // the new stream owns it
    handle = take_ref(res.handle);
    return res;
  });
  return py::make<HeadersVerdict>(headers_verdict_type(), HeadersVerdict{static_cast<uint32_t>(r.kind),
                                                                         std::move(handle), f.stream_id, r.eof,
                                                                         r.flags});
}

constexpr py::Sig kRecvData("H2Streams.recv_data", "frame");
py::Ref streams_recv_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvData>(args, nargs, kwnames);
  H2DataFields f;
  if (!h2_data_fields(a["frame"], f)) a.bad_type("frame", "H2FrameData");
  const auto size = static_cast<uint64_t>(PyBytes_GET_SIZE(f.data));
  py::Ref handle;
  const h2::DataResult r = with_state(self, [&](h2::Connection& c) {
    h2::DataResult res = c.recv_data(f.stream_id, f.end_stream, f.flow_controlled_len, size);
    handle = take_ref(res.handle);
    return res;
  });
  // The record's own bytes object: delivered without a copy.
  py::Ref payload = r.deliver ? py::Ref::borrow(f.data) : py::Ref();
  return py::make<DataVerdict>(data_verdict_type(),
                               DataVerdict{std::move(handle), std::move(payload), r.budgeted, r.eof, r.flags});
}

constexpr py::Sig kRecvWindowUpdate("H2Streams.recv_window_update", "frame");
py::Ref streams_recv_window_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvWindowUpdate>(args, nargs, kwnames);
  uint32_t sid = 0, inc = 0;
  if (!h2_pair_fields(a["frame"], h2_frame_window_update_type(), sid, inc))
    a.bad_type("frame", "H2FrameWindowUpdate");
  std::vector<py::Ref> wake;
  with_state(self, [&](h2::Connection& c) {
    std::vector<void*> hs;
    c.recv_window_update(sid, inc, hs);
    for (void* h : hs) wake.push_back(take_ref(h));
  });
  return handle_list(wake);
}

constexpr py::Sig kRecvReset("H2Streams.recv_reset", "frame");
py::Ref streams_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvReset>(args, nargs, kwnames);
  uint32_t sid = 0, error_code = 0;
  if (!h2_pair_fields(a["frame"], h2_frame_rst_stream_type(), sid, error_code))
    a.bad_type("frame", "H2FrameRstStream");
  py::Ref handle;
  const h2::ResetResult r = with_state(self, [&](h2::Connection& c) {
    h2::ResetResult res = c.recv_reset(sid, error_code);
    handle = take_ref(res.handle);
    return res;
  });
  py::Ref h = handle ? std::move(handle) : py::none();
  py::Ref stop = r.stop ? h2_stopped(*r.stop) : py::none();
  return py::Ref::check(PyTuple_Pack(4, h.get(), stop.get(), r.notify_body ? Py_True : Py_False,
                                     py::uinteger(r.flags).get()));
}

constexpr py::Sig kReleaseCapacity("H2Streams.release_capacity", "sid, n");
py::Ref streams_release_capacity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kReleaseCapacity>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const uint64_t n = a.u64("n");
  return py::uinteger(with_state(self, [&](h2::Connection& c) { return c.release_capacity(sid, n); }));
}

constexpr py::Sig kReleaseDataFrame("H2Streams.release_data_frame", "sid, payload_len");
py::Ref streams_release_data_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kReleaseDataFrame>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const uint64_t n = a.u64("payload_len");
  with_state(self, [&](h2::Connection& c) { c.release_data_frame(sid, n); });
  return py::none();
}

template <const py::Sig& S, void (h2::Connection::*M)(uint32_t)>
py::Ref streams_sid_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.sole());
  with_state(self, [&](h2::Connection& c) { (c.*M)(sid); });
  return py::none();
}
constexpr py::Sig kAccepted("H2Streams.accepted", "sid");
constexpr py::Sig kSetNext("H2Streams.set_next_stream_id", "sid");
constexpr py::Sig kSetMax("H2Streams.set_max_stream_id", "sid");
constexpr py::Sig kSetLast("H2Streams.set_last_processed_id", "sid");

// --- resets, GOAWAY, shutdown, failure -----------------------------------------------

template <class F>
py::Ref reset_call(PyObject* self, F&& f) {
  py::Ref handle;
  const h2::ResetResult r = with_state(self, [&](h2::Connection& c) {
    h2::ResetResult res = f(c);
    handle = take_ref(res.handle);
    return res;
  });
  return reset_verdict(r, std::move(handle));
}

constexpr py::Sig kResetStream("H2Streams.reset_stream", "sid, reason, initiator='user'");
py::Ref streams_reset_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kResetStream>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const uint32_t reason = arg_u32(a.arg("reason"));
  h2::Initiator by = h2::Initiator::User;
  if (a["initiator"]) {
    const std::string_view text = a.str("initiator");
    if (!h2::parse_initiator(text, by))
      throw py::value_error("initiator must be 'user' | 'library' | 'remote', got " + std::string(text));
  }
  return reset_call(self, [&](h2::Connection& c) { return c.reset_stream(sid, reason, by); });
}

constexpr py::Sig kResetOnError("H2Streams.reset_on_error", "sid, reason");
py::Ref streams_reset_on_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kResetOnError>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  const uint32_t reason = arg_u32(a.arg("reason"));
  return reset_call(self, [&](h2::Connection& c) { return c.reset_on_error(sid, reason); });
}

constexpr py::Sig kAcloseBody("H2Streams.aclose_body", "sid");
py::Ref streams_aclose_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kAcloseBody>(args, nargs, kwnames);
  const uint32_t sid = arg_u32(a.arg("sid"));
  return reset_call(self, [&](h2::Connection& c) { return c.aclose_body(sid); });
}

constexpr py::Sig kRecvGoAway("H2Streams.recv_go_away", "frame");
py::Ref streams_recv_go_away(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvGoAway>(args, nargs, kwnames);
  uint32_t last = 0, error_code = 0;
  std::string_view debug;
  if (!h2_go_away_fields(a["frame"], last, error_code, debug)) a.bad_type("frame", "H2FrameGoAway");
  Pairs pairs;
  const uint32_t flags = with_state(self, [&](h2::Connection& c) {
    std::vector<h2::Stopped> aborted;
    const uint32_t fl = c.recv_go_away(last, error_code, debug, aborted);
    pairs.take(aborted);
    return fl;
  });
  py::Ref list = pairs.build();
  return py::Ref::check(PyTuple_Pack(2, list.get(), py::uinteger(flags).get()));
}

constexpr py::Sig kSendGoAway("H2Streams.send_goaway", "reason");
py::Ref streams_send_goaway(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSendGoAway>(args, nargs, kwnames);
  const uint32_t reason = arg_u32(a.arg("reason"));
  return py::uinteger(with_state(self, [&](h2::Connection& c) { return c.send_goaway(reason); }));
}

py::Ref streams_maybe_goaway_reply(PyObject* self) {
  return py::uinteger(with_state(self, [](h2::Connection& c) { return c.maybe_goaway_reply(); }));
}
py::Ref streams_begin_graceful_shutdown(PyObject* self) {
  return py::uinteger(with_state(self, [](h2::Connection& c) { return c.begin_graceful_shutdown(); }));
}

constexpr py::Sig kFail("H2Streams.fail", "exc=None, message='connection closed'");
py::Ref streams_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kFail>(args, nargs, kwnames);
  py::Ref exc = a.has("exc") ? py::Ref::borrow(a["exc"]) : py::Ref();
  const std::string message = a["message"] ? std::string(a.str("message")) : std::string("connection closed");
  Pairs pairs;
  with_state(self, [&](h2::Connection& c) {
    std::vector<h2::Stopped> out;
    if (c.fail(exc.get(), message, out)) (void)exc.release();  // stored now
    pairs.take(out);
  });
  return pairs.build();
}

py::Ref streams_conn_error(PyObject* self) {
  std::optional<std::string> message;
  py::Ref exc;
  with_state(self, [&](h2::Connection& c) {
    exc = take_ref(c.conn_exc());
    if (!exc) message = c.closure();
  });
  if (exc) return exc;
  if (!message) return py::none();
  py::Ref text = py::str(*message);
  return py::Ref::check(
      PyObject_CallOneArg(errors::type(errors::Exc::ConnectionClosedError), text.get()));
}

py::Ref streams_goaway_info(PyObject* self) {
  std::optional<h2::Connection::PeerGoAway> g =
      with_state(self, [](h2::Connection& c) { return c.peer_go_away(); });
  if (!g) return py::none();
  return py::Ref::check(PyTuple_Pack(3, py::uinteger(g->last_stream_id).get(), py::uinteger(g->error_code).get(),
                                     py::bytes(g->debug).get()));
}

py::Ref streams_is_closed(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return c.is_closed(); }));
}
py::Ref streams_is_failed(PyObject* self) {
  return py::boolean(with_state(self, [](h2::Connection& c) { return c.failed(); }));
}

PyTypeObject* build_streams() {
  py::TypeDef d = py::type_def<StreamsObj>(
      "H2Streams",
      "The protocol state of one HTTP/2 connection, either role: settings, windows, streams,\n"
      "the pending-send buffer and the frame codec. Subclassed by the driver, which adds\n"
      "the asynchronous machinery; it never performs I/O and never calls back.",
      py::kSubclassable);
  py::set_ctor<streams_new>(d, kCtor);
  d.methods = {
      py::noargs<streams_begin>("begin",
                                "Queue the handshake: the client preface (client role), our SETTINGS and,\n"
                                "when the connection window warrants it, the first connection WINDOW_UPDATE."),
      py::method<streams_prime>("prime", kPrime,
                                "Seed the decoder with bytes already read: True, False (preface mismatch)\n"
                                "or None (an incomplete preface)."),
      py::method<streams_receive>("receive", kReceive,
                                  "Decode received bytes: the frame records in wire order. One call returns\n"
                                  "at most about 1 MiB of decoded header fields; call it again with b\"\" while\n"
                                  "has_backlog() is True, before waiting for the next read."),
      py::noargs<streams_has_backlog>("has_backlog",
                                      "The last receive stopped at its bound: complete frames wait for a call\n"
                                      "with no new bytes."),
      py::method<streams_recv_settings>("recv_settings", kRecvSettings,
                                        "Handle SETTINGS or its ACK: (initial, wake_windows, flags)."),
      py::method<streams_recv_ping>("recv_ping", kRecvPing, "Handle PING or its ACK; returns flags."),
      py::noargs<streams_try_claim_slot>("try_claim_slot", "Claim a concurrency slot if the limit allows."),
      py::noargs<streams_can_open>("can_open", "A slot could be claimed now (nothing is reserved)."),
      py::noargs<streams_release_slot_count>("release_slot_count", "Give back a claimed, unused slot."),
      py::method<streams_apply_stream_limit>("apply_stream_limit", kApplyLimit,
                                             "Set the local stream limit (None: unlimited)."),
      py::method<streams_open_stream>("open_stream", kOpenStream,
                                      "Open a request stream on a claimed slot: its id, or None when the\n"
                                      "connection is closed."),
      py::method<streams_send_data>("send_data", kSendData, "Queue at most one DATA frame of data[offset:]."),
      py::method<streams_send_trailers>("send_trailers", kSendTrailers, "Queue trailers ending the stream."),
      py::method<streams_send_response_head>("send_response_head", kSendHead, "Queue a response head."),
      py::noargs<streams_credit_written>("credit_written",
                                         "The taken batches are written: handles whose senders may go on."),
      py::noargs<streams_stop_pump>("stop_pump", "Tell the write pump to drain and exit."),
      py::method<streams_recv_headers>("recv_headers", kRecvHeaders, "Handle a received header block."),
      py::method<streams_recv_data>("recv_data", kRecvData, "Handle a received DATA frame."),
      py::method<streams_recv_window_update>("recv_window_update", kRecvWindowUpdate,
                                             "Handle WINDOW_UPDATE: handles whose senders may proceed."),
      py::method<streams_recv_reset>("recv_reset", kRecvReset,
                                     "Handle RST_STREAM: (handle, stop, notify_body, flags)."),
      py::method<streams_release_capacity>("release_capacity", kReleaseCapacity,
                                           "The application consumed n received bytes; returns flags."),
      py::method<streams_release_data_frame>("release_data_frame", kReleaseDataFrame,
                                             "A budgeted chunk was consumed."),
      py::method<streams_sid_call<kAccepted, &h2::Connection::accepted>>(
          "accepted", kAccepted, "Server: the application pulled this request."),
      py::method<streams_aclose_body>("aclose_body", kAcloseBody, "The application closes a received body."),
      py::method<streams_reset_stream>("reset_stream", kResetStream, "Reset a stream."),
      py::method<streams_reset_on_error>("reset_on_error", kResetOnError,
                                         "Reset a stream after a peer violation (capped)."),
      py::method<streams_recv_go_away>("recv_go_away", kRecvGoAway,
                                       "Handle the peer's GOAWAY: ([(handle, stop)], flags)."),
      py::method<streams_send_goaway>("send_goaway", kSendGoAway, "Queue our GOAWAY; returns flags."),
      py::noargs<streams_maybe_goaway_reply>("maybe_goaway_reply",
                                             "Reply to the peer's GOAWAY once no stream is left; flags."),
      py::noargs<streams_begin_graceful_shutdown>("begin_graceful_shutdown",
                                                  "Start the two-phase graceful shutdown; flags."),
      py::method<streams_fail>("fail", kFail, "Record the connection's failure: [(handle, stop)]."),
      py::noargs<streams_conn_error>("conn_error", "The stored connection error, or None."),
      py::noargs<streams_goaway_info>("goaway_info",
                                      "(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None."),
      py::noargs<streams_is_closed>("is_closed", "Failed, or the peer sent GOAWAY."),
      py::noargs<streams_is_failed>("is_failed", "A connection error is stored."),
      py::method<streams_sid_call<kSetNext, &h2::Connection::set_next_stream_id>>(
          "set_next_stream_id", kSetNext, "Test hook: the next client stream id."),
      py::method<streams_sid_call<kSetMax, &h2::Connection::set_max_stream_id>>(
          "set_max_stream_id", kSetMax, "Test hook: the server's final last-stream-id."),
      py::method<streams_sid_call<kSetLast, &h2::Connection::set_last_processed_id>>(
          "set_last_processed_id", kSetLast, "Test hook: the server's last-processed id."),
      py::noargs<streams_take_pending>("take_pending",
                                       "Move the pending bytes out: (memoryview, stopping)."),
      py::noargs<streams_has_pending>("has_pending", "The pending buffer is not empty."),
      py::method<streams_store_task_handles>("store_task_handles", kStoreTasks,
                                             "Store the read and pump task handles (replacing stored ones)."),
      py::noargs<streams_take_task<&TaskSlot::read>>("take_read_handle",
                                                     "Move the read task handle out, or None once taken."),
      py::noargs<streams_take_task<&TaskSlot::pump>>("take_pump_handle",
                                                     "Move the pump task handle out, or None once taken."),
      py::method<streams_query<kHasStream, Query::Has>>("has_stream", kHasStream, "The stream is in the store."),
      py::method<streams_query<kIsRecvEnd, Query::RecvEndStream>>(
          "is_recv_end_stream", kIsRecvEnd, "The peer ended the stream (False for an unknown one)."),
      py::method<streams_query<kStreamState, Query::State>>("stream_state", kStreamState,
                                                            "The stream state as text, or None."),
      py::method<streams_query<kUnreleased, Query::Unreleased>>(
          "stream_recv_unreleased", kUnreleased, "Received bytes not yet released, or None."),
      py::method<streams_query<kCharged, Query::Charged>>(
          "stream_data_budget_charged", kCharged, "DATA-framing charge held by unread chunks, or None."),
      py::method<streams_query<kSendBuffered, Query::SendBuffered>>(
          "stream_send_buffered", kSendBuffered, "Bytes queued and not yet credited, or None."),
      py::method<streams_query<kStreamSendWindow, Query::SendWindow>>(
          "stream_send_window", kStreamSendWindow, "The stream's send window (may be negative), or None."),
      py::method<streams_query<kReclaimed, Query::Reclaimed>>(
          "stream_recv_reclaimed", kReclaimed, "The stream's receive capacity was reclaimed, or None."),
      py::method<streams_query<kInResetStore, Query::ResetStore>>("in_reset_store", kInResetStore,
                                                                  "The stream was reset recently."),
  };
  d.getters = {
      py::property<streams_is_server>("is_server", "The role is server."),
      py::property<state_int<kNumStreams>>("num_streams", "Active streams."),
      py::property<state_int<kNumOpen>>("num_open_streams", "Concurrency slots claimed."),
      py::property<state_opt<kStreamLimit>>("stream_limit", "The local stream limit, or None."),
      py::property<state_int<kPeerWindow>>("peer_initial_window_size", "The peer's SETTINGS_INITIAL_WINDOW_SIZE."),
      py::property<state_int<kPeerFrame>>("peer_max_frame_size", "The peer's SETTINGS_MAX_FRAME_SIZE."),
      py::property<state_bool<kPeerConnect>>("peer_enable_connect_protocol",
                                             "The peer sent SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 (extended CONNECT)."),
      py::property<state_opt<kPeerMcs>>("peer_max_concurrent_streams",
                                        "The peer's SETTINGS_MAX_CONCURRENT_STREAMS, or None."),
      py::property<state_int<kSendWindow>>("conn_send_window", "The connection send window (may be negative)."),
      py::property<state_int<kRecvAvailable>>("conn_recv_available", "Connection receive capacity available."),
      py::property<state_int<kBudget>>("data_frame_budget_available", "The DATA-framing budget available."),
      py::property<state_int<kEmpty>>("data_frame_budget_empty_frames", "Empty non-final DATA frames received."),
      py::property<state_int<kPendingResets>>("max_pending_accept_reset_streams", "Option."),
      py::property<state_opt<kLocalResetCap>>("max_local_error_reset_streams", "Option (None: no cap)."),
      py::property<state_int<kLocalResets>>("local_error_resets", "Resets sent for peer violations so far."),
      py::property<state_bool<kGraceful>>("graceful", "Graceful shutdown phase 1 started."),
      py::property<state_bool<kFinal>>("shutdown_final", "Graceful shutdown phase 2 done."),
      py::property<state_bool<kReplied>>("goaway_replied", "Our reply to the peer's GOAWAY is queued."),
      py::property<state_int<kLastProcessed>>("last_processed_id", "Server: highest request stream id accepted."),
      py::property<state_int<kMaxStreamId>>("max_stream_id", "Server: the final GOAWAY's last-stream-id."),
  };
  d.slots = {py::slots::repr<streams_repr>()};
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* h2_streams_type() { return py::cached_type<build_streams>(); }
PyTypeObject* h2_recv_headers_verdict_type() { return headers_verdict_type(); }
PyTypeObject* h2_recv_data_verdict_type() { return data_verdict_type(); }
PyTypeObject* h2_send_verdict_type() { return send_verdict_type(); }
PyTypeObject* h2_reset_verdict_type() { return reset_verdict_type(); }

}  // namespace quillon::bind
