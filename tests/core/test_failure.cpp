// HTTP/1 failure texts: the kind strings and messages end up verbatim in
// exception arguments, so they are checked word for word.
#include <memory>
#include <string>

#include "check.hpp"
#include "h1/failure.hpp"

using namespace quillon::h1;

namespace {

std::unique_ptr<Cause> cause(std::string text, IoKind io, std::unique_ptr<Cause> next = nullptr) {
  return std::make_unique<Cause>(Cause{std::move(text), io, std::move(next)});
}

}  // namespace

TEST_CASE("failure: parse and user kinds map to their names and texts") {
  struct P {
    ParseKind k;
    const char* name;
    const char* text;
  };
  const P parse[] = {
      {ParseKind::Method, "method", "invalid HTTP method parsed"},
      {ParseKind::Version, "version", "invalid HTTP version parsed"},
      {ParseKind::VersionH2, "version_h2", "invalid HTTP version parsed (found HTTP2 preface)"},
      {ParseKind::Uri, "uri", "invalid URI"},
      {ParseKind::UriTooLong, "uri_too_long", "URI too long"},
      {ParseKind::HeaderToken, "header_token", "invalid HTTP header parsed"},
      {ParseKind::ContentLengthInvalid, "header_content_length_invalid", "invalid content-length parsed"},
      {ParseKind::TransferEncodingInvalid, "header_transfer_encoding_invalid", "invalid transfer-encoding parsed"},
      {ParseKind::TransferEncodingUnexpected, "header_transfer_encoding_unexpected",
       "unexpected transfer-encoding parsed"},
      {ParseKind::TooLarge, "too_large", "message head is too large"},
      {ParseKind::Status, "status", "invalid HTTP status-code parsed"},
      {ParseKind::Internal, "internal", "internal error inside Vireo and/or its dependencies, please report"},
  };
  for (const P& p : parse) {
    CHECK_EQ(std::string(parse_kind_name(p.k)), p.name);
    CHECK_EQ(std::string(parse_kind_description(p.k)), p.text);
    CHECK_EQ(failure_message(Failure::parse(p.k)), p.text);
  }
  struct U {
    UserKind k;
    const char* name;
    const char* text;
  };
  const U user[] = {
      {UserKind::Body, "body", "error from user's Body stream"},
      {UserKind::BodyWriteAborted, "body_write_aborted", "user body write aborted"},
      {UserKind::Service, "service", "error from user's Service"},
      {UserKind::UnexpectedHeader, "unexpected_header", "user sent unexpected header"},
      {UserKind::UnsupportedStatusCode, "unsupported_status_code",
       "response has 1xx status code, not supported by server"},
      {UserKind::NoUpgrade, "no_upgrade", "no upgrade available"},
      {UserKind::ManualUpgrade, "manual_upgrade", "upgrade expected but low level API in use"},
      {UserKind::DispatchGone, "dispatch_gone", "dispatch task is gone"},
  };
  for (const U& u : user) {
    CHECK_EQ(std::string(user_kind_name(u.k)), u.name);
    CHECK_EQ(std::string(user_kind_description(u.k)), u.text);
    CHECK_EQ(failure_message(Failure::user(u.k)), u.text);
    CHECK_EQ(failure_message(Failure::user(u.k, "detail")), std::string(u.text) + ": detail");
  }
  // A corrupted sub-kind reads no table out of bounds.
  Failure bad{FailureKind::Parse, 200, nullptr};
  CHECK_EQ(failure_message(bad), std::string(parse_kind_description(ParseKind::Internal)));
  bad.kind = FailureKind::User;
  CHECK_EQ(failure_message(bad), std::string(parse_kind_description(ParseKind::Internal)));
}

TEST_CASE("failure: other kinds' messages, with and without a cause") {
  struct K {
    FailureKind k;
    const char* text;
  };
  const K kinds[] = {
      {FailureKind::IncompleteMessage, "connection closed before message completed"},
      {FailureKind::UnexpectedMessage, "received unexpected message from connection"},
      {FailureKind::Body, "error reading a body from connection"},
      {FailureKind::TransportIo, "connection error"},
      {FailureKind::Shutdown, "error shutting down connection"},
      {FailureKind::Canceled, "operation was canceled"},
      {FailureKind::ChannelClosed, "channel closed"},
      {FailureKind::HeaderReadTimeout, "read header from client timeout"},
      {FailureKind::BodyWrite, "error writing a body to connection"},
  };
  for (const K& k : kinds) {
    Failure f{k.k, 0, nullptr};
    CHECK_EQ(std::string(failure_description(f)), k.text);
    CHECK_EQ(failure_message(f), k.text);
    // Only the direct cause's text is appended, not the rest of the chain.
    f.cause = cause("outer", IoKind::None, cause("inner", IoKind::BrokenPipe));
    CHECK_EQ(failure_message(f), std::string(k.text) + ": outer");
  }
}

TEST_CASE("failure: io_kind comes from the first I/O link of the chain") {
  struct C {
    IoKind io;
    const char* camel;
    const char* snake;
  };
  const C rows[] = {
      {IoKind::UnexpectedEof, "UnexpectedEof", "unexpected_eof"},
      {IoKind::InvalidInput, "InvalidInput", "invalid_input"},
      {IoKind::InvalidData, "InvalidData", "invalid_data"},
      {IoKind::ConnectionReset, "ConnectionReset", "connection_reset"},
      {IoKind::ConnectionAborted, "ConnectionAborted", "connection_aborted"},
      {IoKind::BrokenPipe, "BrokenPipe", "broken_pipe"},
      {IoKind::TimedOut, "TimedOut", "timed_out"},
      {IoKind::Other, "Other", "other"},
  };
  for (const C& r : rows) {
    CHECK_EQ(std::string(io_kind_camel(r.io)), r.camel);
    CHECK_EQ(failure_io_kind(Failure::body(r.io, "x")), r.snake);
    // Behind non-I/O links, and ahead of a later I/O link.
    Failure f{FailureKind::Body, 0, cause("a", IoKind::None, cause("b", IoKind::None, cause("c", r.io)))};
    f.cause->next->next->next = cause("d", IoKind::TimedOut);
    CHECK_EQ(failure_io_kind(f), r.snake);
  }
  Failure none{FailureKind::Body, 0, cause("a", IoKind::None, cause("b", IoKind::None))};
  CHECK_EQ(failure_io_kind(none), "other");
  CHECK_EQ(failure_io_kind(Failure{FailureKind::Body, 0, nullptr}), "other");

  Failure eof = Failure::body(IoKind::UnexpectedEof, "end of file before message length reached");
  CHECK_EQ(failure_message(eof), "error reading a body from connection: end of file before message length reached");
}
