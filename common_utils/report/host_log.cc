#include "common_utils/report/host_log.h"

#include <cstdint>
#include <cstring>

#include "common_utils/report/safe_format.h"
#include "common_utils/runtime/guarded_region.h"

namespace kvtr::installer {
namespace {

// Written by setlog, read by every report; no lock, as the host installs its
// callback before it calls any export.
HostLogCallback g_hostLog = nullptr;

// True when [address, address + bytes) lies in committed executable memory;
// false when the memory cannot be queried.
bool IsExecutable(const void* address, size_t bytes) noexcept {
  constexpr DWORD kExecute = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  auto at = reinterpret_cast<uintptr_t>(address);
  const uintptr_t end = at + bytes;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<LPCVOID>(at), &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || (info.Protect & kExecute) == 0 || (info.Protect & PAGE_GUARD) != 0) return false;
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) return false;
    at = regionEnd;
  }
  return true;
}

}  // namespace

LogContextBlock g_exportsContext = MakeContextBlock();
LogContextBlock g_wmiContext = MakeContextBlock();

HostLogCallback CurrentHostLog() noexcept { return g_hostLog; }

void* SetLog(void* opaque, HostLogCallback callback) noexcept {
  g_hostLog = callback;
  return opaque;
}

bool IsHostLogUsable(HostLogCallback callback) noexcept {
  if (callback == nullptr) return false;
  void* const code = reinterpret_cast<void*>(callback);
  return IsBadWritePtr(code, 4) == 1 && IsExecutable(code, 4);
}

void ReportToHostSizedV(HostLogCallback callback, int units, int level, const char* function, int line,
                        LogContextBlock* context, const WCHAR* format, va_list args) {
  if (!IsHostLogUsable(callback)) return;
  if (units < 2 || units > kHostMessageUnits) units = kHostMessageUnits;
  WCHAR message[kHostMessageUnits];
  std::memset(message, 0, sizeof(WCHAR) * static_cast<size_t>(units));
  format::SafeFormatV(message, units - 1, format, args);
  if (!IsHostLogUsable(callback)) return;
  callback(level, nullptr, nullptr, nullptr, message, function, line, context);
}

void ReportToHostSized(HostLogCallback callback, int units, int level, const char* function, int line,
                       LogContextBlock* context, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  ReportToHostSizedV(callback, units, level, function, line, context, format, args);
  va_end(args);
}

void ReportToHostV(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                   const WCHAR* format, va_list args) {
  ReportToHostSizedV(callback, kHostMessageUnits, level, function, line, context, format, args);
}

void ReportToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                  const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  ReportToHostV(callback, level, function, line, context, format, args);
  va_end(args);
}

void ReportFailureToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                         const WCHAR* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  try {
    runtime::Guarded([&] { ReportToHostV(callback, level, function, line, context, format, args); });
  } catch (...) {
  }
  va_end(args);
}

void ReportLiteralToHost(HostLogCallback callback, int level, const char* function, int line, LogContextBlock* context,
                         const WCHAR* text) {
  if (!IsHostLogUsable(callback)) return;
  callback(level, nullptr, nullptr, nullptr, text, function, line, context);
}

SystemErrorText::SystemErrorText(DWORD code, DWORD language) : code_(code) {
  if (code == 0) return;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                     nullptr, code, static_cast<WORD>(language), reinterpret_cast<LPWSTR>(text_.put()), 0, nullptr);
  if (length == 0) {
    text_.release();  // nothing was allocated
    return;
  }
  WCHAR* const text = static_cast<WCHAR*>(text_.get());
  for (DWORD i = length; i-- > 0;) {
    if (text[0] == 0 || (text[i] != '\r' && text[i] != '\n')) break;
    text[i] = 0;
  }
}

}  // namespace kvtr::installer
