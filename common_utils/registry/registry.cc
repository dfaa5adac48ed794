#include "common_utils/registry/registry.h"

#include <cstring>

#include "common_utils/text/conversions.h"
#include "common_utils/text/no_case.h"

namespace kvtr::registry {
namespace {

constexpr DWORD kEnumNameBytes = 261;     // RegEnumKey buffers
constexpr DWORD kSubKeyPathBytes = 260;   // OpenSubKey's full path
constexpr DWORD kDeleteWalkBytes = 512;   // DeleteKey's full paths
constexpr DWORD kValueNameBytes = 256;    // LoadValueNames
constexpr DWORD kNarrowQueryBytes = 512;  // narrow strings, multi-strings
constexpr DWORD kWideQueryBytes = 1024;   // wide strings

std::string Ansi(const WCHAR* text) { return text ? text::ToNarrowString(WString(text), -1) : std::string(); }

// Copies at most `size` bytes and forces the last byte (index size - 1) to
// zero, as every narrow copy of this class does.
void CopyCut(char* out, DWORD size, const char* text) {
  if (out == nullptr || size == 0) return;
  std::strncpy(out, text, size);
  out[size - 1] = 0;
}

void CopyCut(WCHAR* out, DWORD size, const WCHAR* text) {
  if (out == nullptr || size == 0) return;
  DWORD i = 0;
  for (; i < size && text[i] != 0; ++i) out[i] = text[i];
  for (; i < size; ++i) out[i] = 0;
  out[size - 1] = 0;
}

}  // namespace

bool NarrowNoCaseLess::operator()(const std::string& a, const std::string& b) const noexcept {
  return text::CompareNoCase(a, b) < 0;
}

Registry::Registry(ValueNames names) : root_(HKEY_LOCAL_MACHINE), cacheValueNames_(names == kCacheValueNames) {}

Registry::Registry(const char* path, Hive hive, ValueNames names)
    : root_(hive == kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
      cacheValueNames_(names == kCacheValueNames) {
  if (path != nullptr && path[0] != 0) path_ = path;
}

Registry::Registry(const WCHAR* path, Hive hive, ValueNames names)
    : path_(Ansi(path)),
      root_(hive == kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
      cacheValueNames_(names == kCacheValueNames) {}

Registry::Registry(HKEY root, const char* path, ValueNames names)
    : path_(path ? path : ""), root_(root), cacheValueNames_(names == kCacheValueNames) {}

Registry::~Registry() {
  Close();
  path_.clear();
  valueNames_.clear();
}

bool Registry::Open(bool forWrite) {
  lastError_ = 0;
  if (handle_ != nullptr) return true;
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(root_, path_.c_str(), 0, forWrite ? kReadWriteAccess : kReadAccess, &opened);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  handle_ = opened;
  if (cacheValueNames_) LoadValueNames();
  return true;
}

bool Registry::Open(const char* path, bool forWrite) {
  lastError_ = 0;
  if (handle_ != nullptr) return false;
  path_ = path ? path : "";
  return Open(forWrite);
}

bool Registry::Open(const WCHAR* path, bool forWrite) {
  lastError_ = 0;
  if (handle_ != nullptr) return false;
  path_ = Ansi(path);
  return Open(forWrite);
}

bool Registry::Create(const WCHAR* path) {
  lastError_ = 0;
  if (handle_ != nullptr) return false;
  path_ = Ansi(path);
  HKEY created = nullptr;
  DWORD disposition = 0;
  const LONG status = RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kCreateAccess,
                                      nullptr, &created, &disposition);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  handle_ = created;
  return true;
}

void Registry::Close() {
  if (handle_ == nullptr) return;
  RegCloseKey(handle_);
  handle_ = nullptr;
}

bool Registry::DeleteKey() {
  lastError_ = 0;
  if (handle_ != nullptr) return false;
  // An empty path is the root itself: its whole tree is never deleted.
  if (path_.empty()) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (Open(false)) {
    DWORD count = 0;
    if (GetSubKeyCount(&count)) {
      Registry child(root_, path_.c_str(), kNoNameCache);
      for (DWORD index = count; index-- > 0;) {
        std::string fullPath;
        if (!JoinedSubKeyPath(index, fullPath, nullptr) || fullPath.size() >= kDeleteWalkBytes) continue;
        if (!child.DeleteKey(fullPath.c_str())) break;
      }
    }
    Close();
  }
  const LONG status = RegDeleteKeyA(root_, path_.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
  lastError_ = status;
  return false;
}

bool Registry::DeleteKey(const char* path) {
  if (handle_ != nullptr) return false;
  path_ = path ? path : "";
  return DeleteKey();
}

bool Registry::DeleteKey(const WCHAR* path) {
  if (handle_ != nullptr) return false;
  path_ = Ansi(path);
  return DeleteKey();
}

bool Registry::JoinedSubKeyPath(DWORD index, std::string& fullPath, std::string* name) {
  char buffer[kEnumNameBytes];
  std::memset(buffer, 0, sizeof buffer);
  const LONG status = RegEnumKeyA(handle_, index, buffer, kEnumNameBytes);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  fullPath = path_;
  if (fullPath.empty() || fullPath.back() != '\\') fullPath.push_back('\\');
  fullPath += buffer;
  if (name != nullptr) *name = buffer;
  return true;
}

bool Registry::OpenSubKey(DWORD index, Registry& child) {
  lastError_ = 0;
  child.Close();
  child.root_ = root_;
  child.path_.clear();
  if (handle_ == nullptr) return false;
  std::string fullPath;
  if (!JoinedSubKeyPath(index, fullPath, nullptr)) return false;
  if (fullPath.size() >= kSubKeyPathBytes) return false;
  child.path_ = fullPath;
  return child.Open(false);
}

bool Registry::EnumSubKey(DWORD index, char* fullPath, DWORD fullPathSize, char* name, DWORD nameSize) {
  lastError_ = 0;
  if (handle_ == nullptr || fullPath == nullptr || fullPathSize == 0) return false;
  std::string joined, found;
  if (!JoinedSubKeyPath(index, joined, &found)) return false;
  if (name != nullptr && nameSize != 0) CopyCut(name, nameSize, found.c_str());
  CopyCut(fullPath, fullPathSize, joined.c_str());
  return true;
}

bool Registry::EnumSubKey(DWORD index, WCHAR* fullPath, DWORD fullPathChars, WCHAR* name, DWORD nameChars) {
  lastError_ = 0;
  if (handle_ == nullptr) return false;
  WCHAR buffer[kEnumNameBytes];
  std::memset(buffer, 0, sizeof buffer);
  const LONG status = RegEnumKeyW(handle_, index, buffer, kEnumNameBytes);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  if (name != nullptr && nameChars != 0) CopyCut(name, nameChars, buffer);
  if (fullPath != nullptr && fullPathChars != 0) {
    WString joined = text::ToWideString(path_, -1);
    if (joined.empty() || joined.back() != '\\') joined.push_back('\\');
    joined += buffer;
    CopyCut(fullPath, fullPathChars, joined.c_str());
  }
  return true;
}

bool Registry::EnumValueName(DWORD index, char* name, DWORD size) {
  lastError_ = 0;
  if (name == nullptr || size == 0) return false;
  DWORD length = size;
  const LONG status = RegEnumValueA(handle_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  if (length < size) name[length] = 0;
  return true;
}

bool Registry::GetSubKeyCount(DWORD* count) {
  lastError_ = 0;
  if (handle_ == nullptr || count == nullptr) return false;
  *count = 0;
  DWORD found = 0;
  const LONG status =
      RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, &found, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  *count = found;
  return true;
}

bool Registry::GetValueCount(DWORD* count) {
  lastError_ = 0;
  if (handle_ == nullptr || count == nullptr) return false;
  *count = 0;
  DWORD found = 0;
  const LONG status =
      RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &found, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  *count = found;
  return true;
}

bool Registry::GetValueSize(const WCHAR* name, DWORD* size) {
  lastError_ = 0;
  if (size == nullptr) return false;
  DWORD bytes = 0;
  const LONG status = RegQueryValueExW(handle_, name, nullptr, nullptr, nullptr, &bytes);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  *size = bytes;
  return true;
}

bool Registry::CacheAllows(const WCHAR* name) const { return !cacheValueNames_ || HasValue(name); }

bool Registry::GetString(const char* name, char* out, DWORD size) {
  lastError_ = 0;
  if (handle_ == nullptr || out == nullptr || size == 0) return false;
  if (cacheValueNames_ && !HasValue(name)) return false;
  // Two zero bytes past the data keep an unterminated value terminated.
  std::vector<char> data((size <= kNarrowQueryBytes ? kNarrowQueryBytes : size) + 2, 0);
  DWORD length = static_cast<DWORD>(data.size() - 2);
  DWORD type = REG_NONE;
  const LONG status = RegQueryValueExA(handle_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &length);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  if (type == REG_EXPAND_SZ) {
    const DWORD needed = ExpandEnvironmentStringsA(data.data(), out, size);
    if (needed == 0) {
      CopyCut(out, size, data.data());
      return true;
    }
    // An expansion cut to the buffer names another path: not a result.
    return needed <= size;
  }
  if (type != REG_SZ) return false;
  CopyCut(out, size, data.data());
  return true;
}

bool Registry::QueryWide(const WCHAR* name, std::vector<BYTE>& data, DWORD& type, DWORD initialSize) {
  data.assign(initialSize + 2, 0);
  DWORD length = initialSize;
  const LONG status = RegQueryValueExW(handle_, name, nullptr, &type, data.data(), &length);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  data.resize(length + 2);
  data[length] = 0;
  data[length + 1] = 0;
  return true;
}

bool Registry::GetString(const WCHAR* name, WCHAR* out, DWORD chars) {
  lastError_ = 0;
  if (handle_ == nullptr || out == nullptr || chars == 0) return false;
  if (!CacheAllows(name)) return false;
  std::vector<BYTE> data;
  DWORD type = REG_NONE;
  const DWORD bytes = chars * 2 > kWideQueryBytes ? chars * 2 : kWideQueryBytes;
  if (!QueryWide(name, data, type, bytes)) return false;
  // Copy the units out so that they are aligned and terminated.
  WString text((data.size() - 2) / 2, 0);
  std::memcpy(text.data(), data.data(), text.size() * 2);
  text.resize(WideLength(text.c_str()));
  if (type == REG_EXPAND_SZ) {
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), out, chars);
    if (needed == 0) {
      CopyCut(out, chars, text.c_str());
      return true;
    }
    return needed <= chars;
  }
  if (type != REG_SZ) return false;
  CopyCut(out, chars, text.c_str());
  return true;
}

bool Registry::GetDWORD(const WCHAR* name, DWORD* value) {
  lastError_ = 0;
  if (handle_ == nullptr || value == nullptr) return false;
  if (!CacheAllows(name)) return false;
  BYTE data[4] = {0, 0, 0, 0};
  DWORD length = sizeof data;
  DWORD type = REG_NONE;
  const LONG status = RegQueryValueExW(handle_, name, nullptr, &type, data, &length);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  if (type != REG_DWORD) return false;
  std::memcpy(value, data, sizeof data);
  return true;
}

bool Registry::GetDWORD(const WCHAR* name, DWORD* value, DWORD defaultValue) {
  if (GetDWORD(name, value)) return true;
  if (value != nullptr) *value = defaultValue;
  return false;
}

bool Registry::GetBool(const WCHAR* name, bool* flag) {
  DWORD value = 0;
  if (flag == nullptr || !GetDWORD(name, &value)) return false;
  *flag = value != 0;
  return true;
}

bool Registry::GetBool(const WCHAR* name, bool* flag, bool defaultValue) {
  if (GetBool(name, flag)) return true;
  if (flag != nullptr) *flag = defaultValue;
  return false;
}

bool Registry::GetMultiString(const WCHAR* name, std::vector<WString>& list) {
  lastError_ = 0;
  if (handle_ == nullptr) return false;
  if (!CacheAllows(name)) return false;
  DWORD size = 0;
  if (!GetValueSize(name, &size)) return false;
  std::vector<BYTE> data;
  DWORD type = REG_NONE;
  if (!QueryWide(name, data, type, size > kNarrowQueryBytes ? size : kNarrowQueryBytes)) return false;
  if (type != REG_MULTI_SZ) return false;
  // Zero units after the last entry are the list's terminator and any
  // padding behind it, never entries. Before that, the units split at each
  // terminator, so an empty entry in the middle is kept and the list written
  // back with SetMultiString gives the same bytes.
  size_t units = (data.size() - 2) / 2;
  auto unitAt = [&](size_t i) { return static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8)); };
  while (units > 0 && unitAt(units - 1) == 0) --units;
  std::vector<WString> entries;
  if (units > 0) {
    WString current;
    for (size_t i = 0; i < units; ++i) {
      const WCHAR unit = unitAt(i);
      if (unit == 0) {
        entries.push_back(std::move(current));
        current.clear();
      } else {
        current.push_back(unit);
      }
    }
    entries.push_back(std::move(current));
  }
  list.insert(list.end(), entries.begin(), entries.end());
  return true;
}

