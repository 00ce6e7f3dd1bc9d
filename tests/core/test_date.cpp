#include <time.h>

#include <string>
#include <thread>

#include "check.hpp"
#include "http/date.hpp"

using namespace quillon::http;

namespace {

std::string render(int64_t t) {
  char buf[kHttpDateLen];
  if (!render_http_date(t, buf)) return "<refused>";
  return std::string(buf, kHttpDateLen);
}

// Independent reference: the C library's UTC breakdown with fixed English
// names (only the calendar fields are taken from it).
std::string reference(int64_t t) {
  static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  gmtime_r(&tt, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
           months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace

TEST_CASE("date: known instants") {
  struct {
    int64_t t;
    const char* want;
  } rows[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},   // leap day of a 400-year leap year
      {1709164800, "Thu, 29 Feb 2024 00:00:00 GMT"},
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},  // 2100 is not a leap year
      {4107542399, "Sun, 28 Feb 2100 23:59:59 GMT"},
      {2147483647, "Tue, 19 Jan 2038 03:14:07 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const auto& r : rows) {
    if (render(r.t) != r.want)
      qtest::fail(__FILE__, __LINE__, "render(" + std::to_string(r.t) + ") = " + render(r.t));
  }
}

TEST_CASE("date: out of range instants are refused") {
  char buf[kHttpDateLen] = {};
  CHECK(!render_http_date(-1, buf));
  CHECK(!render_http_date(253402300800, buf));
  CHECK(!render_http_date(INT64_MIN, buf));
  CHECK(!render_http_date(INT64_MAX, buf));
  CHECK(cached_http_date(-1) == nullptr);
}

TEST_CASE("date: agrees with the C library across the whole range") {
  // A stride that is coprime with 86400 walks every time of day and every
  // calendar situation over the years 1970..9999.
  const int64_t stride = 86400LL * 365 / 7 + 12347;
  int mismatches = 0;
  for (int64_t t = 0; t <= 253402300799; t += stride) {
    if (render(t) != reference(t) && ++mismatches < 5)
      qtest::fail(__FILE__, __LINE__, "mismatch at " + std::to_string(t) + ": " + render(t));
  }
  CHECK_EQ(mismatches, 0);
}

TEST_CASE("date: cache re-renders exactly when the second changes") {
  const char* a = cached_http_date(784111777);
  CHECK(a != nullptr);
  CHECK_EQ(std::string(a, kHttpDateLen), "Sun, 06 Nov 1994 08:49:37 GMT");
  CHECK(cached_http_date(784111777) == a);  // the same buffer, no copy
  CHECK_EQ(std::string(cached_http_date(784111778), kHttpDateLen), "Sun, 06 Nov 1994 08:49:38 GMT");
  // A clock stepped back is shown as it is, not left at the later second.
  CHECK_EQ(std::string(cached_http_date(784111700), kHttpDateLen), "Sun, 06 Nov 1994 08:48:20 GMT");
  // An unrenderable second leaves the cached value alone.
  CHECK(cached_http_date(-5) == nullptr);
  CHECK_EQ(std::string(cached_http_date(784111700), kHttpDateLen), "Sun, 06 Nov 1994 08:48:20 GMT");
}

TEST_CASE("date: current value shows the wall-clock second") {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const time_t before = time(nullptr);
    const char* v = current_http_date();
    const time_t after = time(nullptr);
    CHECK(v != nullptr);
    if (!v) return;
    if (before != after) continue;  // crossed a boundary: retry
    CHECK_EQ(std::string(v, kHttpDateLen), reference(before));
    return;
  }
  qtest::fail(__FILE__, __LINE__, "clock kept crossing second boundaries");
}

TEST_CASE("date: each thread has its own cache") {
  const char* mine = cached_http_date(0);
  std::string theirs;
  bool shared = true;
  std::thread t([&] {
    const char* their = cached_http_date(86400);
    shared = their == mine;
    theirs.assign(their, kHttpDateLen);
  });
  t.join();
  CHECK(!shared);
  CHECK_EQ(theirs, "Fri, 02 Jan 1970 00:00:00 GMT");
  CHECK_EQ(std::string(mine, kHttpDateLen), "Thu, 01 Jan 1970 00:00:00 GMT");
}
