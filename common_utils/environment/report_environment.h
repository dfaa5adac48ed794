// The environment report: "[ENV] " lines that tell the reader of a trace
// file which process, account, machine, operating system and system
// components the trace comes from. Each line goes to a sink with the host
// logging callback's signature; every fact is read afresh on each run.
#pragma once

#include <cstdint>

#include "common_utils/report/host_log.h"
#include "platform/win32.h"

namespace kvtr::environment {

// Hands a line to the diagnostic logger at the line's level (format "%s");
// all other arguments are ignored, and so is a null message.
void __cdecl DefaultEnvironmentSink(int level, void* reserved1, void* reserved2, void* reserved3,
                                    const WCHAR* message, const char* function, int line, void* context);

class ReportEnvironment {
 public:
  // The sink is DefaultEnvironmentSink; the creation time is now.
  ReportEnvironment();
  // The same with a sink of the caller's own, for a program that shows the
  // report itself.
  explicit ReportEnvironment(installer::HostLogCallback sink);
  virtual ~ReportEnvironment() = default;
  ReportEnvironment(const ReportEnvironment&) = delete;
  ReportEnvironment& operator=(const ReportEnvironment&) = delete;

  // The whole report: process, host and operating system, system, network,
  // components, running processes.
  void ReportEnvironmentVersions();

  // The sections. ReportSystemInfo ends after its first line when the
  // processor key cannot be opened.
  void ReportSystemInfo();
  // With no report, writes through DefaultEnvironmentSink.
  static void ReportSystemMemoryInfo(const ReportEnvironment* report);
  // The executable's path and the account ("DOMAIN\user"); a failure is
  // reported and leaves the texts not found empty.
  void GetServiceInfo(WString& executable, WString& account);
  void ReportCurrentProcesses();
  // The same from the performance data, for systems without tool-help.
  void ReportCurrentProcessesNT();

  installer::HostLogCallback sink() const noexcept { return sink_; }
  int64_t creationTime() const noexcept { return creationTime_; }

 private:
  installer::HostLogCallback sink_;
  int64_t creationTime_;  // seconds since 1970
};

// The system's up time in seconds from the performance data's System Up
// Time counter, or -1 (reported through `sink`).
int64_t GetUpTimeSecs(installer::HostLogCallback sink);

}  // namespace kvtr::environment
