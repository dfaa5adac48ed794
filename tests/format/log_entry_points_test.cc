#include "common_utils/format/log_entry_points.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common_utils/format/rejected_entry.h"
#include "support/memory_pages.h"

namespace kvtr::format {
namespace {

struct Logged {
  int level;
  int eventId;
  std::string text;
};

class LogEntryPointsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRejectedEntryListener(&CaptureRejected, this);
    SetLogMessageListener(&CaptureLogged, this);
  }
  void TearDown() override {
    SetLogMessageListener(nullptr, nullptr);
    SetRejectedEntryListener(nullptr, nullptr);
  }

  std::vector<Logged> logged_;
  std::vector<int> rejectedArgumentCounts_;

 private:
  static void CaptureLogged(int level, int eventId, const wchar* text, void* self) {
    static_cast<LogEntryPointsTest*>(self)->logged_.push_back({level, eventId, NarrowAscii(text)});
  }
  static void CaptureRejected(const RejectedEntry& entry, void* self) {
    static_cast<LogEntryPointsTest*>(self)->rejectedArgumentCounts_.push_back(entry.argumentCount);
  }
};

TEST_F(LogEntryPointsTest, AcceptedEntriesAreFormattedWithTheirConventions) {
  LogMessage(3, W("[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\""), 0x1A2Bu, W("Logger"));
  LogEventMessage(2, 77, W("%d-%hs"), -5, "narrow");
  LogMessageNarrow(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms", 0x10u,
                   static_cast<uint64_t>(0xABCDEF0123ull), static_cast<int64_t>(-1));
  LogMessageNarrow(2, "%s|%S|%c", "a", W("b"), 'c');
  ASSERT_EQ(logged_.size(), 4u);
  EXPECT_EQ(logged_[0].level, 3);
  EXPECT_EQ(logged_[0].eventId, 0);
  EXPECT_EQ(logged_[0].text, "[DIAG] EVENT=Register_thread, THREADID=0x1A2B, THREADNAME=\"Logger\"");
  EXPECT_EQ(logged_[1].eventId, 77);
  EXPECT_EQ(logged_[1].text, "-5-narrow");
  EXPECT_EQ(logged_[2].text, "Thread::Stop() - hung thread Id=0x10, Handle=0xabcdef0123, timeout=-1 ms");
  EXPECT_EQ(logged_[3].text, "a|b|c");
  EXPECT_TRUE(rejectedArgumentCounts_.empty());
}

TEST_F(LogEntryPointsTest, ARejectedEntryIsReportedAndNeverFormatted) {
  test::MemoryPages pages(test::MemoryPages::Access::kNone);
  const wchar* unreadable = reinterpret_cast<const wchar*>(pages.first());
  LogMessage(3, W("%d then %s"), 5, unreadable);
  LogMessageNarrow(3, "%s", reinterpret_cast<const char*>(unreadable));
  LogMessage(3, W("cut %"));
  EXPECT_TRUE(logged_.empty());
  EXPECT_EQ(rejectedArgumentCounts_, (std::vector<int>{2, 1, 0}));
}

TEST_F(LogEntryPointsTest, LongTextsAreCutTo1023Characters) {
  const WString wide(2000, W('w'));
  const std::string narrow(2000, 'n');
  LogMessage(3, W("%s"), wide.c_str());
  LogMessageNarrow(3, "%s", narrow.c_str());
  ASSERT_EQ(logged_.size(), 2u);
  EXPECT_EQ(logged_[0].text, std::string(1023, 'w'));
  EXPECT_EQ(logged_[1].text, std::string(1023, 'n'));
}

TEST_F(LogEntryPointsTest, WithoutAReceiverNothingIsCheckedOrFormatted) {
  SetLogMessageListener(nullptr, nullptr);
  LogMessage(1, W("%s"), static_cast<const wchar*>(test::MemoryPages::Unmapped()));
  EXPECT_TRUE(rejectedArgumentCounts_.empty());
}

}  // namespace
}  // namespace kvtr::format
