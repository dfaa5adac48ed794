// A registry, or part of one, as a value to compare and write: keys by
// path with their values, read from a regedit export (.reg, UTF-16LE or
// UTF-8) or from the registry through its API, and written back as a .reg
// file regedit and `reg import` read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace kvtr::setup {

struct RegEntry {
  WString name;  // empty for the default value
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegKeyImage {
  WString path;  // "HKEY_LOCAL_MACHINE\SOFTWARE\...", as first spelled
  std::vector<RegEntry> values;

  const RegEntry* Find(const WString& name) const;
};

// Keys by their path upper-cased: paths compare without regard to case, as
// the registry's names do. Sorted that way, a key follows its parent.
using RegImage = std::map<WString, RegKeyImage>;

WString FoldedPath(const WString& path);

// Reads a regedit export into `image` (keys are added or replaced; "[-KEY]"
// and "name"=- remove). False with a message naming the line when the
// text is not a registry file or a line cannot be read.
bool ParseRegText(std::string_view bytes, RegImage& image, std::string& error);

// Adds `path` below `root` (named `rootName`) with every key below it,
// read through the registry API. ERROR_FILE_NOT_FOUND when the key does
// not exist; any other failure, of the key or one below it, is returned as
// it came.
LONG ReadRegistryTree(HKEY root, const WString& rootName, const WString& path, RegImage& image);
// The key alone (its values), and the names of its subkeys.
LONG ReadRegistryKey(HKEY root, const WString& rootName, const WString& path, RegImage& image,
                     std::vector<WString>& children);
// One value of a key, read by name, added to the key's image.
LONG ReadRegistryValue(HKEY root, const WString& rootName, const WString& path, const WString& name,
                       RegImage& image);

// A .reg file as regedit writes one (UTF-16LE with its mark, CR LF):
// first a "[-KEY]" for each of `removeFirst`, then every key of `image`.
// Imported, it puts those keys back as they are in `image`.
std::string WriteRegText(const RegImage& image, const std::vector<WString>& removeFirst);

// The type's name as regedit and reg.exe write it ("REG_UNKNOWN" for
// one they have no name for).
const char* RegTypeName(DWORD type);

// The entries of REG_MULTI_SZ data, up to the terminating empty string.
std::vector<WString> MultiStringEntries(const std::vector<uint8_t>& data);

std::string Utf8(WStringView text);
WString FromUtf8Text(std::string_view text);

}  // namespace kvtr::setup
