// Registry changes that cannot be completed: the file cannot be written,
// or memory runs out at any allocation of the call. The call fails with
// Windows' code and changes nothing; no exception leaves the layer.
// Linux only: the layer's own persistence and allocations are what fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/failing_allocator.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

class RegistryFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key_));
  }
  void TearDown() override { RegCloseKey(key_); }

  LONG SetNumber(const WCHAR* name, DWORD value) {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  // The value as a fresh process would read it from the prefix's file.
  static std::string Persisted(const std::string& key, const char* name) {
    const std::string file = std::string(KvtrEmu_Prefix()) + "/check.reg";
    if (!KvtrEmu_ExportRegFile(file.c_str(), HKEY_CURRENT_USER, key.c_str())) return "<no key>";
    const std::string text = ReadHostFile(file);
    const std::string needle = std::string("\"") + name + "\"=";
    const size_t at = text.find(needle);
    return at == std::string::npos ? "<missing>" : text.substr(at, text.find('\n', at) - at);
  }
  static std::string ReadHostFile(const std::string& path) {
    std::string text;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
      char chunk[4096];
      size_t got;
      while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, got);
      std::fclose(in);
    }
    return text;
  }

  TestMachine machine_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryFailures, AChangeThatCannotBeSavedIsNotMade) {
  ASSERT_EQ(ERROR_SUCCESS, SetNumber(W("kept"), 1));
  KvtrEmu_FailCall("WriteRegistryFile", 1, ERROR_DISK_FULL);
  EXPECT_EQ(ERROR_CANTWRITE, SetNumber(W("kept"), 2));
  KvtrEmu_FailCall("WriteRegistryFile", 1, ERROR_DISK_FULL);
  EXPECT_EQ(ERROR_CANTWRITE, SetNumber(W("new"), 3));
  KvtrEmu_FailCall("WriteRegistryFile", 1, ERROR_DISK_FULL);
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_CANTWRITE, RegCreateKeyExW(key_, W("child"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
  EXPECT_EQ(nullptr, child);
  // Neither this process nor the file holds any of them.
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("kept"), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, W("new"), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(key_, W("child"), 0, KEY_READ, &child));
  EXPECT_EQ("\"kept\"=dword:00000001", Persisted(machine_.ScratchKey(), "kept"));
  EXPECT_EQ("<missing>", Persisted(machine_.ScratchKey(), "new"));
  // The handle still works once the file can be written again.
  EXPECT_EQ(ERROR_SUCCESS, SetNumber(W("kept"), 4));
  EXPECT_EQ("\"kept\"=dword:00000004", Persisted(machine_.ScratchKey(), "kept"));
}

TEST_F(RegistryFailures, MemoryRunningOutAnywhereInAChangeFailsItWhole) {
  ASSERT_EQ(ERROR_SUCCESS, SetNumber(W("value"), 1));
  const uint64_t start = AllocationCount();
  ASSERT_EQ(ERROR_SUCCESS, SetNumber(W("value"), 2));
  const uint64_t allocations = AllocationCount() - start;
  ASSERT_GT(allocations, 0u);
  for (uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " of " << allocations);
    ASSERT_EQ(ERROR_SUCCESS, SetNumber(W("value"), 1));
    FailAllocation(nth);
    const LONG status = SetNumber(W("value"), 2);
    FailAllocation(0);
    const std::string persisted = Persisted(machine_.ScratchKey(), "value");
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ("\"value\"=dword:00000002", persisted);
    } else {
      EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, status);
      EXPECT_EQ("\"value\"=dword:00000001", persisted);
      DWORD value = 0, size = sizeof value;
      ASSERT_EQ(ERROR_SUCCESS,
                RegQueryValueExW(key_, W("value"), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
      EXPECT_EQ(1u, value);
    }
  }
}

}  // namespace
}  // namespace kvtr::test
