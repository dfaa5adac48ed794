// Helpers of the logger tests: the expected texts of the thread
// registrations and a registry's entries.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common_utils/threads/thread_name_registry.h"
#include "support/log_capture.h"

namespace kvtr::test {

// A number as %X (upper case) or %x gives it.
template <typename Number>
std::string Hex(Number value, bool upper = true) {
  std::ostringstream out;
  out << (upper ? std::uppercase : std::nouppercase) << std::hex << value;
  return out.str();
}

inline std::string RegisterText(DWORD id, const std::string& name) {
  return "[DIAG] EVENT=Register_thread, THREADID=0x" + Hex(id) + ", THREADNAME=\"" + name + "\"";
}
inline std::string UnregisterText(DWORD id, const std::string& name) {
  return "[DIAG] EVENT=Unregister_thread, THREADID=0x" + Hex(id) + ", THREADNAME=\"" + name + "\"";
}

using Registered = std::vector<std::pair<DWORD, std::string>>;

// The registry's entries, walked to the end.
inline Registered Walk(logger::ThreadNameRegistry& registry) {
  Registered entries;
  logger::ThreadNameRegistry::Cursor cursor;
  DWORD id = 0;
  std::string name;
  for (bool more = registry.First(cursor, id, name); more; more = registry.Next(cursor, id, name)) {
    entries.emplace_back(id, name);
  }
  return entries;
}

}  // namespace kvtr::test
