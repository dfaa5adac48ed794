// Modules: the system DLLs by any of their names, a library of the tests'
// own by path and by name, exports, reference counts, handles that are no
// module, and the narrow module name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

#ifdef _WIN32
constexpr const WCHAR* kTestModule = W("kvtr_test_module.dll");
#else
constexpr const WCHAR* kTestModule = W("kvtr_test_module.so");
#endif

// The test module's Windows path (on drive Z:, the host's root, on both).
WString TestModulePath() {
  WString path = W("Z:") + WidenAscii(KVTR_TEST_MODULE);
  std::replace(path.begin(), path.end(), WCHAR('/'), WCHAR('\\'));
  return path;
}

// An export as the function type it has.
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
  for (const char* name : {"KERNEL32.DLL", "kernel32", "Kernel32.Dll", "kernel32   "}) {
    SetLastError(kSentinel);
    const HMODULE module = LoadLibraryA(name);
    EXPECT_EQ(kernel32, module) << name;
    EXPECT_EQ(kSentinel, GetLastError()) << name;
    EXPECT_TRUE(FreeLibrary(module)) << name;
  }
  EXPECT_EQ(kernel32, GetModuleHandleW(W("KERNEL32")));
  for (const WCHAR* name : {W("advapi32.dll"), W("PSAPI.DLL"), W("version"), W("Ole32.dll"), W("ws2_32")}) {
    const HMODULE module = LoadLibraryW(name);
    ASSERT_NE(nullptr, module) << NarrowAscii(name);
    if (LayerDiffers("every system DLL the library asks for is the layer itself")) {
      EXPECT_EQ(kernel32, module) << NarrowAscii(name);
    }
    EXPECT_TRUE(FreeLibrary(module)) << NarrowAscii(name);
  }
  // Freed as often as loaded, kernel32 stays and its exports answer.
  const auto getLastError = Export<DWORD(WINAPI*)()>(kernel32, "GetLastError");
  ASSERT_NE(nullptr, getLastError);
  SetLastError(1234);
  EXPECT_EQ(1234u, getLastError());
  EXPECT_EQ(kernel32, GetModuleHandleW(W("kernel32.dll")));
}

TEST(Modules, MissingLibrariesAndExportsHaveTheirCodes) {
  TestMachine machine;
  const std::string inScratch = NarrowAscii(machine.ScratchFolder()) + "\\missing.dll";
  for (const std::string& name : {std::string("kvtr-no-such-library.dll"), std::string("C:\\kvtr-nowhere\\x.dll"), inScratch}) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, LoadLibraryA(name.c_str())) << name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << name;
  }
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleW(W("kvtr-no-such-library.dll")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

  const HMODULE kernel32 = LoadLibraryW(W("kernel32.dll"));
  ASSERT_NE(nullptr, kernel32);
  struct Lookup {
    HMODULE module;
    const char* name;
  };
  // printf and malloc are the C library's: a module's dependencies export
  // nothing on its behalf.
  const Lookup lookups[] = {
      {kernel32, "KvtrNoSuchExport"}, {kernel32, "printf"}, {kernel32, "malloc"},
      {kernel32, "getlasterror"},     {nullptr, "non_ex_call"},
  };
  for (const Lookup& l : lookups) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, reinterpret_cast<void*>(GetProcAddress(l.module, l.name))) << l.name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError()) << l.name;
  }
  SetLastError(kSentinel);
  EXPECT_NE(nullptr, reinterpret_cast<void*>(GetProcAddress(kernel32, "GetLastError")));
  EXPECT_EQ(kSentinel, GetLastError());
  FreeLibrary(kernel32);
}

