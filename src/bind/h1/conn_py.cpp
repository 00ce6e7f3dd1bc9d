// H1ClientState and H1ServerState: the host face of the HTTP/1 connection
// states (h1/conn.hpp). Each method converts its arguments, runs one step of
// the core under the object's mutex (the server also under its codec's,
// taken inside), and builds its result once every lock is gone. Host objects
// the core drops go to a Graveyard declared before the lock.
#include "errors.hpp"
#include "h1/conn.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

// What the core asks of the host: references it only moves, a graveyard
// for the ones it drops, and the bytes of a watcher's read.
struct Host {
  using Handle = py::Ref;
  py::Graveyard& gy;
  void bury(py::Ref&& r) { gy.bury(std::move(r)); }
  static std::string_view bytes(const py::Ref& b) {
    return std::string_view(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
  }
};

// The server's host also reaches the codec (locked by the caller) and the
// current body decoder (locked here, inside the codec's lock).
struct ServerHost : Host {
  H1CodecCore codec_core;
  h1::CodecState& codec() { return codec_core.state; }
  const h1::CodecConfig& config() { return codec_core.config; }
  std::string leftover(const py::Ref& decoder, bool whole) { return take_h1_decoder_bytes(decoder.get(), whole, gy); }
  bool start_decoder(const py::Ref& decoder, h1::BodyKind kind, uint64_t length, std::string&& bytes) {
    return start_h1_body_decoder(decoder.get(), kind, length, std::move(bytes));
  }
};

template <class Core>
int visit_refs(const Core& core, visitproc visit, void* arg) {
  return core.visit([&](const py::Ref& r) {
    Py_VISIT(r.get());
    return 0;
  });
}

py::Ref or_none(py::Ref r) { return r ? std::move(r) : py::none(); }

// The items are moved in: building a result costs no reference traffic.
template <class... R>
py::Ref tuple(R&&... items) {
  py::Ref t = py::Ref::check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(items))));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(t.get(), i++, py::Ref(std::forward<R>(items)).release()), ...);
  return t;
}

// An optional host object argument: None (or omitted) is no object.
py::Ref opt_arg(PyObject* o) { return o && o != Py_None ? py::Ref::borrow(o) : py::Ref(); }

// A watcher read: bytes, or None.
py::Ref read_arg(py::Arg a) {
  if (!a.given()) return {};
  if (!PyBytes_Check(a.value)) a.bad_type("bytes or None");
  return py::Ref::borrow(a.value);
}

const char* flag(bool b) { return b ? "true" : "false"; }

// ---------------------------------------------------------------------------
// H1ClientState

using ClientCore = h1::ClientConn<Host>;

struct ClientObj {
  py::Mutex mu;
  ClientCore core;
  explicit ClientObj(py::Ref transport) : core(std::move(transport)) {}

  int traverse(visitproc visit, void* arg) const { return visit_refs(core, visit, arg); }
  void clear(py::Graveyard& g) {
    Host host{g};
    core.clear(host);
  }
};

ClientObj& client_of(PyObject* o) { return py::unbox<ClientObj>(o); }

// Runs `f(core, host)` under the client's mutex.
template <class F>
decltype(auto) client_step(PyObject* self, py::Graveyard& gy, F&& f) {
  ClientObj& c = client_of(self);
  return py::locked(c, [&]() -> decltype(auto) {
    Host host{gy};
    return f(c.core, host);
  });
}

template <class R, class F>
R client_read(PyObject* self, F&& f) {
  ClientObj& c = client_of(self);
  return py::locked(c, [&]() -> R { return f(static_cast<const ClientCore&>(c.core)); });
}

constexpr py::Sig kClientCtor("H1ClientState", "transport");
py::Ref client_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kClientCtor>(args, nargs, kwnames);
  return py::make<ClientObj>(type, opt_arg(a["transport"]));
}

// Calls core member M, passing the host when M takes one.
template <auto M, class Core, class H>
decltype(auto) invoke_step(Core& c, H& h) {
  if constexpr (std::is_invocable_v<decltype(M), Core&, H&>)
    return (c.*M)(h);
  else
    return (c.*M)();
}

// A client method without arguments: one step of the core, its result
// handed back as it is (py::to_host).
template <auto M>
py::Ref client_call(PyObject* self) {
  py::Graveyard gy;
  return py::call_to_host([&]() -> decltype(auto) {
    return client_step(self, gy, [](ClientCore& c, Host& h) -> decltype(auto) { return invoke_step<M>(c, h); });
  });
}

