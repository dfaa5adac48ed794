// Environment variables by name: sizes, case, unset and empty values.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  setenv(name, value, 1);
#endif
}

void UnsetVariable(const char* name) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, nullptr);
#else
  unsetenv(name);
#endif
}

struct Query {
  const char* name;
  DWORD size;      // 0: no buffer at all
  DWORD result;
  const char* value;  // what the buffer holds afterwards ("####" untouched)
  DWORD error;        // the last error afterwards
};

// The same rules for both forms; the W form is given the names and sizes in
// UTF-16 units.
const Query kQueries[] = {
    {"KVTR_TEST_ENV", 64, 5, "value", kSentinel},
    {"kvtr_test_env", 64, 5, "value", kSentinel},
    {"Kvtr_Test_Env", 6, 5, "value", kSentinel},
    {"KVTR_TEST_ENV", 5, 6, "####", kSentinel},
    {"KVTR_TEST_ENV", 1, 6, "####", kSentinel},
    {"KVTR_TEST_ENV", 0, 6, "####", kSentinel},
    {"KVTR_TEST_EMPTY", 64, 0, "", kSentinel},
    {"KVTR_TEST_EMPTY", 0, 1, "####", kSentinel},
    {"KVTR_TEST_UNSET", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND},
    {"KVTR_TEST_UNSET", 0, 0, "####", ERROR_ENVVAR_NOT_FOUND},
    {"KVTR_TEST", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND},
    {"", 64, 0, "####", ERROR_ENVVAR_NOT_FOUND},
};

class EnvironmentVariables : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVariable("KVTR_TEST_ENV", "value");
    SetVariable("KVTR_TEST_EMPTY", "");
    UnsetVariable("KVTR_TEST_UNSET");
  }
  void TearDown() override {
    UnsetVariable("KVTR_TEST_ENV");
    UnsetVariable("KVTR_TEST_EMPTY");
  }
};

TEST_F(EnvironmentVariables, NarrowValuesFollowTheSizeRules) {
  for (const Query& q : kQueries) {
    SCOPED_TRACE(std::string(q.name) + " size " + std::to_string(q.size));
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    buffer[4] = 0;
    SetLastError(kSentinel);
    EXPECT_EQ(q.result, GetEnvironmentVariableA(q.name, q.size ? buffer : nullptr, q.size));
    EXPECT_EQ(q.error, GetLastError());
    EXPECT_STREQ(q.value, buffer);
  }
}

TEST_F(EnvironmentVariables, WideValuesFollowTheSizeRules) {
  for (const Query& q : kQueries) {
    SCOPED_TRACE(std::string(q.name) + " size " + std::to_string(q.size));
    WCHAR buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), WCHAR('#'));
    buffer[4] = 0;
    const WString name = WidenAscii(q.name);
    SetLastError(kSentinel);
    EXPECT_EQ(q.result, GetEnvironmentVariableW(name.c_str(), q.size ? buffer : nullptr, q.size));
    EXPECT_EQ(q.error, GetLastError());
    EXPECT_EQ(WidenAscii(q.value), WString(buffer));
  }
}

TEST_F(EnvironmentVariables, TheSystemRootIsAlwaysSet) {
  char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SYSTEMROOT", value, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::string upper(value, length);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ("C:\\WINDOWS", upper);
}

}  // namespace
}  // namespace kvtr::test
