// The built module as a host sees it: loaded at run time, its exports found
// by their undecorated names.
#include <gtest/gtest.h>

#include <string>

#include "support/loaded_module.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

typedef void(__cdecl* Callback)(int, void*, void*, void*, const WCHAR*, const char*, int, void*);
typedef void*(__cdecl* SetlogFn)(void*, Callback);

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