bool Registry::SetString(const WCHAR* name, const WCHAR* text) {
  lastError_ = 0;
  if (handle_ == nullptr || text == nullptr) return false;
  const DWORD bytes = static_cast<DWORD>((WideLength(text) + 1) * 2);
  const LONG status = RegSetValueExW(handle_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  return true;
}

bool Registry::SetDWORD(const WCHAR* name, DWORD value) {
  lastError_ = 0;
  if (handle_ == nullptr) return false;
  const LONG status = RegSetValueExW(handle_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  return true;
}

bool Registry::SetMultiString(const WCHAR* name, const std::vector<WString>& list) {
  lastError_ = 0;
  if (handle_ == nullptr) return false;
  size_t total = 2;
  for (const WString& entry : list) total += entry.size() * 2 + 2;
  std::vector<BYTE> data(total > kNarrowQueryBytes ? total : kNarrowQueryBytes, 0);
  size_t at = 0;
  for (const WString& entry : list) {
    std::memcpy(data.data() + at, entry.data(), entry.size() * 2);
    at += entry.size() * 2 + 2;
  }
  const LONG status = RegSetValueExW(handle_, name, 0, REG_MULTI_SZ, data.data(), static_cast<DWORD>(total));
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  return true;
}

bool Registry::DeleteValue(const WCHAR* name) {
  lastError_ = 0;
  if (handle_ == nullptr) return false;
  const LONG status = RegDeleteValueW(handle_, name);
  if (status != ERROR_SUCCESS) {
    lastError_ = status;
    return false;
  }
  return true;
}

bool Registry::HasValue(const char* name) const {
  if (name == nullptr) return false;
  return valueNames_.count(name) != 0;
}

bool Registry::HasValue(const WCHAR* name) const {
  if (name == nullptr) return false;
  return valueNames_.count(Ansi(name)) != 0;
}

void Registry::LoadValueNames() {
  if (handle_ == nullptr) return;
  valueNames_.clear();
  for (DWORD index = 0;; ++index) {
    char name[kValueNameBytes];
    DWORD length = kValueNameBytes;
    const LONG status = RegEnumValueA(handle_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    name[length < kValueNameBytes ? length : kValueNameBytes - 1] = 0;
    valueNames_.insert(name);
  }
}

const char* Registry::GetKeyName() const {
  if (path_.empty()) return nullptr;
  const size_t slash = path_.rfind('\\');
  return slash == std::string::npos ? path_.c_str() : path_.c_str() + slash + 1;
}

}  // namespace kvtr::registry
