// eventlog: the emulated machine's event log, oldest first, as an event
// viewer lists it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/emulation.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {
namespace {

// One event log record as an event viewer lists it: time, source, type,
// event id (its low 16 bits, as the viewer shows it) and the insertion
// strings, each on a line of its own when there are several.
std::string EventLine(const std::string& record) {
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = 0; i <= record.size(); ++i) {
    if (i == record.size() || record[i] == '\t') {
      fields.push_back(field);
      field.clear();
    } else if (record[i] == '\\' && i + 1 < record.size()) {
      const char next = record[++i];
      field += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    } else {
      field += record[i];
    }
  }
  if (fields.size() < 4) return record;
  const unsigned long type = std::strtoul(fields[2].c_str(), nullptr, 10);
  const char* const typeName = type == EVENTLOG_ERROR_TYPE         ? "Error"
                               : type == EVENTLOG_WARNING_TYPE     ? "Warning"
                               : type == EVENTLOG_INFORMATION_TYPE ? "Information"
                               : type == EVENTLOG_AUDIT_SUCCESS    ? "Audit Success"
                               : type == EVENTLOG_AUDIT_FAILURE    ? "Audit Failure"
                                                                   : "Success";
  const unsigned long id = std::strtoul(fields[3].c_str(), nullptr, 16) & 0xFFFF;
  char head[256];
  std::snprintf(head, sizeof head, "%-19s  %-24s  %-11s  %8lu  ", fields[0].c_str(), fields[1].c_str(), typeName, id);
  std::string line = head;
  for (size_t i = 4; i < fields.size(); ++i) line += (i > 4 ? " | " : "") + fields[i];
  return line;
}

}  // namespace

int RunEventLog() {
  std::ifstream log(KvtrEmu_EventLogFile(), std::ios::binary);
  std::printf("%-19s  %-24s  %-11s  %8s  %s\n", "Date and Time", "Source", "Type", "Event ID", "Description");
  size_t count = 0;
  for (std::string record; std::getline(log, record); ++count) std::printf("%s\n", EventLine(record).c_str());
  std::printf("%zu event%s\n", count, count == 1 ? "" : "s");
  return 0;
}

}  // namespace kvtr::setup
