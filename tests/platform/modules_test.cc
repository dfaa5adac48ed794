// Modules: the system DLLs by any of their names, a library of the tests'
// own by path and by name, exports, reference counts, handles that are no
// module, and the narrow module name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
#ifdef _WIN32
constexpr const WCHAR* kTestModule = W("kvtr_test_module.dll");
#else
constexpr const WCHAR* kTestModule = W("kvtr_test_module.so");
#endif

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

WString Upper(WString text) {
  for (WCHAR& c : text) c = (c >= 'a' && c <= 'z') ? WCHAR(c - 32) : c;
  return text;
}

TEST(Modules, SystemLibrariesAnswerToAnyOfTheirNames) {
  const HMODULE kernel32 = GetModuleHandleW(W("kernel32.dll"));
  ASSERT_NE(nullptr, kernel32);
  EXPECT_EQ(kernel32, GetModuleHandleW(W("KERNEL32")));
  for (const char* name : {"KERNEL32.DLL", "kernel32", "kernel32   ", "advapi32.dll", "PSAPI.DLL", "version",
                           "Ole32.dll", "ws2_32"}) {
    SetLastError(kSentinel);
    const HMODULE module = LoadLibraryA(name);
    ASSERT_NE(nullptr, module) << name;
    EXPECT_EQ(kSentinel, GetLastError()) << name;
    if (Upper(WidenAscii(name)).rfind(W("KERNEL32"), 0) == 0 ||
        LayerDiffers("every system DLL the library asks for is the layer itself")) {
      EXPECT_EQ(kernel32, module) << name;
    }
    EXPECT_TRUE(FreeLibrary(module)) << name;
  }
  // Freed as often as loaded, kernel32 stays, and its exports answer.
  const auto getLastError = Export<DWORD(WINAPI*)()>(kernel32, "GetLastError");
  ASSERT_NE(nullptr, getLastError);
  SetLastError(1234);
  EXPECT_EQ(1234u, getLastError());
}

