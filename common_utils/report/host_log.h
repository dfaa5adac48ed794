// The host logging channel: the one road by which the installer's reports
// reach the setup program. The host installs a callback with `setlog`; each
// report is checked, formatted into a fixed 2048-unit buffer and handed to
// that callback synchronously on the reporting thread.
#pragma once

#include <cstdarg>

#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr::installer {

// The host's callback, C linkage and calling convention: level, three
// reserved pointers (always null), the UTF-16 message (valid only during the
// call), the reporting function's name, the source line and the address of
// the reporting unit's context block.
extern "C" {
typedef void(__cdecl* HostLogCallback)(int level, void* reserved1, void* reserved2, void* reserved3,
                                       const WCHAR* message, const char* function, int line, void* context);
}

// A static block whose first byte is '3' and whose other bytes are zero, so
// that it reads as the text "3" both narrow and wide. The library never
// reads or writes it; it passes its address.
struct LogContextBlock {
  unsigned char bytes[4120];
};
constexpr LogContextBlock MakeContextBlock() {
  LogContextBlock block{};
  block.bytes[0] = '3';
  return block;
}
extern LogContextBlock g_exportsContext;  // the export functions
extern LogContextBlock g_wmiContext;      // the qel_wmi operations and the component lookup

constexpr int kHostMessageUnits = 2048;

// Report levels the installer passes.
constexpr int kLevelFailure = 1;
constexpr int kLevelUnknownClass = 2;
constexpr int kLevelCleanupStep = 4;

// The callback slot: null until the first setlog; holds the last value set.
HostLogCallback CurrentHostLog() noexcept;
void* SetLog(void* opaque, HostLogCallback callback) noexcept;

// True when the callback is non-null, the platform reports that the four
// bytes at its address cannot be written, and they lie in executable memory:
// a pointer into data, heap, stack or read-only data is never called. When
// the memory cannot be queried the callback is not used.
bool IsHostLogUsable(HostLogCallback callback) noexcept;

// Checks the arguments against the format, formats into a zeroed 2048-unit
// buffer (at most 2046 units of text) and calls the callback when it is
// usable before and after formatting. Rejected arguments are delivered as
// an empty message.
void ReportToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                  const WCHAR* format, ...);
void ReportToHostV(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                   const WCHAR* format, va_list args);
// The same with a smaller zeroed buffer of `units` (2 to 2048) units,
// formatted with capacity units - 1.
void ReportToHostSized(HostLogCallback callback, int units, int level, const char* function, int line,
                       LogContextBlock* context, const WCHAR* format, ...);
void ReportToHostSizedV(HostLogCallback callback, int units, int level, const char* function, int line,
                        LogContextBlock* context, const WCHAR* format, va_list args);

// ReportToHost for failure paths: a processor fault or an exception in the
// report itself (a host callback that crashes, memory exhausted) is dropped,
// so that reporting a failure never fails the caller.
void ReportFailureToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                         const WCHAR* format, ...) noexcept;

// Delivers a fixed text as it is, without formatting.
void ReportLiteralToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                         const WCHAR* text);

// The system's text for an error code, trailing line ends removed, released
// when the holder ends. text() is never null: a missing text is "".
class SystemErrorText {
 public:
  SystemErrorText(DWORD code, DWORD language);

  DWORD code() const noexcept { return code_; }
  const WCHAR* text() const noexcept { return hasText() ? static_cast<const WCHAR*>(text_.get()) : W(""); }
  bool hasText() const noexcept { return static_cast<bool>(text_); }

 private:
  DWORD code_;
  UniqueLocalMemory text_;  // FormatMessageW's buffer
};

constexpr DWORD kUserDefaultLanguage = 0x400;

}  // namespace kvtr::installer
