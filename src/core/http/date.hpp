// The per-thread Date clock: an IMF-fixdate rendered at most once per second
// per thread, shared by http_date() and every response encoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::http {

inline constexpr size_t kHttpDateLen = 29;

// Renders `unix_seconds` as "Sun, 06 Nov 1994 08:49:37 GMT" into out[29].
// False for instants outside 1970-01-01 .. 9999-12-31.
bool render_http_date(int64_t unix_seconds, char* out);

// The calling thread's current date value (29 bytes, not NUL-terminated),
// re-rendered first when the wall clock (CLOCK_REALTIME) shows a second other
// than the cached one; otherwise one clock read and one comparison. Null when
// the clock is outside the renderable range (an internal failure).
const char* current_http_date();

// The calling thread's cached value for `unix_seconds`, re-rendered when the
// cache shows a different second (in either direction: a wall clock stepped
// back never leaves a future date in place). current_http_date() is this
// with the wall clock's second; tests drive the cache through it. Null when
// the second is outside the renderable range (the cache is left untouched).
const char* cached_http_date(int64_t unix_seconds);

}  // namespace quillon::http
