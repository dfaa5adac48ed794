// Environment variables by name: sizes, case, unset and empty values, in
// the narrow and the wide form.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  value != nullptr ? setenv(name, value, 1) : unsetenv(name);
#endif
}

TEST(EnvironmentVariables, ValuesFollowTheSizeRulesAndNamesIgnoreCase) {
  SetVariable("KVTR_TEST_ENV", "value");
  SetVariable("KVTR_TEST_EMPTY", "");
  SetVariable("KVTR_TEST_UNSET", nullptr);
  struct Query {
    const char* name;
    DWORD size;         // 0: no buffer at all
    DWORD result;
    const char* value;  // the buffer afterwards ("####": untouched)
    DWORD error;        // the last error afterwards
  };
  const Query queries[] = {
      {"KVTR_TEST_ENV", 64, 5, "value", kSentinel},   {"kvtr_test_env", 6, 5, "value", kSentinel},
      {"Kvtr_Test_Env", 5, 6, "####", kSentinel},     {"KVTR_TEST_ENV", 1, 6, "####", kSentinel},
      {"KVTR_TEST_ENV", 0, 6, "####", kSentinel},     {"KVTR_TEST_EMPTY", 64, 0, "", kSentinel},
      {"KVTR_TEST_EMPTY", 0, 1, "####", kSentinel},   {"KVTR_TEST_UNSET", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND},
      {"KVTR_TEST", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND}, {"", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND},
  };
  for (const Query& q : queries) {
    SCOPED_TRACE(std::string(q.name) + " size " + std::to_string(q.size));
    char narrow[64] = "####";
    SetLastError(kSentinel);
    EXPECT_EQ(q.result, GetEnvironmentVariableA(q.name, q.size ? narrow : nullptr, q.size));
    EXPECT_EQ(q.error, GetLastError());
    EXPECT_STREQ(q.value, narrow);

    WCHAR wide[64] = {'#', '#', '#', '#', 0};
    SetLastError(kSentinel);
    EXPECT_EQ(q.result, GetEnvironmentVariableW(WidenAscii(q.name).c_str(), q.size ? wide : nullptr, q.size));
    EXPECT_EQ(q.error, GetLastError());
    EXPECT_EQ(WidenAscii(q.value), WString(wide));
  }
  // Set on every Windows machine, and on the layer's when the host has none.
  char root[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SYSTEMROOT", root, MAX_PATH);
  for (DWORD i = 0; i < length; ++i) root[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(root[i])));
  EXPECT_EQ("C:\\WINDOWS", std::string(root, length));
  SetVariable("KVTR_TEST_ENV", nullptr);
  SetVariable("KVTR_TEST_EMPTY", nullptr);
}

}  // namespace
}  // namespace kvtr::test
