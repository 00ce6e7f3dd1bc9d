// Fixed texts of HTTP/1 failures and the two derived strings (message and
// io_kind) the binding layer puts into exception arguments. Everything here
// is a table lookup; a sub-kind byte outside its enum (a corrupted record)
// degrades to the "internal" texts rather than reading past a table.
#include "h1/failure.hpp"

#include <cstddef>
#include <iterator>

namespace quillon::h1 {
namespace {

struct KindText {
  const char* name;
  const char* description;
};

// Indexed by ParseKind.
constexpr KindText kParseTexts[] = {
    {"method", "invalid HTTP method parsed"},
    {"version", "invalid HTTP version parsed"},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)"},
    {"uri", "invalid URI"},
    {"uri_too_long", "URI too long"},
    {"header_token", "invalid HTTP header parsed"},
    {"header_content_length_invalid", "invalid content-length parsed"},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed"},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed"},
    {"header_transfer_encoding_unsupported", "unsupported transfer-encoding parsed"},
    {"header_host_invalid", "missing or repeated host header"},
    {"too_large", "message head is too large"},
    {"status", "invalid HTTP status-code parsed"},
    // Kept exactly as published, foreign name and all: callers match on it.
    {"internal", "internal error inside Vireo and/or its dependencies, please report"},
};
static_assert(std::size(kParseTexts) == static_cast<size_t>(ParseKind::Internal) + 1);

// Indexed by UserKind.
constexpr KindText kUserTexts[] = {
    {"body", "error from user's Body stream"},
    {"body_write_aborted", "user body write aborted"},
    {"service", "error from user's Service"},
    {"unexpected_header", "user sent unexpected header"},
    {"unsupported_status_code", "response has 1xx status code, not supported by server"},
    {"no_upgrade", "no upgrade available"},
    {"manual_upgrade", "upgrade expected but low level API in use"},
    {"dispatch_gone", "dispatch task is gone"},
};
static_assert(std::size(kUserTexts) == static_cast<size_t>(UserKind::DispatchGone) + 1);

// Indexed by FailureKind; Parse and User are resolved through their sub-kind.
constexpr const char* kFailureTexts[] = {
    nullptr,  // Parse
    nullptr,  // User
    "connection closed before message completed",
    "received unexpected message from connection",
    "error reading a body from connection",
    "connection error",
    "error shutting down connection",
    "operation was canceled",
    "channel closed",
    "read header from client timeout",
    "error writing a body to connection",
};
static_assert(std::size(kFailureTexts) == static_cast<size_t>(FailureKind::BodyWrite) + 1);

// Indexed by IoKind; None has no name.
constexpr const char* kIoCamel[] = {
    "",
    "UnexpectedEof",
    "InvalidInput",
    "InvalidData",
    "ConnectionReset",
    "ConnectionAborted",
    "BrokenPipe",
    "TimedOut",
    "Other",
};
static_assert(std::size(kIoCamel) == static_cast<size_t>(IoKind::Other) + 1);

const KindText& parse_text(uint8_t k) {
  return kParseTexts[k < std::size(kParseTexts) ? k : static_cast<size_t>(ParseKind::Internal)];
}

const KindText& user_text(uint8_t k) {
  // An unknown user sub-kind has no honest user text; report it as ours.
  static constexpr KindText kUnknown = kParseTexts[static_cast<size_t>(ParseKind::Internal)];
  return k < std::size(kUserTexts) ? kUserTexts[k] : kUnknown;
}

}  // namespace

const char* parse_kind_name(ParseKind k) { return parse_text(static_cast<uint8_t>(k)).name; }

const char* parse_kind_description(ParseKind k) {
  return parse_text(static_cast<uint8_t>(k)).description;
}

const char* user_kind_name(UserKind k) { return user_text(static_cast<uint8_t>(k)).name; }

const char* user_kind_description(UserKind k) {
  return user_text(static_cast<uint8_t>(k)).description;
}

// The fixed text a failure's message starts with: the sub-kind's text for
// parse and user failures, the kind's own text otherwise.
const char* failure_description(const Failure& f) {
  switch (f.kind) {
    case FailureKind::Parse:
      return parse_text(f.sub).description;
    case FailureKind::User:
      return user_text(f.sub).description;
    default:
      break;
  }
  size_t k = static_cast<size_t>(f.kind);
  if (k >= std::size(kFailureTexts)) return parse_text(static_cast<uint8_t>(ParseKind::Internal)).description;
  return kFailureTexts[k];
}

// CamelCase name of an I/O error kind; "" for IoKind::None (not an I/O error).
const char* io_kind_camel(IoKind k) {
  size_t i = static_cast<size_t>(k);
  return i < std::size(kIoCamel) ? kIoCamel[i] : "Other";
}

// The description alone, or "description: cause text" when the failure has a
// direct cause. Only the direct cause's text is used: a cause that wraps
// another already carries whatever of it it wants to show.
std::string failure_message(const Failure& f) {
  std::string out = failure_description(f);
  if (f.cause) {
    out += ": ";
    out += f.cause->text;
  }
  return out;
}

// Walks the cause chain from the direct cause; the first link carrying an
// I/O kind decides, spelled in snake case ("UnexpectedEof" ->
// "unexpected_eof"). "other" when no link carries one.
std::string failure_io_kind(const Failure& f) {
  for (const Cause* c = f.cause.get(); c != nullptr; c = c->next.get()) {
    if (c->io == IoKind::None) continue;
    std::string out;
    const char* camel = io_kind_camel(c->io);
    for (size_t i = 0; camel[i] != '\0'; ++i) {
      char ch = camel[i];
      if (ch >= 'A' && ch <= 'Z') {
        if (i != 0) out += '_';
        out += static_cast<char>(ch - 'A' + 'a');
      } else {
        out += ch;
      }
    }
    return out;
  }
  return "other";
}

}  // namespace quillon::h1
