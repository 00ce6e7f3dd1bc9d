// The HTTP/2 stream primitives as host classes: H2Reason, H2StreamState,
// H2FlowControl, H2ContentLength, H2DataFrameBudget and H2Stopped. Each
// stateful one is the core value (the very code H2Streams keeps per stream)
// behind a mutex of its own; a core Fault is raised after the lock is gone.
#include <string>

#include "errors.hpp"
#include "h2/constants.hpp"
#include "module.hpp"

namespace quillon::bind {

uint32_t arg_u32(py::Arg a) {
  const uint64_t v = py::arg_u64(a);
  if (v > UINT32_MAX) {
    throw py::overflow_error(std::string(a.sig->qualname()) + "() argument '" + a.sig->param_name(a.index) +
                             "' out of range for an unsigned 32-bit integer");
  }
  return static_cast<uint32_t>(v);
}

std::optional<uint32_t> arg_opt_u32(py::Arg a) {
  if (!a.given()) return std::nullopt;
  return arg_u32(a);
}

std::optional<uint64_t> arg_opt_u64(py::Arg a) {
  if (!a.given()) return std::nullopt;
  return py::arg_u64(a);
}

namespace {

// Runs `f(value)` under the object's mutex; a Fault is raised once the lock
// is released.
template <class Obj, class F>
decltype(auto) with_value(PyObject* self, F&& f) {
  Obj& o = py::unbox<Obj>(self);
  return errors::h2_call([&]() -> decltype(auto) { return py::locked(o, [&]() -> decltype(auto) { return f(o.v); }); });
}

// A method or property without arguments: member M of the object's value,
// run under its mutex, its result handed back as it is (py::to_host).
template <class Obj, auto M>
py::Ref value_call(PyObject* self) {
  return py::call_to_host(
      [&]() -> decltype(auto) { return with_value<Obj>(self, [](auto& v) -> decltype(auto) { return (v.*M)(); }); });
}

// --- H2Reason ---------------------------------------------------------------

struct ReasonObj {
  uint32_t code;
};

PyObject* g_reasons[h2::kNamedReasons] = {};

constexpr py::Sig kReasonCtor("H2Reason", "code");

py::Ref reason_new(PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kReasonCtor>(args, nargs, kwnames);
  const uint32_t code = arg_u32(a.arg("code"));
  h2_reason_type();  // builds the members
  if (code >= h2::kNamedReasons) throw py::value_error(std::to_string(code) + " is not a valid H2Reason");
  return py::Ref::borrow(g_reasons[code]);
}

uint32_t reason_code(PyObject* self) { return py::unbox<ReasonObj>(self).code; }

py::Ref reason_repr(PyObject* self) {
  return py::ascii_str(std::string("H2Reason.") + h2::reason_name(reason_code(self)));
}

py::Ref reason_name(PyObject* self) { return py::ascii_str(h2::reason_name(reason_code(self))); }
py::Ref reason_description(PyObject* self) { return py::ascii_str(h2::reason_description(reason_code(self))); }

PyObject* reason_int(PyObject* self) { return PyLong_FromUnsignedLong(reason_code(self)); }

Py_hash_t reason_hash(PyObject* self) { return static_cast<Py_hash_t>(reason_code(self)); }

py::Ref reason_compare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return py::Ref::borrow(Py_NotImplemented);
  bool equal;
  if (Py_TYPE(other) == Py_TYPE(self)) {
    equal = reason_code(other) == reason_code(self);
  } else if (PyLong_Check(other)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::PyErrSet{};
    equal = overflow == 0 && v == reason_code(self);
  } else {
    return py::Ref::borrow(Py_NotImplemented);
  }
  return py::boolean(equal == (op == Py_EQ));
}

PyTypeObject* build_reason() {
  py::TypeDef d = py::type_def<ReasonObj>(
      "H2Reason",
      "An HTTP/2 error code (RFC 9113 section 7): one of the fourteen named codes.\n\n"
      "Compares equal to its code as an int; int() and hash() give the code.");
  py::set_ctor<reason_new>(d, kReasonCtor);
  d.getters = {
      py::property<reason_name>("name", "The code's name, e.g. \"CANCEL\"."),
      py::property<reason_description>("description", "The code's human description."),
  };
  d.slots = {
      py::slots::repr<reason_repr>(),
      py::slots::slot(Py_tp_str, &py::slots::wrap::unary<reason_repr>),
      py::slots::richcompare<reason_compare>(),
      py::slots::hash<reason_hash>(),
      py::slots::slot(Py_nb_int, &reason_int),
      py::slots::slot(Py_nb_index, &reason_int),
  };
  PyTypeObject* t = py::build_type(std::move(d));
  if (!t) return nullptr;
  for (uint32_t c = 0; c < h2::kNamedReasons; ++c) {
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) return nullptr;
    py::unbox<ReasonObj>(o).code = c;
    g_reasons[c] = o;  // kept for the process, like the type
    if (PyDict_SetItemString(t->tp_dict, h2::reason_name(c), o) < 0) return nullptr;
  }
  PyType_Modified(t);
  return t;
}

