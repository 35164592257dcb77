// DOS stamps, date-time values, the time-zone rules and Unix time.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "archive/kvtTime.h"
#include "support/scoped_env.h"

namespace vix {
namespace {

TDateTime Dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  TDateTime date = 0, time = 0;
  EXPECT_TRUE(TryEncodeDate(y, mo, d, date)) << y << "-" << mo << "-" << d;
  EXPECT_TRUE(TryEncodeTime(h, mi, s, 0, time));
  return date + time;
}

std::string Show(TDateTime v) {
  int y, mo, d, h, mi, s;
  DecodeDateTime(v, y, mo, d, h, mi, s);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return text;
}

uint32_t Stamp(int y, int mo, int d, int h, int mi, int s2) {
  return static_cast<uint32_t>((y - 1980) << 9 | mo << 5 | d) << 16 |
         static_cast<uint32_t>(h << 11 | mi << 5 | s2);
}

// Installs a zone record for one test and puts the platform's back after.
class ZoneGuard {
 public:
  explicit ZoneGuard(const platform::TimeZoneInfo& zone) { SetTimeZone(zone); }
  ~ZoneGuard() { ReloadTimeZone(); }
};

platform::SystemTime Rule(int month, int week, int weekday, int hour, int year = 0, int minute = 0) {
  platform::SystemTime t;
  t.Year = static_cast<uint16_t>(year);
  t.Month = static_cast<uint16_t>(month);
  t.Day = static_cast<uint16_t>(week);
  t.DayOfWeek = static_cast<uint16_t>(weekday);
  t.Hour = static_cast<uint16_t>(hour);
  t.Minute = static_cast<uint16_t>(minute);
  return t;
}

platform::TimeZoneInfo Zone(int bias, platform::SystemTime daylight = {},
                            platform::SystemTime standard = {}) {
  platform::TimeZoneInfo z;
  z.Bias = bias;
  z.DaylightDate = daylight;
  z.StandardDate = standard;
  z.DaylightBias = daylight.Month ? -60 : 0;
  return z;
}

// The US rules since 2007: second Sunday of March 02:00 to the first Sunday
// of November 02:00; Central Europe: last Sunday of March 02:00 to the last
// Sunday of October 03:00; Sydney: first Sunday of October to the first
// Sunday of April.
const platform::TimeZoneInfo kNewYork = Zone(300, Rule(3, 2, 0, 2), Rule(11, 1, 0, 2));
const platform::TimeZoneInfo kBerlin = Zone(-60, Rule(3, 5, 0, 2), Rule(10, 5, 0, 3));
const platform::TimeZoneInfo kSydney = Zone(-600, Rule(10, 1, 0, 2), Rule(4, 1, 0, 3));
const platform::TimeZoneInfo kUtc = Zone(0);

TEST(DosStamp, FieldsAndInvalidStamps) {
  const TDateTime invalid = kDos1980;
  EXPECT_EQ(DosStampToDateTime(0), 29221.0);
  EXPECT_EQ(Show(DosStampToDateTime(Stamp(2024, 2, 29, 13, 45, 10))), "2024-02-29 13:45:20");
  EXPECT_EQ(DosStampToDateTime(Stamp(2024, 0, 10, 1, 0, 0)), invalid);   // month 0
  EXPECT_EQ(DosStampToDateTime(Stamp(2023, 2, 29, 1, 0, 0)), invalid);   // past February
  EXPECT_EQ(DosStampToDateTime(Stamp(2024, 4, 0, 1, 0, 0)), invalid);    // day 0
  EXPECT_EQ(DosStampToDateTime(Stamp(2024, 5, 6, 24, 7, 0)), invalid);   // hour 24
  EXPECT_EQ(DosStampToDateTime(Stamp(2024, 5, 6, 9, 60, 0)), invalid);   // minute 60
  EXPECT_EQ(DosStampToDateTime(Stamp(2024, 5, 6, 9, 7, 30)), invalid);   // second 60
  // Out-of-range fields are taken modulo 13, 25, 61 and 61 before checking.
  EXPECT_EQ(Show(DosStampToDateTime(Stamp(2024, 5, 6, 25, 7, 0))), "2024-05-06 00:07:00");
  EXPECT_EQ(Show(DosStampToDateTime(Stamp(2024, 14, 6, 1, 61, 31))), "2024-01-06 01:00:01");
}

TEST(DosStamp, RoundTripsThroughDateTime) {
  std::mt19937 rng(5);
  for (int i = 0; i < 5000; ++i) {
    const int y = 1980 + static_cast<int>(rng() % 128), mo = 1 + static_cast<int>(rng() % 12);
    const int d = 1 + static_cast<int>(rng() % 28), h = static_cast<int>(rng() % 24);
    const uint32_t stamp = Stamp(y, mo, d, h, static_cast<int>(rng() % 60), static_cast<int>(rng() % 30));
    ASSERT_EQ(DateTimeToDosStamp(DosStampToDateTime(stamp)), stamp) << std::hex << stamp;
  }
  EXPECT_EQ(DateTimeToDosStamp(Dt(1975, 6, 1, 12)), Stamp(1980, 1, 1, 0, 0, 0));
}

TEST(DateTime, CalendarEncoding) {
  EXPECT_EQ(Dt(1980, 1, 1), 29221.0);
  EXPECT_EQ(Dt(1899, 12, 30), 0.0);
  EXPECT_EQ(Dt(1970, 1, 1), 25569.0);
  TDateTime v;
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(2100, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(2024, 13, 1, v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, v));
  // A value a hair below midnight is the next midnight, not 23:59:59.
  EXPECT_EQ(Show(Dt(2024, 12, 31) + 0.99999999999), "2025-01-01 00:00:00");
}

TEST(DaylightRules, WeekdayRulesNorthern) {
  ZoneGuard zone(kNewYork);
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 3, 10, 1, 59, 59)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 3, 10, 2, 0, 0)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 11, 3, 1, 59, 59)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 11, 3, 2, 0, 0)));
  EXPECT_FALSE(IsDaylightTime(Dt(2023, 3, 11, 12)));  // 2023: second Sunday is the 12th
  EXPECT_TRUE(IsDaylightTime(Dt(2023, 3, 12, 12)));
}

