// HTTP/2 flags, kinds, protocol defaults and abuse limits that the drivers
// see as module constants. Each has one source here; the module publishes
// the tables at the bottom under their H2_ names.
#pragma once

#include <cstdint>
#include <string_view>

#include "http/preface.hpp"

namespace quillon::h2 {

// Bits of the flag sets the connection object returns.
enum Flag : uint32_t {
  kFlagWake = 1,            // the pending-send buffer grew: run the write pump
  kFlagSlotFreed = 2,       // a stream slot came free: wake a waiting opener
  kFlagConnDone = 4,        // the connection is finished
  kFlagStopAccepting = 8,   // graceful shutdown: no stream left to wait for
};

// What a received HEADERS frame turned out to be.
enum class HeadersKind : uint8_t {
  Ignored = 0,   // on a stream we no longer track
  Opened = 1,    // a new peer stream (server role)
  Head = 2,      // a response head (client role)
  Trailers = 3,  // a trailer block ending the stream
};

// Protocol defaults (RFC 9113 section 6.5.2) and the largest values the wire
// format allows.
inline constexpr uint32_t kDefaultHeaderTableSize = 4096;
inline constexpr uint32_t kDefaultInitialWindowSize = 65535;
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
inline constexpr uint32_t kMaxMaxFrameSize = 16777215;  // 2^24-1: the frame length field
inline constexpr uint32_t kMaxStreamId = 2147483647;    // 2^31-1: the stream id field

// DATA-fragmentation abuse: a DATA frame whose payload is below this many
// bytes costs its sender little and us a frame's worth of work, so it is
// charged against a budget that only sizeable frames replenish.
inline constexpr uint32_t kDefaultDataFrameOverheadThreshold = 256;
// The budget's floor: a hundred minimum-overhead frames' worth.
inline constexpr uint32_t kDefaultDataFrameBudget = 25600;
// Empty non-final DATA frames carry nothing at all; a peer gets this many
// over the connection's life before it is treated as an attack.
inline constexpr uint32_t kMaxRecvEmptyDataFrames = 100;

inline constexpr std::string_view kPreface = http::kH2Preface;

struct NamedValue {
  const char* name;
  long long value;
};

// Published in this order.
inline constexpr NamedValue kFlagsAndKinds[] = {
    {"H2_FLAG_WAKE", kFlagWake},
    {"H2_FLAG_SLOT_FREED", kFlagSlotFreed},
    {"H2_FLAG_CONN_DONE", kFlagConnDone},
    {"H2_FLAG_STOP_ACCEPTING", kFlagStopAccepting},
    {"H2_HEADERS_IGNORED", int(HeadersKind::Ignored)},
    {"H2_HEADERS_OPENED", int(HeadersKind::Opened)},
    {"H2_HEADERS_HEAD", int(HeadersKind::Head)},
    {"H2_HEADERS_TRAILERS", int(HeadersKind::Trailers)},
};

inline constexpr NamedValue kLimits[] = {
    {"H2_DEFAULT_HEADER_TABLE_SIZE", kDefaultHeaderTableSize},
    {"H2_DEFAULT_INITIAL_WINDOW_SIZE", kDefaultInitialWindowSize},
    {"H2_DEFAULT_MAX_FRAME_SIZE", kDefaultMaxFrameSize},
    {"H2_MAX_MAX_FRAME_SIZE", kMaxMaxFrameSize},
    {"H2_MAX_STREAM_ID", kMaxStreamId},
    {"H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", kDefaultDataFrameOverheadThreshold},
    {"H2_DEFAULT_DATA_FRAME_BUDGET", kDefaultDataFrameBudget},
    {"H2_MAX_RECV_EMPTY_DATA_FRAMES", kMaxRecvEmptyDataFrames},
};

}  // namespace quillon::h2
