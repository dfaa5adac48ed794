// The C runtime's clock, local time and time-zone settings, whose names
// differ between the Windows C runtime and the POSIX one.
#pragma once

#include <cstdint>
#include <string>

namespace kvtr::environment {

// Seconds since 1970 (64-bit).
int64_t CurrentTime64();

// `time` as local time, formatted with strftime `format`; at most 127
// characters, "" when it cannot be converted.
std::string LocalTimeText(int64_t time, const char* format);

// The time-zone settings once the runtime has read them (tzset): the names
// of standard and daylight time (either may be empty) and the offset in
// seconds, positive west of Greenwich.
struct TimeZoneSettings {
  std::string standardName;
  std::string daylightName;
  long offsetSeconds = 0;
};
TimeZoneSettings CurrentTimeZone();

}  // namespace kvtr::environment