template <ClientCore::ExchangeEvent E>
py::Ref client_exchange(PyObject* self) {
  py::Graveyard gy;
  bool moved = client_step(self, gy, [](ClientCore& c, Host&) { return c.exchange(E); });
  if constexpr (E == ClientCore::ExchangeEvent::Start) return py::none();
  return py::boolean(moved);
}

constexpr py::Sig kClientFail("H1ClientState.fail", "exc=None");
py::Ref client_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kClientFail>(args, nargs, kwnames);
  py::Ref exc = opt_arg(a["exc"]);
  py::Graveyard gy;
  return or_none(client_step(self, gy, [&](ClientCore& c, Host& h) { return c.fail(std::move(exc), h); }));
}

py::Ref client_close_now(PyObject* self) {
  py::Graveyard gy;
  return or_none(client_step(self, gy, [](ClientCore& c, Host&) { return c.close(); }));
}

py::Ref client_mark_closed(PyObject* self) {
  py::Graveyard gy;
  ClientCore::Closing r = client_step(self, gy, [](ClientCore& c, Host&) { return c.mark_closed(); });
  return tuple(or_none(std::move(r.transport)), or_none(std::move(r.done)), or_none(std::move(r.writer)),
                py::boolean(r.idle));
}

constexpr py::Sig kSetPeerHttp10("H1ClientState.set_peer_http10", "value");
py::Ref client_set_peer_http10(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSetPeerHttp10>(args, nargs, kwnames);
  bool v = a.flag("value", false);
  py::Graveyard gy;
  client_step(self, gy, [&](ClientCore& c, Host&) { c.set_peer_http10(v); });
  return py::none();
}

constexpr py::Sig kStoreWriter("H1ClientState.store_writer", "scope");
py::Ref client_store_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kStoreWriter>(args, nargs, kwnames);
  py::Ref scope = py::Ref::borrow(a["scope"]);
  py::Graveyard gy;
  return or_none(client_step(self, gy, [&](ClientCore& c, Host& h) { return c.store_writer(std::move(scope), h); }));
}

constexpr py::Sig kClientArm("H1ClientState.arm_watcher", "done");
py::Ref client_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kClientArm>(args, nargs, kwnames);
  py::Ref done = py::Ref::borrow(a["done"]);
  py::Graveyard gy;
  return py::boolean(client_step(self, gy, [&](ClientCore& c, Host& h) { return c.arm_watcher(std::move(done), h); }));
}

constexpr py::Sig kClientStoreHandle("H1ClientState.store_watcher_handle", "handle");
py::Ref client_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kClientStoreHandle>(args, nargs, kwnames);
  py::Ref handle = py::Ref::borrow(a["handle"]);
  py::Graveyard gy;
  return or_none(
      client_step(self, gy, [&](ClientCore& c, Host&) { return c.store_watcher_handle(std::move(handle)); }));
}

constexpr py::Sig kClientCompleted("H1ClientState.watcher_completed", "data=None, error=None");
py::Ref client_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kClientCompleted>(args, nargs, kwnames);
  py::Ref data = read_arg(a.arg("data"));
  py::Ref error = opt_arg(a["error"]);
  py::Graveyard gy;
  auto [verdict, transport] = client_step(
      self, gy, [&](ClientCore& c, Host& h) { return c.watcher_completed(std::move(data), std::move(error), h); });
  return tuple(py::integer(static_cast<int>(verdict)), or_none(std::move(transport)));
}

py::Ref client_repr(PyObject* self) {
  struct Snap {
    bool closed, failed, busy, active, watcher;
  };
  Snap s = client_read<Snap>(self, [](const ClientCore& c) {
    return Snap{c.closed(), c.failed(), c.busy(), c.exchange_active(), c.has_watcher()};
  });
  return py::Ref::check(PyUnicode_FromFormat(
      "H1ClientState(closed=%s, failed=%s, busy=%s, exchange_active=%s, watcher=%s)", flag(s.closed),
      flag(s.failed), flag(s.busy), flag(s.active), flag(s.watcher)));
}

