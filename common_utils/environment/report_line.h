// How the environment report writes one line: through the report's sink,
// when the sink is usable before and after formatting, into a zeroed
// 512-unit buffer (at most 510 characters of text), with the function name
// of the section and the source line of the reporting statement.
#pragma once

#include "common_utils/report/host_log.h"

namespace kvtr::environment {

inline constexpr int kLineUnits = 512;

// One section's way to its sink.
struct ReportUnit {
  installer::HostLogCallback sink;
  const char* function;
  installer::LogContextBlock* context;
};

}  // namespace kvtr::environment

// A formatted line at `level`.
#define KVTR_ENV_LINE(unit, level, ...)                                                                        \
  ::kvtr::installer::ReportToHostSized((unit).sink, ::kvtr::environment::kLineUnits, level, (unit).function, \
                                       __LINE__, (unit).context, __VA_ARGS__)
// A fixed text at `level`, passed as it is.
#define KVTR_ENV_TEXT(unit, level, text) \
  ::kvtr::installer::ReportLiteralToHost((unit).sink, level, (unit).function, __LINE__, (unit).context, text)
