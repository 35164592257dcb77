// DOS stamps, date-time values, Unix time and the time-zone rules.
//
// A DOS stamp holds the date in its high 16 bits and the time in its low 16
// bits (MS-DOS layout, local time). A date-time value counts days since
// 1899-12-30 with the time of day as its fraction; 29221.0 is 1980-01-01.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vix {

using TDateTime = double;

inline constexpr TDateTime kDos1980 = 29221.0;

// Days per month and days before each month, common and leap years.
extern const uint16_t kMonthDays[2][12];
extern const uint16_t kDaysBeforeMonth[2][12];

bool IsLeapYear(int year);

// Encoded calendar values; false when the values are out of range.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day,
                    int& hour, int& minute, int& second);

// Invalid stamps (month 0, day past the month, hour 24...) give 1980-01-01.
TDateTime DosStampToDateTime(uint32_t stamp);
// The DOS stamp of a date-time value (years before 1980 clamp to 1980-01-01).
uint32_t DateTimeToDosStamp(TDateTime value);

// The time-zone record the conversions use: read from the platform once, on
// first use. Tests replace it with SetTimeZone.
const platform::TimeZoneInfo& TimeZone();
void SetTimeZone(const platform::TimeZoneInfo& zone);
// Reads the platform's zone again (tests that change TZ).
void ReloadTimeZone();

// Daylight time by the record's change rules for the year of the value (or
// its absolute change dates). The repeated hour of autumn counts as daylight.
bool IsDaylightTime(TDateTime local);
TDateTime LocalToUtc(TDateTime local);
TDateTime UtcToLocal(TDateTime utc);
// Seconds since 1970-01-01 00:00 UTC, counted in 32 unsigned bits: read
// them unsigned for times past 2038.
int32_t LocalToUnixTime(TDateTime local);
// 0 means "no time" and gives 1980-01-01 00:01:00; a negative value counts
// as its absolute value.
TDateTime UnixTimeToLocal(int32_t seconds);

}  // namespace vix
