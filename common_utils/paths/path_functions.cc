#include "common_utils/paths/path_functions.h"

#include <cstring>
#include <vector>

namespace kvtr::installer {
namespace {

constexpr DWORD kDirectoryAttribute = FILE_ATTRIBUTE_DIRECTORY;

bool IsOneOf(DWORD code, std::initializer_list<DWORD> codes) {
  for (DWORD c : codes) {
    if (c == code) return true;
  }
  return false;
}

bool ContainsPercent(const WCHAR* text) {
  for (; *text != 0; ++text) {
    if (*text == '%') return true;
  }
  return false;
}

void Clear(WCHAR* out, DWORD capacity) {
  if (out != nullptr && capacity > 0) out[0] = 0;
}

}  // namespace

bool FileExists(const WCHAR* path) {
  if (path == nullptr || path[0] == 0) return false;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsOneOf(GetLastError(), {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_SHARING_BUFFER_EXCEEDED});
  }
  return (attributes & kDirectoryAttribute) == 0;
}

bool FileExistsA(const char* path) {
  if (path == nullptr || path[0] == 0) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsOneOf(GetLastError(), {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_SHARING_BUFFER_EXCEEDED});
  }
  return (attributes & kDirectoryAttribute) == 0;
}

bool DirectoryExists(const WCHAR* path) {
  if (path == nullptr || path[0] == 0) return false;
  const DWORD attributes = GetFileAttributesW(path);
  // A failed query has every bit set, the directory bit included.
  if ((attributes & kDirectoryAttribute) == 0) return false;
  if (attributes != INVALID_FILE_ATTRIBUTES) return true;
  return IsOneOf(GetLastError(),
                 {ERROR_TOO_MANY_NAMES, ERROR_SHARING_VIOLATION, ERROR_TOO_MANY_SESS, ERROR_SHARING_BUFFER_EXCEEDED});
}

WString GetDirectoryOfPath(const WCHAR* path) {
  if (path == nullptr || path[0] == 0) return WString();
  const WStringView text(path);
  const size_t driveLength = text.size() >= 2 && text[1] == ':' ? 2 : 0;
  const size_t lastSeparator = text.find_last_of(W("\\/"));
  if (lastSeparator == WStringView::npos || lastSeparator < driveLength) return WString(text.substr(0, driveLength));
  // The C runtime's splitting refuses a directory part over 255 characters
  // and ends the process; the whole directory is the sound answer.
  return WString(text.substr(0, lastSeparator + 1));
}

WString EnsureTrailingBackslash(const WString& text) {
  if (text.empty() || text.back() == '\\') return text;
  return text + W("\\");
}

bool ExpandFullPath(const WCHAR* path, WCHAR* out, DWORD capacity) {
  if (path == nullptr || path[0] == 0 || out == nullptr) {
    Clear(out, capacity);
    return false;
  }
  if (capacity == 0) return false;
  WCHAR working[kPathUnits];
  std::memset(working, 0, sizeof working);
  for (DWORD i = 0; i < kPathUnits - 1 && path[i] != 0; ++i) working[i] = path[i];
  if (ContainsPercent(path)) {
    // An expansion that does not fit would name another file: refuse it.
    const DWORD needed = ExpandEnvironmentStringsW(path, working, kPathUnits - 1);
    if (needed == 0 || needed > kPathUnits - 1) {
      Clear(out, capacity);
      return false;
    }
  }
  if (working[0] == '.') {
    WCHAR* filePart = nullptr;
    const DWORD length = GetFullPathNameW(working, capacity, out, &filePart);
    if (length == 0 || length >= capacity) {
      Clear(out, capacity);
      return false;
    }
    return true;
  }
  DWORD i = 0;
  for (; i < capacity - 1 && working[i] != 0; ++i) out[i] = working[i];
  out[i] = 0;
  return true;
}

bool GetFileVersionNumbers(const WCHAR* path, DWORD& major, DWORD& minor, DWORD& build, DWORD& revision) {
  major = minor = build = revision = 0;
  if (path == nullptr) return false;
  WCHAR buffer[kPathUnits];
  std::memset(buffer, 0, sizeof buffer);
  for (DWORD i = 0; i < kPathUnits && path[i] != 0; ++i) buffer[i] = path[i];
  buffer[kPathUnits - 1] = 0;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(buffer, &handle);
  if (size == 0) {
    if (!ContainsPercent(path)) return false;
    std::memset(buffer, 0, sizeof buffer);
    if (!ExpandFullPath(path, buffer, kPathUnits)) return false;
    size = GetFileVersionInfoSizeW(buffer, &handle);
    if (size == 0) return false;
  }
  std::vector<BYTE> block(size);
  if (GetFileVersionInfoW(buffer, 0, size, block.data()) != 1) return false;
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), W("\\"), &value, &length) != 1 || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  major = HIWORD(info.dwFileVersionMS);
  minor = LOWORD(info.dwFileVersionMS);
  build = HIWORD(info.dwFileVersionLS);
  revision = LOWORD(info.dwFileVersionLS);
  return true;
}

bool GetModuleVersionNumbers(const WCHAR* moduleName, DWORD& major, DWORD& minor, DWORD& build, DWORD& revision) {
  major = minor = build = revision = 0;
  HMODULE module = GetModuleHandleW(moduleName);
  if (module == nullptr) return GetFileVersionNumbers(moduleName, major, minor, build, revision);
  WCHAR path[kPathUnits];
  std::memset(path, 0, sizeof path);
  // A cut path (the result equals the capacity) would name another file.
  const DWORD length = GetModuleFileNameW(module, path, kPathUnits);
  if (length != 0 && length < kPathUnits) return GetFileVersionNumbers(path, major, minor, build, revision);
  return GetFileVersionNumbers(moduleName, major, minor, build, revision);
}

}  // namespace kvtr::installer
