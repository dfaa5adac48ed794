// POSIX platform layer: file listing with Windows' wildcards
// (FindFirstFileW, FindNextFileW, FindClose), folder creation and removal,
// and file times (CreateFileW for a handle, GetFileTime, SetFileTime).
//
// A mask's last part is matched case-insensitively: "?" is one character,
// "*" any run (also none), and "*.*" matches every name. Entries come in
// case-insensitive name order with "." and ".." first, as NTFS lists them.
//
// Creation time: Linux keeps a birth time on most file systems but lets
// nobody set it, while Windows programs set creation times (SetFileTime).
// A creation time set through SetFileTime is kept with the file (the
// extended attribute user.kvtr.creation_time, 100-ns units since 1601) and
// answered from then on; otherwise the file system's birth time (statx),
// and where there is none the earlier of the last write and status change.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "handles.h"
#include "layer.h"
#include "win32_api.h"

namespace kvtr::posix {
namespace {

constexpr char kCreationAttribute[] = "user.kvtr.creation_time";
constexpr int64_t kUnitsTo1970 = 116444736000000000;

FILETIME FileTimeOf(int64_t seconds, int64_t nanoseconds) {
  const uint64_t units = static_cast<uint64_t>(seconds * 10000000 + nanoseconds / 100 + kUnitsTo1970);
  return FILETIME{static_cast<DWORD>(units & 0xFFFFFFFFu), static_cast<DWORD>(units >> 32)};
}

uint64_t UnitsOf(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

struct timespec TimespecOf(const FILETIME& time) {
  const int64_t since1970 = static_cast<int64_t>(UnitsOf(time)) - kUnitsTo1970;
  struct timespec value;
  value.tv_sec = static_cast<time_t>(since1970 >= 0 ? since1970 / 10000000 : (since1970 - 9999999) / 10000000);
  value.tv_nsec = static_cast<long>((since1970 - static_cast<int64_t>(value.tv_sec) * 10000000) * 100);
  return value;
}

FILETIME CreationTimeOf(const std::string& host, const struct stat& info) {
  uint64_t units = 0;
  if (getxattr(host.c_str(), kCreationAttribute, &units, sizeof units) == sizeof units) {
    return FILETIME{static_cast<DWORD>(units & 0xFFFFFFFFu), static_cast<DWORD>(units >> 32)};
  }
  struct statx extended;
  if (statx(AT_FDCWD, host.c_str(), 0, STATX_BTIME, &extended) == 0 && (extended.stx_mask & STATX_BTIME) != 0) {
    return FileTimeOf(extended.stx_btime.tv_sec, extended.stx_btime.tv_nsec);
  }
  const struct timespec& earlier =
      (info.st_mtim.tv_sec < info.st_ctim.tv_sec ||
       (info.st_mtim.tv_sec == info.st_ctim.tv_sec && info.st_mtim.tv_nsec < info.st_ctim.tv_nsec))
          ? info.st_mtim
          : info.st_ctim;
  return FileTimeOf(earlier.tv_sec, earlier.tv_nsec);
}

void Describe(const std::string& host, const struct stat& info, WIN32_FIND_DATAW& data) {
  data.dwFileAttributes = FileAttributesOf(info.st_mode);
  data.ftCreationTime = CreationTimeOf(host, info);
  data.ftLastAccessTime = FileTimeOf(info.st_atim.tv_sec, info.st_atim.tv_nsec);
  data.ftLastWriteTime = FileTimeOf(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  const uint64_t size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

// Windows' wildcard match of one name, case-insensitive.
bool Matches(WStringView pattern, WStringView name) {
  if (pattern == W("*.*")) pattern = W("*");
  size_t p = 0, n = 0, starP = WStringView::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starP != WStringView::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

class FileSearch : public KernelObject {
 public:
  FileSearch() : KernelObject(ObjectKind::kFileSearch) {}
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

class OpenFile : public KernelObject {
 public:
  OpenFile(std::string hostPath, UniqueFd descriptor)
      : KernelObject(ObjectKind::kFile), host(std::move(hostPath)), fd(std::move(descriptor)) {}
  const std::string host;
  const UniqueFd fd;
};

}  // namespace
}  // namespace kvtr::posix

extern "C" {

HANDLE FindFirstFileW(LPCWSTR mask, LPWIN32_FIND_DATAW data) try {
  using namespace kvtr::posix;
  if (mask == nullptr || data == nullptr || mask[0] == 0) {
    SetLastError(mask == nullptr || data == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const kvtr::WStringView whole(mask);
  const size_t separator = whole.find_last_of(W("\\/"));
  const kvtr::WString folder =
      separator == kvtr::WStringView::npos ? kvtr::WString(W(".")) : kvtr::WString(whole.substr(0, separator + 1));
  const kvtr::WStringView pattern = separator == kvtr::WStringView::npos ? whole : whole.substr(separator + 1);
  const std::string hostFolder = HostPath(folder);
  DIR* const directory = opendir(hostFolder.c_str());
  if (directory == nullptr) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno, hostFolder));
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_shared<FileSearch>();
  std::vector<std::pair<kvtr::WString, std::string>> names;
  while (const struct dirent* entry = readdir(directory)) {
    const kvtr::WString name = Utf8ToUtf16(entry->d_name);
    if (Matches(pattern, name)) names.emplace_back(name, entry->d_name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
    const bool aDots = a.first == W(".") || a.first == W("..");
    const bool bDots = b.first == W(".") || b.first == W("..");
    if (aDots != bDots) return aDots;
    return CompareNoCase(a.first, b.first) < 0;
  });
  for (const auto& [name, hostName] : names) {
    const std::string host = hostFolder + "/" + hostName;
    struct stat info;
    if (stat(host.c_str(), &info) != 0 || name.size() >= MAX_PATH) continue;
    WIN32_FIND_DATAW found{};
    Describe(host, info, found);
    std::copy(name.begin(), name.end(), found.cFileName);
    search->entries.push_back(found);
  }
  if (search->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = search->entries[0];
  search->next = 1;
  return AddHandle(std::move(search), 0);
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(INVALID_HANDLE_VALUE);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) try {
  using namespace kvtr::posix;
  const auto search = ReferenceHandleOf<FileSearch>(find, ObjectKind::kFileSearch);
  if (search == nullptr) return FALSE;
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (search->next >= search->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = search->entries[search->next++];
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL FindClose(HANDLE find) try {
  using namespace kvtr::posix;
  if (ReferenceHandleOf<FileSearch>(find, ObjectKind::kFileSearch) == nullptr) return FALSE;
  return RemoveHandle(find) ? TRUE : FALSE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) try {
  using namespace kvtr::posix;
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::string host = HostPath(path);
  if (mkdir(host.c_str(), 0777) != 0) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno, host));
    return FALSE;
  }
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL RemoveDirectoryW(LPCWSTR path) try {
  using namespace kvtr::posix;
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::string host = HostPath(path);
  if (rmdir(host.c_str()) != 0) {
    SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : ErrnoToWin32(errno, host));
    return FALSE;
  }
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) try {
  using namespace kvtr::posix;
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string host = HostPath(path);
  struct stat info;
  const bool exists = stat(host.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    // A folder opens only for its attributes and times, and only with
    // backup semantics, as on Windows.
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    UniqueFd fd(open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
      SetLastError(ErrnoToWin32(errno, host));
      return INVALID_HANDLE_VALUE;
    }
    return AddHandle(std::make_shared<OpenFile>(host, std::move(fd)), access);
  }
  int mode = (access & GENERIC_WRITE) != 0 ? ((access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: mode |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case TRUNCATE_EXISTING: mode |= O_TRUNC; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  UniqueFd fd(open(host.c_str(), mode | O_CLOEXEC, 0644));
  if (!fd) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToWin32(errno, host));
    return INVALID_HANDLE_VALUE;
  }
  // As Windows does, CREATE_ALWAYS and OPEN_ALWAYS on an existing file
  // succeed with ERROR_ALREADY_EXISTS.
  SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
  return AddHandle(std::make_shared<OpenFile>(host, std::move(fd)), access);
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(INVALID_HANDLE_VALUE);
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) try {
  using namespace kvtr::posix;
  const auto open = ReferenceHandleOf<OpenFile>(file, ObjectKind::kFile);
  if (open == nullptr) return FALSE;
  struct stat info;
  if (fstat(open->fd.get(), &info) != 0) {
    SetLastError(ErrnoToWin32(errno, open->host));
    return FALSE;
  }
  WIN32_FIND_DATAW data{};
  Describe(open->host, info, data);
  if (creation != nullptr) *creation = data.ftCreationTime;
  if (lastAccess != nullptr) *lastAccess = data.ftLastAccessTime;
  if (lastWrite != nullptr) *lastWrite = data.ftLastWriteTime;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite) try {
  using namespace kvtr::posix;
  DWORD access = 0;
  const auto open = ReferenceHandleOf<OpenFile>(file, ObjectKind::kFile, &access);
  if (open == nullptr) return FALSE;
  if ((access & (GENERIC_WRITE | FILE_WRITE_ATTRIBUTES)) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (creation != nullptr) {
    const uint64_t units = UnitsOf(*creation);
    if (fsetxattr(open->fd.get(), kCreationAttribute, &units, sizeof units, 0) != 0) {
      SetLastError(ErrnoToWin32(errno, open->host));
      return FALSE;
    }
  }
  if (lastAccess != nullptr || lastWrite != nullptr) {
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (lastAccess != nullptr) times[0] = TimespecOf(*lastAccess);
    if (lastWrite != nullptr) times[1] = TimespecOf(*lastWrite);
    if (futimens(open->fd.get(), times) != 0) {
      SetLastError(ErrnoToWin32(errno, open->host));
      return FALSE;
    }
  }
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
