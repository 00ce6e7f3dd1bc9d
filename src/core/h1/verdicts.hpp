// The integer codes the HTTP/1 connection states hand their drivers. The
// module publishes each under its H1_ name from the tables at the bottom, so
// a code has one source: the enumerator.
#pragma once

#include <cstdint>

namespace quillon::h1 {

// What an idle-watcher completion means to the client state.
enum class Watch : uint8_t {
  Handoff = 0,    // an exchange is active: it takes the bytes or error
  IdleEof = 1,    // the server closed an idle connection
  IdleBytes = 2,  // the server wrote outside any response
  IdleError = 3,  // the idle read failed
  Ignored = 4,    // a racing close already committed
};

// Where the server connection stands before the next request. One code
// space: the Next group says what to do instead of reading a head, the Read
// group where the head comes from. They never overlap, so a driver can
// dispatch on one integer.
enum class Next : uint8_t {
  None = 0,
  Raise = 1,
  Close = 2,
  Drain = 3,
  ReadParse = 4,
  ReadShutdown = 5,
  ReadWatcher = 6,
  ReadTransport = 7,
  ReadEof = 8,
};

// The claim verdicts of the server's response and hand-off.
enum class Req : uint8_t {
  Ok = 0,
  Already = 1,
  Stale = 2,
  Parked = 3,
  PeerClosed = 4,
  Continue = 5,
};

struct NamedCode {
  const char* name;
  int value;
};

inline constexpr NamedCode kWatchCodes[] = {
    {"H1_WATCH_HANDOFF", int(Watch::Handoff)},       {"H1_WATCH_IDLE_EOF", int(Watch::IdleEof)},
    {"H1_WATCH_IDLE_BYTES", int(Watch::IdleBytes)}, {"H1_WATCH_IDLE_ERROR", int(Watch::IdleError)},
    {"H1_WATCH_IGNORED", int(Watch::Ignored)},
};

// Published as one table, in this order.
inline constexpr NamedCode kServerCodes[] = {
    {"H1_NEXT_NONE", int(Next::None)},
    {"H1_NEXT_RAISE", int(Next::Raise)},
    {"H1_NEXT_CLOSE", int(Next::Close)},
    {"H1_NEXT_DRAIN", int(Next::Drain)},
    {"H1_READ_PARSE", int(Next::ReadParse)},
    {"H1_READ_SHUTDOWN", int(Next::ReadShutdown)},
    {"H1_READ_WATCHER", int(Next::ReadWatcher)},
    {"H1_READ_TRANSPORT", int(Next::ReadTransport)},
    {"H1_READ_EOF", int(Next::ReadEof)},
    {"H1_REQ_OK", int(Req::Ok)},
    {"H1_REQ_ALREADY", int(Req::Already)},
    {"H1_REQ_STALE", int(Req::Stale)},
    {"H1_REQ_PARKED", int(Req::Parked)},
    {"H1_REQ_PEER_CLOSED", int(Req::PeerClosed)},
    {"H1_REQ_CONTINUE", int(Req::Continue)},
};

}  // namespace quillon::h1
