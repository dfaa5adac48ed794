// The built module as a host sees it: loaded at run time, its exports found
// by their undecorated names.
#include <gtest/gtest.h>

#include <string>

#include "support/test_machine.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace kvtr::test {
namespace {

typedef void(__cdecl* Callback)(int, void*, void*, void*, const WCHAR*, const char*, int, void*);
typedef void*(__cdecl* SetlogFn)(void*, Callback);

class LoadedModule {
 public:
  LoadedModule() {
#ifdef _WIN32
    // The test program runs next to the module it was built with.
    handle_ = LoadLibraryW(L"kvtr.dll");
#else
    handle_ = dlopen(KVTR_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~LoadedModule() {
#ifdef _WIN32
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_) dlclose(handle_);
#endif
  }
  bool loaded() const { return handle_ != nullptr; }
  void* Find(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
  }

 private:
  void* handle_ = nullptr;
};

int g_calls = 0;
extern "C" void __cdecl Count(int, void*, void*, void*, const WCHAR*, const char*, int, void*) { ++g_calls; }

TEST(Exports, SetlogIsExportedUndecoratedAndReturnsItsFirstArgument) {
  LoadedModule module;
  ASSERT_TRUE(module.loaded());
  auto setlog = reinterpret_cast<SetlogFn>(module.Find("setlog"));
  ASSERT_NE(nullptr, setlog);
  int opaque = 0;
  EXPECT_EQ(&opaque, setlog(&opaque, &Count));
  EXPECT_EQ(nullptr, setlog(nullptr, nullptr));
}

TEST(Exports, InternalNamesAreNotVisible) {
  LoadedModule module;
  ASSERT_TRUE(module.loaded());
  EXPECT_EQ(nullptr, module.Find("_ZN4kvtr9installer6SetLogEPvPFviS1_S1_S1_PKDsPKciS1_E"));
  EXPECT_EQ(nullptr, module.Find("SafeFormat"));
}

}  // namespace
}  // namespace kvtr::test
