// Loading and unloading the built module without calling an export: the
// load objects announce the symbol path once, read the MIME charset
// database once, start no thread, and the new handler they install is put
// back at unload.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "support/loaded_module.h"
#include "support/test_machine.h"

#ifdef _WIN32
#include "support/debugger.h"
#else
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <fstream>

#include "common_utils/mime/mime_charset_map.h"
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

size_t ThreadsOfThisProcess() {
  size_t count = 0;
#ifdef _WIN32
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
#else
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
#endif
  return count;
}

#ifndef _WIN32
size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}
#endif

TEST(ModuleLifecycle, LoadObjectsComeAndGoWithTheModule) {
  TestMachine machine;
  const size_t threads = ThreadsOfThisProcess();
  const std::new_handler handler = std::get_new_handler();
#ifndef _WIN32
  const std::string debugOutput = std::string(KvtrEmu_Prefix()) + "/debug-output.log";
  const std::string before = ReadHostFile(debugOutput);
  // The registry calls of one filling of the charset map on this machine.
  const unsigned start = KvtrEmu_CallCount("registry");
  { text::MimeCharsetMap map; }
  const unsigned oneFill = KvtrEmu_CallCount("registry") - start;
  ASSERT_GT(oneFill, 0u);
  const unsigned beforeLoad = KvtrEmu_CallCount("registry");
#endif

  LoadedModule module;
  ASSERT_TRUE(module.loaded());
  EXPECT_EQ(threads, ThreadsOfThisProcess());
#ifndef _WIN32
  EXPECT_EQ(oneFill, KvtrEmu_CallCount("registry") - beforeLoad);
  // The module shares the C++ runtime with this program here, so its
  // handler is this process's while it is loaded.
  const std::new_handler loaded = std::get_new_handler();
  ASSERT_NE(handler, loaded);
  ASSERT_NE(nullptr, loaded);
  try {
    loaded();
    ADD_FAILURE() << "the new handler returned";
  } catch (const std::bad_alloc& error) {
    EXPECT_STREQ("bad allocation", error.what());
  }
#endif
  module.Unload();
  EXPECT_EQ(threads, ThreadsOfThisProcess());
  EXPECT_EQ(handler, std::get_new_handler());
#ifndef _WIN32
  const std::string announced = ReadHostFile(debugOutput).substr(before.size());
  EXPECT_EQ(1u, Occurrences(announced, "Symbols Path: ")) << announced;
  EXPECT_EQ(0u, announced.find("Symbols Path: "));
  EXPECT_EQ('\n', announced.back());
#endif
}

#ifndef _WIN32
// Two copies of the module unloaded in the order they were loaded: the
// second copy's saved handler points into the first, which is gone by
// then, so the handler is none afterwards, never a dangling one. (The
// Windows build links its C++ runtime statically: each module has a new
// handler of its own.)
TEST(ModuleLifecycle, TwoCopiesUnloadedInLoadOrderLeaveNoDanglingHandler) {
  TestMachine machine;
  const std::new_handler handler = std::get_new_handler();
  const std::string folder = std::string(KvtrEmu_Prefix()) + "/copies";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  const std::string original = ReadHostFile(KVTR_LIBRARY_FILE);
  ASSERT_FALSE(original.empty());
  void* copies[2] = {};
  for (int i = 0; i < 2; ++i) {
    const std::string path = folder + "/libkvtr-copy" + std::to_string(i) + ".so";
    std::ofstream(path, std::ios::binary) << original;
    copies[i] = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, copies[i]) << dlerror();
  }
  const std::new_handler second = std::get_new_handler();
  EXPECT_NE(handler, second);
  dlclose(copies[0]);
  EXPECT_EQ(second, std::get_new_handler());  // not the first copy's to change
  dlclose(copies[1]);
  EXPECT_EQ(nullptr, std::get_new_handler());
  std::set_new_handler(handler);
}
#endif

#ifdef _WIN32
// The child of the debugger test: loads and unloads the module.
TEST(ModuleChild, DISABLED_LoadsAndUnloads) {
  LoadedModule module;
  ASSERT_TRUE(module.loaded());
}

TEST(ModuleLifecycle, TheLoadAnnouncesTheSymbolPathToADebuggerOnce) {
  WCHAR self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  WCHAR folder[MAX_PATH];
  wcscpy(folder, self);
  *wcsrchr(folder, L'\\') = 0;
  std::vector<std::string> outputs;
  const DWORD exitCode = DebugChild(
      self,
      WString(L"\"") + self +
          L"\" --gtest_also_run_disabled_tests --gtest_brief=1 --gtest_filter=ModuleChild.DISABLED_LoadsAndUnloads",
      folder, outputs);
  EXPECT_EQ(0u, exitCode);
  ASSERT_EQ(3u, outputs.size());
  EXPECT_EQ("Symbols Path: ", outputs[0]);
  EXPECT_EQ("\n", outputs[2]);
}
#endif

}  // namespace
}  // namespace kvtr::test
