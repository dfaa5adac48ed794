// POSIX platform layer: the registry functions (Reg*). Parameters are
// checked in Windows' order and every status is Windows' own: 2 for a
// missing key or value, 5 for access the handle or key does not allow (and
// for deleting a key that has subkeys), 6 for an unknown handle, 87 for a
// bad parameter, 161 for a path that starts with a backslash, 234 when a
// buffer is too small (with the size it needs), 259 past the last item and
// 1018 on a handle whose key was deleted. Keys lie at most 512 levels
// below their root hive; a deeper path is a bad parameter (87).
// A-functions convert names and string data with the ANSI code page and
// call the shared implementation.
#include <cstring>

#include "emulation.h"
#include "registry_tree.h"
#include "win32_api.h"

namespace kvtr::posix {
namespace {

constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

using Lock = std::lock_guard<std::recursive_mutex>;

// Generic and maximum rights in terms of the key-specific ones.
REGSAM Expand(REGSAM access) {
  access &= ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & kGenericRead) access = (access & ~kGenericRead) | KEY_READ;
  if (access & kGenericWrite) access = (access & ~kGenericWrite) | KEY_WRITE;
  if (access & (kGenericAll | kMaximumAllowed)) access = (access & ~(kGenericAll | kMaximumAllowed)) | KEY_ALL_ACCESS;
  return access;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Windows takes line breaks in names and classes; the machine's .reg files,
// one item a line, cannot hold them (a name could even carry lines of its
// own into the file), so they are refused.
bool HasLineBreak(WStringView text) {
  return text.find(static_cast<wchar>('\n')) != WStringView::npos ||
         text.find(static_cast<wchar>('\r')) != WStringView::npos;
}

// Journals a change of `key`, given as .reg delta text. When it cannot be
// written the change is not made: the tree drops it (it is read again from
// the files) and the call fails with ERROR_CANTWRITE.
LONG Persist(RegistryTree& tree, const RegKey& key, const std::string& record) {
  if (key.isVolatile) return ERROR_SUCCESS;
  if (tree.Journal(record)) return ERROR_SUCCESS;
  tree.Forget();
  return ERROR_CANTWRITE;
}

std::string SectionRecord(RegKey& key, bool remove = false) {
  std::string record;
  AppendKeySection(record, key, remove);
  return record;
}

// The key behind an open handle that must allow `needed`.
LONG UseHandle(RegistryTree& tree, HKEY handle, REGSAM needed, std::shared_ptr<RegKey>& key) {
  REGSAM granted = 0;
  key = tree.Resolve(handle, &granted);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if ((granted & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

LONG CheckPath(const WCHAR* path) {
  if (path != nullptr && path[0] == '\\') return ERROR_BAD_PATHNAME;
  return ERROR_SUCCESS;
}

LONG OpenKey(HKEY parent, const WCHAR* subKey, REGSAM access, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> from;
  if (LONG status = UseHandle(tree, parent, 0, from)) return status;
  if (LONG status = CheckPath(subKey)) return status;
  std::shared_ptr<RegKey> key = subKey ? RegistryTree::Find(from, subKey) : from;
  if (!key) return ERROR_FILE_NOT_FOUND;
  const REGSAM wanted = Expand(access);
  if (access & kMaximumAllowed) {
    *result = tree.AddHandle(key, wanted & ~key->deniedRights);
    return ERROR_SUCCESS;
  }
  if (wanted & key->deniedRights) return ERROR_ACCESS_DENIED;
  *result = tree.AddHandle(key, wanted);
  return ERROR_SUCCESS;
}

LONG CreateKey(HKEY parent, const WCHAR* subKey, const WCHAR* keyClass, DWORD options, REGSAM access, HKEY* result,
               DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  std::shared_ptr<RegKey> key = tree.Resolve(parent, nullptr);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (LONG status = CheckPath(subKey)) return status;
  const std::vector<WString> parts = SplitKeyPath(subKey);
  for (const WString& part : parts) {
    if (part.size() > kMaxKeyNameChars || HasLineBreak(part)) return ERROR_INVALID_PARAMETER;
  }
  if (keyClass != nullptr && HasLineBreak(keyClass)) return ERROR_INVALID_PARAMETER;
  size_t depth = parts.size();
  for (std::shared_ptr<RegKey> up = key->parent.lock(); up; up = up->parent.lock()) ++depth;
  if (depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  const bool makeVolatile = (options & REG_OPTION_VOLATILE) != 0;
  bool created = false;
  for (const WString& part : parts) {
    auto found = key->children.find(part);
    if (found != key->children.end()) {
      key = found->second;
      continue;
    }
    // Keys made before a refusal stay, as on Windows, which creates them one
    // by one. Creation is checked against the key's own security, not the
    // rights of the handle it is made under (a KEY_READ handle will do).
    if (key->deniedRights & KEY_CREATE_SUB_KEY) {
      if (created) {
        if (LONG status = Persist(tree, *key, SectionRecord(*key))) return status;
      }
      return ERROR_ACCESS_DENIED;
    }
    if (key->isVolatile && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
    auto child = std::make_shared<RegKey>();
    child->name = part;
    child->parent = key;
    child->isVolatile = makeVolatile;
    child->lastWrite = CurrentFileTime();
    key->lastWrite = child->lastWrite;
    key->children.emplace(part, child);
    key = child;
    created = true;
  }
  const REGSAM wanted = Expand(access);
  if (created) {
    // The class is the new key's; an existing key keeps its own.
    if (keyClass != nullptr) key->keyClass = keyClass;
    std::string record = SectionRecord(*key);
    AppendClassLine(record, *key);
    if (LONG status = Persist(tree, *key, record)) return status;
  }
  if (wanted & key->deniedRights) return ERROR_ACCESS_DENIED;
  *result = tree.AddHandle(key, wanted);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

void MarkDeleted(const std::shared_ptr<RegKey>& key) {
  key->deleted = true;
  key->parent.reset();
}

LONG DeleteKey(HKEY parent, const WCHAR* subKey) {
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  std::shared_ptr<RegKey> from;
  if (LONG status = UseHandle(tree, parent, 0, from)) return status;
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (LONG status = CheckPath(subKey)) return status;
  std::shared_ptr<RegKey> key = RegistryTree::Find(from, subKey);
  if (!key) return ERROR_FILE_NOT_FOUND;
  std::shared_ptr<RegKey> owner = key->parent.lock();
  if (!owner) return ERROR_ACCESS_DENIED;  // a root cannot be deleted
  if ((key->deniedRights & DELETE) || !key->children.empty()) return ERROR_ACCESS_DENIED;
  const std::string record = SectionRecord(*key, /*remove=*/true);
  owner->children.erase(key->name);
  owner->lastWrite = CurrentFileTime();
  MarkDeleted(key);
  return Persist(tree, *owner, record);
}

LONG QueryValue(HKEY handle, const WCHAR* name, DWORD* type, BYTE* data, DWORD* size, bool ansi) {
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_QUERY_VALUE, key)) return status;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const RegValue* value = key->FindValue(name ? WStringView(name) : WStringView());
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> converted;
  const std::vector<uint8_t>* bytes = &value->data;
  if (ansi && IsStringType(value->type)) {
    WString units;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
      units.push_back(static_cast<wchar>(value->data[i] | (value->data[i + 1] << 8)));
    }
    const std::string narrow = WideToAnsi(units);
    converted.assign(narrow.begin(), narrow.end());
    bytes = &converted;
  }
  if (type != nullptr) *type = value->type;
  const DWORD needed = static_cast<DWORD>(bytes->size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed != 0) std::memcpy(data, bytes->data(), needed);
  }
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

LONG SetValue(HKEY handle, const WCHAR* name, DWORD type, const BYTE* data, DWORD size) {
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_SET_VALUE, key)) return status;
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  const WString valueName = name ? WString(name) : WString();
  if (valueName.size() > kMaxValueNameChars || HasLineBreak(valueName)) return ERROR_INVALID_PARAMETER;
  RegValue* value = key->FindValue(valueName);
  if (value == nullptr) {
    key->values.push_back(RegValue{valueName, type, {}});
    value = &key->values.back();
  }
  value->type = type;
  value->data.assign(data, data + size);
  key->lastWrite = CurrentFileTime();
  if (key->isVolatile) return ERROR_SUCCESS;
  std::string& record = tree.RecordBuffer();
  AppendKeySection(record, *key, /*remove=*/false);
  AppendValueLine(record, *value);
  return Persist(tree, *key, record);
}

LONG DeleteValue(HKEY handle, const WCHAR* name) {
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_SET_VALUE, key)) return status;
  const WStringView valueName = name ? WStringView(name) : WStringView();
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualNoCase(it->name, valueName)) {
      key->values.erase(it);
      key->lastWrite = CurrentFileTime();
      std::string record = SectionRecord(*key);
      AppendValueRemoval(record, valueName);
      return Persist(tree, *key, record);
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

// Name of subkey `index`, or a status.
LONG SubKeyName(HKEY handle, DWORD index, WString& name) {
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_ENUMERATE_SUB_KEYS, key)) return status;
  if (index >= key->children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = key->children.begin();
  std::advance(it, index);
  name = it->second->name;
  return ERROR_SUCCESS;
}

template <typename Unit>
LONG CopyName(const std::basic_string<Unit>& name, Unit* out, DWORD capacity) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > capacity) return ERROR_MORE_DATA;
  std::memcpy(out, name.c_str(), (name.size() + 1) * sizeof(Unit));
  return ERROR_SUCCESS;
}