// --- H2StreamState ----------------------------------------------------------

struct StateObj {
  py::Mutex mu;
  h2::StreamState v;
};

constexpr py::Sig kStateCtor("H2StreamState", "");
constexpr py::Sig kSendOpen("H2StreamState.send_open", "eos");
constexpr py::Sig kRecvOpen("H2StreamState.recv_open", "eos, informational");
constexpr py::Sig kRecvReset("H2StreamState.recv_reset", "stream_id, reason, queued");
constexpr py::Sig kSetReset("H2StreamState.set_reset", "stream_id, reason, initiator");
constexpr py::Sig kSetScheduled("H2StreamState.set_scheduled_reset", "reason");

// Stream ids are 31 bits; the high bit is reserved (RFC 9113 section 4.1).
uint32_t arg_stream_id(py::Arg a) {
  const uint32_t id = arg_u32(a);
  if (id > h2::kMaxStreamId) {
    throw py::value_error("stream_id must be <= " + std::to_string(h2::kMaxStreamId) + ", got " + std::to_string(id));
  }
  return id;
}

h2::Initiator arg_initiator(py::Arg a) {
  const std::string_view text = py::arg_str(a);
  h2::Initiator by;
  if (!h2::parse_initiator(text, by)) {
    throw py::value_error("initiator must be 'user' | 'library' | 'remote', got " + std::string(text));
  }
  return by;
}

py::Ref state_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::parse<kStateCtor>(args, nargs, kwnames);
  return py::make<StateObj>(type);
}

py::Ref state_send_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSendOpen>(args, nargs, kwnames);
  const bool eos = a.flag("eos", false);
  with_value<StateObj>(self, [&](h2::StreamState& s) { s.send_open(eos); });
  return py::none();
}

py::Ref state_recv_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvOpen>(args, nargs, kwnames);
  const bool eos = a.flag("eos", false);
  const bool informational = a.flag("informational", false);
  return py::boolean(with_value<StateObj>(self, [&](h2::StreamState& s) { return s.recv_open(eos, informational); }));
}

py::Ref state_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRecvReset>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  const uint32_t reason = arg_u32(a.arg("reason"));
  const bool queued = a.flag("queued", false);
  with_value<StateObj>(self, [&](h2::StreamState& s) { s.recv_reset(sid, reason, queued); });
  return py::none();
}

py::Ref state_set_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSetReset>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  const uint32_t reason = arg_u32(a.arg("reason"));
  const h2::Initiator by = arg_initiator(a.arg("initiator"));
  with_value<StateObj>(self, [&](h2::StreamState& s) { s.set_reset(sid, reason, by); });
  return py::none();
}

py::Ref state_set_scheduled_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSetScheduled>(args, nargs, kwnames);
  const uint32_t reason = arg_u32(a.arg("reason"));
  return py::boolean(with_value<StateObj>(self, [&](h2::StreamState& s) { return s.set_scheduled_reset(reason); }));
}

py::Ref state_repr(PyObject* self) {
  return py::ascii_str(with_value<StateObj>(self, [](h2::StreamState& s) { return s.render(); }));
}

