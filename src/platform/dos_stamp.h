// Packing a broken-down local time into an MS-DOS stamp, shared by both
// implementations of the platform layer and by the archive layer's time
// conversions, so that every stamp clamps the same way.
#pragma once

#include <cstdint>

namespace vix::platform {

// Date in the high half (year-1980, month, day), time in the low half (hour,
// minute, seconds/2). The DOS range is 1980..2107: earlier times clamp to
// 1980-01-01 00:00:00, later ones to 2107-12-31 23:59:58, so that a wrong
// clock never wraps into a plausible but false date.
inline uint32_t PackDosStamp(int year, int month, int day, int hour, int minute,
                             int second) {
  if (year < 1980) return (1u << 5 | 1u) << 16;
  if (year > 2107) {
    year = 2107; month = 12; day = 31; hour = 23; minute = 59; second = 58;
  }
  const uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day);
  const uint32_t time = static_cast<uint32_t>(hour << 11 | minute << 5 | second / 2);
  return date << 16 | time;
}

}  // namespace vix::platform
