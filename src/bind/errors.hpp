// The exception types of the module and the conversions that raise them.
// Failures are recorded as plain data (type + argument tuple) and only
// become host exception objects when raised, after every lock is released.
#pragma once

#include <string>
#include <vector>

#include "h1/failure.hpp"
#include "h2/frames.hpp"
#include "h2/stream_error.hpp"
#include "py.hpp"

namespace quillon::errors {

enum class Exc : int {
  QuillonError,
  ConnectionClosedError,
  H1Error,
  H1ParseError,
  H1BodyError,
  H1IncompleteMessageError,
  H1UnexpectedMessageError,
  H1UserError,
  H2Error,
  H2ProtocolError,
  H2StreamError,
  H2UserError,
  H2FlowControlError,
  Count,
};

// The exception type, created on first need and kept for the process.
PyObject* type(Exc e);
const char* type_name(Exc e);  // bare name, e.g. "H1ParseError"

// One element of an exception's argument tuple.
struct Arg {
  enum class Kind : unsigned char { Str, Int, None } kind;
  std::string s;
  long long i = 0;
  static Arg str(std::string v) { return Arg{Kind::Str, std::move(v), 0}; }
  static Arg integer(long long v) { return Arg{Kind::Int, {}, v}; }
  static Arg none() { return Arg{Kind::None, {}, 0}; }
};

// An exception of one of the module's types with its argument tuple.
class Raise : public py::Error {
 public:
  Raise(Exc type, std::vector<Arg> args) : type_(type), args_(std::move(args)) {}
  void set() const override;
  Exc exc() const { return type_; }
  const std::vector<Arg>& args() const { return args_; }

 private:
  Exc type_;
  std::vector<Arg> args_;
};

// Every HTTP/1 failure reaching the host goes through here.
Raise from_h1(const h1::Failure& f);

// Every HTTP/2 failure of the stream and connection core goes through here:
// a StreamError by its conversion table (Reset -> H2StreamError, GoAway ->
// H2ProtocolError with the code's description, Io -> ConnectionClosedError).
// A Value fault is the host's ValueError with the fault's message.
[[noreturn]] void raise_h2(const h2::Fault& f);

// Runs a core step and raises a Fault escaping it as its exception.
template <class F>
decltype(auto) h2_call(F&& f) {
  try {
    return f();
  } catch (const h2::Fault& fault) {
    raise_h2(fault);
  }
}

// HTTP/2 constructors.
Raise h2_protocol(long long reason, std::string message);
Raise h2_stream(long long stream_id, long long reason, const char* initiator);
Raise h2_library_reset(long long stream_id, long long reason);
Raise h2_too_many_data_frames();
Raise h2_flow_control();
// `kind` is one of the fixed H2UserError kinds; its message comes from the table.
Raise h2_user(h2::UserKind kind);
Raise h2_user(h2::UserKind kind, std::string message);
Raise connection_closed(std::string message = "connection closed");

}  // namespace quillon::errors