PyTypeObject* build_client() {
  using C = ClientCore;
  py::TypeDef d = py::type_def<ClientObj>(
      "H1ClientState",
      "The connection state of one HTTP/1 client connection: the exchange slot, the body\n"
      "writer's scope, the idle watcher, and the one-time hand-out of the transport to\n"
      "whichever closer or upgrade comes first. Subclassed by the client driver.",
      py::kSubclassable);
  py::set_ctor<client_new>(d, kClientCtor);
  d.slots = {py::slots::repr<client_repr>()};
  d.methods = {
      py::noargs<client_call<&C::transport_ref>>("transport_ref",
                                                "The transport, or None once closed or handed off."),
      py::noargs<client_call<&C::is_dead>>("is_dead", "Closed, or an error is stored."),
      py::noargs<client_exchange<C::ExchangeEvent::Begin>>(
          "try_begin_exchange", "Claim the connection for one exchange. False while another holds it."),
      py::noargs<client_exchange<C::ExchangeEvent::End>>(
          "end_exchange", "Release the claim. True once per claim (wake the idle waiters)."),
      py::noargs<client_exchange<C::ExchangeEvent::Start>>(
          "exchange_started", "The claimed exchange starts writing: a watcher read now belongs to it."),
      py::method<client_fail>("fail", kClientFail,
                              "Store exc (the first error wins; None records nothing) and close. The\n"
                              "transport to close, or None."),
      py::noargs<client_close_now>("close_now", "Close. The transport to close, or None."),
      py::noargs<client_mark_closed>("mark_closed",
                                     "Close and take the writer scope: (transport or None, watcher done\n"
                                     "event or None, writer scope or None, idle)."),
      py::noargs<client_call<&C::upgrade>>("upgrade",
                                 "Hand the transport off (101, or a 2xx to CONNECT). The transport, or "
                                 "None."),
      py::method<client_set_peer_http10>("set_peer_http10", kSetPeerHttp10,
                                         "Record that the server answered with HTTP/1.0."),
      py::method<client_store_writer>("store_writer", kStoreWriter,
                                      "Store the body writer's scope. None when stored; scope itself when\n"
                                      "refused (closed)."),
      py::noargs<client_call<&C::take_writer>>("take_writer", "Take the writer scope, once. The scope or None."),
      py::noargs<client_call<&C::writer_done>>("writer_done", "The writer sent the body in full."),
      py::method<client_arm_watcher>("arm_watcher", kClientArm,
                                     "Open an idle-watcher period with its done event. True: spawn the\n"
                                     "watcher; False: not armed."),
      py::method<client_store_watcher_handle>("store_watcher_handle", kClientStoreHandle,
                                              "Store the watcher task's handle. None when stored; handle\n"
                                              "itself when refused."),
      py::noargs<client_call<&C::watcher_aborted>>("watcher_aborted", "The watcher ended with nothing to report."),
      py::method<client_watcher_completed>("watcher_completed", kClientCompleted,
                                           "The watcher's read ended (b\"\" = EOF). (H1_WATCH_* verdict,\n"
                                           "transport to close or None)."),
      py::noargs<client_call<&C::watcher_done>>("watcher_done", "The watcher's done event, or None."),
      py::noargs<client_call<&C::take_watcher_handle>>("take_watcher_handle",
                                             "Take the watcher's handle, once. The handle or None."),
      py::noargs<client_call<&C::take_watcher_result>>("take_watcher_result",
                                             "Take the watcher's (data, error), once."),
  };
  d.getters = {
      py::property<client_call<&C::closed>>("closed", "The connection serves no more requests."),
      py::property<client_call<&C::busy>>("busy", "An exchange holds the connection."),
      py::property<client_call<&C::upgraded>>("upgraded", "The transport was handed off."),
      py::property<client_call<&C::peer_http10>>("peer_http10", "The server answered with HTTP/1.0."),
      py::property<client_call<&C::has_watcher>>("has_watcher", "A watcher slot exists."),
      py::property<client_call<&C::writer_finished>>("writer_finished", "The writer sent the body in full."),
      py::property<client_call<&C::error>>("error", "The stored error, or None."),
  };
  return py::build_type(std::move(d));
}

// ---------------------------------------------------------------------------
// H1ServerState

using ServerCore = h1::ServerConn<ServerHost>;

