#include "common_utils/logger/trace_file_system.h"

#include <cerrno>
#include <cstdio>

#include "platform/file_streams.h"
#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr::logger {
namespace {

constexpr size_t kPathCapacity = 256;
constexpr int64_t kFileTimeOf1970 = 116444736000000000;  // 100-ns units since 1601

int64_t SecondsSince1970(const FILETIME& time) {
  const int64_t units = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (units - kFileTimeOf1970) / 10000000;
}

bool IsFolder(const WString& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void OpenTraceStream(std::basic_fstream<wchar>& stream, const WString& path) {
  if (!platform::OpenFileBuffer(*stream.rdbuf(), path.c_str(), std::ios::in | std::ios::out | std::ios::binary)) {
    stream.setstate(std::ios::failbit);
  }
}

bool OpenTraceBytes(std::filebuf& bytes, const WString& path) {
  return platform::OpenFileBuffer(bytes, path.c_str(), std::ios::in | std::ios::binary);
}

bool EnsureTraceFileExists(const WString& fullPath) {
  const WString path = fullPath.substr(0, kPathCapacity);
  errno = 0;
  size_t from = 0;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    // A network path: folders are created after the one naming the server.
    from = path.find('\\', 2);
    if (from == WString::npos) {
      errno = EINVAL;
      return false;
    }
    from += 1;
  }
  for (size_t at = path.find('\\', from); at != WString::npos; at = path.find('\\', at + 1)) {
    const WString folder = path.substr(0, at);
    if (folder.empty() || folder.back() == ':' || IsFolder(folder)) continue;
    if (_wmkdir(folder.c_str()) != 0 && errno != EEXIST) return false;
  }
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  FILE* const file = _wfopen(path.c_str(), W("a+"));
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

std::vector<FoundFile> ListMatchingFiles(const WString& mask) {
  std::vector<FoundFile> found;
  WIN32_FIND_DATAW data;
  const UniqueFindHandle search(FindFirstFileW(mask.c_str(), &data));
  if (!search) return found;
  do {
    const WString name = data.cFileName;
    if (name == W(".") || name == W("..")) continue;
    FoundFile file;
    file.name = name;
    file.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    file.creationTime = SecondsSince1970(data.ftCreationTime);
    file.lastWriteTime = SecondsSince1970(data.ftLastWriteTime);
    found.push_back(std::move(file));
  } while (FindNextFileW(search.get(), &data));
  return found;
}

WString FolderOf(WStringView path) {
  const size_t last = path.find_last_of(W("\\/:"));
  return last == WStringView::npos ? WString() : WString(path.substr(0, last + 1));
}

}  // namespace kvtr::logger
