// POSIX platform layer: the registry tree and its handle table. See
// registry_tree.h; the store that loads and persists the tree is
// registry_store.cc.
#include "registry_tree.h"

#include <chrono>
#include <vector>

#include "emulation.h"

namespace kvtr::posix {
namespace {

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

std::shared_ptr<RegKey> NewRoot(RootId root) {
  auto key = std::make_shared<RegKey>();
  key->name = WidenAscii(RootName(root));
  key->lastWrite = CurrentFileTime();
  return key;
}

std::shared_ptr<RegKey> ChildKey(const std::shared_ptr<RegKey>& parent, const WString& name) {
  auto found = parent->children.find(name);
  if (found != parent->children.end()) return found->second;
  auto child = std::make_shared<RegKey>();
  child->name = name;
  child->parent = parent;
  child->lastWrite = CurrentFileTime();
  return parent->children.emplace(name, std::move(child)).first->second;
}

std::shared_ptr<RegKey> EnsureKeyPath(const std::shared_ptr<RegKey>& from, WStringView path) {
  std::shared_ptr<RegKey> key = from;
  for (const WString& part : SplitKeyPath(path)) key = ChildKey(key, part);
  return key;
}

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
  // Folding keeps the length, so names of another length never match; a
  // load of a key with many values stays quick.
  for (RegValue& value : values) {
    if (value.name.size() == valueName.size() && EqualNoCase(value.name, valueName)) return &value;
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

LONG RegistryStatusOfException() noexcept {
  const LONG status = StatusOfException();
  try {
    RegistryTree& tree = Registry();
    std::lock_guard<std::recursive_mutex> hold(tree.lock());
    tree.Forget();
  } catch (...) {
  }
  return status;
}

std::shared_ptr<RegKey> RegistryTree::Root(RootId root) {
  Refresh();
  return roots_[static_cast<int>(root)];
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
  if (handle == HKEY_CLASSES_ROOT) return EnsureKeyPath(roots_[0], W("SOFTWARE\\Classes"));
  if (handle == HKEY_CURRENT_CONFIG) {
    return EnsureKeyPath(roots_[0], W("SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"));
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