struct ServerObj {
  py::Mutex mu;
  // Fixed at construction. It holds no host objects, so it can close no
  // cycle: it is reported to the collector but never cleared, and every
  // method can rely on it.
  const py::Ref codec;
  ServerCore core;
  ServerObj(py::Ref c, py::Ref transport, bool keep_alive, bool half_close)
      : codec(std::move(c)), core(std::move(transport), keep_alive, half_close) {}

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(codec.get());
    return visit_refs(core, visit, arg);
  }
  void clear(py::Graveyard& g) {
    ServerHost host{{g}, h1_codec_core(codec.get())};
    core.clear(host);
  }
};

ServerObj& server_of(PyObject* o) { return py::unbox<ServerObj>(o); }

// Runs `f(core, host)` under the server's mutex and, inside it, the codec's.
template <class F>
decltype(auto) server_step(PyObject* self, py::Graveyard& gy, F&& f) {
  ServerObj& s = server_of(self);
  H1CodecCore cc = h1_codec_core(s.codec.get());
  return py::locked(s, [&]() -> decltype(auto) {
    return py::locked(cc, [&]() -> decltype(auto) {
      ServerHost host{{gy}, cc};
      return f(s.core, host);
    });
  });
}

// Runs `f(core)` under the server's mutex alone (no codec state involved).
template <class F>
decltype(auto) server_only(PyObject* self, F&& f) {
  ServerObj& s = server_of(self);
  return py::locked(s, [&]() -> decltype(auto) { return f(s.core); });
}

uint64_t seq_arg(py::Arg a) { return py::arg_u64(a); }

constexpr py::Sig kServerCtor("H1ServerState", "codec, transport, *, keep_alive=True, half_close=False");
py::Ref server_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kServerCtor>(args, nargs, kwnames);
  if (!is_h1_codec(a["codec"])) a.bad_type("codec", "H1Codec");
  bool keep_alive = a.flag("keep_alive", true);
  bool half_close = a.flag("half_close", false);
  return py::make<ServerObj>(type, py::Ref::borrow(a["codec"]), opt_arg(a["transport"]), keep_alive, half_close);
}

py::Ref server_codec(PyObject* self) { return server_of(self).codec; }

// A server method without arguments: one step of the core (under the
// codec's lock too when it takes the host), its result handed back as it
// is (py::to_host).
template <auto M>
py::Ref server_call(PyObject* self) {
  if constexpr (std::is_invocable_v<decltype(M), ServerCore&, ServerHost&>) {
    py::Graveyard gy;
    return py::call_to_host([&]() -> decltype(auto) {
      return server_step(self, gy, [](ServerCore& c, ServerHost& h) -> decltype(auto) { return (c.*M)(h); });
    });
  } else {
    return py::call_to_host([&]() -> decltype(auto) {
      return server_only(self, [](ServerCore& c) -> decltype(auto) { return (c.*M)(); });
    });
  }
}

py::Ref verdict(ServerCore::Verdict v) {
  return tuple(py::integer(static_cast<int>(v.code)), or_none(std::move(v.object)));
}

py::Ref server_begin_read(PyObject* self) {
  py::Graveyard gy;
  return verdict(server_step(self, gy, [](ServerCore& c, ServerHost& h) { return c.begin_read(h); }));
}

constexpr py::Sig kDrainDone("H1ServerState.drain_done", "complete");
py::Ref server_drain_done(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kDrainDone>(args, nargs, kwnames);
  bool complete = a.flag("complete", false);
  py::Graveyard gy;
  return verdict(server_step(self, gy, [&](ServerCore& c, ServerHost& h) { return c.drain_done(complete, h); }));
}

constexpr py::Sig kAcceptHead("H1ServerState.accept_head", "data");
py::Ref server_accept_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kAcceptHead>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  // Made before the lock; the state keeps it only when a head is accepted.
  py::Ref decoder = new_h1_body_decoder();
  h1::RequestHead head;
  py::Graveyard gy;
  ServerCore::Accepted r = server_step(self, gy, [&](ServerCore& c, ServerHost& h) {
    ServerCore::Accepted acc = c.accept_head(data, decoder, head, h);
    if (acc.status == h1::HeadStatus::Error) throw errors::from_h1(h1::Failure::parse(acc.error));
    return acc;
  });
  if (r.status != h1::HeadStatus::Done) return py::none();
  return tuple(wrap_h1_request_head(std::move(head)), py::uinteger(r.seq), std::move(decoder));
}

