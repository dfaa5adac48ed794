// The host logging channel: setlog, the usability rule, the message buffer
// and what every report hands the host.
#include "common_utils/report/host_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/memory_pages.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::installer {
namespace {

struct Received {
  int level;
  void* reserved[3];
  bool messageNull;
  WString message;
  std::string function;
  int line;
  void* context;
};
std::vector<Received> g_received;

extern "C" void __cdecl Record(int level, void* r1, void* r2, void* r3, const WCHAR* message, const char* function,
                               int line, void* context) {
  g_received.push_back(Received{level, {r1, r2, r3}, message == nullptr, message ? WString(message) : WString(),
                                function ? function : "", line, context});
}

class HostLog : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received.clear();
    SetLog(nullptr, &Record);
  }
  void TearDown() override { SetLog(nullptr, nullptr); }
};

TEST_F(HostLog, SetlogReturnsItsFirstArgumentAndReplacesTheCallback) {
  int opaque = 0;
  EXPECT_EQ(&opaque, SetLog(&opaque, &Record));
  EXPECT_EQ(&Record, CurrentHostLog());
  EXPECT_EQ(&opaque, SetLog(&opaque, nullptr));
  ReportToHost(CurrentHostLog(), 1, "F", 10, &g_exportsContext, W("silenced"));
  EXPECT_TRUE(g_received.empty());
}

TEST_F(HostLog, OnlyCallbacksInNonWritableMemoryAreUsed) {
  EXPECT_TRUE(IsHostLogUsable(&Record));
  EXPECT_FALSE(IsHostLogUsable(nullptr));
  // An address in writable memory is never called: calling it would crash.
  std::vector<unsigned char> data(64, 0xC3);
  const auto fake = reinterpret_cast<HostLogCallback>(data.data());
  EXPECT_FALSE(IsHostLogUsable(fake));
  ReportToHost(fake, 1, "F", 1, &g_exportsContext, W("never"));
  ReportLiteralToHost(fake, 1, "F", 1, &g_exportsContext, W("never"));
}

const unsigned char kConstantBytes[32] = {0xC3, 0xC3, 0xC3, 0xC3};

TEST_F(HostLog, CallbacksInReadOnlyDataAreNeverCalled) {
  // Read-only is not enough: only code is called.
  test::MemoryPages readOnly(test::MemoryPages::Access::kReadOnly);
  for (const void* data : {static_cast<const void*>(kConstantBytes), static_cast<const void*>(readOnly.first()),
                           static_cast<const void*>(readOnly.tail(2))}) {
    const auto fake = reinterpret_cast<HostLogCallback>(const_cast<void*>(data));
    EXPECT_TRUE(IsBadWritePtr(const_cast<void*>(data), 4));
    EXPECT_FALSE(IsHostLogUsable(fake));
    ReportToHost(fake, 1, "F", 1, &g_exportsContext, W("never"));
    ReportLiteralToHost(fake, 1, "F", 1, &g_exportsContext, W("never"));
  }
  EXPECT_TRUE(IsHostLogUsable(&Record));
}

#ifndef _WIN32
// Linux only: the emulation control makes the memory queries fail.
TEST_F(HostLog, ACallbackWhoseMemoryCannotBeQueriedIsNotUsed) {
  KvtrEmu_FailCall("VirtualQuery", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsHostLogUsable(&Record));
  // A write check that cannot read the mappings answers "writable".
  KvtrEmu_FailCall("IsBadWritePtr", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsBadWritePtr(reinterpret_cast<void*>(&Record), 4));
  KvtrEmu_FailCall("IsBadWritePtr", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsHostLogUsable(&Record));
  EXPECT_TRUE(IsHostLogUsable(&Record));
  KvtrEmu_Reset();
}
#endif

TEST_F(HostLog, EveryReportCarriesTheFixedArguments) {
  ReportToHost(&Record, 4, "qel_wmi::Something", 321, &g_wmiContext, W("value %d of %s"), 7, W("seven"));
  ASSERT_EQ(1u, g_received.size());
  const Received& r = g_received[0];
  EXPECT_EQ(4, r.level);
  EXPECT_EQ(nullptr, r.reserved[0]);
  EXPECT_EQ(nullptr, r.reserved[1]);
  EXPECT_EQ(nullptr, r.reserved[2]);
  EXPECT_EQ(WString(W("value 7 of seven")), r.message);
  EXPECT_EQ("qel_wmi::Something", r.function);
  EXPECT_EQ(321, r.line);
  ASSERT_EQ(static_cast<void*>(&g_wmiContext), r.context);
  const auto* block = static_cast<const unsigned char*>(r.context);
  EXPECT_EQ('3', block[0]);
  for (size_t i = 1; i < sizeof(LogContextBlock); ++i) ASSERT_EQ(0, block[i]) << i;
  EXPECT_NE(static_cast<void*>(&g_wmiContext), static_cast<void*>(&g_exportsContext));
}

TEST_F(HostLog, LongMessagesAreCutTo2046Units) {
  const WString long_text(3000, 'x');
  ReportToHost(&Record, 1, "F", 1, &g_exportsContext, W("%s"), long_text.c_str());
  ASSERT_EQ(1u, g_received.size());
  EXPECT_EQ(WString(2046, 'x'), g_received[0].message);
}

TEST_F(HostLog, RejectedArgumentsArriveAsAnEmptyMessage) {
  test::MemoryPages unreadable(test::MemoryPages::Access::kNone);
  ReportToHost(&Record, 1, "F", 1, &g_exportsContext, W("path %s"), reinterpret_cast<const WCHAR*>(unreadable.first()));
  ASSERT_EQ(1u, g_received.size());
  EXPECT_FALSE(g_received[0].messageNull);
  EXPECT_EQ(WString(), g_received[0].message);
}

TEST_F(HostLog, LiteralReportsAreNotFormatted) {
  ReportLiteralToHost(&Record, 1, "F", 2, &g_exportsContext, W("MOF file is empty %s %d"));
  ASSERT_EQ(1u, g_received.size());
  EXPECT_EQ(WString(W("MOF file is empty %s %d")), g_received[0].message);
}

TEST(SystemErrorText, DropsTheTrailingLineEnd) {
  SystemErrorText notFound(ERROR_FILE_NOT_FOUND, kUserDefaultLanguage);
  ASSERT_TRUE(notFound.hasText());
  const WString text(notFound.text());
  ASSERT_FALSE(text.empty());
  EXPECT_NE(WCHAR('\n'), text.back());
  EXPECT_NE(WCHAR('\r'), text.back());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), notFound.code());
}

TEST(SystemErrorText, CodesWithoutTextShowAsEmpty) {
  SystemErrorText none(0, kUserDefaultLanguage);
  EXPECT_FALSE(none.hasText());
  EXPECT_EQ(WString(), WString(none.text()));
  SystemErrorText unknown(0x12345, kUserDefaultLanguage);
  EXPECT_FALSE(unknown.hasText());
  EXPECT_EQ(WString(), WString(unknown.text()));
}

}  // namespace
}  // namespace kvtr::installer
