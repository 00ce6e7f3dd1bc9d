// The Date clock. Rendering uses its own name tables and calendar
// arithmetic rather than strftime: no locale, no time zone database, no
// lock inside the C library on the path every response takes.
#include "http/date.hpp"

#include <time.h>

#include <climits>

namespace quillon::http {

namespace {

// 9999-12-31T23:59:59Z: the last instant a four-digit year can show.
constexpr int64_t kMaxRenderableSecond = 253402300799;

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

inline void put2(char* out, unsigned v) {
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
}

// Proleptic Gregorian date of a day count since 1970-01-01 (days >= 0),
// after H. Hinnant's civil_from_days: eras of 400 years, March-based years
// so the leap day falls at the end.
void civil_from_days(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

struct DateCache {
  char value[kHttpDateLen];
  // The second `value` shows; LLONG_MIN until the first render, so a
  // thread's first read always renders.
  int64_t shown = LLONG_MIN;
};

thread_local DateCache t_cache;

}  // namespace

bool render_http_date(int64_t unix_seconds, char* out) {
  if (unix_seconds < 0 || unix_seconds > kMaxRenderableSecond) return false;
  const int64_t days = unix_seconds / 86400;
  const unsigned secs = static_cast<unsigned>(unix_seconds % 86400);
  int64_t year;
  unsigned month, day;
  civil_from_days(days, year, month, day);
  const unsigned weekday = static_cast<unsigned>((days + 4) % 7);  // 1970-01-01 was a Thursday

  const char* dn = kDayNames[weekday];
  const char* mn = kMonthNames[month - 1];
  out[0] = dn[0];
  out[1] = dn[1];
  out[2] = dn[2];
  out[3] = ',';
  out[4] = ' ';
  put2(out + 5, day);
  out[7] = ' ';
  out[8] = mn[0];
  out[9] = mn[1];
  out[10] = mn[2];
  out[11] = ' ';
  const unsigned y = static_cast<unsigned>(year);
  put2(out + 12, y / 100);
  put2(out + 14, y % 100);
  out[16] = ' ';
  put2(out + 17, secs / 3600);
  out[19] = ':';
  put2(out + 20, secs / 60 % 60);
  out[22] = ':';
  put2(out + 23, secs % 60);
  out[25] = ' ';
  out[26] = 'G';
  out[27] = 'M';
  out[28] = 'T';
  return true;
}

const char* cached_http_date(int64_t unix_seconds) {
  DateCache& c = t_cache;
  if (unix_seconds != c.shown) {
    if (!render_http_date(unix_seconds, c.value)) return nullptr;
    c.shown = unix_seconds;
  }
  return c.value;
}

const char* current_http_date() {
  // CLOCK_REALTIME, not the coarse variant: the coarse clock lags by up to
  // a tick and would show the previous second just after a boundary.
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return nullptr;
  return cached_http_date(static_cast<int64_t>(ts.tv_sec));
}

}  // namespace quillon::http
