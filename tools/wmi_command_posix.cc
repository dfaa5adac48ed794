// wmi classes: the classes of a namespace of the emulated machine's
// repository.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mofcomp/wmi_repository.h"
#include "platform/posix/emulation.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {

int RunWmi(int argc, char** argv, int at) {
  if (at >= argc || std::strcmp(argv[at], "classes") != 0 || at + 2 < argc) return Usage("wmi classes [NAMESPACE]");
  const WString nameSpace = FromUtf8Text(at + 1 < argc ? argv[at + 1] : "root\\cimv2");
  const DWORD needed = KvtrEmu_ListWmiClasses(nameSpace.c_str(), nullptr, 0);
  std::vector<WCHAR> names(needed + 1, 0);
  KvtrEmu_ListWmiClasses(nameSpace.c_str(), names.data(), static_cast<DWORD>(names.size()));
  for (const WCHAR* name = names.data(); *name != 0; name += WideLength(name) + 1) {
    std::printf("%s\n", Utf8(name).c_str());
  }
  return 0;
}

}  // namespace kvtr::setup
