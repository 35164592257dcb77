// DOS stamps, date-time values, Unix time and the time-zone rules.
#include "archive/kvtTime.h"

#include <cmath>
#include <optional>

#include "platform/dos_stamp.h"

namespace vix {

// Days per month and days before each month, common [0] and leap [1] years.
const uint16_t kMonthDays[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
const uint16_t kDaysBeforeMonth[2][12] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};

namespace {

constexpr int64_t kMsecPerDay = 86400000;
// Date-time day of 1970-01-01 (1899-12-30 is day 0).
constexpr int64_t kUnixEpochDay = 25569;

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// Weekday of a date-time day number, Sunday = 0 (1899-12-30 was a Saturday).
int WeekDay(int64_t dayNumber) {
  return static_cast<int>(((dayNumber + 6) % 7 + 7) % 7);
}

TDateTime EncodeDays(int year, int month, int day) {
  return static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

TDateTime AddMinutes(TDateTime value, int32_t minutes) {
  return minutes == 0 ? value : value + minutes / 1440.0;
}

std::optional<platform::TimeZoneInfo>& ZoneSlot() {
  static std::optional<platform::TimeZoneInfo> zone;
  return zone;
}

// The moment (local time) a change rule falls on in `year`: the n-th
// (1..4) or last (5) given weekday of the month, at the rule's hour and
// minute. Any other week number means 00:00 on the first of the month.
// False when the rule names no month.
bool RuleMoment(const platform::SystemTime& rule, int year, TDateTime& out) {
  if (rule.Month < 1 || rule.Month > 12) return false;
  const int64_t first = DaysFromCivil(year, rule.Month, 1) + kUnixEpochDay;
  if (rule.Day < 1 || rule.Day > 5) {
    out = static_cast<TDateTime>(first);
    return true;
  }
  int64_t day;
  if (rule.Day == 5) {
    const int nextMonth = rule.Month % 12 + 1;
    day = DaysFromCivil(rule.Month == 12 ? year + 1 : year, nextMonth, 1) + kUnixEpochDay - 1;
    while (WeekDay(day) != rule.DayOfWeek % 7) --day;
  } else {
    day = first;
    while (WeekDay(day) != rule.DayOfWeek % 7) ++day;
    day += 7 * (rule.Day - 1);
  }
  TDateTime time = 0;
  if (!TryEncodeTime(rule.Hour, rule.Minute, 0, 0, time)) time = 0;
  out = static_cast<TDateTime>(day) + time;
  return true;
}

// An absolute change date: the given day and its time.
bool AbsoluteMoment(const platform::SystemTime& date, TDateTime& out) {
  TDateTime day, time;
  if (!TryEncodeDate(date.Year, date.Month, date.Day, day)) return false;
  if (!TryEncodeTime(date.Hour, date.Minute, 0, 0, time)) time = 0;
  out = day + time;
  return true;
}

// Start and end of daylight time for the year of `value`, in local time
// (start in standard time, end in daylight time, as the record gives them).
// False when the zone has no daylight saving or its dates are unusable.
bool DaylightWindow(const platform::TimeZoneInfo& zone, TDateTime value,
                    TDateTime& start, TDateTime& end) {
  if (zone.DaylightDate.Month == 0) return false;
  if (zone.StandardDate.Year != 0)
    return AbsoluteMoment(zone.DaylightDate, start) && AbsoluteMoment(zone.StandardDate, end);
  int year, month, day, hour, minute, second;
  DecodeDateTime(value, year, month, day, hour, minute, second);
  return RuleMoment(zone.DaylightDate, year, start) && RuleMoment(zone.StandardDate, year, end);
}

// Date-time values compared to the millisecond: an offset added in floating
// point may land a hair before the change it exactly reaches.
int64_t Msec(TDateTime value) {
  return std::llround(value * kMsecPerDay);
}

// Whether a moment is in daylight time, given its local time in standard
// time (tested against the start) and in daylight time (against the end).
bool InDaylight(const platform::TimeZoneInfo& zone, TDateTime start, TDateTime end,
                TDateTime standard, TDateTime daylight) {
  const bool afterStart = Msec(standard) >= Msec(start);
  const bool beforeEnd = Msec(daylight) < Msec(end);
  // With the daylight month first (northern hemisphere) daylight time lies
  // inside the year, otherwise it wraps around the new year.
  if (zone.DaylightDate.Month < zone.StandardDate.Month) return afterStart && beforeEnd;
  return afterStart || beforeEnd;
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > kMonthDays[IsLeapYear(year)][month - 1])
    return false;
  out = EncodeDays(year, month, day);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out) {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 ||
      msec < 0 || msec >= 1000)
    return false;
  out = static_cast<TDateTime>(((hour * 60 + minute) * 60 + second) * 1000 + msec) / kMsecPerDay;
  return true;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day,
                    int& hour, int& minute, int& second) {
  // Rounded to the millisecond first, so that 0.99999999 of a day is the
  // next midnight and not 23:59:59.
  const int64_t msec = std::llround(value * kMsecPerDay);
  int64_t days = msec / kMsecPerDay;
  int64_t rest = msec % kMsecPerDay;
  if (rest < 0) {
    rest += kMsecPerDay;
    --days;
  }
  CivilFromDays(days - kUnixEpochDay, year, month, day);
  const int64_t secs = rest / 1000;
  hour = static_cast<int>(secs / 3600);
  minute = static_cast<int>(secs / 60 % 60);
  second = static_cast<int>(secs % 60);
}

TDateTime DosStampToDateTime(uint32_t stamp) {
  if (stamp == 0) return kDos1980;
  const uint32_t d = stamp >> 16;
  const uint32_t t = stamp & 0xFFFF;
  const int year = static_cast<int>(d >> 9) + 1980;
  const int month = static_cast<int>((d >> 5) & 15) % 13;
  const int day = static_cast<int>(d & 31);
  const int hour = static_cast<int>(t >> 11) % 25;
  const int minute = static_cast<int>((t >> 5) & 63) % 61;
  const int second = static_cast<int>((t & 31) * 2) % 61;
  TDateTime date, time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, 0, time))
    return kDos1980;
  return date + time;
}

