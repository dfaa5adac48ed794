// The "Invalid log entry" reports that reach the log receiver while a test
// runs, taken apart into their fields.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kvtr::test {

struct ReportedArgument {
  int number = 0;
  std::string type;
  std::string value;
};

struct RejectedReport {
  int level = -1;
  std::string eventId;  // "42(0x0000002A)"
  std::string format;
  std::string user;
  int argumentCount = -1;
  bool argsNull = false;  // the Args field is "<null>"
  std::vector<ReportedArgument> arguments;
};

// Parses a report text; fields it cannot find stay at their defaults.
inline RejectedReport ParseRejectedReport(const std::string& text) {
  RejectedReport report;
  const auto between = [&](const std::string& from, const std::string& to) {
    const size_t start = text.find(from);
    if (start == std::string::npos) return std::string();
    const size_t end = to.empty() ? text.size() : text.find(to, start + from.size());
    return text.substr(start + from.size(), (end == std::string::npos ? text.size() : end) - start - from.size());
  };
  report.level = std::atoi(between("Level:", ",").c_str());
  report.eventId = between("EventId:", ", Format:");
  report.format = between(", Format:", ", User:");
  report.user = between(", User:", ", ArgCount:");
  report.argumentCount = std::atoi(between(", ArgCount:", ", Args:").c_str());
  const std::string args = between(", Args:", "");
  report.argsNull = args == "<null>";
  // Items "arg[n](type)=value ", each value running to the blank before
  // the next item or to the final blank.
  size_t at = 0;
  while (!report.argsNull && args.compare(at, 4, "arg[") == 0) {
    ReportedArgument argument;
    const size_t close = args.find("](", at);
    const size_t typeEnd = args.find(")=", close);
    if (close == std::string::npos || typeEnd == std::string::npos) break;
    argument.number = std::atoi(args.substr(at + 4, close - at - 4).c_str());
    argument.type = args.substr(close + 2, typeEnd - close - 2);
    const size_t valueStart = typeEnd + 2;
    const size_t next = args.find(" arg[" + std::to_string(argument.number + 1) + "](", valueStart);
    const size_t valueEnd = next != std::string::npos ? next : args.size() - 1;
    argument.value = args.substr(valueStart, valueEnd - valueStart);
    report.arguments.push_back(argument);
    at = valueEnd + 1;
  }
  return report;
}

// Collects the reports (level 5 entries that begin "Invalid log entry - ").
class RejectedReports {
 public:
  RejectedReports() { EXPECT_TRUE(capture_.adopted()); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const LogEntry& entry : capture_.Entries()) {
      if (entry.level == 5 && entry.text.rfind("Invalid log entry - ", 0) == 0) texts.push_back(entry.text);
    }
    return texts;
  }
  std::vector<RejectedReport> All() const {
    std::vector<RejectedReport> reports;
    for (const std::string& text : Texts()) reports.push_back(ParseRejectedReport(text));
    return reports;
  }
  // The one report since the last Take or Clear.
  RejectedReport Take() {
    const std::vector<RejectedReport> reports = All();
    EXPECT_EQ(1u, reports.size());
    capture_.Clear();
    return reports.empty() ? RejectedReport{} : reports.back();
  }
  void Clear() { capture_.Clear(); }
  LogCapture& capture() { return capture_; }
  const LogCapture& capture() const { return capture_; }

 private:
  LogCapture capture_;
};

}  // namespace kvtr::test
