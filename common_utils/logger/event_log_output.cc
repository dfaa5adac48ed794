// The event log output: the logger's event source, registered with its
// message file while the output is on, and one event per entry of level
// 0 to 3 or 5.
#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/output_format.h"
#include "common_utils/registry/registry.h"

namespace kvtr::logger {
namespace {

constexpr wchar kEventSourcesKey[] = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\");
constexpr DWORD kTypesSupported = 7;  // error, warning, information
constexpr size_t kPathCapacity = 260;

struct EventKind {
  WORD type;
  DWORD defaultId;
};

// The event type and default id of a level; false for levels the event
// log does not take (4 and above 5).
bool EventKindOf(int32_t level, EventKind& kind) {
  switch (level) {
    case 0:
    case 1:
      kind = {EVENTLOG_ERROR_TYPE, 0xEFFF2710};
      return true;
    case 2:
      kind = {EVENTLOG_WARNING_TYPE, 0xAFFF4E20};
      return true;
    case 3:
      kind = {EVENTLOG_INFORMATION_TYPE, 0x6FFF7530};
      return true;
    case 5:
      kind = {EVENTLOG_INFORMATION_TYPE, 0x6FFFC350};
      return true;
    default:
      return false;
  }
}

}  // namespace

void DebugLogger::StartEventLogOutput() {
  if (!settings_.eventLogEnabled || eventSourceHandle_ || eventSourceName_.empty()) return;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
  RegisterEventMessageFile();
  eventSourceHandle_.reset(RegisterEventSourceW(nullptr, eventSourceName_.c_str()));
}

void DebugLogger::RegisterEventMessageFile() {
  const WString keyPath = (WString(kEventSourcesKey) + eventSourceName_).substr(0, kPathCapacity - 1);
  registry::Registry key(registry::Registry::kNoNameCache);
  if (!key.Create(keyPath.c_str())) return;
  const HMODULE module =
      settings_.messageModuleName.empty() ? nullptr : GetModuleHandleW(settings_.messageModuleName.c_str());
  if (module == nullptr && !settings_.messageModuleName.empty()) return;
  wchar path[kPathCapacity] = {};
  const DWORD length = GetModuleFileNameW(module, path, kPathCapacity - 1);
  if (length == 0 || length >= kPathCapacity - 1) return;
  (void)key.SetDWORD(W("TypesSupported"), kTypesSupported);
  (void)key.SetString(W("EventMessageFile"), path);
  key.Close();
}

void DebugLogger::StopEventLogOutput() { eventSourceHandle_.reset(); }

void DebugLogger::ReportToEventLog(const SYSTEMTIME&, int32_t, int32_t level, const wchar* message,
                                   int32_t eventId) {
  if (!settings_.eventLogEnabled || !PassesLevel(level, eventLogLevel_.load(std::memory_order_relaxed))) return;
  EventKind kind{};
  if (eventSourceName_.empty() || !EventKindOf(level, kind)) return;
  // A source that could not be registered loses what it should have taken.
  const wchar* strings[] = {message != nullptr ? message : W("")};
  if (!eventSourceHandle_ ||
      !ReportEventW(eventSourceHandle_.get(), kind.type, 0, eventId != 0 ? static_cast<DWORD>(eventId) : kind.defaultId,
                    nullptr, 1, 0, strings, nullptr)) {
    eventLogLost_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace kvtr::logger
