#include "common_utils/report/log_entry_points.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/memory_pages.h"
#include "support/rejected_report.h"

namespace kvtr::format {
namespace {

class LogEntryPointsTest : public ::testing::Test {
 protected:
  void SetUp() override { capture_.emplace(); }
  void TearDown() override { capture_.reset(); }
  // What was logged apart from the reports of rejected entries.
  std::vector<test::LogEntry> logged() const {
    std::vector<test::LogEntry> entries;
    for (const test::LogEntry& entry : capture_->capture().Entries()) {
      if (entry.text.rfind("Invalid log entry - ", 0) != 0) entries.push_back(entry);
    }
    return entries;
  }
  std::vector<int> RejectedArgumentCounts() const {
    std::vector<int> counts;
    for (const test::RejectedReport& report : capture_->All()) counts.push_back(report.argumentCount);
    return counts;
  }

  std::optional<test::RejectedReports> capture_;
};

TEST_F(LogEntryPointsTest, AcceptedEntriesAreFormattedWithTheirConventions) {
  LogMessage(3, W("[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\""), 0x1A2Bu, W("Logger"));
  LogEventMessage(2, 77, W("%d-%hs"), -5, "narrow");
  LogMessageNarrow(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms", 0x10u,
                   static_cast<uint64_t>(0xABCDEF0123ull), static_cast<int64_t>(-1));
  LogMessageNarrow(2, "%s|%S|%c", "a", W("b"), 'c');
  const std::vector<test::LogEntry> logged_ = logged();
  ASSERT_EQ(logged_.size(), 4u);
  EXPECT_EQ(logged_[0].level, 3);
  EXPECT_EQ(logged_[0].eventId, 0);
  EXPECT_EQ(logged_[0].text, "[DIAG] EVENT=Register_thread, THREADID=0x1A2B, THREADNAME=\"Logger\"");
  EXPECT_EQ(logged_[1].eventId, 77);
  EXPECT_EQ(logged_[1].text, "-5-narrow");
  EXPECT_EQ(logged_[2].text, "Thread::Stop() - hung thread Id=0x10, Handle=0xabcdef0123, timeout=-1 ms");
  EXPECT_EQ(logged_[3].text, "a|b|c");
  EXPECT_TRUE(RejectedArgumentCounts().empty());
}

TEST_F(LogEntryPointsTest, ARejectedEntryIsReportedAndNeverFormatted) {
  test::MemoryPages pages(test::MemoryPages::Access::kNone);
  const wchar* unreadable = reinterpret_cast<const wchar*>(pages.first());
  LogMessage(3, W("%d then %s"), 5, unreadable);
  LogMessageNarrow(3, "%s", reinterpret_cast<const char*>(unreadable));
  LogMessage(3, W("cut %"));
  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(RejectedArgumentCounts(), (std::vector<int>{2, 1, 0}));
}

// A failed level test skips the check: no report, however bad the entry.
TEST_F(LogEntryPointsTest, ALevelNoOutputTakesIsNeverChecked) {
  const wchar* const unmapped = static_cast<const wchar*>(test::MemoryPages::Unmapped());
  capture_->capture().SetHighestLevel(2);
  LogMessage(3, W("%s"), unmapped);
  LogEventMessage(4, 9, W("%s"), unmapped);
  LogMessageNarrow(3, "%s", unmapped);
  EXPECT_TRUE(RejectedArgumentCounts().empty());
  LogMessage(2, W("%s"), unmapped);
  EXPECT_EQ(RejectedArgumentCounts(), (std::vector<int>{1}));
  // Without a receiver nothing happens at all.
  capture_.reset();
  LogMessage(1, W("%s"), unmapped);
}

}  // namespace
}  // namespace kvtr::format
