#include "common_utils/format/safe_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "common_utils/format/rejected_entry.h"
#include "support/memory_pages.h"

// Counts this thread's allocations, to hold the accepted path to none.
namespace {
thread_local int t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// Out of line, so the compiler does not pair an inlined free() with new.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace kvtr::format {
namespace {

constexpr wchar kSentinel = 0x2A2A;
constexpr int kBufferSize = 16;

class SafeFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::fill(std::begin(buffer_), std::end(buffer_), kSentinel);
    SetRejectedEntryListener(&Capture, this);
  }
  void TearDown() override { SetRejectedEntryListener(nullptr, nullptr); }

  std::string Text(size_t length) const { return NarrowAscii(WStringView(buffer_, length)); }
  bool Untouched(size_t from) const {
    return std::all_of(buffer_ + from, buffer_ + kBufferSize, [](wchar c) { return c == kSentinel; });
  }

  wchar buffer_[kBufferSize];
  std::vector<RejectedEntry> entries_;

 private:
  static void Capture(const RejectedEntry& entry, void* self) {
    static_cast<SafeFormatTest*>(self)->entries_.push_back(entry);
  }
};

TEST_F(SafeFormatTest, TypicalMessageWithoutAllocating) {
  wchar message[128];
  const int before = t_allocations;
  const int result = SafeFormat(message, 128, W("Error [%d] MOF [%s] compilation failed with error code %d"), 7,
                                W("setup.mof"), -2147217407);
  EXPECT_EQ(before, t_allocations);
  const std::string expected = "Error [7] MOF [setup.mof] compilation failed with error code -2147217407";
  EXPECT_EQ(static_cast<int>(expected.size()), result);
  EXPECT_EQ(expected, NarrowAscii(message));
}

TEST_F(SafeFormatTest, CutTextKeepsTheTerminatorAtTheEnd) {
  EXPECT_EQ(-1, SafeFormat(buffer_, 8, W("%s"), W("abcdefghijklmnopqrst")));
  EXPECT_EQ("abcdefg", Text(7));
  EXPECT_EQ(0, buffer_[7]);
  EXPECT_TRUE(Untouched(8));
}

TEST_F(SafeFormatTest, TextThatFitsIsTerminatedTwice) {
  EXPECT_EQ(7, SafeFormat(buffer_, 8, W("%d%s"), 123, W("4567")));
  EXPECT_EQ("1234567", Text(7));
  EXPECT_EQ(0, buffer_[7]);

  std::fill(std::begin(buffer_), std::end(buffer_), kSentinel);
  EXPECT_EQ(3, SafeFormat(buffer_, 8, W("a%cc"), W('b')));
  EXPECT_EQ("abc", Text(3));
  EXPECT_EQ(0, buffer_[3]);
  EXPECT_EQ(kSentinel, buffer_[4]);
  EXPECT_EQ(0, buffer_[7]);
  EXPECT_TRUE(Untouched(8));
}

TEST_F(SafeFormatTest, NoRoomForText) {
  EXPECT_EQ(-1, SafeFormat(buffer_, 1, W("abc")));
  EXPECT_EQ(0, buffer_[0]);
  EXPECT_TRUE(Untouched(1));
  EXPECT_EQ(-1, SafeFormat(buffer_ + 4, 0, W("abc")));
  EXPECT_TRUE(Untouched(1));
}

TEST_F(SafeFormatTest, RejectedEntryLeavesTheBufferUntouched) {
  const test::MemoryPages noAccess(test::MemoryPages::Access::kNone);
  const int results[] = {
      SafeFormat(buffer_, kBufferSize, W("%s then %d"), noAccess.first(), 1),
      SafeFormat(buffer_, kBufferSize, W("%lld"), 1LL),
      SafeFormat(buffer_, kBufferSize, W("value %")),
      SafeFormat(buffer_, kBufferSize, W("%n"), static_cast<int*>(nullptr)),
      SafeFormat(buffer_, kBufferSize, nullptr),
  };
  for (int result : results) EXPECT_EQ(0, result);
  EXPECT_TRUE(Untouched(0));
  ASSERT_EQ(std::size(results), entries_.size());
  for (const RejectedEntry& entry : entries_) {
    EXPECT_EQ(3, entry.level);
    EXPECT_EQ(0, entry.eventId);
    EXPECT_EQ(nullptr, entry.user);
  }
  EXPECT_EQ(1, entries_[0].argumentCount);
}

TEST_F(SafeFormatTest, PercentNWritesNothing) {
  int target = 77;
  EXPECT_EQ(4, SafeFormat(buffer_, kBufferSize, W("ab%ncd"), &target));
  EXPECT_EQ("abcd", Text(4));
  EXPECT_EQ(77, target);
}

int Forward(wchar* buffer, int capacity, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = SafeFormatV(buffer, capacity, format, args);
  va_end(args);
  return result;
}

TEST_F(SafeFormatTest, ForwardedList) {
  EXPECT_EQ(13, Forward(buffer_, kBufferSize, W("%I64d|%S"), INT64_C(1) << 32, "ab"));
  EXPECT_EQ("4294967296|ab", Text(13));
  EXPECT_EQ(0, Forward(buffer_, kBufferSize, W("%S"), test::MemoryPages::Unmapped()));
}

}  // namespace
}  // namespace kvtr::format
