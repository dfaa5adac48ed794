#include "tools/backup.h"

#include <cstdio>

#include "platform/handle_owners.h"

namespace kvtr::setup {
namespace {

const WString kMachine = W("HKEY_LOCAL_MACHINE");
const WString kPerflib = W("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib");

// The lists several products share: put back value by value.
const char* const kSharedKeys[] = {
    "SOFTWARE\\Microsoft\\WBEM\\CIMOM",
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
};

// What the legacy cleanups delete: put back whole.
const char* const kLegacyKeys[] = {
    "SOFTWARE\\Classes\\CLSID\\{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}",
    "SOFTWARE\\Classes\\CLSID\\{5D0B9F27-6E13-4A8C-B7F4-2C39E8A1D064}",
    "SYSTEM\\ControlSet001\\Services\\Zorvane Router\\Performance",
    "SYSTEM\\ControlSet002\\Services\\Zorvane Router\\Performance",
    "SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance",
    "SYSTEM\\ControlSet001\\Services\\Zorvane Server\\Performance",
    "SYSTEM\\ControlSet002\\Services\\Zorvane Server\\Performance",
    "SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\Performance",
};

constexpr const char* kUserData = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";

// The installer components the cleanups look through: those of the first
// scope below UserData, as they do. Empty when there is none.
WString ComponentsKey() {
  UniqueKey userData;
  const WString path = FromUtf8Text(kUserData);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, userData.put()) != ERROR_SUCCESS) return WString();
  WCHAR scope[256];
  const LONG status = RegEnumKeyW(userData.get(), 0, scope, 256);
  return status == ERROR_SUCCESS ? path + W("\\") + scope + W("\\Components") : WString();
}

}  // namespace

bool BackupText(const WString& service, std::string& text, std::string& error) {
  RegImage image;
  // A key that cannot be read would be written as missing, and put back
  // as missing: the backup fails instead.
  const auto read = [&](const WString& path) {
    const LONG status = ReadRegistryTree(HKEY_LOCAL_MACHINE, kMachine, path, image);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
    error = "cannot read " + Utf8(kMachine + W("\\") + path) + " (error " + std::to_string(status) + ")";
    return false;
  };
  for (const char* path : kSharedKeys) {
    if (FromUtf8Text(path) == kPerflib) continue;
    if (!read(FromUtf8Text(path))) return false;
  }
  // Perflib and its language keys. Wine serves a language's two lists
  // without letting its values be listed (ERROR_INVALID_HANDLE): they are
  // read by name there.
  std::vector<WString> languages;
  const LONG perflib = ReadRegistryKey(HKEY_LOCAL_MACHINE, kMachine, kPerflib, image, languages);
  if (perflib != ERROR_SUCCESS && perflib != ERROR_FILE_NOT_FOUND) return read(kPerflib);
  for (const WString& language : languages) {
    const WString path = kPerflib + W("\\") + language;
    const LONG status = ReadRegistryTree(HKEY_LOCAL_MACHINE, kMachine, path, image);
    if (status != ERROR_INVALID_HANDLE) {
      if (!read(path)) return false;
      continue;
    }
    for (const WString& name : {WString(W("Counter")), WString(W("Help"))}) {
      const LONG byName = ReadRegistryValue(HKEY_LOCAL_MACHINE, kMachine, path, name, image);
      if (byName != ERROR_SUCCESS && byName != ERROR_FILE_NOT_FOUND) {
        error = "cannot read " + Utf8(kMachine + W("\\") + path) + " (error " + std::to_string(byName) + ")";
        return false;
      }
    }
  }
  // The components of every product: the cleanups delete only their own,
  // so the key is written back over what is there, never removed.
  const WString components = ComponentsKey();
  if (!components.empty() && !read(components)) return false;
  std::vector<WString> whole;
  for (const char* path : kLegacyKeys) whole.push_back(FromUtf8Text(path));
  if (!service.empty()) whole.push_back(W("SYSTEM\\CurrentControlSet\\Services\\") + service + W("\\Performance"));
  std::vector<WString> removeFirst;
  for (const WString& path : whole) {
    if (!read(path)) return false;
    removeFirst.push_back(kMachine + W("\\") + path);
  }
  text = WriteRegText(image, removeFirst);
  return true;
}

bool WriteBackup(const std::string& file, const WString& service, std::string& error) {
  std::string text;
  if (!BackupText(service, text, error)) return false;
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    error = "cannot write the backup " + file;
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written) {
    error = "cannot write the backup " + file;
    return false;
  }
  return true;
}

}  // namespace kvtr::setup
