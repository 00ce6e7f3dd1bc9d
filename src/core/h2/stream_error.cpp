#include "h2/stream_error.hpp"

#include <cstdio>

namespace quillon::h2 {

namespace {

struct ReasonRow {
  const char* name;
  const char* description;
};

constexpr ReasonRow kReasons[kNamedReasons] = {
    {"NO_ERROR", "not a result of an error"},
    {"PROTOCOL_ERROR", "unspecific protocol error detected"},
    {"INTERNAL_ERROR", "unexpected internal error encountered"},
    {"FLOW_CONTROL_ERROR", "flow-control protocol violated"},
    {"SETTINGS_TIMEOUT", "settings ACK not received in timely manner"},
    {"STREAM_CLOSED", "received frame when stream half-closed"},
    {"FRAME_SIZE_ERROR", "frame with invalid size"},
    {"REFUSED_STREAM", "refused stream before processing any application logic"},
    {"CANCEL", "stream no longer needed"},
    {"COMPRESSION_ERROR", "unable to maintain the header compression context"},
    {"CONNECT_ERROR", "connection established in response to a CONNECT request was reset or abnormally closed"},
    {"ENHANCE_YOUR_CALM", "detected excessive load generating behavior"},
    {"INADEQUATE_SECURITY", "security properties do not meet minimum requirements"},
    {"HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"},
};

// Bytes as a Python-style literal: printable ASCII as is, the rest escaped.
std::string bytes_literal(std::string_view b) {
  std::string out = "b\"";
  for (unsigned char c : b) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  out += '"';
  return out;
}

}  // namespace

namespace {

struct UserKindRow {
  const char* name;
  const char* text;
};
// In UserKind order.
constexpr UserKindRow kUserKinds[] = {
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
};
static_assert(sizeof kUserKinds / sizeof kUserKinds[0] == size_t(UserKind::InvalidInformationalStatusCode) + 1);

}  // namespace

const char* user_kind_name(UserKind k) { return kUserKinds[static_cast<size_t>(k)].name; }
const char* user_kind_text(UserKind k) { return kUserKinds[static_cast<size_t>(k)].text; }

const char* reason_name(uint32_t code) { return code < kNamedReasons ? kReasons[code].name : nullptr; }

const char* reason_description(uint32_t code) {
  return code < kNamedReasons ? kReasons[code].description : "unknown reason";
}

const char* initiator_text(Initiator i) {
  switch (i) {
    case Initiator::User:
      return "user";
    case Initiator::Library:
      return "library";
    case Initiator::Remote:
      return "remote";
  }
  return "library";
}

bool parse_initiator(std::string_view text, Initiator& out) {
  if (text == "user") {
    out = Initiator::User;
  } else if (text == "library") {
    out = Initiator::Library;
  } else if (text == "remote") {
    out = Initiator::Remote;
  } else {
    return false;
  }
  return true;
}

const char* io_kind_name(IoKind k) {
  switch (k) {
    case IoKind::BrokenPipe:
      return "BrokenPipe";
    case IoKind::ConnectionReset:
      return "ConnectionReset";
    case IoKind::UnexpectedEof:
      return "UnexpectedEof";
    case IoKind::Other:
      return "Other";
  }
  return "Other";
}

const char* io_kind_text(IoKind k) {
  switch (k) {
    case IoKind::BrokenPipe:
      return "broken pipe";
    case IoKind::ConnectionReset:
      return "connection reset";
    case IoKind::UnexpectedEof:
      return "unexpected end of file";
    case IoKind::Other:
      return "other error";
  }
  return "other error";
}

std::string render_reason(uint32_t code) {
  if (const char* name = reason_name(code)) return name;
  char buf[24];
  std::snprintf(buf, sizeof buf, "Reason(0x%x)", code);
  return buf;
}

std::string render(const StreamError& e) {
  auto initiator = [](Initiator i) -> const char* {
    switch (i) {
      case Initiator::User:
        return "User";
      case Initiator::Library:
        return "Library";
      case Initiator::Remote:
        return "Remote";
    }
    return "Library";
  };
  switch (e.kind) {
    case StreamError::Kind::Reset:
      return "Reset(" + std::to_string(e.stream_id) + ", " + render_reason(e.reason) + ", " +
             initiator(e.initiator) + ")";
    case StreamError::Kind::GoAway:
      return "GoAway(" + bytes_literal(e.text) + ", " + render_reason(e.reason) + ", " + initiator(e.initiator) +
             ")";
    case StreamError::Kind::Io:
      return std::string("Io(") + io_kind_name(e.io) + ", \"" + (e.text.empty() ? io_kind_text(e.io) : e.text) +
             "\")";
  }
  return "Io(Other)";
}

}  // namespace quillon::h2
