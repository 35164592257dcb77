// The Windows-style time-zone record built from the C library's zone.
#pragma once

#include "platform/platform.h"

namespace vix::platform::detail {

// The record for `year` in the zone that TZ (or the system) names: the
// bias of standard time, the daylight bias, and the two change dates as
// rules (month, weekday, week of the month with 5 for the last, and the
// local time in force just before the change) that reproduce the C
// library's local times for that year. Zones without a change in `year`
// get both months 0 and the bias in force. Standard time is the smaller of
// the two offsets, so a zone whose database calls winter "daylight" (a
// negative saving) gets the same record as Windows gives it.
TimeZoneInfo TimeZoneForYear(int year);

}  // namespace vix::platform::detail