template <typename Unit>
LONG EnumValue(HKEY handle, DWORD index, Unit* name, DWORD* nameSize, DWORD* type, BYTE* data, DWORD* dataSize) {
  constexpr bool kAnsi = sizeof(Unit) == 1;
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_QUERY_VALUE, key)) return status;
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue& value = key->values[index];
  std::basic_string<Unit> valueName;
  if constexpr (kAnsi) valueName = WideToAnsi(value.name);
  else valueName = value.name;
  std::vector<uint8_t> bytes = value.data;
  if (kAnsi && IsStringType(value.type)) {
    WString units;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
      units.push_back(static_cast<wchar>(value.data[i] | (value.data[i + 1] << 8)));
    }
    const std::string narrow = WideToAnsi(units);
    bytes.assign(narrow.begin(), narrow.end());
  }
  if (valueName.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  if (data != nullptr && *dataSize < bytes.size()) {
    *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, valueName.c_str(), (valueName.size() + 1) * sizeof(Unit));
  *nameSize = static_cast<DWORD>(valueName.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  if (dataSize != nullptr) *dataSize = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

template <typename Unit>
LONG QueryInfo(HKEY handle, Unit* keyClass, DWORD* classSize, DWORD* subKeys, DWORD* maxSubKeyLen,
               DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen, DWORD* maxValueLen,
               DWORD* securityDescriptor, FILETIME* lastWriteTime) {
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> key;
  if (LONG status = UseHandle(tree, handle, KEY_QUERY_VALUE, key)) return status;
  if (keyClass != nullptr && classSize == nullptr) return ERROR_INVALID_PARAMETER;
  // Sizes in characters without the terminator; the buffer's size given
  // counts it. A buffer too small gets nothing and the size it needs.
  std::basic_string<Unit> ownClass;
  if constexpr (sizeof(Unit) == 1) ownClass = WideToAnsi(key->keyClass);
  else ownClass = key->keyClass;
  if (keyClass != nullptr) {
    if (*classSize < ownClass.size() + 1) {
      *classSize = static_cast<DWORD>(ownClass.size());
      return ERROR_MORE_DATA;
    }
    std::memcpy(keyClass, ownClass.c_str(), (ownClass.size() + 1) * sizeof(Unit));
  }
  if (classSize != nullptr) *classSize = static_cast<DWORD>(ownClass.size());
  DWORD longestKey = 0, longestClass = 0, longestName = 0, largestData = 0;
  for (const auto& child : key->children) {
    longestKey = std::max<DWORD>(longestKey, static_cast<DWORD>(child.second->name.size()));
    longestClass = std::max<DWORD>(longestClass, static_cast<DWORD>(child.second->keyClass.size()));
  }
  for (const RegValue& value : key->values) {
    longestName = std::max<DWORD>(longestName, static_cast<DWORD>(value.name.size()));
    largestData = std::max<DWORD>(largestData, static_cast<DWORD>(value.data.size()));
  }
  if (subKeys) *subKeys = static_cast<DWORD>(key->children.size());
  if (maxSubKeyLen) *maxSubKeyLen = longestKey;
  if (maxClassLen) *maxClassLen = longestClass;
  if (values) *values = static_cast<DWORD>(key->values.size());
  if (maxValueNameLen) *maxValueNameLen = longestName;
  if (maxValueLen) *maxValueLen = largestData;
  if (securityDescriptor) *securityDescriptor = 0;
  if (lastWriteTime) *lastWriteTime = key->lastWrite;
  return ERROR_SUCCESS;
}

WString AnsiData(const BYTE* data, DWORD size) {
  // Every byte, embedded and final NULs included, becomes UTF-16.
  WString out;
  std::string piece;
  for (DWORD i = 0; i < size; ++i) {
    if (data[i] == 0) {
      out += AnsiToWide(piece.c_str());
      out.push_back(0);
      piece.clear();
    } else {
      piece.push_back(static_cast<char>(data[i]));
    }
  }
  out += AnsiToWide(piece.c_str());
  return out;
}

#define KVTR_REGISTRY_FAULT(api)                                 \
  if (DWORD fault = InjectedFault(api, "registry")) {            \
    return static_cast<LONG>(fault);                             \
  }

WString Wide(const char* text) { return AnsiToWide(text); }

}  // namespace
}  // namespace kvtr::posix

