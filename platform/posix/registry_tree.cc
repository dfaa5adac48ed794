// POSIX platform layer: the registry tree, its handle table and its
// persistence to "<prefix>/registry.reg". See registry_tree.h.
#include "registry_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "emulation.h"

namespace kvtr::posix {
namespace {

constexpr const char* kRegistryFile = "/registry.reg";

std::string RegistryFilePath() { return PrefixDirectory() + kRegistryFile; }

bool FileIdentity(const std::string& path, uint64_t identity[3]) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  identity[0] = info.st_ino;
  identity[1] = static_cast<uint64_t>(info.st_size);
  identity[2] = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u + info.st_mtim.tv_nsec;
  return true;
}

std::shared_ptr<RegKey> NewRoot(RootId root) {
  auto key = std::make_shared<RegKey>();
  key->name = WidenAscii(RootName(root));
  key->lastWrite = CurrentFileTime();
  return key;
}

// A key below `from`, created with its missing ancestors.
std::shared_ptr<RegKey> Ensure(const std::shared_ptr<RegKey>& from, WStringView path) {
  std::shared_ptr<RegKey> key = from;
  for (const WString& part : SplitKeyPath(path)) {
    auto found = key->children.find(part);
    if (found == key->children.end()) {
      auto child = std::make_shared<RegKey>();
      child->name = part;
      child->parent = key;
      child->lastWrite = CurrentFileTime();
      found = key->children.emplace(part, child).first;
    }
    key = found->second;
  }
  return key;
}

void ClearDenialsBelow(RegKey& top) {
  std::vector<RegKey*> pending{&top};
  while (!pending.empty()) {
    RegKey* const key = pending.back();
    pending.pop_back();
    key->deniedRights = 0;
    for (auto& child : key->children) pending.push_back(child.second.get());
  }
}

}  // namespace

const char* RootName(RootId root) {
  switch (root) {
    case RootId::kLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RootId::kCurrentUser:
      return "HKEY_CURRENT_USER";
    default:
      return "HKEY_USERS";
  }
}

FILETIME CurrentFileTime() {
  // 100-nanosecond intervals since 1601-01-01.
  const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100) +
                         116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::vector<WString> SplitKeyPath(WStringView path) {
  std::vector<WString> parts;
  WString current;
  for (wchar c : path) {
    if (c == '\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

RegValue* RegKey::FindValue(WStringView valueName) {
  for (RegValue& value : values) {
    if (EqualNoCase(value.name, valueName)) return &value;
  }
  return nullptr;
}

WString RegKey::Path() const {
  std::vector<const RegKey*> chain;
  std::shared_ptr<RegKey> up = parent.lock();
  chain.push_back(this);
  std::vector<std::shared_ptr<RegKey>> keepAlive;
  while (up) {
    keepAlive.push_back(up);
    chain.push_back(up.get());
    up = up->parent.lock();
  }
  // chain ends with the root, whose name is not part of the path.
  WString path;
  for (size_t i = chain.size() - 1; i-- > 0;) {
    if (!path.empty()) path.push_back('\\');
    path += chain[i]->name;
  }
  return path;
}

RegKey* RegKey::TopRoot() {
  RegKey* key = this;
  std::shared_ptr<RegKey> up = parent.lock();
  std::shared_ptr<RegKey> hold;
  while (up) {
    hold = up;
    key = up.get();
    up = up->parent.lock();
  }
  return key;
}

RegistryTree& Registry() {
  static RegistryTree* tree = new RegistryTree();  // lives until exit; handles may outlive statics
  return *tree;
}

void RegistryForgetState() {
  RegistryTree& tree = Registry();
  std::lock_guard<std::recursive_mutex> hold(tree.lock());
  tree.Forget();
}

void RegistryResetControls() {
  RegistryTree& tree = Registry();
  std::lock_guard<std::recursive_mutex> hold(tree.lock());
  tree.Forget();
}

void RegistryTree::Forget() {
  // Open handles keep their keys but lose them on the next load.
  loaded_ = false;
  fileIdentity_[0] = fileIdentity_[1] = fileIdentity_[2] = 0;
}

std::shared_ptr<RegKey> RegistryTree::Root(RootId root) {
  Refresh();
  return roots_[static_cast<int>(root)];
}

void RegistryTree::Refresh() {
  if (loaded_) {
    uint64_t identity[3] = {0, 0, 0};
    FileIdentity(RegistryFilePath(), identity);
    if (identity[0] == fileIdentity_[0] && identity[1] == fileIdentity_[1] && identity[2] == fileIdentity_[2]) return;
  }
  LoadLocked();
}

void RegistryTree::LoadLocked() {
  // Remember where every open handle pointed, so it can follow its key into
  // the new tree.
  std::vector<std::pair<uintptr_t, std::pair<RegKey*, WString>>> bound;
  for (auto& [value, open] : handles_) {
    bound.push_back({value, {open.key->deleted ? nullptr : open.key->TopRoot(), open.key->Path()}});
  }
  RegKey* oldRoots[static_cast<int>(RootId::kCount)];
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
    oldRoots[i] = roots_[i].get();
  }
  std::shared_ptr<RegKey> keepOld[static_cast<int>(RootId::kCount)];
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
    keepOld[i] = roots_[i];
    roots_[i] = NewRoot(static_cast<RootId>(i));
  }
  loaded_ = true;

  const std::string path = RegistryFilePath();
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    RegImportResult result = ImportRegText(*this, text.str(), /*replace=*/false);
    if (!result.ok) {
      std::fprintf(stderr, "kvtr: %s line %d: %s\n", path.c_str(), result.line, result.message.c_str());
    }
    FileIdentity(path, fileIdentity_);
  } else {
    // A new machine: the keys every Windows machine has.
    Ensure(roots_[0], W("SOFTWARE\\Classes"));
    Ensure(roots_[0], W("SOFTWARE\\Microsoft"));
    Ensure(roots_[0], W("SYSTEM\\CurrentControlSet\\Services"));
    Ensure(roots_[1], W("Software"));
    Save();
  }

  for (auto& [value, target] : bound) {
    std::shared_ptr<RegKey> rebound;
    for (int i = 0; i < static_cast<int>(RootId::kCount) && target.first != nullptr; ++i) {
      if (oldRoots[i] == target.first) rebound = Find(roots_[i], target.second);
    }
    if (!rebound) {
      rebound = std::make_shared<RegKey>();
      rebound->deleted = true;
    }
    handles_[value].key = rebound;
  }
}

