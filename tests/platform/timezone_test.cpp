// The time-zone record built from the C library's zone: the change rules
// must reproduce the library's local times. (Windows reads its record from
// the system; there is nothing of ours to test there.)
#ifndef _WIN32
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/posix_timezone.h"
#include "support/scoped_env.h"

namespace vix::platform {
namespace {

int64_t DaysFromCivil(int y, int m, int d) {  // days since 1970-01-01
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

int DaysInMonth(int y, int m) {
  return static_cast<int>(DaysFromCivil(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) -
                          DaysFromCivil(y, m, 1));
}

// The local wall time (seconds, as if UTC) at which a change rule fires in
// `year`, read as the rules are read: the n-th weekday of the month, 5 for
// the last, at the given hour and minute.
int64_t RuleTime(int year, const SystemTime& r) {
  const int64_t first = DaysFromCivil(year, r.Month, 1);
  const int firstWeekday = static_cast<int>((first + 4) % 7);  // 1970-01-01 was a Thursday
  int day = 1 + (r.DayOfWeek - firstWeekday + 7) % 7 + 7 * (r.Day - 1);
  while (day > DaysInMonth(year, r.Month)) day -= 7;
  return (first + day - 1) * 86400 + r.Hour * 3600 + r.Minute * 60;
}

bool IsDaylight(int64_t wall, int year, const TimeZoneInfo& z) {
  if (z.DaylightDate.Month == 0) return false;
  const int64_t start = RuleTime(year, z.DaylightDate);
  const int64_t end = RuleTime(year, z.StandardDate);
  return start < end ? (wall >= start && wall < end) : (wall < end || wall >= start);
}

long OffsetAt(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return lt.tm_gmtoff;
}

// Instants spread over the year, and every minute of the hours around
// each change of offset: the local time the C library gives must turn back
// into the same instant through the record, unless that local time occurs
// twice (the hour repeated when daylight time ends), where the record's
// reading must then name the other occurrence.
void ExpectRecordReproducesLocalTime(const TimeZoneInfo& z, int year) {
  const time_t from = static_cast<time_t>(DaysFromCivil(year, 1, 1) * 86400 + 86400);
  const time_t to = static_cast<time_t>(DaysFromCivil(year + 1, 1, 1) * 86400 - 86400);
  std::vector<time_t> instants;
  for (time_t t = from; t < to; t += 3 * 3600 + 7) instants.push_back(t);
  for (time_t t = from; t < to; t += 3600) {
    if (OffsetAt(t) == OffsetAt(t + 3600)) continue;
    for (time_t m = t - 3 * 3600; m < t + 4 * 3600; m += 60) instants.push_back(m);
  }
  int failures = 0;
  for (const time_t t : instants) {
    const long off = OffsetAt(t);
    const int64_t wall = t + off;
    const bool daylight = IsDaylight(wall, year, z);
    const int64_t utc = wall + 60 * static_cast<int64_t>(z.Bias + (daylight ? z.DaylightBias : z.StandardBias));
    if (utc == t) continue;
    if (OffsetAt(static_cast<time_t>(utc)) == wall - utc) continue;
    ADD_FAILURE() << "instant " << t << " local offset " << off << " record gives UTC " << utc;
    if (++failures == 5) break;
  }
  EXPECT_GT(instants.size(), 2800u);
}

class ZoneTest : public testing::TestWithParam<const char*> {};

int CurrentYear() {
  const time_t now = time(nullptr);
  struct tm lt;
  gmtime_r(&now, &lt);
  return lt.tm_year + 1900;
}

bool ZoneKnown(const char* zone) {
  return zone[0] != ':' || access((std::string("/usr/share/zoneinfo/") + (zone + 1)).c_str(), R_OK) == 0;
}

TEST_P(ZoneTest, RecordReproducesTheCLibrary) {
  if (!ZoneKnown(GetParam())) GTEST_SKIP() << "zone data missing";
  test::ScopedTimeZone tz(GetParam());
  for (const int year : {CurrentYear(), 2024, 2025, 2030}) {
    SCOPED_TRACE(std::string(GetParam()) + " " + std::to_string(year));
    ExpectRecordReproducesLocalTime(detail::TimeZoneForYear(year), year);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneTest,
    testing::Values(":UTC", ":Asia/Tokyo", ":Europe/Berlin", ":America/New_York", ":Australia/Sydney",
                    ":Asia/Kolkata", ":Europe/Dublin", ":Australia/Lord_Howe", ":America/Santiago",
                    // Zones written as rules: a southern one changing at midnight, one at 24:00.
                    "ABC+3DEF,M10.2.0/0,M3.4.0/0", "GHI-5JKL,M4.1.6/24,M9.5.6/25"));

struct Expected {
  const char* zone;
  int32_t bias, daylightBias;
  SystemTime daylight, standard;  // Year, Month, DayOfWeek, Day, Hour, Minute
};

// The records Windows itself holds for these zones.
TEST(TimeZoneRecord, MatchesTheWindowsRecordsOfKnownZones) {
  const Expected zones[] = {
      {":Europe/Berlin", -60, -60, {0, 3, 0, 5, 2, 0}, {0, 10, 0, 5, 3, 0}},
      {":America/New_York", 300, -60, {0, 3, 0, 2, 2, 0}, {0, 11, 0, 1, 2, 0}},
      {":Australia/Sydney", -600, -60, {0, 10, 0, 1, 2, 0}, {0, 4, 0, 1, 3, 0}},
      // The database calls Irish winter time the saving; Windows does not.
      {":Europe/Dublin", 0, -60, {0, 3, 0, 5, 1, 0}, {0, 10, 0, 5, 2, 0}},
      {":Asia/Kolkata", -330, 0, {}, {}},
      {":Asia/Tokyo", -540, 0, {}, {}},
      {":UTC", 0, 0, {}, {}},
  };
  for (const Expected& e : zones) {
    if (!ZoneKnown(e.zone)) continue;
    test::ScopedTimeZone tz(e.zone);
    const TimeZoneInfo z = detail::TimeZoneForYear(2025);
    SCOPED_TRACE(e.zone);
    EXPECT_EQ(z.Bias, e.bias);
    EXPECT_EQ(z.StandardBias, 0);
    EXPECT_EQ(z.DaylightBias, e.daylightBias);
    for (const auto& [got, want] : {std::pair{z.DaylightDate, e.daylight}, std::pair{z.StandardDate, e.standard}}) {
      EXPECT_EQ(got.Year, 0);
      EXPECT_EQ(got.Month, want.Month);
      EXPECT_EQ(got.DayOfWeek, want.DayOfWeek);
      EXPECT_EQ(got.Day, want.Day);
      EXPECT_EQ(got.Hour, want.Hour);
      EXPECT_EQ(got.Minute, want.Minute);
    }
  }
}

}  // namespace
}  // namespace vix::platform
#endif
