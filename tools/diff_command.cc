// diff: what differs between two registry exports, as text or JSON.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/change_report.h"
#include "tools/reg_diff.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {
namespace {

bool ReadWholeFile(const char* path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int RunDiff(int argc, char** argv, int at) {
  const bool json = at < argc && std::strcmp(argv[at], "--json") == 0;
  if (json) ++at;
  if (argc - at != 2) return Usage("diff [--json] BEFORE.reg AFTER.reg");
  RegImage images[2];
  for (int i = 0; i < 2; ++i) {
    std::string bytes, error;
    if (!ReadWholeFile(argv[at + i], bytes)) {
      std::fprintf(stderr, "kvtr-setup: cannot read %s\n", argv[at + i]);
      return 1;
    }
    if (!ParseRegText(bytes, images[i], error)) {
      std::fprintf(stderr, "kvtr-setup: %s %s\n", argv[at + i], error.c_str());
      return 1;
    }
  }
  MachineChanges changes;
  changes.registry = DiffImages(images[0], images[1]);
  changes.autorecoverBefore = AutorecoverList(images[0]);
  changes.autorecoverAfter = AutorecoverList(images[1]);
  const std::string report = json ? JsonReport(changes) : TextReport(changes);
  std::fputs(report.c_str(), stdout);
  return 0;
}

}  // namespace kvtr::setup
