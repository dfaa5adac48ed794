#include "common_utils/format/log_entry_points.h"

#include "common_utils/format/argument_check.h"
#include "common_utils/format/bounded_format.h"
#include "common_utils/format/listener_slot.h"
#include "common_utils/text/conversions.h"

namespace kvtr::format {
namespace {

constexpr int kTextCapacity = 1024;

ListenerSlot<LogMessageListener> g_listener;

bool IsLevelEnabled(int) { return g_listener.installed(); }

void HandOver(int level, int eventId, const wchar* text) { g_listener.Call(level, eventId, text); }

void HandOverWide(int level, int eventId, const wchar* format, va_list args) {
  wchar text[kTextCapacity];
  FormatBounded(text, kTextCapacity - 1, format, args);
  text[kTextCapacity - 1] = 0;
  HandOver(level, eventId, text);
}

void LogWideV(int level, int eventId, const wchar* format, va_list args, bool testLevel = true) noexcept {
  try {
    if (testLevel && !IsLevelEnabled(level)) return;
    if (!ValidateLogArguments(level, format, args, eventId, nullptr, true)) return;
    HandOverWide(level, eventId, format, args);
  } catch (...) {
    // Logging never raises to its caller; memory running out drops the entry.
  }
}

}  // namespace

void SetLogMessageListener(LogMessageListener listener, void* context) { g_listener.Set(listener, context); }

bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user) {
  const text::NarrowToWideConversion wideFormat(format, text::AnsiCodePageIs1252);
  const text::NarrowToWideConversion wideUser(user, text::AnsiCodePageIs1252);
  return ValidateLogArguments(level, wideFormat.result(), args, eventId, wideUser.result(), false);
}

void LogMessage(int level, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, 0, format, args);
  va_end(args);
}

void LogMessageDirect(int level, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, 0, format, args, /*testLevel=*/false);
  va_end(args);
}

void LogEventMessage(int level, int eventId, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogWideV(level, eventId, format, args);
  va_end(args);
}

void LogMessageNarrow(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    if (IsLevelEnabled(level) && ValidateLogArgumentsNarrow(level, format, args, 0, nullptr)) {
      // Formatted narrow, then converted with the thread code page, as the
      // narrow formatting of the string class does.
      char narrow[kTextCapacity];
      FormatBounded(narrow, kTextCapacity, format, args);
      narrow[kTextCapacity - 1] = 0;
      const text::NarrowToWideConversion wide(narrow, false);
      if (wide.result() != nullptr) HandOver(level, 0, wide.result());
    }
  } catch (...) {
  }
  va_end(args);
}

}  // namespace kvtr::format