TEST(DaylightRules, LastWeekdayOfTheMonth) {
  ZoneGuard zone(kBerlin);
  // March 2024 has five Sundays (the last is the 31st), March 2023 four.
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 3, 24, 12)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 3, 31, 2)));
  EXPECT_TRUE(IsDaylightTime(Dt(2023, 3, 26, 2)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 10, 27, 2, 59)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 10, 27, 3, 0)));
}

TEST(DaylightRules, SouthernHemisphereWrapsTheYear) {
  ZoneGuard zone(kSydney);
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 1, 15, 12)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 4, 7, 2, 59)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 4, 7, 3, 0)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 7, 1, 12)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 10, 6, 1, 59)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 10, 6, 2, 0)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 12, 31, 23, 59)));
}

TEST(DaylightRules, AbsoluteDatesKeepTheirTimeOfDay) {
  ZoneGuard zone(Zone(-60, Rule(3, 31, 0, 2, 2024), Rule(10, 27, 0, 3, 2024)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 3, 31, 1, 59)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 3, 31, 2, 0)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 10, 27, 2, 59)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 10, 27, 3, 0)));
  EXPECT_FALSE(IsDaylightTime(Dt(2025, 7, 1)));  // the dates name 2024 only
}

TEST(DaylightRules, WeekOutsideOneToFiveMeansTheFirstAtMidnight) {
  ZoneGuard zone(Zone(-60, Rule(4, 0, 0, 2), Rule(9, 9, 0, 5)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 3, 31, 23, 59)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 4, 1, 0, 0)));
  EXPECT_TRUE(IsDaylightTime(Dt(2024, 8, 31, 23, 59)));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 9, 1, 0, 0)));
}

TEST(DaylightRules, NoDaylightMonthMeansNone) {
  ZoneGuard zone(Zone(-540));
  EXPECT_FALSE(IsDaylightTime(Dt(2024, 7, 1)));
  EXPECT_EQ(Show(LocalToUtc(Dt(2024, 7, 1, 9))), "2024-07-01 00:00:00");
  EXPECT_EQ(Show(UtcToLocal(Dt(2024, 12, 31, 20))), "2025-01-01 05:00:00");
}

// UTC to local decides daylight time on the local clock: right up to the
// second on both sides of every change, not shifted by the zone's offset.
TEST(DaylightRules, UtcToLocalAroundEachChange) {
  {
    ZoneGuard zone(kNewYork);
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 3, 10, 6, 59, 59))), "2024-03-10 01:59:59");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 3, 10, 7, 0, 0))), "2024-03-10 03:00:00");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 11, 3, 5, 59, 59))), "2024-11-03 01:59:59");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 11, 3, 6, 0, 0))), "2024-11-03 01:00:00");
    EXPECT_EQ(Show(LocalToUtc(Dt(2024, 7, 1, 12))), "2024-07-01 16:00:00");
    EXPECT_EQ(Show(LocalToUtc(Dt(2024, 1, 15, 12))), "2024-01-15 17:00:00");
  }
  {
    ZoneGuard zone(kSydney);
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 10, 5, 15, 59, 59))), "2024-10-06 01:59:59");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 10, 5, 16, 0, 0))), "2024-10-06 03:00:00");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 4, 6, 15, 59, 59))), "2024-04-07 02:59:59");
    EXPECT_EQ(Show(UtcToLocal(Dt(2024, 4, 6, 16, 0, 0))), "2024-04-07 02:00:00");
  }
}

