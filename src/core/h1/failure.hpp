// An HTTP/1 failure as the core records it: a kind, a sub-kind for parse and
// user failures, and an optional chain of causes. No exception object exists
// until the binding layer raises it, so failures that are caught and handled
// inside the core cost nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillon::h1 {

enum class ParseKind : uint8_t {
  Method,
  Version,
  VersionH2,
  Uri,
  UriTooLong,
  HeaderToken,
  ContentLengthInvalid,
  TransferEncodingInvalid,
  TransferEncodingUnexpected,
  TransferEncodingUnsupported,
  HostInvalid,
  TooLarge,
  Status,
  Internal,
};

enum class UserKind : uint8_t {
  Body,
  BodyWriteAborted,
  Service,
  UnexpectedHeader,
  UnsupportedStatusCode,
  NoUpgrade,
  ManualUpgrade,
  DispatchGone,
};

enum class FailureKind : uint8_t {
  Parse,
  User,
  IncompleteMessage,
  UnexpectedMessage,
  Body,
  TransportIo,
  Shutdown,
  Canceled,
  ChannelClosed,
  HeaderReadTimeout,
  BodyWrite,
};

// I/O error kinds a cause may carry; None means the cause is not a
// transport-style error.
enum class IoKind : uint8_t {
  None,
  UnexpectedEof,
  InvalidInput,
  InvalidData,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  TimedOut,
  Other,
};

struct Cause {
  std::string text;
  IoKind io = IoKind::None;
  std::unique_ptr<Cause> next;
};

struct Failure {
  FailureKind kind = FailureKind::Parse;
  uint8_t sub = 0;  // ParseKind or UserKind for those two kinds
  std::unique_ptr<Cause> cause;

  static Failure parse(ParseKind k) { return Failure{FailureKind::Parse, static_cast<uint8_t>(k), nullptr}; }
  static Failure user(UserKind k, std::string detail = {}) {
    Failure f{FailureKind::User, static_cast<uint8_t>(k), nullptr};
    if (!detail.empty()) f.cause = std::make_unique<Cause>(Cause{std::move(detail), IoKind::None, nullptr});
    return f;
  }
  static Failure body(IoKind io, std::string text) {
    Failure f{FailureKind::Body, 0, nullptr};
    f.cause = std::make_unique<Cause>(Cause{std::move(text), io, nullptr});
    return f;
  }
};

// Fixed texts (the message before ": cause").
const char* parse_kind_name(ParseKind k);         // "header_token"
const char* parse_kind_description(ParseKind k);  // "invalid HTTP header parsed"
const char* user_kind_name(UserKind k);
const char* user_kind_description(UserKind k);
const char* failure_description(const Failure& f);
// "UnexpectedEof" for IoKind::UnexpectedEof, ...
const char* io_kind_camel(IoKind k);
// The failure's full message: description, then ": " and the cause text.
std::string failure_message(const Failure& f);
// The io_kind of a body failure: the first transport-style cause's kind in
// snake case, or "other".
std::string failure_io_kind(const Failure& f);

}  // namespace quillon::h1