TEST(Modules, HandlesThatAreNoModuleFailWithModNotFound) {
  int local = 0;
  const auto heap = std::make_unique<long long[]>(16);
  char* const executable = reinterpret_cast<char*>(GetModuleHandleW(nullptr));
  const HMODULE handles[] = {
      reinterpret_cast<HMODULE>(&local),
      reinterpret_cast<HMODULE>(heap.get()),
      reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x1234)),
      reinterpret_cast<HMODULE>(executable + 0x10),
      reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0xdeadbee0)),
  };
  for (const HMODULE handle : handles) {
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, reinterpret_cast<void*>(GetProcAddress(handle, "GetLastError"))) << handle;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << handle;
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(handle)) << handle;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << handle;
  }
  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Modules, ALibraryLoadsByPathOrBesideTheProgramAndGoesWithItsLastReference) {
  const WString path = TestModulePath();
  ASSERT_EQ(nullptr, GetModuleHandleW(kTestModule)) << "loaded before the test";
  SetLastError(kSentinel);
  const HMODULE byPath = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, byPath) << NarrowAscii(path);
  EXPECT_EQ(kSentinel, GetLastError());
  // The same file by its bare name (found beside the program) and in capitals.
  const HMODULE byName = LoadLibraryW(kTestModule);
  EXPECT_EQ(byPath, byName);
  const HMODULE byNarrowPath = LoadLibraryA(NarrowAscii(Upper(path)).c_str());
  EXPECT_EQ(byPath, byNarrowPath);
  EXPECT_EQ(byPath, GetModuleHandleW(kTestModule));
  EXPECT_EQ(byPath, GetModuleHandleW(Upper(kTestModule).c_str()));
  EXPECT_EQ(byPath, GetModuleHandleW(path.c_str()));

  const auto answer = Export<int (*)(int)>(byPath, "KvtrTestModuleAnswer");
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ(42, answer(21));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, reinterpret_cast<void*>(GetProcAddress(byPath, "KvtrTestModuleQuestion")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  WCHAR name[MAX_PATH];
  const DWORD length = GetModuleFileNameW(byPath, name, MAX_PATH);
  EXPECT_EQ(Upper(path), Upper(WString(name, length)));

  // Three references: two FreeLibrary calls keep it, the third unloads it.
  EXPECT_TRUE(FreeLibrary(byNarrowPath));
  EXPECT_TRUE(FreeLibrary(byName));
  EXPECT_EQ(byPath, GetModuleHandleW(kTestModule));
  EXPECT_TRUE(FreeLibrary(byPath));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleW(kTestModule));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(byPath));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(Modules, TheProgramIsTheModuleWithoutAName) {
  const HMODULE executable = GetModuleHandleW(nullptr);
  ASSERT_NE(nullptr, executable);
  WCHAR byHandle[MAX_PATH];
  WCHAR byNull[MAX_PATH];
  const DWORD length = GetModuleFileNameW(executable, byHandle, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_EQ(length, GetModuleFileNameW(nullptr, byNull, MAX_PATH));
  EXPECT_EQ(WString(byNull), WString(byHandle));
  EXPECT_NE(WString::npos, WString(byHandle).find(W("platform_tests")));
}

TEST(ModuleNames, NarrowNamesAreWholeOrCutAtTheSize) {
  char whole[MAX_PATH];
  SetLastError(kSentinel);
  const DWORD length = GetModuleFileNameA(nullptr, whole, MAX_PATH);
  ASSERT_GT(length, 4u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_EQ(length, std::strlen(whole));
  WCHAR wide[MAX_PATH];
  ASSERT_EQ(length, GetModuleFileNameW(nullptr, wide, MAX_PATH));
  EXPECT_EQ(NarrowAscii(wide), std::string(whole));

  for (const DWORD size : {DWORD{1}, DWORD{5}, length, length + 1, length + 2}) {
    SCOPED_TRACE(size);
    char buffer[MAX_PATH + 2];
    std::memset(buffer, '#', sizeof buffer);
    SetLastError(kSentinel);
    const DWORD result = GetModuleFileNameA(nullptr, buffer, size);
    EXPECT_EQ('#', buffer[size]);  // nothing beyond the size
    if (size > length) {
      EXPECT_EQ(length, result);
      EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
      EXPECT_STREQ(whole, buffer);
      continue;
    }
    EXPECT_EQ(size, result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(std::string(whole, size - 1), std::string(buffer, size - 1));
    if (!WineDiffers("a cut module name is not terminated (Windows XP behaviour)")) {
      EXPECT_EQ(0, buffer[size - 1]);
    }
  }
  char untouched[4] = {'#', '#', '#', '#'};
  SetLastError(kSentinel);
  EXPECT_EQ(0u, GetModuleFileNameA(nullptr, untouched, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ('#', untouched[0]);
}

}  // namespace
}  // namespace kvtr::test
