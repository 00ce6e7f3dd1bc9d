// HTTP/2 failures as the core records them. Two shapes:
//
//   StreamError  why a stream ended abnormally (RST_STREAM, GOAWAY or a dead
//                transport). It is state: a closed stream keeps one, and
//                readers and writers see it later.
//   Fault        a failure of the operation in progress, thrown out of the
//                core (under a lock is fine: it is plain data, marked
//                Planned so the object's mutex is not poisoned by it). The
//                binding turns it into an exception once, at the edge
//                (errors::from_h2).
//
// Error codes are raw u32 values everywhere (a peer may send any code); the
// named ones have the names and descriptions below.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sync.hpp"

namespace quillon::h2 {

// RFC 9113 section 7: the one code space (the frame engine's short names
// for the codes it produces are drawn from it).
enum class Reason : uint32_t {
  NoError = 0,
  ProtocolError = 1,
  InternalError = 2,
  FlowControlError = 3,
  SettingsTimeout = 4,
  StreamClosed = 5,
  FrameSizeError = 6,
  RefusedStream = 7,
  Cancel = 8,
  CompressionError = 9,
  ConnectError = 10,
  EnhanceYourCalm = 11,
  InadequateSecurity = 12,
  Http11Required = 13,
};
inline constexpr uint32_t kNamedReasons = 14;

inline constexpr uint32_t code(Reason r) { return static_cast<uint32_t>(r); }

// "CANCEL" for 8; nullptr for a code without a name.
const char* reason_name(uint32_t code);
// "stream no longer needed" for 8; "unknown reason" for a code without a name.
const char* reason_description(uint32_t code);

// H2UserError kinds: misuse of the HTTP/2 API by the caller. Each has a
// name (the exception's kind) and a fixed message, in one table.
enum class UserKind : uint8_t {
  InactiveStreamId,
  UnexpectedFrameType,
  PayloadTooBig,
  Rejected,
  ReleaseCapacityTooBig,
  OverflowedStreamId,
  MalformedHeaders,
  MissingUriSchemeAndAuthority,
  PollResetAfterSendResponse,
  SendPingWhilePending,
  SendSettingsWhilePending,
  PeerDisabledServerPush,
  InvalidInformationalStatusCode,
};
const char* user_kind_name(UserKind k);  // "malformed_headers"
const char* user_kind_text(UserKind k);  // "malformed headers"

// Who ended a stream.
enum class Initiator : uint8_t { User, Library, Remote };
const char* initiator_text(Initiator i);  // "user", "library", "remote"
// False for any text other than those three.
bool parse_initiator(std::string_view text, Initiator& out);

// The transport failures a stream can be closed by.
enum class IoKind : uint8_t { BrokenPipe, ConnectionReset, UnexpectedEof, Other };
const char* io_kind_name(IoKind k);  // "BrokenPipe": how the state renders it
const char* io_kind_text(IoKind k);  // "broken pipe": the message when none was given

struct StreamError {
  enum class Kind : uint8_t { Reset, GoAway, Io };
  Kind kind = Kind::Reset;
  Initiator initiator = Initiator::Library;  // Reset, GoAway
  IoKind io = IoKind::BrokenPipe;            // Io
  uint32_t stream_id = 0;                    // Reset
  uint32_t reason = 0;                       // Reset, GoAway
  std::string text;  // GoAway: debug data; Io: the message (empty: the kind's own text)

  static StreamError reset(uint32_t stream_id, uint32_t reason, Initiator by) {
    return StreamError{Kind::Reset, by, IoKind::BrokenPipe, stream_id, reason, {}};
  }
  static StreamError go_away(std::string debug, uint32_t reason, Initiator by) {
    return StreamError{Kind::GoAway, by, IoKind::BrokenPipe, 0, reason, std::move(debug)};
  }
  static StreamError io_error(IoKind k, std::string message) {
    return StreamError{Kind::Io, Initiator::Library, k, 0, 0, std::move(message)};
  }
  // What a stream becomes when the transport dies under it.
  static StreamError broken_pipe() { return io_error(IoKind::BrokenPipe, "stream closed because of a broken pipe"); }

  // A failure of our side: a transport failure, or a reset we (or our
  // caller) decided on.
  bool is_local() const { return kind == Kind::Io || initiator != Initiator::Remote; }
};

// "Reset(1, CANCEL, Remote)", "GoAway(b\"...\", NO_ERROR, Remote)",
// "Io(BrokenPipe, \"...\")": the form the stream state's rendering embeds.
std::string render(const StreamError& e);
// A code by name, or "Reason(0x1f)" for one without a name.
std::string render_reason(uint32_t code);

// The one record of an HTTP/2 failure. The frame engine returns it (empty
// when all went well); the connection throws it; the binding turns it into
// its exception once (errors.cpp).
class Fault : public sync::Planned {
 public:
  enum class Kind : uint8_t {
    None,         // no failure: what a successful engine step returns
    Protocol,     // H2ProtocolError(reason, message): fatal for the connection
    Stream,       // a StreamError, raised by its conversion table
    User,         // H2UserError(kind, fixed message)
    FlowControl,  // H2FlowControlError(3)
    Value,        // ValueError(message): a bad argument value
  };

  Fault() = default;
  explicit operator bool() const { return kind_ != Kind::None; }
  Kind kind() const { return kind_; }
  uint32_t reason() const { return reason_; }
  const std::string& message() const { return message_; }
  UserKind user_kind() const { return user_kind_; }
  const StreamError& error() const { return error_; }

  static Fault protocol(uint32_t reason, std::string message) {
    Fault f(Kind::Protocol);
    f.reason_ = reason;
    f.message_ = std::move(message);
    return f;
  }
  // A protocol error whose message is the code's description.
  static Fault protocol(Reason r) { return protocol(code(r), reason_description(code(r))); }
  static Fault stream(StreamError e) {
    Fault f(Kind::Stream);
    f.error_ = std::move(e);
    return f;
  }
  // This system resets the stream because the peer broke a stream-level rule.
  static Fault library_reset(uint32_t stream_id, Reason r) {
    return stream(StreamError::reset(stream_id, code(r), Initiator::Library));
  }
  // A message given here replaces the kind's fixed one.
  static Fault user(UserKind kind, std::string message = {}) {
    Fault f(Kind::User);
    f.user_kind_ = kind;
    f.message_ = std::move(message);
    return f;
  }
  static Fault flow_control() { return Fault(Kind::FlowControl); }
  static Fault value(std::string message) {
    Fault f(Kind::Value);
    f.message_ = std::move(message);
    return f;
  }

 private:
  explicit Fault(Kind k) : kind_(k) {}
  Kind kind_ = Kind::None;
  uint32_t reason_ = 0;
  UserKind user_kind_ = UserKind::Rejected;
  std::string message_;
  StreamError error_;
};

// The two faults every stream-state rule raises.
inline Fault unexpected_frame_type() { return Fault::user(UserKind::UnexpectedFrameType); }
inline Fault state_protocol_error() { return Fault::protocol(Reason::ProtocolError); }

}  // namespace quillon::h2
