#include "environment/report_recorder.h"

#include <atomic>

namespace kvtr::test {
namespace {

std::atomic<ReportRecorder*> g_recorder{nullptr};

std::string Utf8(const WCHAR* text) {
  if (text == nullptr) return "(null)";
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr);
  out.resize(static_cast<size_t>(needed - 1));
  return out;
}

}  // namespace

ReportRecorder::ReportRecorder() { g_recorder.store(this); }
ReportRecorder::~ReportRecorder() { g_recorder.store(nullptr); }

void __cdecl ReportRecorder::Sink(int level, void*, void*, void*, const WCHAR* message, const char* function,
                                  int line, void* context) {
  ReportRecorder* self = g_recorder.load();
  if (self == nullptr) return;
  std::lock_guard<std::mutex> hold(self->lock_);
  self->lines_.push_back(ReportedLine{level, Utf8(message), function != nullptr ? function : "", line, context});
}

std::vector<ReportedLine> ReportRecorder::Lines() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

std::vector<std::string> ReportRecorder::Messages(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const ReportedLine& line : Lines()) {
    if (line.message.compare(0, prefix.size(), prefix) == 0) found.push_back(line.message);
  }
  return found;
}

bool ReportRecorder::Find(const std::string& prefix, ReportedLine* found) const {
  for (const ReportedLine& line : Lines()) {
    if (line.message.compare(0, prefix.size(), prefix) != 0) continue;
    if (found != nullptr) *found = line;
    return true;
  }
  return false;
}

int ReportRecorder::IndexOf(const std::string& prefix) const {
  const std::vector<ReportedLine> lines = Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].message.compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  }
  return -1;
}

void ReportRecorder::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.clear();
}

}  // namespace kvtr::test
