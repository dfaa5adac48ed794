// POSIX platform layer: the event log (RegisterEventSourceW, ReportEventW,
// DeregisterEventSource).
//
// The log is eventlog.txt in the prefix, one record a line in UTF-8:
//   local time <TAB> source <TAB> type <TAB> event id (0x%08X) <TAB> strings
// with the insertion strings separated by tabs, and a backslash, tab, CR or
// LF inside a text written as \\, \t, \r, \n, so every record is one line.
// A record goes out in one O_APPEND write, so records of several threads
// and processes never interleave. `kvtr-setup eventlog` lists the file.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "emulation.h"
#include "file_io.h"
#include "handles.h"
#include "layer.h"
#include "win32_api.h"

namespace kvtr::posix {
namespace {

std::string EventLogFile() { return PrefixDirectory() + "/eventlog.txt"; }

class EventSource : public KernelObject {
 public:
  explicit EventSource(std::string name) : KernelObject(ObjectKind::kEventSource), name_(std::move(name)) {}
  const std::string& name() const { return name_; }

 private:
  const std::string name_;
};

void AppendEscaped(std::string& record, const std::string& text) {
  for (const char c : text) {
    switch (c) {
      case '\\': record += "\\\\"; break;
      case '\t': record += "\\t"; break;
      case '\r': record += "\\r"; break;
      case '\n': record += "\\n"; break;
      default: record += c;
    }
  }
}

bool IsEventType(WORD type) {
  return type == EVENTLOG_SUCCESS || type == EVENTLOG_ERROR_TYPE || type == EVENTLOG_WARNING_TYPE ||
         type == EVENTLOG_INFORMATION_TYPE || type == EVENTLOG_AUDIT_SUCCESS || type == EVENTLOG_AUDIT_FAILURE;
}

bool AppendRecord(const std::string& record) {
  const std::string file = EventLogFile();
  const UniqueFd log(open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!log) {
    SetLastError(ErrnoToWin32(errno, file));
    return false;
  }
  if (!WriteAll(log.get(), record)) {
    SetLastError(ErrnoToWin32(errno, file));
    return false;
  }
  return true;
}

}  // namespace

}  // namespace kvtr::posix

extern "C" {

const char* KvtrEmu_EventLogFile(void) try {
  static thread_local std::string path;
  path = kvtr::posix::EventLogFile();
  return path.c_str();
} catch (...) {
  return "";
}

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) try {
  if (DWORD fault = kvtr::posix::InjectedFault("RegisterEventSourceW", "eventlog")) {
    SetLastError(fault);
    return nullptr;
  }
  // Only the local computer's log exists here.
  if (server != nullptr && server[0] != 0) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<kvtr::posix::EventSource>(kvtr::posix::Utf16ToUtf8(source));
  return kvtr::posix::AddHandle(std::move(object), 0);
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(nullptr);
}

BOOL DeregisterEventSource(HANDLE eventLog) try {
  if (kvtr::posix::ReferenceHandleOf<kvtr::posix::EventSource>(eventLog, kvtr::posix::ObjectKind::kEventSource) ==
      nullptr) {
    return FALSE;
  }
  return kvtr::posix::RemoveHandle(eventLog) ? TRUE : FALSE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData) try {
  (void)category;
  (void)userSid;
  (void)dataSize;
  (void)rawData;
  const auto source =
      kvtr::posix::ReferenceHandleOf<kvtr::posix::EventSource>(eventLog, kvtr::posix::ObjectKind::kEventSource);
  if (source == nullptr) return FALSE;
  if (!kvtr::posix::IsEventType(type) || (numStrings > 0 && strings == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DWORD fault = kvtr::posix::InjectedFault("ReportEventW", "eventlog")) {
    SetLastError(fault);
    return FALSE;
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char header[96];
  std::snprintf(header, sizeof header, "%04d-%02d-%02d %02d:%02d:%02d\t", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string record = header;
  kvtr::posix::AppendEscaped(record, source->name());
  char fields[48];
  std::snprintf(fields, sizeof fields, "\t%u\t0x%08X", static_cast<unsigned>(type), static_cast<unsigned>(eventId));
  record += fields;
  for (WORD i = 0; i < numStrings; ++i) {
    record += '\t';
    if (strings[i] != nullptr) kvtr::posix::AppendEscaped(record, kvtr::posix::Utf16ToUtf8(strings[i]));
  }
  record += '\n';
  return kvtr::posix::AppendRecord(record) ? TRUE : FALSE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