PyTypeObject* build_state() {
  using S = h2::StreamState;
  py::TypeDef d = py::type_def<StateObj>(
      "H2StreamState",
      "The state of one HTTP/2 stream (RFC 9113 section 5.1) with the cause of its closing.\n\n"
      "Each method is one locked step; an illegal transition raises and leaves the state as it was.");
  py::set_ctor<state_new>(d, kStateCtor);
  d.methods = {
      py::method<state_send_open>("send_open", kSendOpen, "We send HEADERS (eos: with END_STREAM)."),
      py::method<state_recv_open>("recv_open", kRecvOpen,
                                  "We receive HEADERS. True when the frame opened the stream."),
      py::noargs<value_call<StateObj, &S::reserve_remote>>("reserve_remote", "The peer reserved the stream (push)."),
      py::noargs<value_call<StateObj, &S::reserve_local>>("reserve_local", "We reserved the stream (push)."),
      py::noargs<value_call<StateObj, &S::recv_close>>("recv_close", "The peer's END_STREAM."),
      py::method<state_recv_reset>("recv_reset", kRecvReset,
                                   "The peer's RST_STREAM (queued: frames of the stream still wait to be sent)."),
      py::noargs<value_call<StateObj, &S::recv_eof>>("recv_eof", "The transport closed."),
      py::noargs<value_call<StateObj, &S::send_close>>(
          "send_close", "End our send half if it is streaming: True when it was, False (nothing changed) else."),
      py::method<state_set_reset>("set_reset", kSetReset, "Close the stream by a reset, whatever its state."),
      py::method<state_set_scheduled_reset>(
          "set_scheduled_reset", kSetScheduled,
          "Schedule a library reset: True when scheduled, False when the stream was already closed."),
      py::noargs<value_call<StateObj, &S::scheduled_reset>>("get_scheduled_reset",
                                                            "The scheduled reset's code, or None."),
      py::noargs<value_call<StateObj, &S::ensure_recv_open>>(
          "ensure_recv_open", "True while the receive half may deliver; raises the stream's stored error."),
      py::noargs<value_call<StateObj, &S::is_scheduled_reset>>("is_scheduled_reset", "A library reset is scheduled."),
      py::noargs<value_call<StateObj, &S::is_local_error>>("is_local_error", "Closed by our side's error or reset."),
      py::noargs<value_call<StateObj, &S::is_remote_reset>>("is_remote_reset", "Closed by the peer's RST_STREAM."),
      py::noargs<value_call<StateObj, &S::is_reset>>("is_reset", "Closed other than by END_STREAM."),
      py::noargs<value_call<StateObj, &S::is_send_streaming>>("is_send_streaming", "Our send half is streaming."),
      py::noargs<value_call<StateObj, &S::is_recv_headers>>("is_recv_headers", "The receive half awaits headers."),
      py::noargs<value_call<StateObj, &S::is_recv_streaming>>("is_recv_streaming", "The receive half is streaming."),
      py::noargs<value_call<StateObj, &S::is_recv_end_stream>>("is_recv_end_stream", "The peer's END_STREAM was seen."),
      py::noargs<value_call<StateObj, &S::is_closed>>("is_closed", "The stream is closed."),
      py::noargs<value_call<StateObj, &S::is_send_closed>>("is_send_closed", "Our send half is closed."),
      py::noargs<value_call<StateObj, &S::is_idle>>("is_idle", "The stream is idle."),
  };
  d.slots = {py::slots::repr<state_repr>()};
  return py::build_type(std::move(d));
}

// --- H2FlowControl ----------------------------------------------------------

struct FlowObj {
  py::Mutex mu;
  h2::FlowControl v;
};

constexpr py::Sig kFlowCtor("H2FlowControl", "");
constexpr py::Sig kClaim("H2FlowControl.claim_capacity", "capacity");
constexpr py::Sig kAssign("H2FlowControl.assign_capacity", "capacity");
constexpr py::Sig kIncWindow("H2FlowControl.inc_window", "sz");
constexpr py::Sig kDecSend("H2FlowControl.dec_send_window", "sz");
constexpr py::Sig kDecRecv("H2FlowControl.dec_recv_window", "sz");
constexpr py::Sig kSendData("H2FlowControl.send_data", "sz");

py::Ref flow_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::parse<kFlowCtor>(args, nargs, kwnames);
  return py::make<FlowObj>(type);
}

template <const py::Sig& S, void (h2::FlowControl::*M)(uint32_t)>
py::Ref flow_amount(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  const uint32_t n = arg_u32(a.sole());
  with_value<FlowObj>(self, [&](h2::FlowControl& f) { (f.*M)(n); });
  return py::none();
}

py::Ref flow_repr(PyObject* self) {
  auto f = with_value<FlowObj>(self, [](h2::FlowControl& v) { return v; });
  return py::ascii_str("H2FlowControl(window_size=" + std::to_string(f.window()) +
                       ", available=" + std::to_string(f.available()) + ")");
}

