#include "errors.hpp"


namespace quillon::errors {

namespace {

struct TypeInfo {
  const char* name;
  int base;  // index into the table, -1 for the host's Exception
  const char* doc;
};

constexpr int kException = -1;

const TypeInfo kTypes[] = {
    {"QuillonError", kException,
     "Base of every error of the module, HTTP/1 and HTTP/2. Never raised by the module itself;\n"
     "the argument tuple is set by the subclass."},
    {"ConnectionClosedError", 0,
     "The transport failed (reset, I/O error) with work still in flight: a transport failure,\n"
     "not a protocol violation, and not the HTTP state noticing an end-of-file.\n\n"
     "args: (message: str,)"},
    {"H1Error", 0,
     "Base of every HTTP/1 error; also raised directly for HTTP/1 failures without a more\n"
     "specific type (canceled operation, closed channel, header read timeout, body write).\n\n"
     "args: (message: str,)"},
    {"H1ParseError", 2,
     "A malformed HTTP/1 message head. A server records the automatic error status (400, 414,\n"
     "431 or 501) on the codec and answers it; a client caller sees this for a malformed response.\n\n"
     "args: (kind: str, message: str)"},
    {"H1BodyError", 2,
     "An HTTP/1 body that could not be decoded: a framing error, or the transport closing before\n"
     "the body was complete; io_kind tells them apart (\"unexpected_eof\", \"invalid_input\",\n"
     "\"invalid_data\", \"other\").\n\n"
     "args: (io_kind: str, message: str)"},
    {"H1IncompleteMessageError", 2,
     "The connection closed while an HTTP/1 message was still expected or being written. Not a\n"
     "ConnectionClosedError: it is the HTTP state noticing the cut, not a transport failure.\n\n"
     "args: (message: str,)"},
    {"H1UnexpectedMessageError", 2,
     "The peer sent bytes when none were expected (a server writing on an idle client\n"
     "connection), which poisons the connection.\n\n"
     "args: (message: str,)"},
    {"H1UserError", 2,
     "Local misuse detected on the HTTP/1 wire path (a body ended short of its declared length,\n"
     "conflicting framing headers, an unsupported informational status); the connection closes.\n\n"
     "args: (kind: str, message: str)"},
    {"H2Error", 0, "Base of every HTTP/2 protocol error. Never raised directly."},
    {"H2ProtocolError", 8,
     "A connection-level HTTP/2 protocol violation: the connection answers with GOAWAY.\n\n"
     "args: (reason: int | None, message: str)"},
    {"H2StreamError", 8,
     "A stream-level HTTP/2 protocol violation: the stream is reset with RST_STREAM and the\n"
     "connection survives. initiator is \"user\", \"library\" or \"remote\".\n\n"
     "args: (stream_id: int, reason: int, initiator: str)"},
    {"H2UserError", 8,
     "Local misuse of the HTTP/2 API by the caller; the connection and stream stay usable.\n\n"
     "args: (kind: str, message: str)"},
    {"H2FlowControlError", 8,
     "An HTTP/2 flow-control window overflow or underflow.\n\n"
     "args: (reason: int,)  (always 3, FLOW_CONTROL_ERROR)"},
};
static_assert(sizeof(kTypes) / sizeof(kTypes[0]) == static_cast<size_t>(Exc::Count));

PyObject* g_types[static_cast<int>(Exc::Count)] = {};

}  // namespace

PyObject* type(Exc e) {
  int i = static_cast<int>(e);
  if (!g_types[i]) {
    const TypeInfo& t = kTypes[i];
    PyObject* base = t.base == kException ? PyExc_Exception : type(static_cast<Exc>(t.base));
    if (!base) return nullptr;
    std::string name = std::string("_quillon.") + t.name;
    g_types[i] = PyErr_NewExceptionWithDoc(name.c_str(), t.doc, base, nullptr);
  }
  return g_types[i];
}

const char* type_name(Exc e) { return kTypes[static_cast<int>(e)].name; }

void Raise::set() const {
  PyObject* t = type(type_);
  if (!t) return;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(args_.size()));
  if (!tuple) return;
  for (size_t i = 0; i < args_.size(); ++i) {
    const Arg& a = args_[i];
    PyObject* v = nullptr;
    switch (a.kind) {
      case Arg::Kind::Str:
        v = PyUnicode_DecodeUTF8(a.s.data(), static_cast<Py_ssize_t>(a.s.size()), "replace");
        break;
      case Arg::Kind::Int:
        v = PyLong_FromLongLong(a.i);
        break;
      case Arg::Kind::None:
        v = Py_NewRef(Py_None);
        break;
    }
    if (!v) {
      Py_DECREF(tuple);
      return;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), v);
  }
  PyObject* exc = PyObject_Call(t, tuple, nullptr);
  Py_DECREF(tuple);
  if (!exc) return;
  PyErr_SetObject(t, exc);
  Py_DECREF(exc);
}

