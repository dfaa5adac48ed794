// reg: the emulated machine's registry as .reg files, one key's values,
// and the compaction of its journal.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common_utils/text/no_case.h"
#include "platform/handle_owners.h"
#include "platform/posix/emulation.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {
namespace {

// "HKEY_LOCAL_MACHINE\Path" into a root handle and the path below it.
bool SplitKey(const std::string& key, HKEY& root, std::string& below) {
  struct Root {
    const char* name;
    HKEY handle;
  };
  const Root roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                        {"HKLM", HKEY_LOCAL_MACHINE},
                        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                        {"HKCU", HKEY_CURRENT_USER},
                        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                        {"HKCR", HKEY_CLASSES_ROOT},
                        {"HKEY_USERS", HKEY_USERS},
                        {"HKU", HKEY_USERS}};
  const size_t slash = key.find('\\');
  const std::string head = key.substr(0, slash);
  for (const Root& r : roots) {
    if (text::EqualNoCase(r.name, head)) {
      root = r.handle;
      below = slash == std::string::npos ? std::string() : key.substr(slash + 1);
      return true;
    }
  }
  return false;
}

// One line per value (name, type, data); each entry of a multi-string on a
// line of its own.
int QueryKey(const std::string& key) {
  HKEY root = nullptr;
  std::string below;
  if (!SplitKey(key, root, below)) return Usage("unknown root key");
  UniqueKey handle;
  const LONG status = RegOpenKeyExW(root, FromUtf8Text(below.c_str()).c_str(), 0, KEY_READ, handle.put());
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "kvtr-setup: cannot open %s (error %ld)\n", key.c_str(), static_cast<long>(status));
    return 1;
  }
  std::printf("%s\n", key.c_str());
  for (DWORD index = 0;; ++index) {
    WCHAR name[16384];
    DWORD nameSize = 16384, type = 0, size = 0;
    if (RegEnumValueW(handle.get(), index, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2, 0);
    nameSize = 16384;
    if (RegEnumValueW(handle.get(), index, name, &nameSize, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    const std::string shown = nameSize == 0 ? "(Default)" : Utf8(name);
    std::printf("    %s    %s", shown.c_str(), RegTypeName(type));
    if (type == REG_DWORD && size == 4) {
      DWORD value = 0;
      std::memcpy(&value, data.data(), 4);
      // As regedit shows a number: hexadecimal, then decimal.
      std::printf("    0x%x (%u)\n", static_cast<unsigned>(value), static_cast<unsigned>(value));
    } else if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
      std::vector<WCHAR> units(size / 2 + 2, 0);
      std::memcpy(units.data(), data.data(), size);
      const WCHAR* entry = units.data();
      std::printf("%s", type == REG_MULTI_SZ ? "\n" : "    ");
      do {
        std::printf(type == REG_MULTI_SZ ? "        %s\n" : "%s\n", Utf8(entry).c_str());
        entry += WideLength(entry) + 1;
      } while (type == REG_MULTI_SZ && entry < units.data() + size / 2 && *entry != 0);
    } else {
      std::printf("    ");
      for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
      std::printf("\n");
    }
  }
  return 0;
}

}  // namespace

int RunRegistry(int argc, char** argv, int at) {
  if (at >= argc) return Usage("reg needs import or export");
  const std::string verb = argv[at];
  if (verb == "import" && at + 2 == argc) {
    char error[512] = {};
    if (!KvtrEmu_ImportRegFile(argv[at + 1], error, sizeof error)) {
      std::fprintf(stderr, "kvtr-setup: %s\n", error);
      return 1;
    }
    return 0;
  }
  if (verb == "export" && (at + 2 == argc || at + 3 == argc)) {
    HKEY root = nullptr;
    std::string below;
    if (at + 3 == argc && !SplitKey(argv[at + 2], root, below)) return Usage("unknown root key");
    if (!KvtrEmu_ExportRegFile(argv[at + 1], root, below.c_str())) {
      std::fprintf(stderr, "kvtr-setup: cannot export %s to %s\n", at + 3 == argc ? argv[at + 2] : "the registry",
                   argv[at + 1]);
      return 1;
    }
    return 0;
  }
  if (verb == "query" && at + 2 == argc) return QueryKey(argv[at + 1]);
  if (verb == "compact" && at + 1 == argc) {
    if (!KvtrEmu_CompactRegistry()) {
      std::fprintf(stderr, "kvtr-setup: the registry snapshot of %s cannot be written\n", KvtrEmu_Prefix());
      return 1;
    }
    return 0;
  }
  return Usage("reg import FILE | reg export FILE [KEY] | reg query KEY | reg compact");
}

}  // namespace kvtr::setup