PyTypeObject* build_flow() {
  using F = h2::FlowControl;
  py::TypeDef d = py::type_def<FlowObj>(
      "H2FlowControl",
      "One HTTP/2 flow-control window pair (window size, available capacity) with\n"
      "overflow-tested 31-bit arithmetic. Amounts above 2147483647 raise ValueError;\n"
      "a result outside the signed 32-bit range raises H2FlowControlError.");
  py::set_ctor<flow_new>(d, kFlowCtor);
  d.methods = {
      py::noargs<value_call<FlowObj, &F::window_size>>("window_size", "The window size (0 when negative)."),
      py::noargs<value_call<FlowObj, &F::available>>("available", "The available capacity (may be negative)."),
      py::noargs<value_call<FlowObj, &F::has_unavailable>>("has_unavailable",
                                                           "The window exceeds the available capacity."),
      py::noargs<value_call<FlowObj, &F::unclaimed_capacity>>("unclaimed_capacity",
                                 "Released capacity worth a WINDOW_UPDATE (at least half the window), or None."),
      py::method<flow_amount<kClaim, &F::claim_capacity>>("claim_capacity", kClaim, "available -= capacity."),
      py::method<flow_amount<kAssign, &F::assign_capacity>>("assign_capacity", kAssign, "available += capacity."),
      py::method<flow_amount<kIncWindow, &F::inc_window>>("inc_window", kIncWindow, "window_size += sz."),
      py::method<flow_amount<kDecSend, &F::dec_send_window>>("dec_send_window", kDecSend, "window_size -= sz."),
      py::method<flow_amount<kDecRecv, &F::dec_recv_window>>("dec_recv_window", kDecRecv,
                                                             "window_size -= sz and available -= sz."),
      py::method<flow_amount<kSendData, &F::send_data>>(
          "send_data", kSendData, "Spend sz of the window for a sent DATA frame; more than the window raises."),
  };
  d.slots = {py::slots::repr<flow_repr>()};
  return py::build_type(std::move(d));
}

// --- H2ContentLength --------------------------------------------------------

struct LengthObj {
  py::Mutex mu;
  h2::ContentLength v;
  explicit LengthObj(bool is_head) : v(is_head) {}
};

constexpr py::Sig kLengthCtor("H2ContentLength", "is_head=False");
constexpr py::Sig kLengthSet("H2ContentLength.set", "value");
constexpr py::Sig kLengthDec("H2ContentLength.dec", "len");

py::Ref length_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kLengthCtor>(args, nargs, kwnames);
  return py::make<LengthObj>(type, a.flag("is_head", false));
}

py::Ref length_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kLengthSet>(args, nargs, kwnames);
  const uint64_t value = a.u64("value");
  with_value<LengthObj>(self, [&](h2::ContentLength& c) { c.set(value); });
  return py::none();
}

py::Ref length_dec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kLengthDec>(args, nargs, kwnames);
  const uint64_t len = a.u64("len");
  return py::boolean(with_value<LengthObj>(self, [&](h2::ContentLength& c) { return c.dec(len); }));
}

py::Ref length_repr(PyObject* self) {
  auto c = with_value<LengthObj>(self, [](h2::ContentLength& v) { return v; });
  switch (c.kind()) {
    case h2::ContentLength::Kind::Omitted:
      return py::ascii_str("H2ContentLength(Omitted)");
    case h2::ContentLength::Kind::Head:
      return py::ascii_str("H2ContentLength(Head)");
    case h2::ContentLength::Kind::Remaining:
      break;
  }
  return py::ascii_str("H2ContentLength(Remaining(" + std::to_string(c.remaining()) + "))");
}

PyTypeObject* build_length() {
  py::TypeDef d = py::type_def<LengthObj>(
      "H2ContentLength",
      "The content-length tracker of a received HTTP/2 body: Omitted, Head (a response\n"
      "to HEAD: the body must be empty) or Remaining(n).");
  py::set_ctor<length_new>(d, kLengthCtor);
  d.methods = {
      py::noargs<value_call<LengthObj, &h2::ContentLength::is_head>>("is_head",
                                                                     "The tracker belongs to a response to HEAD."),
      py::method<length_set>("set", kLengthSet, "Record the declared length (a Head tracker stays Head)."),
      py::method<length_dec>("dec", kLengthDec,
                             "Count len received payload bytes; False (unchanged) when they are too many."),
      py::noargs<value_call<LengthObj, &h2::ContentLength::is_satisfied>>("is_satisfied",
                                                                          "No declared byte is still missing."),
  };
  d.slots = {py::slots::repr<length_repr>()};
  return py::build_type(std::move(d));
}

// --- H2DataFrameBudget ------------------------------------------------------

struct BudgetObj {
  py::Mutex mu;
  h2::DataFrameBudget v;
  BudgetObj(std::optional<uint64_t> configured, std::optional<uint32_t> window) : v(configured, window) {}
};