Raise from_h1(const h1::Failure& f) {
  using h1::FailureKind;
  std::string message = h1::failure_message(f);
  switch (f.kind) {
    case FailureKind::Parse:
      return Raise(Exc::H1ParseError,
                   {Arg::str(h1::parse_kind_name(static_cast<h1::ParseKind>(f.sub))), Arg::str(std::move(message))});
    case FailureKind::User:
      return Raise(Exc::H1UserError,
                   {Arg::str(h1::user_kind_name(static_cast<h1::UserKind>(f.sub))), Arg::str(std::move(message))});
    case FailureKind::IncompleteMessage:
      return Raise(Exc::H1IncompleteMessageError, {Arg::str(std::move(message))});
    case FailureKind::UnexpectedMessage:
      return Raise(Exc::H1UnexpectedMessageError, {Arg::str(std::move(message))});
    case FailureKind::Body:
      return Raise(Exc::H1BodyError, {Arg::str(h1::failure_io_kind(f)), Arg::str(std::move(message))});
    case FailureKind::TransportIo:
    case FailureKind::Shutdown:
      return Raise(Exc::ConnectionClosedError, {Arg::str(std::move(message))});
    case FailureKind::Canceled:
    case FailureKind::ChannelClosed:
    case FailureKind::HeaderReadTimeout:
    case FailureKind::BodyWrite:
      break;
  }
  return Raise(Exc::H1Error, {Arg::str(std::move(message))});
}

Raise h2_protocol(long long reason, std::string message) {
  return Raise(Exc::H2ProtocolError, {Arg::integer(reason), Arg::str(std::move(message))});
}

Raise h2_stream(long long stream_id, long long reason, const char* initiator) {
  return Raise(Exc::H2StreamError, {Arg::integer(stream_id), Arg::integer(reason), Arg::str(initiator)});
}

Raise h2_library_reset(long long stream_id, long long reason) { return h2_stream(stream_id, reason, "library"); }

Raise h2_too_many_data_frames() { return h2_protocol(11, "too_many_data_frames"); }

Raise h2_flow_control() { return Raise(Exc::H2FlowControlError, {Arg::integer(3)}); }

Raise h2_user(h2::UserKind kind) { return h2_user(kind, h2::user_kind_text(kind)); }

Raise h2_user(h2::UserKind kind, std::string message) {
  return Raise(Exc::H2UserError, {Arg::str(h2::user_kind_name(kind)), Arg::str(std::move(message))});
}

void raise_h2(const h2::Fault& f) {
  using Kind = h2::Fault::Kind;
  switch (f.kind()) {
    case Kind::Protocol:
      throw h2_protocol(f.reason(), f.message());
    case Kind::User:
      if (f.message().empty()) throw h2_user(f.user_kind());
      throw h2_user(f.user_kind(), f.message());
    case Kind::FlowControl:
      throw h2_flow_control();
    case Kind::Value:
      throw py::value_error(f.message());
    case Kind::Stream:
      break;
    case Kind::None:
      py::fail_internal("HTTP/2 failure without a kind");
  }
  const h2::StreamError& e = f.error();
  switch (e.kind) {
    case h2::StreamError::Kind::Reset:
      throw h2_stream(e.stream_id, e.reason, h2::initiator_text(e.initiator));
    case h2::StreamError::Kind::GoAway:
      throw h2_protocol(e.reason, h2::reason_description(e.reason));
    case h2::StreamError::Kind::Io:
      break;
  }
  throw connection_closed(e.text.empty() ? h2::io_kind_text(e.io) : e.text);
}

Raise connection_closed(std::string message) {
  return Raise(Exc::ConnectionClosedError, {Arg::str(std::move(message))});
}


}  // namespace quillon::errors