TEST(Modules, MissingLibrariesAndExportsAndHandlesThatAreNoModuleFail) {
  TestMachine machine;
  const std::string inScratch = NarrowAscii(machine.ScratchFolder()) + "\\missing.dll";
  for (const std::string& name : {std::string("kvtr-no-such-library.dll"), std::string("C:\\kvtr-nowhere\\x.dll"), inScratch}) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, LoadLibraryA(name.c_str())) << name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << name;
  }
  // printf and malloc are the C library's: a dependency exports nothing on
  // a module's behalf. NULL is the program.
  const HMODULE kernel32 = GetModuleHandleW(W("kernel32.dll"));
  const std::pair<HMODULE, const char*> lookups[] = {{kernel32, "KvtrNoSuchExport"}, {kernel32, "printf"},
                                                     {kernel32, "malloc"},           {kernel32, "getlasterror"},
                                                     {nullptr, "KvtrNoSuchExport"}};
  for (const auto& [module, name] : lookups) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, Export<void*>(module, name)) << name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError()) << name;
  }
  int local = 0;
  const auto heap = std::make_unique<long long[]>(16);
  char* const executable = reinterpret_cast<char*>(GetModuleHandleW(nullptr));
  for (void* handle : {static_cast<void*>(&local), static_cast<void*>(heap.get()), static_cast<void*>(executable + 0x10),
                       reinterpret_cast<void*>(static_cast<UINT_PTR>(0x1234))}) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, Export<void*>(static_cast<HMODULE>(handle), "GetLastError")) << handle;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << handle;
    EXPECT_FALSE(FreeLibrary(static_cast<HMODULE>(handle))) << handle;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << handle;
  }
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Modules, ALibraryLoadsByPathOrBesideTheProgramAndGoesWithItsLastReference) {
  WString path = W("Z:") + WidenAscii(KVTR_TEST_MODULE);  // drive Z: is the host's root on both
  std::replace(path.begin(), path.end(), WCHAR('/'), WCHAR('\\'));
  ASSERT_EQ(nullptr, GetModuleHandleW(kTestModule)) << "loaded before the test";
  SetLastError(kSentinel);
  const HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, module) << NarrowAscii(path);
  if (!Wine32Differs("a LoadLibraryW that succeeds leaves ERROR_MOD_NOT_FOUND as the last error")) {
    EXPECT_EQ(kSentinel, GetLastError());
  }
  EXPECT_EQ(module, LoadLibraryW(kTestModule));  // found beside the program
  EXPECT_EQ(module, LoadLibraryA(NarrowAscii(Upper(path)).c_str()));
  for (const WString& name : {WString(kTestModule), Upper(kTestModule), path}) {
    EXPECT_EQ(module, GetModuleHandleW(name.c_str())) << NarrowAscii(name);
  }
  const auto answer = Export<int (*)(int)>(module, "KvtrTestModuleAnswer");
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ(42, answer(21));
  WCHAR name[MAX_PATH];
  EXPECT_EQ(Upper(path), Upper(WString(name, GetModuleFileNameW(module, name, MAX_PATH))));
  // The program is the module without a name.
  WCHAR program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(GetModuleHandleW(nullptr), program, MAX_PATH), 0u);
  EXPECT_EQ(WString(program), WString(name, GetModuleFileNameW(nullptr, name, MAX_PATH)));

  // The module of an address, and of a name, with or without a reference.
  constexpr DWORD kFromAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  constexpr DWORD kNoReference = GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  const auto address = [](const void* at) { return static_cast<LPCWSTR>(at); };
  HMODULE found = nullptr;
  EXPECT_TRUE(GetModuleHandleExW(kFromAddress | kNoReference, address(reinterpret_cast<void*>(answer)), &found));
  EXPECT_EQ(module, found);
  EXPECT_TRUE(GetModuleHandleExW(kNoReference, kTestModule, &found));
  EXPECT_EQ(module, found);
  EXPECT_TRUE(GetModuleHandleExW(kFromAddress | kNoReference, address(reinterpret_cast<void*>(&Upper)), &found));
  EXPECT_EQ(GetModuleHandleW(nullptr), found);
  const int onTheStack = 0;
  found = reinterpret_cast<HMODULE>(1);
  SetLastError(kSentinel);
  EXPECT_FALSE(GetModuleHandleExW(kFromAddress | kNoReference, address(&onTheStack), &found));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, found);
  SetLastError(kSentinel);
  EXPECT_FALSE(GetModuleHandleExW(kNoReference, kTestModule, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // This one takes a reference.
  EXPECT_TRUE(GetModuleHandleExW(kFromAddress, address(reinterpret_cast<void*>(answer)), &found));
  EXPECT_EQ(module, found);

  // Four references: the fourth FreeLibrary unloads it, and its handle is
  // then no module.
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(module, GetModuleHandleW(kTestModule));
  EXPECT_TRUE(FreeLibrary(module));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleW(kTestModule));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(ModuleNames, NarrowNamesAreWholeOrCutAtTheSize) {
  char whole[MAX_PATH];
  WCHAR wide[MAX_PATH];
  SetLastError(kSentinel);
  const DWORD length = GetModuleFileNameA(nullptr, whole, MAX_PATH);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  ASSERT_GT(length, 4u);
  ASSERT_EQ(length, GetModuleFileNameW(nullptr, wide, MAX_PATH));
  EXPECT_EQ(NarrowAscii(wide), std::string(whole));
  for (const DWORD size : {DWORD{0}, DWORD{1}, DWORD{5}, length, length + 1}) {
    SCOPED_TRACE(size);
    char buffer[MAX_PATH + 1];
    std::memset(buffer, '#', sizeof buffer);
    SetLastError(kSentinel);
    const DWORD result = GetModuleFileNameA(nullptr, buffer, size);
    EXPECT_EQ('#', buffer[size]);  // nothing beyond the size
    if (size > length) {
      EXPECT_EQ(length, result);
      EXPECT_STREQ(whole, buffer);
    } else {
      EXPECT_EQ(size == 0 ? 0 : size, result);
      EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
      if (size == 0) continue;
      EXPECT_EQ(std::string(whole, size - 1), std::string(buffer, size - 1));
      if (!WineDiffers("a cut module name is not terminated (Windows XP behaviour)")) {
        EXPECT_EQ(0, buffer[size - 1]);
      }
    }
  }
}

}  // namespace
}  // namespace kvtr::test