py::Ref server_mark_closed(PyObject* self) {
  ServerCore::Closing r = server_only(self, [](ServerCore& c) { return c.mark_closed(); });
  return tuple(or_none(std::move(r.transport)), or_none(std::move(r.done)), py::boolean(r.was_closed));
}

// The per-request calls taking just `seq`.
template <const py::Sig& S, class R, R (*F)(ServerCore&, uint64_t), py::Ref (*Out)(R)>
py::Ref seq_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.sole());
  return Out(server_only(self, [&](ServerCore& c) { return F(c, seq); }));
}

py::Ref bool_out(bool b) { return py::boolean(b); }

bool do_try_send_continue(ServerCore& c, uint64_t seq) { return c.try_send_continue(seq); }
bool do_begin_body_read(ServerCore& c, uint64_t seq) { return c.begin_body_read(seq); }
bool do_peer_closed_flag(ServerCore& c, uint64_t seq) { return c.peer_closed_flag(seq); }
bool do_close_window(ServerCore& c, uint64_t seq) { return c.close_window(seq); }
std::optional<bool> do_peer_closed_now(ServerCore& c, uint64_t seq) { return c.peer_closed_now(seq); }
py::Ref tri_out(std::optional<bool> v) { return v ? py::boolean(*v) : py::none(); }
py::Ref do_fail_response(ServerCore& c, uint64_t seq) { return c.fail_response(seq); }

constexpr py::Sig kTrySendContinue("H1ServerState.try_send_continue", "seq");
constexpr py::Sig kBeginBodyRead("H1ServerState.begin_body_read", "seq");
constexpr py::Sig kPeerClosedNow("H1ServerState.peer_closed_now", "seq");
constexpr py::Sig kPeerClosedFlag("H1ServerState.peer_closed_flag", "seq");
constexpr py::Sig kCloseWindow("H1ServerState.close_window", "seq");
constexpr py::Sig kFailResponse("H1ServerState.fail_response", "seq");

constexpr py::Sig kEndBodyRead("H1ServerState.end_body_read", "seq, complete");
py::Ref server_end_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kEndBodyRead>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.arg("seq"));
  bool complete = a.flag("complete", false);
  server_only(self, [&](ServerCore& c) { c.end_body_read(seq, complete); });
  return py::none();
}

constexpr py::Sig kServerArm("H1ServerState.arm_watcher", "seq, done, *, want=True, head_negotiated=False");
py::Ref server_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kServerArm>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.arg("seq"));
  py::Ref done = py::Ref::borrow(a["done"]);
  bool want = a.flag("want", true);
  bool negotiated = a.flag("head_negotiated", false);
  py::Graveyard gy;
  return py::boolean(server_step(self, gy, [&](ServerCore& c, ServerHost& h) {
    return c.arm_watcher(seq, std::move(done), want, negotiated, h);
  }));
}

constexpr py::Sig kServerStoreHandle("H1ServerState.store_watcher_handle", "handle");
py::Ref server_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kServerStoreHandle>(args, nargs, kwnames);
  py::Ref handle = py::Ref::borrow(a["handle"]);
  return or_none(server_only(self, [&](ServerCore& c) { return c.store_watcher_handle(std::move(handle)); }));
}

constexpr py::Sig kServerCompleted("H1ServerState.watcher_completed", "data=None, error=None");
py::Ref server_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kServerCompleted>(args, nargs, kwnames);
  py::Ref data = read_arg(a.arg("data"));
  py::Ref error = opt_arg(a["error"]);
  py::Graveyard gy;
  return py::boolean(server_step(self, gy, [&](ServerCore& c, ServerHost& h) {
    return c.watcher_completed(std::move(data), std::move(error), h);
  }));
}

constexpr py::Sig kRespondHead("H1ServerState.respond_head",
                               "seq, status, headers, done, *, content_length=None, chunked=False, want=False");