constexpr py::Sig kBudgetCtor("H2DataFrameBudget", "configured=None, connection_window=None");
constexpr py::Sig kBudgetRecord("H2DataFrameBudget.record", "payload_len");
constexpr py::Sig kBudgetRelease("H2DataFrameBudget.release", "charge");

py::Ref budget_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kBudgetCtor>(args, nargs, kwnames);
  return py::make<BudgetObj>(type, arg_opt_u64(a.arg("configured")), arg_opt_u32(a.arg("connection_window")));
}

py::Ref budget_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kBudgetRecord>(args, nargs, kwnames);
  const uint64_t len = a.u64("payload_len");
  return py::uinteger(with_value<BudgetObj>(self, [&](h2::DataFrameBudget& b) { return b.record(len); }));
}

py::Ref budget_release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kBudgetRelease>(args, nargs, kwnames);
  const uint64_t charge = a.u64("charge");
  with_value<BudgetObj>(self, [&](h2::DataFrameBudget& b) { b.release(charge); });
  return py::none();
}

py::Ref budget_repr(PyObject* self) {
  auto b = with_value<BudgetObj>(self, [](h2::DataFrameBudget& v) { return v; });
  return py::ascii_str("H2DataFrameBudget(available=" + std::to_string(b.available()) +
                       ", cap=" + std::to_string(b.cap()) + ", empty_frames=" + std::to_string(b.empty_frames()) +
                       ")");
}

PyTypeObject* build_budget() {
  py::TypeDef d = py::type_def<BudgetObj>(
      "H2DataFrameBudget",
      "The connection's DATA-framing budget: small non-final DATA frames are charged the\n"
      "overhead they impose, large ones earn budget back, and empty ones are capped.");
  py::set_ctor<budget_new>(d, kBudgetCtor);
  d.methods = {
      py::method<budget_record>("record", kBudgetRecord,
                                "Charge one non-final DATA frame; returns the charge. Raises\n"
                                "H2ProtocolError(11, \"too_many_data_frames\") past the budget."),
      py::method<budget_release>("release", kBudgetRelease, "Give a consumed frame's charge back."),
  };
  d.getters = {
      py::property<value_call<BudgetObj, &h2::DataFrameBudget::available>>(
          "available", "The budget currently available (tests / diagnostics)."),
      py::property<value_call<BudgetObj, &h2::DataFrameBudget::empty_frames>>(
          "empty_frames", "Empty non-final DATA frames received over the connection's lifetime (capped)."),
  };
  d.slots = {py::slots::repr<budget_repr>()};
  return py::build_type(std::move(d));
}

// --- H2Stopped --------------------------------------------------------------

py::Ref stopped_reason(PyObject* self) {
  const h2::Stop& s = py::unbox<h2::Stop>(self);
  return s.reason ? py::uinteger(*s.reason) : py::none();
}
py::Ref stopped_conn(PyObject* self) { return py::boolean(py::unbox<h2::Stop>(self).conn); }
py::Ref stopped_repr(PyObject* self) {
  const h2::Stop& s = py::unbox<h2::Stop>(self);
  return py::ascii_str("H2Stopped(reason=" + (s.reason ? std::to_string(*s.reason) : std::string("None")) +
                       ", conn=" + (s.conn ? "True" : "False") + ")");
}

PyTypeObject* build_stopped() {
  py::TypeDef d = py::type_def<h2::Stop>(
      "H2Stopped",
      "Why a stream stopped: reason is the RST_STREAM or GOAWAY code (or None), conn tells\n"
      "that a connection-level error applies. Neither: a local cancel.",
      py::kNoConstructor);
  d.getters = {
      py::property<stopped_reason>("reason", "The RST_STREAM or GOAWAY code, or None."),
      py::property<stopped_conn>("conn", "A connection-level error applies."),
  };
  d.slots = {py::slots::repr<stopped_repr>()};
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* h2_reason_type() { return py::cached_type<build_reason>(); }
PyTypeObject* h2_stream_state_type() { return py::cached_type<build_state>(); }
PyTypeObject* h2_flow_control_type() { return py::cached_type<build_flow>(); }
PyTypeObject* h2_content_length_type() { return py::cached_type<build_length>(); }
PyTypeObject* h2_data_frame_budget_type() { return py::cached_type<build_budget>(); }
PyTypeObject* h2_stopped_type() { return py::cached_type<build_stopped>(); }

py::Ref h2_stopped(const h2::Stop& stop) { return py::make<h2::Stop>(h2_stopped_type(), stop); }

}  // namespace quillon::bind
