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
template <class F>
decltype(auto) with_state(PyObject* self, F&& f) {
  StreamsObj& o = obj_of(self);
  return errors::h2_call(
      [&]() -> decltype(auto) { return py::locked(o.state, [&]() -> decltype(auto) { return f(o.core); }); });
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

const py::Sig kCtor("H2Streams",
                    "role, *, initial_window_size, connection_window, max_frame_size, max_header_list_size, "
                    "max_send_buf_size, max_concurrent_streams=None, max_pending_accept_reset_streams=20, "
                    "max_local_error_reset_streams=1024, data_frame_budget=None, auto_date_header=True, "
                    "enable_push=None");

py::Ref streams_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const py::Sig& s = kCtor;
  auto a = py::parse<12>(s, args, nargs, kwnames);
  const std::string_view role = py::arg_str(s, 0, a[0]);
  h2::Config c;
  c.initial_window_size = arg_u32(s, 1, a[1]);
  c.connection_window = arg_u32(s, 2, a[2]);
  c.max_frame_size = arg_u32(s, 3, a[3]);
  c.max_header_list_size = arg_u32(s, 4, a[4]);
  c.max_send_buf_size = py::arg_u64(s, 5, a[5]);
  c.max_concurrent_streams = arg_opt_u32(s, 6, a[6]);
  if (a[7]) c.max_pending_accept_reset_streams = py::arg_u64(s, 7, a[7]);
  if (a[8]) c.max_local_error_reset_streams = arg_opt_u64(s, 8, a[8]);  // None: no cap
  c.data_frame_budget = arg_opt_u64(s, 9, a[9]);
  c.auto_date_header = py::arg_bool(s, 10, a[10], true);
  if (a.has(11)) c.enable_push = py::arg_bool(s, 11, a[11], false);
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

const py::Sig kPrime("H2Streams.prime", "data");
py::Ref streams_prime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<1>(kPrime, args, nargs, kwnames);
  const std::string_view data = py::arg_bytes(kPrime, 0, a[0]);
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

const py::Sig kRecvSettings("H2Streams.recv_settings", "frame");
py::Ref streams_recv_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<1>(kRecvSettings, args, nargs, kwnames);
  PyObject* fr = a[0];
  if (Py_TYPE(fr) != h2_frame_settings_type()) kRecvSettings.bad_type(0, "H2FrameSettings", fr);
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

const py::Sig kRecvPing("H2Streams.recv_ping", "frame");
py::Ref streams_recv_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<1>(kRecvPing, args, nargs, kwnames);
  PyObject* fr = a[0];
  if (Py_TYPE(fr) != h2_frame_ping_type()) kRecvPing.bad_type(0, "H2FramePing", fr);
  const bool ack = record_bool(fr, "ack");
  py::Ref data = py::Ref::check(PyObject_GetAttrString(fr, "data"));
  if (!PyBytes_Check(data.get())) kRecvPing.bad_type(0, "H2FramePing", fr);
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

const py::Sig kStoreTasks("H2Streams.store_task_handles", "read, pump");
py::Ref streams_store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<2>(kStoreTasks, args, nargs, kwnames);
  TaskSlot& t = obj_of(self).tasks;
  py::Ref read = py::Ref::borrow(a[0]);
  py::Ref pump = py::Ref::borrow(a[1]);
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
  auto a = py::parse<1>(S, args, nargs, kwnames);
  const uint32_t sid = arg_u32(S, 0, a[0]);
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

const py::Sig kHasStream("H2Streams.has_stream", "sid");
const py::Sig kIsRecvEnd("H2Streams.is_recv_end_stream", "sid");
const py::Sig kStreamState("H2Streams.stream_state", "sid");
const py::Sig kUnreleased("H2Streams.stream_recv_unreleased", "sid");
const py::Sig kCharged("H2Streams.stream_data_budget_charged", "sid");
const py::Sig kSendBuffered("H2Streams.stream_send_buffered", "sid");
const py::Sig kStreamSendWindow("H2Streams.stream_send_window", "sid");
const py::Sig kReclaimed("H2Streams.stream_recv_reclaimed", "sid");
const py::Sig kInResetStore("H2Streams.in_reset_store", "sid");

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
      py::method<streams_recv_settings>("recv_settings", kRecvSettings,
                                        "Handle SETTINGS or its ACK: (initial, wake_windows, flags)."),
      py::method<streams_recv_ping>("recv_ping", kRecvPing, "Handle PING or its ACK; returns flags."),
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

}  // namespace quillon::bind
