#include "installer/perflib_counters.h"

#include <cstring>
#include <string>
#include <vector>

#include "common_utils/format/bounded_format.h"
#include "common_utils/report/host_log.h"

namespace kvtr::installer {
namespace {

using registry::Registry;

constexpr const char* kFunction = "UnInstOldCounters";
constexpr const WCHAR* kPerflibKey = W("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib");
constexpr DWORD kServicePathChars = 100;
constexpr DWORD kLanguagePathChars = 256;
constexpr DWORD kMarkerChars = 12;

WString Marker(DWORD index) {
  WCHAR text[kMarkerChars];
  std::memset(text, 0, sizeof text);
  format::FormatBoundedF(text, kMarkerChars - 1, W("%u"), index);
  return text;
}

// An index entry of the range: a decimal number no greater than `last`.
bool IsIndexWithin(const WString& entry, DWORD last) {
  if (entry.empty() || entry.size() > 10) return false;
  uint64_t value = 0;
  for (WCHAR c : entry) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= last;
}

}  // namespace

bool FindPerflibRange(const std::vector<WString>& list, DWORD first, DWORD last, size_t& start, size_t& end) {
  const WString startMarker = Marker(first);
  const WString endMarker = Marker(last + 2);
  const size_t n = list.size();
  if (n < 3) return false;
  bool found = false;
  end = n;
  for (size_t position = n - 2; position >= 1; position -= 2) {
    if (list[position] == endMarker) end = position;
    if (list[position] == startMarker) {
      start = position;
      found = true;
      break;
    }
    if (position < 2) break;
  }
  if (!found) return false;
  // Another service's entries may follow the range without the end marker
  // (a gap in the numbering): the range ends at the first index above it.
  for (size_t position = start + 2; position < end; position += 2) {
    if (!IsIndexWithin(list[position], last)) {
      end = position;
      break;
    }
  }
  return true;
}

void RemovePerflibTexts(Registry& perflib, bool counterList, DWORD first, DWORD last) {
  const WCHAR* valueName = counterList ? W("Counter") : W("Help");
  DWORD count = 0;
  if (!perflib.GetSubKeyCount(&count) || count == 0) return;
  for (DWORD index = 0; index < count; ++index) {
    WCHAR path[kLanguagePathChars];
    std::memset(path, 0, sizeof path);
    if (!perflib.EnumSubKey(index, path, kLanguagePathChars, nullptr, 0)) continue;
    // A path cut to the buffer would name another key.
    if (WideLength(path) >= kLanguagePathChars - 1) continue;
    Registry language("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
    if (!language.Open(path, /*forWrite=*/true)) continue;
    std::vector<WString> list;
    if (!language.GetMultiString(valueName, list)) {
      language.Close();
      continue;
    }
    size_t start = 0, end = 0;
    if (FindPerflibRange(list, first, last, start, end)) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(start), list.begin() + static_cast<std::ptrdiff_t>(end));
      (void)language.SetMultiString(valueName, list);
    }
    language.Close();
  }
}

int UnInstOldCounters(const WCHAR* serviceName) {
  if (serviceName == nullptr || serviceName[0] == 0) {
    ReportLiteralToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                        W("Application name is empty"));
    return -3;
  }
  Registry perflib("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
  if (!perflib.Open(kPerflibKey, /*forWrite=*/true)) {
    ReportToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext, W("Cannot open: {%s} "),
                 kPerflibKey);
    return -1;
  }
  DWORD perflibLastCounter = 0, perflibLastHelp = 1;
  perflib.GetDWORD(W("Last Counter"), &perflibLastCounter, 0);
  perflib.GetDWORD(W("Last Help"), &perflibLastHelp, 1);

  WCHAR servicePath[kServicePathChars];
  std::memset(servicePath, 0, sizeof servicePath);
  const int length = format::FormatBoundedF(servicePath, kServicePathChars - 1,
                                            W("SYSTEM\\CurrentControlSet\\Services\\%s\\Performance"), serviceName);
  // A cut path can name another key, even the service's own main key: it is
  // never opened, read or deleted.
  const bool cut = length < 0;
  Registry service("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
  if (cut || !service.Open(servicePath, /*forWrite=*/false)) {
    ReportToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext, W("Cannot find: {%s} "),
                 servicePath);
    return -2;
  }
  DWORD firstCounter = 0, firstHelp = 0, lastCounter = 0, lastHelp = 0;
  service.GetDWORD(W("First Counter"), &firstCounter, 0);
  service.GetDWORD(W("First Help"), &firstHelp, 0);
  service.GetDWORD(W("Last Counter"), &lastCounter, 0);
  service.GetDWORD(W("Last Help"), &lastHelp, 0);
  service.Close();

  if (firstCounter <= lastCounter && firstHelp <= lastHelp && lastCounter <= perflibLastCounter &&
      lastHelp <= perflibLastHelp) {
    RemovePerflibTexts(perflib, /*counterList=*/true, firstCounter, lastCounter);
    RemovePerflibTexts(perflib, /*counterList=*/false, firstHelp, lastHelp);
  }
  perflib.Close();
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, servicePath);
  return 0;
}

}  // namespace kvtr::installer