py::Ref server_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRespondHead>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.arg("seq"));
  const uint16_t status = h1_status_arg(a.arg("status"));
  PyObject* headers = h1_headers_ref(a.arg("headers"));
  py::Ref done = py::Ref::borrow(a["done"]);
  bool chunked = a.flag("chunked", false);
  bool want = a.flag("want", false);
  h1::BodyLength body = h1::BodyLength::none();
  if (a.has("content_length")) body = h1::BodyLength::known(a.u64("content_length"));
  if (chunked) body = h1::BodyLength::unknown();
  std::string out;
  py::Graveyard gy;
  ServerCore::Responded r = server_step(self, gy, [&](ServerCore& c, ServerHost& h) {
    ServerCore::Responded res = read_header_map(headers, [&](const http::HeaderMapCore& m) {
      return c.respond_head(seq, status, m, body, want, std::move(done), out, h);
    });
    // The claim stands: it is not undone by a head the encoder refused.
    if (res.error) raise_h1_encode(res.error);
    return res;
  });
  py::Ref head = r.code == h1::Req::Ok ? py::bytes(out) : py::none();
  return tuple(py::integer(static_cast<int>(r.code)), std::move(head), py::boolean(r.armed));
}

py::Ref opt_bytes(std::optional<std::string>& b) { return b ? py::bytes(*b) : py::none(); }

constexpr py::Sig kFinishResponse("H1ServerState.finish_response", "seq");
py::Ref server_finish_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kFinishResponse>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.arg("seq"));
  py::Graveyard gy;
  ServerCore::Finished f =
      server_step(self, gy, [&](ServerCore& c, ServerHost& h) { return c.finish_response(seq, h); });
  return tuple(py::boolean(f.hand_off), py::boolean(f.close), or_none(std::move(f.transport)),
                opt_bytes(f.leftover));
}

constexpr py::Sig kDetach("H1ServerState.detach", "seq");
py::Ref server_detach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kDetach>(args, nargs, kwnames);
  uint64_t seq = seq_arg(a.arg("seq"));
  py::Graveyard gy;
  ServerCore::Detached d = server_step(self, gy, [&](ServerCore& c, ServerHost& h) { return c.detach(seq, h); });
  return tuple(py::integer(static_cast<int>(d.code)), or_none(std::move(d.transport)), opt_bytes(d.leftover));
}

py::Ref server_repr(PyObject* self) {
  struct Snap {
    unsigned long long seq;
    bool closed, reusable, responded, response_done, watcher;
  };
  Snap s = server_only(self, [](const ServerCore& c) {
    return Snap{c.current_seq(), c.closed(), c.reusable(), c.request().responded(), c.request().response_done,
                c.has_watcher()};
  });
  return py::Ref::check(PyUnicode_FromFormat(
      "H1ServerState(seq=%llu, closed=%s, reusable=%s, responded=%s, response_done=%s, watcher=%s)", s.seq,
      flag(s.closed), flag(s.reusable), flag(s.responded), flag(s.response_done), flag(s.watcher)));
}