uint32_t DateTimeToDosStamp(TDateTime value) {
  int year, month, day, hour, minute, second;
  DecodeDateTime(value, year, month, day, hour, minute, second);
  return platform::PackDosStamp(year, month, day, hour, minute, second);
}

const platform::TimeZoneInfo& TimeZone() {
  auto& slot = ZoneSlot();
  if (!slot) slot = platform::Current().TimeZone();
  return *slot;
}

void SetTimeZone(const platform::TimeZoneInfo& zone) {
  ZoneSlot() = zone;
}

void ReloadTimeZone() {
  ZoneSlot() = platform::Current().TimeZone();
}

bool IsDaylightTime(TDateTime local) {
  const platform::TimeZoneInfo& zone = TimeZone();
  TDateTime start, end;
  return DaylightWindow(zone, local, start, end) && InDaylight(zone, start, end, local, local);
}

TDateTime LocalToUtc(TDateTime local) {
  const platform::TimeZoneInfo& zone = TimeZone();
  const int32_t bias = zone.Bias + (IsDaylightTime(local) ? zone.DaylightBias : zone.StandardBias);
  return AddMinutes(local, bias);
}

// The daylight test runs on the local time the UTC value would have in
// standard time (for the start) and in daylight time (for the end), since
// the record's change dates are local times; testing the UTC value itself
// would shift each change by the zone's offset.
TDateTime UtcToLocal(TDateTime utc) {
  const platform::TimeZoneInfo& zone = TimeZone();
  const TDateTime standard = AddMinutes(utc, -(zone.Bias + zone.StandardBias));
  const TDateTime daylight = AddMinutes(utc, -(zone.Bias + zone.DaylightBias));
  TDateTime start, end;
  if (!DaylightWindow(zone, standard, start, end)) return standard;
  return InDaylight(zone, start, end, standard, daylight) ? daylight : standard;
}

int32_t LocalToUnixTime(TDateTime local) {
  int y, m, d, hour, minute, second;
  DecodeDateTime(LocalToUtc(local), y, m, d, hour, minute, second);
  // Day count in 16 bits with every fourth year a leap year: right from 1970
  // to the end of 2100; earlier values wrap. The seconds are counted in 32
  // unsigned bits, so a caller that reads them unsigned is right past 2038.
  const uint16_t days = static_cast<uint16_t>(
      365 * (y - 1970) + (y - 1969) / 4 + kDaysBeforeMonth[IsLeapYear(y)][m - 1] + d - 1);
  const uint32_t seconds = uint32_t{days} * 86400u + static_cast<uint32_t>(hour * 3600 + minute * 60 + second);
  return static_cast<int32_t>(seconds);
}

TDateTime UnixTimeToLocal(int32_t seconds) {
  // 0 is taken for "no time" and shown as the start of the DOS era.
  if (seconds == 0) return kDos1980 + 60.0 / 86400.0;
  uint32_t rest = seconds < 0 ? 0u - static_cast<uint32_t>(seconds) : static_cast<uint32_t>(seconds);
  // Every fourth year is a leap year: exact for all the years (1970 to 2038)
  // that 31 bits of seconds reach.
  int year = 1970;
  for (;;) {
    const uint32_t yearSecs = (year % 4 == 0 ? 366u : 365u) * 86400u;
    if (rest < yearSecs) break;
    rest -= yearSecs;
    ++year;
  }
  uint16_t monthDays[12];
  for (int i = 0; i < 12; ++i) monthDays[i] = kMonthDays[0][i];
  if (year % 4 == 0) monthDays[1] = 29;
  int month = 0;
  while (rest >= monthDays[month] * 86400u) rest -= monthDays[month++] * 86400u;
  const int day = static_cast<int>(rest / 86400) + 1;
  rest %= 86400;
  TDateTime date, time;
  TryEncodeDate(year, month + 1, day, date);
  TryEncodeTime(static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60), 0, time);
  return UtcToLocal(date + time);
}

}  // namespace vix