bool RegistryTree::Save() {
  const std::string path = RegistryFilePath();
  const std::string temporary = path + ".tmp";
  const std::string text = SerializeRegistry(*this);
  FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const bool flushed = std::fflush(out) == 0;
  std::fclose(out);
  if (!written || !flushed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  FileIdentity(path, fileIdentity_);
  return true;
}

std::shared_ptr<RegKey> RegistryTree::Find(const std::shared_ptr<RegKey>& from, WStringView path) {
  std::shared_ptr<RegKey> key = from;
  for (const WString& part : SplitKeyPath(path)) {
    auto found = key->children.find(part);
    if (found == key->children.end()) return nullptr;
    key = found->second;
  }
  return key;
}

std::shared_ptr<RegKey> RegistryTree::Resolve(HKEY handle, REGSAM* granted) {
  Refresh();
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (granted != nullptr) *granted = KEY_ALL_ACCESS;
  if (handle == HKEY_LOCAL_MACHINE) return roots_[static_cast<int>(RootId::kLocalMachine)];
  if (handle == HKEY_CURRENT_USER) return roots_[static_cast<int>(RootId::kCurrentUser)];
  if (handle == HKEY_USERS) return roots_[static_cast<int>(RootId::kUsers)];
  if (handle == HKEY_CLASSES_ROOT) return Ensure(roots_[0], W("SOFTWARE\\Classes"));
  if (handle == HKEY_CURRENT_CONFIG) {
    return Ensure(roots_[0], W("SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"));
  }
  auto found = handles_.find(value);
  if (found == handles_.end()) return nullptr;
  if (granted != nullptr) *granted = found->second.granted;
  return found->second.key;
}

HKEY RegistryTree::AddHandle(std::shared_ptr<RegKey> key, REGSAM granted) {
  const uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = OpenHandle{std::move(key), granted};
  return reinterpret_cast<HKEY>(value);
}

bool RegistryTree::CloseHandle(HKEY handle) { return handles_.erase(reinterpret_cast<uintptr_t>(handle)) == 1; }

void RegistryTree::ClearDenials() {
  for (auto& root : roots_) {
    if (root) ClearDenialsBelow(*root);
  }
}

}  // namespace kvtr::posix
