// The .reg reader: fuzzed text is read into the registry tree (whatever it
// holds), and what the tree then holds must write out and read back to the
// same text, so that saving and loading the registry loses nothing.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "fuzz/fuzz_prefix.h"
#include "platform/posix/registry_tree.h"

using kvtr::posix::ImportRegText;
using kvtr::posix::RegistryTree;
using kvtr::posix::RootId;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvtr::fuzz::UseFreshPrefix();
  kvtr::posix::Registry().Root(RootId::kLocalMachine);  // loads the new machine
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegistryTree& tree = kvtr::posix::Registry();
  std::lock_guard<std::recursive_mutex> hold(tree.lock());
  ImportRegText(tree, std::string_view(reinterpret_cast<const char*>(data), size), /*replace=*/true);

  const std::string written = kvtr::posix::SerializeRegistry(tree);
  const kvtr::posix::RegImportResult reread = ImportRegText(tree, written, /*replace=*/true);
  if (!reread.ok) {
    std::fprintf(stderr, "line %d: %s\n", reread.line, reread.message.c_str());
    kvtr::fuzz::Fail("the registry's own text does not read back");
  }
  if (kvtr::posix::SerializeRegistry(tree) != written) kvtr::fuzz::Fail("the registry changed through its own text");
  return 0;
}
