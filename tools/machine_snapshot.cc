#include "tools/machine_snapshot.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/mofcomp/wmi_repository.h"
#include "platform/posix/emulation.h"

namespace kvtr::setup {
namespace {

// "drive_c/Program Files/x" is "C:\Program Files\x".
bool WindowsPath(const std::filesystem::path& relative, std::string& windows) {
  auto part = relative.begin();
  if (part == relative.end()) return false;
  const std::string drive = part->string();
  if (drive.size() != 7 || drive.compare(0, 6, "drive_") != 0) return false;
  windows = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(drive[6])))) + ":";
  for (++part; part != relative.end(); ++part) windows += "\\" + part->string();
  return true;
}

std::vector<std::string> Difference(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::vector<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

}  // namespace

bool TakeSnapshot(const std::string& scratch, MachineSnapshot& snapshot, std::string& error) {
  const std::string exported = scratch + "/registry-export.reg";
  if (!KvtrEmu_ExportRegFile(exported.c_str(), nullptr, nullptr)) {
    error = "cannot export the registry of " + std::string(KvtrEmu_Prefix());
    return false;
  }
  std::ifstream in(exported, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::error_code failure;
  std::filesystem::remove(exported, failure);
  if (!ParseRegText(bytes.str(), snapshot.registry, error)) return false;

  // A walk cut short would show files as created or deleted: it fails.
  const std::filesystem::path prefix = KvtrEmu_Prefix();
  for (auto it = std::filesystem::recursive_directory_iterator(prefix, failure);
       !failure && it != std::filesystem::recursive_directory_iterator(); it.increment(failure)) {
    std::string windows;
    if (it->is_regular_file(failure) && WindowsPath(it->path().lexically_relative(prefix), windows)) {
      snapshot.files.insert(windows);
    }
    if (failure) break;
  }
  if (failure) {
    error = "cannot list the files of " + prefix.string() + ": " + failure.message();
    return false;
  }
  for (const WString& space : mof::ListNamespaces()) {
    std::vector<mof::ClassSummary> classes;
    if (!mof::ListClasses(space, &classes)) continue;
    for (const mof::ClassSummary& c : classes) snapshot.classes.insert(Utf8(space) + ":" + Utf8(c.name));
  }
  return true;
}

void CompareSnapshots(const MachineSnapshot& before, const MachineSnapshot& after, MachineChanges& changes) {
  changes.registry = DiffImages(before.registry, after.registry);
  changes.autorecoverBefore = AutorecoverList(before.registry);
  changes.autorecoverAfter = AutorecoverList(after.registry);
  changes.filesCreated = Difference(after.files, before.files);
  changes.filesDeleted = Difference(before.files, after.files);
  changes.classesCreated = Difference(after.classes, before.classes);
  changes.classesDeleted = Difference(before.classes, after.classes);
}

}  // namespace kvtr::setup
