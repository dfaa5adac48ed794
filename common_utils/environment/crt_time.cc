#include "common_utils/environment/crt_time.h"

#include <time.h>

#include <ctime>

namespace kvtr::environment {

int64_t CurrentTime64() {
#ifdef _WIN32
  return static_cast<int64_t>(_time64(nullptr));
#else
  return static_cast<int64_t>(std::time(nullptr));
#endif
}

std::string LocalTimeText(int64_t time, const char* format) {
  tm local{};
#ifdef _WIN32
  const __time64_t value = time;
  if (_localtime64_s(&local, &value) != 0) return std::string();
#else
  const time_t value = static_cast<time_t>(time);
  if (localtime_r(&value, &local) == nullptr) return std::string();
#endif
  char text[128] = {};
  if (std::strftime(text, sizeof text, format, &local) == 0) return std::string();
  return text;
}

TimeZoneSettings CurrentTimeZone() {
  TimeZoneSettings settings;
#ifdef _WIN32
  _tzset();
  settings.offsetSeconds = _timezone;
  if (_tzname[0] != nullptr) settings.standardName = _tzname[0];
  if (_tzname[1] != nullptr) settings.daylightName = _tzname[1];
#else
  tzset();
  settings.offsetSeconds = timezone;
  if (tzname[0] != nullptr) settings.standardName = tzname[0];
  if (tzname[1] != nullptr) settings.daylightName = tzname[1];
#endif
  return settings;
}

}  // namespace kvtr::environment
