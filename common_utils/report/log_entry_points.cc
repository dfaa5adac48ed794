#include "common_utils/report/log_entry_points.h"

#include "common_utils/report/argument_check.h"
#include "common_utils/report/log_receiver.h"
#include "common_utils/text/conversions.h"

namespace kvtr::format {
namespace {

bool IsLevelEnabled(int level) {
  bool enabled = false;
  WithLogReceiver([&](LogReceiver& receiver) { enabled = receiver.IsLogLevelEnabled(level); });
  return enabled;
}

enum class HandOver { kFormatted, kDirect };

// The check runs outside any receiver call, so that the report of a
// rejected entry reaches the receiver like any other entry.
void LogWideV(int level, int eventId, const wchar* format, va_list args, HandOver handOver) noexcept {
  try {
    if (handOver == HandOver::kFormatted && !IsLevelEnabled(level)) return;
    if (!ValidateLogArguments(level, format, args, eventId, nullptr, true)) return;
    WithLogReceiver([&](LogReceiver& receiver) {
      if (handOver == HandOver::kFormatted) {
        receiver.LogFormattedW(level, format, args, eventId, nullptr);
      } else {
        receiver.FormatAndSubmitW(level, format, args, eventId, nullptr);
      }
    });
  } catch (...) {
    // Logging never raises to its caller; memory running out drops the entry.
  }
}

}  // namespace

bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user) {
  const text::NarrowToWideConversion wideFormat(format, text::AnsiCodePageIs1252);
  const text::NarrowToWideConversion wideUser(user, text::AnsiCodePageIs1252);
  return ValidateLogArguments(level, wideFormat.result(), args, eventId, wideUser.result(), false);
}

void LogMessage(int level, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, 0, format, args, HandOver::kFormatted);
  va_end(args);
}

void LogMessageDirect(int level, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, 0, format, args, HandOver::kDirect);
  va_end(args);
}

void LogEventMessage(int level, int eventId, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, eventId, format, args, HandOver::kFormatted);
  va_end(args);
}

void LogMessageNarrow(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    if (IsLevelEnabled(level) && ValidateLogArgumentsNarrow(level, format, args, 0, nullptr)) {
      WithLogReceiver([&](LogReceiver& receiver) { receiver.LogFormattedA(level, format, args, 0, nullptr); });
    }
  } catch (...) {
  }
  va_end(args);
}

}  // namespace kvtr::format
