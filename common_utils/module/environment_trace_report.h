// The environment report as the top lines of the diagnostic logger's trace
// files. The logger knows only its TraceFileReport interface; this adapter
// joins the two siblings above both.
#pragma once

#include "common_utils/environment/report_environment.h"
#include "common_utils/logger/debug_logger.h"

namespace kvtr::runtime {

class EnvironmentTraceReport final : public logger::TraceFileReport {
 public:
  // The report's "started" time is the time this object is built.
  EnvironmentTraceReport() = default;
  void WriteReport() override { report_.ReportEnvironmentVersions(); }

 private:
  environment::ReportEnvironment report_;
};

}  // namespace kvtr::runtime
