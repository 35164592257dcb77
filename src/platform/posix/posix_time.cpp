// Time, ticks and error texts on POSIX systems.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_timezone.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace detail {
namespace {

struct Change {
  time_t At;      // first second of the new offset
  long Before;    // UTC offsets in seconds
  long After;
};

long OffsetAt(time_t t) {
  struct tm lt;
  return localtime_r(&t, &lt) ? lt.tm_gmtoff : 0;
}

time_t UtcOf(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  return timegm(&tm);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The rule that names the local time of a change (in the offset in force
// before it), for the year it falls in. A weekday in the last seven days of
// its month becomes "the last" (5): change rules are written that way, and
// it stays right in the years whose month has a fifth such weekday.
SystemTime RuleOf(const Change& c) {
  const time_t local = c.At + c.Before;
  struct tm tm;
  gmtime_r(&local, &tm);
  SystemTime rule;
  rule.Month = static_cast<uint16_t>(tm.tm_mon + 1);
  rule.DayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  const int days = DaysInMonth(tm.tm_year + 1900, tm.tm_mon + 1);
  rule.Day = static_cast<uint16_t>(tm.tm_mday + 7 > days ? 5 : (tm.tm_mday - 1) / 7 + 1);
  rule.Hour = static_cast<uint16_t>(tm.tm_hour);
  rule.Minute = static_cast<uint16_t>(tm.tm_min);
  return rule;
}

// Every change of the UTC offset whose local time falls in `year`. Changes
// are found by hourly steps (no zone changes twice within an hour) and
// narrowed to the second by bisection.
std::vector<Change> ChangesIn(int year) {
  const time_t first = UtcOf(year, 1, 1) - 2 * 86400;
  const time_t last = UtcOf(year + 1, 1, 1) + 2 * 86400;
  std::vector<Change> changes;
  long previous = OffsetAt(first);
  for (time_t t = first + 3600; t <= last; t += 3600) {
    const long now = OffsetAt(t);
    if (now == previous) continue;
    time_t lo = t - 3600, hi = t;  // offset `previous` at lo, `now` at hi
    while (hi - lo > 1) {
      const time_t mid = lo + (hi - lo) / 2;
      (OffsetAt(mid) == previous ? lo : hi) = mid;
    }
    const time_t local = hi + previous;
    struct tm tm;
    gmtime_r(&local, &tm);
    if (tm.tm_year + 1900 == year) changes.push_back({hi, previous, now});
    previous = now;
  }
  return changes;
}

}  // namespace

TimeZoneInfo TimeZoneForYear(int year) {
  tzset();  // localtime_r need not read TZ again by itself
  TimeZoneInfo zone;
  const std::vector<Change> changes = ChangesIn(year);
  long low = 0, high = 0;
  if (!changes.empty()) {
    low = std::min(changes[0].Before, changes[0].After);
    high = std::max(changes[0].Before, changes[0].After);
    for (const Change& c : changes) {
      low = std::min({low, c.Before, c.After});
      high = std::max({high, c.Before, c.After});
    }
  }
  const Change* toDaylight = nullptr;
  const Change* toStandard = nullptr;
  for (const Change& c : changes) {
    if (c.After == high && !toDaylight) toDaylight = &c;
    if (c.After == low && !toStandard) toStandard = &c;
  }
  if (!toDaylight || !toStandard) {
    // No saving this year (a single change is a new standard time): the
    // offset in force now, or at the year's nearer end.
    const time_t now = time(nullptr);
    const time_t at = std::clamp(now, UtcOf(year, 1, 1), UtcOf(year + 1, 1, 1) - 1);
    zone.Bias = static_cast<int32_t>(-OffsetAt(at) / 60);
    return zone;
  }
  zone.Bias = static_cast<int32_t>(-low / 60);
  zone.StandardBias = 0;
  zone.DaylightBias = static_cast<int32_t>(-(high - low) / 60);
  zone.DaylightDate = RuleOf(*toDaylight);
  zone.StandardDate = RuleOf(*toStandard);
  return zone;
}

}  // namespace detail

TimeZoneInfo Platform::TimeZone() {
  tzset();
  const time_t now = time(nullptr);
  struct tm lt;
  const int year = localtime_r(&now, &lt) ? lt.tm_year + 1900 : 2000;
  return detail::TimeZoneForYear(year);
}

uint32_t Platform::TickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000);
}

uint32_t Platform::NowDosStamp() { return detail::DosStampOf(time(nullptr)); }

namespace {
// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these pick the text from either.
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* ErrorText(int, const char* buffer) { return buffer; }
}  // namespace

std::string Platform::LastErrorText() {
  char buffer[256] = "";
  return ErrorText(strerror_r(errno, buffer, sizeof buffer), buffer);
}

}  // namespace vix::platform

namespace vix::platform {

int Platform::LastErrorCode() { return errno ? errno : EIO; }

}  // namespace vix::platform