using namespace kvtr::posix;

extern "C" {

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) try {
  KVTR_REGISTRY_FAULT("RegOpenKeyExW");
  return OpenKey(key, subKey, access, result);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) try {
  KVTR_REGISTRY_FAULT("RegOpenKeyExA");
  if (subKey == nullptr) return OpenKey(key, nullptr, access, result);
  const kvtr::WString wide = Wide(subKey);
  return OpenKey(key, wide.c_str(), access, result);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR keyClass, DWORD options, REGSAM access,
                     const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) try {
  KVTR_REGISTRY_FAULT("RegCreateKeyExW");
  return CreateKey(key, subKey, keyClass, options, access, result, disposition);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR keyClass, DWORD options, REGSAM access,
                     const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) try {
  KVTR_REGISTRY_FAULT("RegCreateKeyExA");
  const kvtr::WString wideClass = keyClass != nullptr ? Wide(keyClass) : kvtr::WString();
  const WCHAR* const classText = keyClass != nullptr ? wideClass.c_str() : nullptr;
  if (subKey == nullptr) return CreateKey(key, nullptr, classText, options, access, result, disposition);
  const kvtr::WString wide = Wide(subKey);
  return CreateKey(key, wide.c_str(), classText, options, access, result, disposition);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegCloseKey(HKEY key) try {
  KVTR_REGISTRY_FAULT("RegCloseKey");
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  if (reinterpret_cast<uintptr_t>(key) >= 0xFFFFFFFF80000000ull) return ERROR_SUCCESS;  // predefined
  return tree.CloseHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) try {
  KVTR_REGISTRY_FAULT("RegDeleteKeyW");
  return DeleteKey(key, subKey);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) try {
  KVTR_REGISTRY_FAULT("RegDeleteKeyA");
  if (subKey == nullptr) return DeleteKey(key, nullptr);
  const kvtr::WString wide = Wide(subKey);
  return DeleteKey(key, wide.c_str());
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) try {
  KVTR_REGISTRY_FAULT("RegDeleteValueW");
  return DeleteValue(key, valueName);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) try {
  KVTR_REGISTRY_FAULT("RegDeleteValueA");
  if (valueName == nullptr) return DeleteValue(key, nullptr);
  const kvtr::WString wide = Wide(valueName);
  return DeleteValue(key, wide.c_str());
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize) try {
  KVTR_REGISTRY_FAULT("RegEnumKeyW");
  kvtr::WString found;
  if (LONG status = SubKeyName(key, index, found)) return status;
  return CopyName<WCHAR>(found, name, nameSize);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) try {
  KVTR_REGISTRY_FAULT("RegEnumKeyA");
  kvtr::WString found;
  if (LONG status = SubKeyName(key, index, found)) return status;
  return CopyName<char>(WideToAnsi(found), name, nameSize);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegEnumValueW");
  return EnumValue<WCHAR>(key, index, name, nameSize, type, data, dataSize);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegEnumValueA");
  return EnumValue<char>(key, index, name, nameSize, type, data, dataSize);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                      LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                      LPDWORD securityDescriptor, PFILETIME lastWriteTime) try {
  KVTR_REGISTRY_FAULT("RegQueryInfoKeyW");
  return QueryInfo<WCHAR>(key, keyClass, classSize, subKeys, maxSubKeyLen, maxClassLen, values, maxValueNameLen,
                          maxValueLen, securityDescriptor, lastWriteTime);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                      LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                      LPDWORD securityDescriptor, PFILETIME lastWriteTime) try {
  KVTR_REGISTRY_FAULT("RegQueryInfoKeyA");
  return QueryInfo<char>(key, keyClass, classSize, subKeys, maxSubKeyLen, maxClassLen, values, maxValueNameLen,
                         maxValueLen, securityDescriptor, lastWriteTime);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegQueryValueExW");
  if (key == HKEY_PERFORMANCE_DATA) {
    return kvtr::posix::QueryPerformanceData(valueName != nullptr ? valueName : W(""), type, data, dataSize);
  }
  return QueryValue(key, valueName, type, data, dataSize, /*ansi=*/false);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegQueryValueExA");
  if (key == HKEY_PERFORMANCE_DATA) {
    const kvtr::WString wide = Wide(valueName != nullptr ? valueName : "");
    return kvtr::posix::QueryPerformanceData(wide, type, data, dataSize);
  }
  if (valueName == nullptr) return QueryValue(key, nullptr, type, data, dataSize, /*ansi=*/true);
  const kvtr::WString wide = Wide(valueName);
  return QueryValue(key, wide.c_str(), type, data, dataSize, /*ansi=*/true);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

// The data is stored exactly as counted. NT also counts a string's
// terminator that the caller left out of the size when one follows the data
// in memory; finding out needs a read past the caller's buffer, which the
// layer never makes.
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegSetValueExW");
  return SetValue(key, valueName, type, data, dataSize);
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) try {
  KVTR_REGISTRY_FAULT("RegSetValueExA");
  const kvtr::WString wideName = valueName ? Wide(valueName) : kvtr::WString();
  if (data == nullptr || !IsStringType(type)) return SetValue(key, wideName.c_str(), type, data, dataSize);
  const kvtr::WString text = AnsiData(data, dataSize);
  return SetValue(key, wideName.c_str(), type, reinterpret_cast<const BYTE*>(text.data()),
                  static_cast<DWORD>(text.size() * sizeof(WCHAR)));
} catch (...) {
  return kvtr::posix::RegistryStatusOfException();
}

BOOL KvtrEmu_DenyKeyAccess(HKEY root, const char* path, DWORD deniedRights) try {
  RegistryTree& tree = Registry();
  Lock hold(tree.lock());
  std::shared_ptr<RegKey> from = tree.Resolve(root, nullptr);
  if (!from) return FALSE;
  std::shared_ptr<RegKey> key = path ? RegistryTree::Find(from, Wide(path)) : from;
  if (!key) return FALSE;
  key->deniedRights = deniedRights;
  return TRUE;
} catch (...) {
  return FALSE;
}

}  // extern "C"