PyTypeObject* build_server() {
  using C = ServerCore;
  py::TypeDef d = py::type_def<ServerObj>(
      "H1ServerState",
      "The connection and current-request state of one HTTP/1 server connection. It owns\n"
      "the codec and the transport and runs every step of the request cycle as one locked\n"
      "transition. Subclassed by the server driver.",
      py::kSubclassable);
  py::set_ctor<server_new>(d, kServerCtor);
  d.slots = {py::slots::repr<server_repr>()};
  d.methods = {
      py::noargs<server_call<&C::transport_ref>>(
          "transport_ref", "The transport while this state holds it; None once closed or handed off."),
      py::noargs<server_call<&C::current_decoder>>("current_decoder", "The current body decoder, or None."),
      py::noargs<server_begin_read>("begin_read",
                                    "Where the next request comes from: (H1_NEXT_* or H1_READ_* code, "
                                    "object or None)."),
      py::method<server_drain_done>("drain_done", kDrainDone,
                                    "One drain poll ended: (code, object or None) as for begin_read."),
      py::noargs<server_call<&C::unpark_idle_read>>("unpark_idle_read",
                                          "The idle read ended. True when a shutdown closed the connection\n"
                                          "meanwhile (drop what the read returned)."),
      py::method<server_accept_head>("accept_head", kAcceptHead,
                                     "Parse the next request head: (head, seq, decoder), or None when more\n"
                                     "bytes are needed. Raises H1ParseError."),
      py::noargs<server_call<&C::fail_read>>("fail_read", "Close after a failed read. The transport, or None."),
      py::noargs<server_call<&C::stop_serving>>("stop_serving",
                                      "Serve no more requests; the transport stays for mark_closed."),
      py::noargs<server_mark_closed>("mark_closed",
                                     "Close: (transport or None, watcher done event or None, already "
                                     "closed)."),
      py::noargs<server_call<&C::mark_unusable>>("mark_unusable", "The current response is the last."),
      py::noargs<server_call<&C::request_shutdown>>("request_shutdown",
                                          "Graceful shutdown. The transport when an idle read is parked (close\n"
                                          "it to end the read), else None."),
      py::method<seq_call<kTrySendContinue, bool, do_try_send_continue, bool_out>>(
          "try_send_continue", kTrySendContinue, "Claim the 100 Continue for the body reader, once."),
      py::method<seq_call<kBeginBodyRead, bool, do_begin_body_read, bool_out>>(
          "begin_body_read", kBeginBodyRead, "Take the transport read for the body reader."),
      py::method<server_end_body_read>("end_body_read", kEndBodyRead,
                                       "Give the transport read back; complete: the body was read in full."),
      py::method<seq_call<kPeerClosedNow, std::optional<bool>, do_peer_closed_now, tri_out>>(
          "peer_closed_now", kPeerClosedNow,
          "False when stale; None while the response is in progress; else whether the client left."),
      py::method<seq_call<kPeerClosedFlag, bool, do_peer_closed_flag, bool_out>>(
          "peer_closed_flag", kPeerClosedFlag, "Whether the watcher saw the client leave."),
      py::method<server_arm_watcher>("arm_watcher", kServerArm,
                                     "Ask for the mid-message watcher. True: spawn it and store its handle."),
      py::method<server_store_watcher_handle>("store_watcher_handle", kServerStoreHandle,
                                              "Store the watcher task's handle. None when stored; handle\n"
                                              "itself when refused."),
      py::method<server_watcher_completed>("watcher_completed", kServerCompleted,
                                           "The watcher's read ended (b\"\" = EOF). True: the client left;\n"
                                           "resolve peer_closed()."),
      py::noargs<server_call<&C::watcher_aborted>>("watcher_aborted", "The watcher ended with nothing to report."),
      py::noargs<server_call<&C::watcher_done>>("watcher_done", "The watcher's done event, or None."),
      py::noargs<server_call<&C::take_watcher_handle>>("take_watcher_handle",
                                             "Take the watcher's handle, once. The handle or None."),
      py::noargs<server_call<&C::take_watcher_result>>("take_watcher_result",
                                             "Take the watcher's (data, error), once."),
      py::method<seq_call<kCloseWindow, bool, do_close_window, bool_out>>(
          "close_window", kCloseWindow, "End the mid-message window. True when it was open."),
      py::method<server_respond_head>("respond_head", kRespondHead,
                                      "Claim and encode the response head: (H1_REQ_* code, head bytes or\n"
                                      "None, watcher armed). Raises H1UserError for a refused head."),
      py::method<server_finish_response>("finish_response", kFinishResponse,
                                         "The response is complete: (switch, close, transport or None,\n"
                                         "leftover bytes or None)."),
      py::method<seq_call<kFailResponse, py::Ref, do_fail_response, or_none>>(
          "fail_response", kFailResponse, "The response failed: close. The transport, or None."),
      py::method<server_detach>("detach", kDetach,
                                "Take over the raw connection instead of responding: (H1_REQ_* code,\n"
                                "transport or None, leftover bytes or None)."),
  };
  d.getters = {
      py::property<server_codec>("codec", "The connection's H1Codec."),
      py::property<server_call<&C::closed>>("closed", "The connection serves no more requests."),
      py::property<server_call<&C::reusable>>("reusable", "Another request may follow this one."),
      py::property<server_call<&C::upgraded>>("upgraded", "The transport was handed off."),
      py::property<server_call<&C::half_close>>("half_close",
                                                "A client half-close does not count as the client leaving."),
      py::property<server_call<&C::keep_alive_enabled>>("keep_alive_enabled",
                                                        "Connection reuse is allowed by configuration."),
      py::property<server_call<&C::shutdown_requested>>("shutdown_requested", "Graceful shutdown was asked for."),
      py::property<server_call<&C::has_watcher>>("has_watcher", "A watcher slot exists."),
      py::property<server_call<&C::watcher_parked>>("watcher_parked", "The watcher's read is parked."),
      py::property<server_call<&C::current_seq>>("current_seq", "The current request's seq (0: none yet)."),
  };
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* h1_client_state_type() { return py::cached_type<build_client>(); }
PyTypeObject* h1_server_state_type() { return py::cached_type<build_server>(); }

}  // namespace quillon::bind
