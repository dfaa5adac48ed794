// ReloadConfiguration: the registry values under the configured key that
// the worker applies while it runs.
#include "common_utils/logger/debug_logger.h"
#include "common_utils/registry/registry.h"

namespace kvtr::logger {
namespace {

constexpr DWORD kHighestLevel = 15;

// A level value: a REG_DWORD of 0 to 15, else `fallback`.
int32_t ReadLevel(registry::Registry& key, const wchar* name, int32_t fallback, bool* valid = nullptr) {
  DWORD value = 0;
  const bool ok = key.GetDWORD(name, &value) && value <= kHighestLevel;
  if (valid != nullptr) *valid = ok;
  return ok ? static_cast<int32_t>(value) : fallback;
}

int32_t ReadNumber(registry::Registry& key, const wchar* name, int32_t fallback) {
  DWORD value = 0;
  return key.GetDWORD(name, &value) ? static_cast<int32_t>(value) : fallback;
}

bool ReadFlag(registry::Registry& key, const wchar* name, bool fallback) {
  bool flag = fallback;
  key.GetBool(name, &flag, fallback);
  return flag;
}

}  // namespace

void DebugLogger::ReloadConfiguration() {
  if (settings_.configKeyPath.empty()) return;
  using registry::Registry;
  Registry key(settings_.configKeyPath.c_str(),
               settings_.perUserConfig ? Registry::kCurrentUser : Registry::kLocalMachine, Registry::kCacheValueNames);
  if (!key.Open(/*forWrite=*/false)) return;

  bool consoleLevelValid = false;
  const int32_t trace = ReadLevel(key, W("DebugLogLevel"), settings_.defaultTraceLevel);
  const int32_t eventLog = ReadLevel(key, W("EventLogLevel"), 2);
  const int32_t syslog = ReadLevel(key, W("SysLogLevel"), 2);
  const int32_t console = ReadLevel(key, W("ConsoleLogLevel"), 3, &consoleLevelValid);
  SetLevels(trace, eventLog, syslog, console);
  settings_.consoleEnabled = ReadFlag(key, W("ConsoleLogEnabled"), consoleLevelValid);
  settings_.maxDailyFileAge = ReadNumber(key, W("DebugLogMaxDailyFileAge"), 0);
  settings_.traceEncoding = ReadNumber(key, W("DebugLogEncoding"), 0);
  settings_.blockingSyslog = ReadFlag(key, W("BlockingSyslog"), true);
  settings_.addSyslogHeader = ReadFlag(key, W("AddSyslogHeader"), true);

  const bool syslogEnabled = ReadFlag(key, W("SysLogEnabled"), !settings_.syslogServers.empty());
  if (syslogEnabled != settings_.syslogEnabled) {
    settings_.syslogEnabled = syslogEnabled;
    if (syslogEnabled) {
      OpenSyslog();
    } else {
      CloseSyslog();
    }
  }
  const bool traceEnabled = ReadFlag(key, W("DebugLogEnabled"), !settings_.traceFilePath.empty());
  if (traceEnabled != settings_.traceEnabled) {
    settings_.traceEnabled = traceEnabled;
    if (traceEnabled) {
      ReopenTraceFile();
    } else {
      CloseTraceFile();
    }
  }
  const bool eventLogEnabled = ReadFlag(key, W("EventLogEnabled"), true);
  if (eventLogEnabled != settings_.eventLogEnabled) {
    settings_.eventLogEnabled = eventLogEnabled;
    if (eventLogEnabled) {
      StartEventLogOutput();
    } else {
      StopEventLogOutput();
    }
  }
  settings_.eventLogTimeThreshold = static_cast<uint32_t>(ReadNumber(key, W("EventLogTimeThreshold"), 60));
  key.Close();
}

}  // namespace kvtr::logger
