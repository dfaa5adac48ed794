// POSIX platform layer: tool-help snapshots (CreateToolhelp32Snapshot,
// Process32FirstW, Process32NextW).
//
// A snapshot is the host's process list read from /proc when it is taken.
// A process's name is the file name of its executable as the host has it
// (no ".exe" is invented), or its command name from /proc/<pid>/stat where
// the executable cannot be read (another user's process, a kernel thread).
// Heap, thread and module lists are not kept. Nothing here starts, opens or
// signals a process.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

constexpr DWORD kKnownFlags = TH32CS_SNAPALL | TH32CS_SNAPMODULE32 | TH32CS_INHERIT;

class SnapshotObject : public KernelObject {
 public:
  explicit SnapshotObject(std::vector<HostProcess> processes) noexcept
      : KernelObject(ObjectKind::kSnapshot), processes_(std::move(processes)) {}

  // The process at the cursor, which then moves on; false past the last.
  bool Next(bool first, HostProcess& out) {
    std::lock_guard<std::mutex> hold(lock_);
    if (first) next_ = 0;
    if (next_ >= processes_.size()) return false;
    out = processes_[next_++];
    return true;
  }

 private:
  std::mutex lock_;
  const std::vector<HostProcess> processes_;
  size_t next_ = 0;
};

// The base priority Windows shows for the priority class nearest to a
// host nice value.
LONG PriorityBaseOfNice(long nice) {
  if (nice < -10) return 13;  // HIGH_PRIORITY_CLASS
  if (nice < 0) return 10;    // ABOVE_NORMAL_PRIORITY_CLASS
  if (nice == 0) return 8;    // NORMAL_PRIORITY_CLASS
  if (nice <= 10) return 6;   // BELOW_NORMAL_PRIORITY_CLASS
  return 4;                   // IDLE_PRIORITY_CLASS
}

// The facts of one process from /proc/<pid>/stat ("pid (comm) state ppid
// ... nice num_threads ..."); false when it ended meanwhile. The command
// name may itself hold spaces, parentheses and line feeds, so it ends at
// the last ')'.
bool ReadProcess(const std::string& pid, HostProcess& facts) {
  // Read whole: the name may hold line feeds too.
  std::ifstream file("/proc/" + pid + "/stat", std::ios::binary);
  if (!file) return false;
  const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  std::istringstream rest(stat.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field && fields.size() < 18;) fields.push_back(field);
  if (fields.size() < 18) return false;  // state ppid ... nice(16) num_threads(17)
  facts.id = static_cast<DWORD>(std::strtoul(pid.c_str(), nullptr, 10));
  facts.parentId = static_cast<DWORD>(std::strtoul(fields[1].c_str(), nullptr, 10));
  facts.threads = static_cast<DWORD>(std::strtoul(fields[17].c_str(), nullptr, 10));
  facts.priorityBase = PriorityBaseOfNice(std::strtol(fields[16].c_str(), nullptr, 10));
  facts.cpuClockTicks = std::strtoll(fields[11].c_str(), nullptr, 10) + std::strtoll(fields[12].c_str(), nullptr, 10);

  std::string name = stat.substr(open + 1, close - open - 1);
  char target[4096];
  const ssize_t length = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
      path.resize(path.size() - kDeleted.size());
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash + 1 < path.size()) name = path.substr(slash + 1);
  }
  facts.exeFile = Utf8ToUtf16(name);
  if (facts.exeFile.size() >= MAX_PATH) facts.exeFile.resize(MAX_PATH - 1);
  return true;
}

}  // namespace

std::vector<HostProcess> ReadHostProcesses() {
  std::vector<HostProcess> processes;
  UniqueDir listing(opendir("/proc"));
  if (!listing) return processes;
  while (dirent* entry = readdir(listing.get())) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    HostProcess facts;
    if (ReadProcess(pid, facts)) processes.push_back(std::move(facts));
  }
  return processes;
}

namespace {

BOOL WalkProcesses(HANDLE snapshot, LPPROCESSENTRY32W entry, bool first) {
  auto object = ReferenceHandleOf<SnapshotObject>(snapshot, ObjectKind::kSnapshot);
  if (object == nullptr) return FALSE;
  if (entry == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (entry->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  HostProcess facts;
  if (!object->Next(first, facts)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  entry->cntUsage = 0;
  entry->th32ProcessID = facts.id;
  entry->th32DefaultHeapID = 0;
  entry->th32ModuleID = 0;
  entry->cntThreads = facts.threads;
  entry->th32ParentProcessID = facts.parentId;
  entry->pcPriClassBase = facts.priorityBase;
  entry->dwFlags = 0;
  std::memcpy(entry->szExeFile, facts.exeFile.c_str(), (facts.exeFile.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

}  // namespace
}  // namespace kvtr::posix

extern "C" {

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) try {
  using namespace kvtr::posix;
  if ((flags & ~kKnownFlags) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<HostProcess> processes;
  if ((flags & TH32CS_SNAPPROCESS) != 0) processes = ReadHostProcesses();
  return AddHandle(std::make_shared<SnapshotObject>(std::move(processes)), 0);
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(INVALID_HANDLE_VALUE);
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) try {
  return kvtr::posix::WalkProcesses(snapshot, entry, /*first=*/true);
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) try {
  return kvtr::posix::WalkProcesses(snapshot, entry, /*first=*/false);
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