TEST(UnixTime, KnownInstants) {
  {
    ZoneGuard zone(kUtc);
    EXPECT_EQ(LocalToUnixTime(Dt(1970, 1, 1)), 0);
    EXPECT_EQ(LocalToUnixTime(Dt(2000, 2, 29)), 951782400);
    // Past 2038 the 32 bits read as unsigned stay right.
    EXPECT_EQ(static_cast<uint32_t>(LocalToUnixTime(Dt(2038, 1, 19, 3, 14, 8))), 2147483648u);
    EXPECT_EQ(Show(UnixTimeToLocal(951782400)), "2000-02-29 00:00:00");
    EXPECT_EQ(Show(UnixTimeToLocal(-951782400)), "2000-02-29 00:00:00");  // sign dropped
    EXPECT_EQ(Show(UnixTimeToLocal(2147483647)), "2038-01-19 03:14:07");
    EXPECT_EQ(Show(UnixTimeToLocal(1)), "1970-01-01 00:00:01");
  }
  ZoneGuard zone(kNewYork);
  EXPECT_EQ(LocalToUnixTime(Dt(2024, 7, 1, 12)), 1719849600);
  EXPECT_EQ(Show(UnixTimeToLocal(1710054000)), "2024-03-10 03:00:00");
  EXPECT_EQ(Show(UnixTimeToLocal(1710053999)), "2024-03-10 01:59:59");
  // Zero means "no time" and is not shifted by the zone.
  EXPECT_EQ(Show(UnixTimeToLocal(0)), "1980-01-01 00:01:00");
}

// Every instant whose local time is unique comes back to itself.
TEST(UnixTime, RoundTripInHandMadeZones) {
  std::mt19937 rng(9);
  for (const auto& z : {kNewYork, kBerlin, kSydney, Zone(-330)}) {
    ZoneGuard zone(z);
    for (int i = 0; i < 4000; ++i) {
      const int32_t t = static_cast<int32_t>(315532800 + rng() % (2147483647u - 315532800u - 7200));
      const TDateTime local = UnixTimeToLocal(t);
      if (Show(UnixTimeToLocal(t - 3600)) == Show(local) || Show(UnixTimeToLocal(t + 3600)) == Show(local))
        continue;  // the repeated hour of autumn
      ASSERT_EQ(LocalToUnixTime(local), t) << Show(local) << " bias " << z.Bias;
    }
  }
}

#ifndef _WIN32
// The platform builds the zone record from the system's time-zone database
// for the current year; the conversions through it must agree with the C
// library itself in zones without daylight saving, with northern and
// southern daylight saving, and with half-hour offsets.
std::string ShowTm(const struct tm& t) {
  return Show(Dt(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec));
}

TEST(UnixTime, AgreesWithTheCLibraryInRealZones) {
  const char* zones[] = {"UTC", "Asia/Tokyo", "Europe/Berlin", "America/New_York",
                         "Australia/Sydney", "Asia/Kolkata", "Australia/Adelaide"};
  std::mt19937 rng(2024);
  for (const char* name : zones) {
    test::ScopedTimeZone tz(name, ReloadTimeZone);
    const time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    const int year = lt.tm_year + 1900;
    struct tm jan1 = {};
    jan1.tm_year = year - 1900;
    jan1.tm_mday = 1;
    const time_t start = timegm(&jan1);
    const time_t end = start + 366 * 86400;

    // Random instants, and every minute of the hours around each change.
    std::vector<time_t> instants;
    for (int i = 0; i < 3000; ++i) instants.push_back(start + static_cast<time_t>(rng() % (end - start)));
    for (time_t t = start; t < end; t += 3600) {
      struct tm a, b;
      const time_t next = t + 3600;
      localtime_r(&t, &a);
      localtime_r(&next, &b);
      if (a.tm_gmtoff == b.tm_gmtoff) continue;
      for (time_t u = t - 3 * 3600; u < next + 3 * 3600; u += 60) instants.push_back(u);
    }

    int checked = 0, wrong = 0;
    std::string first;
    for (const time_t t : instants) {
      localtime_r(&t, &lt);
      if (lt.tm_year + 1900 != year) continue;
      const std::string expected = ShowTm(lt);
      const std::string got = Show(UnixTimeToLocal(static_cast<int32_t>(t)));
      // A local time that two instants share names neither of them.
      bool repeated = false;
      for (const time_t other : {t - 3600, t + 3600, t - 1800, t + 1800}) {
        struct tm o;
        localtime_r(&other, &o);
        repeated = repeated || ShowTm(o) == expected;
      }
      const int32_t back = LocalToUnixTime(Dt(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                                              lt.tm_hour, lt.tm_min, lt.tm_sec));
      ++checked;
      if (got != expected || (!repeated && back != t)) {
        if (wrong++ == 0)
          first = std::to_string(t) + ": local " + expected + ", got " + got + ", back " +
                  std::to_string(back);
      }
    }
    EXPECT_GT(checked, 2500) << name;
    EXPECT_EQ(wrong, 0) << name << " first: " << first;
  }
}
#endif

}  // namespace
}  // namespace vix
