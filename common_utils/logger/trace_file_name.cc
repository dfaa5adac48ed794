// Trace file names: the simple scheme decorates the configured path with
// an instance number, a date and a sequence number; the structured scheme
// builds the name from folder, prefix, computer, component, instance, date
// and a four-digit sequence. Both delete trace files older than the
// configured number of days and find the next sequence number by listing
// the files that exist.
#include <algorithm>
#include <cstdarg>
#include <string>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/trace_file_system.h"

namespace kvtr::logger {
namespace {

constexpr size_t kPathCapacity = 256;
constexpr size_t kComputerNameCapacity = 32;

WString Formatted(const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  qel::QELString text;
  text.FormatV(format, args);
  va_end(args);
  return text.CStr() != nullptr ? WString(text.CStr()) : WString();
}

// Seconds since 1970 of local midnight of `date`, less `days` days.
int64_t CutOff(std::tm date, int32_t days) {
  date.tm_hour = date.tm_min = date.tm_sec = 0;
  date.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&date)) - static_cast<int64_t>(days) * 86400;
}

int DecimalPrefix(WStringView text) {
  int value = 0;
  for (const wchar c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool AllDigits(WStringView text) {
  if (text.empty()) return false;
  for (const wchar c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

WString DebugLogger::ChooseTraceFileName(bool forceNewFile) {
  if (!settings_.structuredNames) return ChooseSimpleTraceFileName(forceNewFile);
  if (settings_.dateInFileName && settings_.maxDailyFileAge > 0) DeleteOldTraceFiles(traceFileDate_);
  const int highest = FindHighestSequence(traceFileDate_);
  const int sequence = forceNewFile || settings_.rollToNewFile ? highest + 1 : (highest == 0 ? 1 : highest);
  return BuildTraceFileName(traceFileDate_, sequence);
}

WString DebugLogger::ChooseSimpleTraceFileName(bool forceNewFile) {
  WString work = settings_.traceFilePath.substr(0, kPathCapacity);
  const size_t dot = work.rfind('.');
  const WString extension = dot == WString::npos ? WString() : work.substr(dot);
  size_t insertAt = dot == WString::npos ? work.size() : dot;
  // Every insertion writes its text at the insertion point, then the
  // extension.
  const auto insert = [&](const WString& text) { work = work.substr(0, insertAt) + text + extension; };

  if (settings_.instanceNumber != 0) {
    insert(Formatted(W("-%03d"), settings_.instanceNumber));
    insertAt += 4;
    if (settings_.dateInFileName) {
      insert(W("-"));
      insertAt += 1;
    }
  }
  if (settings_.dateInFileName) {
    if (settings_.maxDailyFileAge > 0) {
      const int64_t cutOff = CutOff(traceFileDate_, settings_.maxDailyFileAge);
      for (const wchar* pattern : {W("????????"), W("????????_???")}) {
        const WString mask = work.substr(0, insertAt) + pattern + extension;
        const WString folder = FolderOf(WStringView(mask).substr(0, insertAt));
        for (const FoundFile& file : ListMatchingFiles(mask)) {
          if (!file.directory && file.lastWriteTime < cutOff) DeleteFileW((folder + file.name).c_str());
        }
      }
    }
    insert(Formatted(W("%04d%02d%02d"), traceFileDate_.tm_year + 1900, traceFileDate_.tm_mon + 1,
                     traceFileDate_.tm_mday));
    insertAt += 8;
  }
  if (forceNewFile || settings_.rollToNewFile) {
    // Sequence numbers have at least three digits and as many more as they
    // need: the names are parsed, not matched by a fixed-width mask, so the
    // number goes on past 999.
    const WString mask = work.substr(0, insertAt) + W("_*") + extension;
    const size_t stemStart = FolderOf(WStringView(mask).substr(0, insertAt)).size();
    const size_t fixed = insertAt - stemStart + 1 + extension.size();  // stem, "_", extension
    int highest = -1;
    for (const FoundFile& file : ListMatchingFiles(mask)) {
      if (file.directory || file.name.size() <= fixed) continue;
      const WStringView number = WStringView(file.name).substr(fixed - extension.size(), file.name.size() - fixed);
      if (AllDigits(number) && number.size() <= 9) highest = std::max(highest, DecimalPrefix(number));
    }
    insert(Formatted(W("_%03d"), highest + 1));
  }
  return work;
}

WString DebugLogger::ComputerName() const {
  wchar name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return WString();
  WString computer = WString(name).substr(0, kComputerNameCapacity);
  CharUpperBuffW(computer.data(), static_cast<DWORD>(computer.size()));
  return computer;
}

// A structured path: the directory, the day's folder with dailyFolders,
// then prefix, computer, component and instance, the date with
// dateInFileName, and the sequence text. A name has the prefix and a
// four-digit sequence; a search mask "*" and "????" in their places.
WString DebugLogger::StructuredPath(const std::tm& date, const wchar* prefix, const WString& sequence) const {
  const WString day = Formatted(W("%04d%02d%02d"), date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
  WString path = settings_.traceDirectory + W("\\");
  if (settings_.dailyFolders) path += day + W("\\");
  path += prefix + ComputerName() + W("_") + settings_.componentName +
          Formatted(W("_%02d_"), settings_.instanceNumber);
  if (settings_.dateInFileName) path += day + W("_");
  return path + sequence + W(".txt");
}

WString DebugLogger::BuildTraceFileName(const std::tm& date, int sequence) const {
  return StructuredPath(date, settings_.traceFilePrefix.c_str(), Formatted(W("%04d"), sequence)).substr(0, kPathCapacity);
}

int DebugLogger::FindHighestSequence(const std::tm& date) const {
  const WString mask = StructuredPath(date, W("*"), W("????"));
  int highest = 0;
  for (const FoundFile& file : ListMatchingFiles(mask)) {
    if (file.directory || file.name.size() < 8) continue;
    highest = std::max(highest, DecimalPrefix(WStringView(file.name).substr(file.name.size() - 8, 4)));
  }
  return highest;
}

void DebugLogger::DeleteOldTraceFiles(const std::tm& date) const {
  const int64_t cutOff = CutOff(date, settings_.maxDailyFileAge);
  const WString computer = ComputerName();
  const WString& directory = settings_.traceDirectory;
  const auto fileMask = [&](const WString& folder) {
    return Formatted(W("%s\\*%s_%s_%02d_????????_????.txt"), folder.c_str(), computer.c_str(),
                     settings_.componentName.c_str(), settings_.instanceNumber);
  };
  // Dated folders: files by creation time, then the folder once it is empty.
  for (const FoundFile& entry : ListMatchingFiles(directory + W("\\????????"))) {
    if (!entry.directory || !AllDigits(entry.name)) continue;
    const WString folder = directory + W("\\") + entry.name;
    for (const FoundFile& file : ListMatchingFiles(fileMask(folder))) {
      if (!file.directory && file.creationTime < cutOff) DeleteFileW((folder + W("\\") + file.name).c_str());
    }
    RemoveDirectoryW(folder.c_str());
  }
  for (const FoundFile& file : ListMatchingFiles(fileMask(directory))) {
    if (!file.directory && file.lastWriteTime < cutOff) DeleteFileW((directory + W("\\") + file.name).c_str());
  }
}

}  // namespace kvtr::logger
