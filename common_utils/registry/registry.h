// Registry: one registry key (a predefined root and a path below it) with
// at most one open handle, through which the library reads and changes the
// registry. Key paths are narrow text in the ANSI code page and go through
// the narrow registry functions; value names and string data go through the
// wide ones, except the narrow reads.
//
// Failures are results: every operation answers true or false and keeps the
// status of the registry call that failed in lastError(). An operation that
// clears lastError on entry says so; a refusal that makes no registry call
// (key not open, already open, name not in the cache, wrong value type,
// null out-pointer) leaves lastError 0. On a failed typed read the caller's
// out-value is unchanged, unless the read takes a default.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::registry {

// Case-insensitive byte order of the C runtime (ASCII letters fold).
struct NarrowNoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const noexcept;
};

class Registry {
 public:
  static constexpr REGSAM kReadAccess = 0x20019;       // KEY_READ
  static constexpr REGSAM kReadWriteAccess = 0x2001F;  // KEY_READ | KEY_WRITE
  static constexpr REGSAM kCreateAccess = 0xF003F;     // KEY_ALL_ACCESS

  // The root of a key named by its path alone.
  enum Hive { kLocalMachine, kCurrentUser };
  // Whether Open reads the key's value names once, so that reads and
  // writes of other names fail without a registry call.
  enum ValueNames { kNoNameCache, kCacheValueNames };

  // HKEY_LOCAL_MACHINE with an empty path.
  explicit Registry(ValueNames names);
  // The path is stored when not empty (a wide path in the ANSI code page).
  Registry(const char* path, Hive hive, ValueNames names);
  Registry(const WCHAR* path, Hive hive, ValueNames names);
  Registry(HKEY root, const char* path, ValueNames names);
  virtual ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Clears. Already open: true, the handle (and its access) kept.
  [[nodiscard]] bool Open(bool forWrite);
  // Clears. Already open: false, nothing changed. Otherwise takes the path.
  [[nodiscard]] bool Open(const char* path, bool forWrite);
  [[nodiscard]] bool Open(const WCHAR* path, bool forWrite);
  // Clears. Already open: false. Creates the key (and missing parents).
  [[nodiscard]] bool Create(const WCHAR* path);
  // Releases the handle; lastError is left alone.
  void Close();

  // Deletes the key at the path with its whole subtree, deepest first and,
  // among siblings, from the highest index down. A key that does not exist
  // counts as deleted. False on an open object.
  bool DeleteKey();
  // Already open: false with lastError as it was. Otherwise takes the path.
  bool DeleteKey(const char* path);
  bool DeleteKey(const WCHAR* path);

  // Opens subkey `index` of this key, for reading, into `child` (which is
  // closed first and given this root). False when the subkey's full path
  // does not fit the 260-byte path buffer: a cut path names another key.
  [[nodiscard]] bool OpenSubKey(DWORD index, Registry& child);

  // Clears. The full path ("path\name") of subkey `index` and optionally
  // its name, each cut silently to its buffer, last unit forced to zero.
  // The narrow form needs the full-path buffer; the wide one not.
  [[nodiscard]] bool EnumSubKey(DWORD index, char* fullPath, DWORD fullPathSize, char* name, DWORD nameSize);
  [[nodiscard]] bool EnumSubKey(DWORD index, WCHAR* fullPath, DWORD fullPathChars, WCHAR* name, DWORD nameChars);
  // Clears. The name of value `index`.
  [[nodiscard]] bool EnumValueName(DWORD index, char* name, DWORD size);

  // Clears. The count is set to 0 before the registry is asked.
  [[nodiscard]] bool GetSubKeyCount(DWORD* count);
  [[nodiscard]] bool GetValueCount(DWORD* count);
  // Clears. The data's byte count.
  [[nodiscard]] bool GetValueSize(const WCHAR* name, DWORD* size);

  // Clears. REG_SZ, or REG_EXPAND_SZ expanded, into `out`, cut to its size
  // with its last unit forced to zero. Other types: false, out untouched.
  [[nodiscard]] bool GetString(const char* name, char* out, DWORD size);
  [[nodiscard]] bool GetString(const WCHAR* name, WCHAR* out, DWORD chars);
  // Clears. True only for a REG_DWORD value.
  [[nodiscard]] bool GetDWORD(const WCHAR* name, DWORD* value);
  bool GetDWORD(const WCHAR* name, DWORD* value, DWORD defaultValue);
  [[nodiscard]] bool GetBool(const WCHAR* name, bool* flag);
  bool GetBool(const WCHAR* name, bool* flag, bool defaultValue);
  // Clears. Appends the entries of a REG_MULTI_SZ value, each whole and in
  // stored order. Entries are kept as stored, an empty one in the middle
  // included, so that the list written back with SetMultiString gives the
  // same bytes; the zero units after the last entry (the list's terminator
  // and any padding) are not entries.
  [[nodiscard]] bool GetMultiString(const WCHAR* name, std::vector<WString>& list);

  // Clears; need an open key.
  [[nodiscard]] bool SetString(const WCHAR* name, const WCHAR* text);
  [[nodiscard]] bool SetDWORD(const WCHAR* name, DWORD value);
  // Every entry with its terminator, then the list terminator; an empty
  // list is a single terminator (2 bytes).
  [[nodiscard]] bool SetMultiString(const WCHAR* name, const std::vector<WString>& list);

  // Clears; needs an open key. Deletes one value.
  [[nodiscard]] bool DeleteValue(const WCHAR* name);

  // Whether the cached value names hold `name` (letter case ignored).
  bool HasValue(const char* name) const;
  bool HasValue(const WCHAR* name) const;
  // Refills the cache from the open key; names of 256 characters or more
  // are not cached.
  void LoadValueNames();

  // The last component of the path; the whole path without a backslash;
  // null when the path is empty.
  const char* GetKeyName() const;
  const char* GetPath() const { return path_.c_str(); }

  LONG lastError() const { return lastError_; }
  bool isOpen() const { return handle_ != nullptr; }
  HKEY root() const { return root_; }

 private:
  bool CacheAllows(const WCHAR* name) const;
  bool QueryWide(const WCHAR* name, std::vector<BYTE>& data, DWORD& type, DWORD initialSize);
  // The subkey's full path, or false when the enumeration fails.
  bool JoinedSubKeyPath(DWORD index, std::string& fullPath, std::string* name);

  std::string path_;
  HKEY root_;
  HKEY handle_ = nullptr;
  bool cacheValueNames_;
  std::set<std::string, NarrowNoCaseLess> valueNames_;
  LONG lastError_ = 0;
};

}  // namespace kvtr::registry
