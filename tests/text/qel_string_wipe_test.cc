// Nothing of a QELString's text survives in memory it released: the wide
// text, the narrow copies and the formatting buffers hold zeros when they go
// back to the allocator. This program replaces the global allocator to see
// each block as it is released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "common_utils/text/qel_string.h"
#include "platform/win32.h"
#include "support/recording_allocator.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace qel {
namespace {

using kvtr::test::ReleasedBlock;

// The records of the blocks released while `body` ran.
std::vector<ReleasedBlock> ReleasesDuring(const std::function<void()>& body) {
  kvtr::test::StartRecordingReleases();
  body();
  kvtr::test::StopRecordingReleases();
  EXPECT_FALSE(kvtr::test::RecordingOverflowed());
  std::vector<ReleasedBlock> blocks;
  for (size_t i = 0; i < kvtr::test::ReleasedBlockCount(); ++i) blocks.push_back(kvtr::test::ReleasedBlockAt(i));
  return blocks;
}

bool AllZero(const ReleasedBlock& block) {
  return std::all_of(block.bytes, block.bytes + block.size, [](unsigned char b) { return b == 0; });
}

// Checks that the block at `address` was released, zeroed.
void ExpectReleasedZeroed(const std::vector<ReleasedBlock>& blocks, const void* address, const char* what) {
  const auto found = std::find_if(blocks.begin(), blocks.end(), [&](const ReleasedBlock& b) { return b.address == address; });
  ASSERT_NE(blocks.end(), found) << what << " was not released";
  EXPECT_TRUE(AllZero(*found)) << what << " holds text after release (" << found->size << " bytes)";
}

bool Contains(const std::vector<ReleasedBlock>& blocks, const void* needle, size_t length) {
  for (const ReleasedBlock& block : blocks) {
    const auto* end = block.bytes + block.size;
    const auto* first = static_cast<const unsigned char*>(needle);
    if (std::search(block.bytes, end, first, first + length) != end) return true;
  }
  return false;
}

class QELStringWipeTest : public ::testing::Test {
  kvtr::test::TestMachine machine_;
};

TEST_F(QELStringWipeTest, EveryChangeWipesTheTextAndTheNarrowCopiesItReleases) {
  struct Change {
    const char* name;
    std::function<void(QELString&)> apply;
    bool releasesWide;
  };
  const Change changes[] = {
      {"Append", [](QELString& s) { s.Append(W("!")); }, true},
      {"Assign", [](QELString& s) { s.Assign(W("other")); }, true},
      {"AssignNarrow", [](QELString& s) { s.AssignNarrow("other"); }, true},
      {"AssignCount", [](QELString& s) { s.AssignCount(W("other"), 3); }, true},
      {"Format", [](QELString& s) { s.Format(W("%d"), 1); }, true},
      {"FormatNarrow", [](QELString& s) { s.FormatNarrow("%d", 1); }, true},
      {"Strip", [](QELString& s) { s.Strip(3); }, false},
      // Text that Strip left behind the new terminator is wiped too.
      {"Strip then Assign",
       [](QELString& s) {
         s.Strip(3);
         s.Assign(W("other"));
       },
       true},
  };
  // Each choice of narrow copy that this machine can make.
  std::vector<UINT> codePages{GetACP()};
#ifndef _WIN32
  codePages = {1252, 65001};
#endif
  for (const UINT codePage : codePages) {
#ifndef _WIN32
    ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(codePage));
#endif
    for (const Change& change : changes) {
      SCOPED_TRACE(std::string(change.name) + " with code page " + std::to_string(codePage));
      QELString s(W("  secret text  "));
      const kvtr::wchar* wide = s.CStr();
      const char* narrow = s.ToNarrow();
      ASSERT_NE(nullptr, narrow);
      const auto blocks = ReleasesDuring([&] { change.apply(s); });
      ExpectReleasedZeroed(blocks, narrow, "the narrow copy");
      if (change.releasesWide) ExpectReleasedZeroed(blocks, wide, "the wide text");
      EXPECT_FALSE(Contains(blocks, W("secret"), 6 * sizeof(kvtr::wchar)));
      EXPECT_FALSE(Contains(blocks, "secret", 6));
    }
  }
}

TEST_F(QELStringWipeTest, TheDestructorWipesEverything) {
  auto s = std::make_unique<QELString>(W("secret text"));
  s->AssignCount(W("secret\0secret"), 13);  // all 13 units are wiped, not only the 6 before the terminator
  const kvtr::wchar* wide = s->CStr();
  const char* narrow = s->ToNarrow();
  const auto blocks = ReleasesDuring([&] { s.reset(); });
  ExpectReleasedZeroed(blocks, wide, "the wide text");
  ExpectReleasedZeroed(blocks, narrow, "the narrow copy");
  EXPECT_FALSE(Contains(blocks, W("secret"), 6 * sizeof(kvtr::wchar)));
}

TEST_F(QELStringWipeTest, FormattingBuffersAreWipedOverTheirWholeCapacity) {
  QELString s;
  auto blocks = ReleasesDuring([&] { s.Format(W("%s-%d"), W("secret"), 42); });
  std::vector<ReleasedBlock> buffers;
  std::copy_if(blocks.begin(), blocks.end(), std::back_inserter(buffers),
               [](const ReleasedBlock& b) { return b.size == 1024 * sizeof(kvtr::wchar); });
  ASSERT_EQ(1u, buffers.size());
  EXPECT_TRUE(AllZero(buffers[0]));

  blocks = ReleasesDuring([&] { s.FormatNarrow("%s-%d", "secret", 42); });
  buffers.clear();
  std::copy_if(blocks.begin(), blocks.end(), std::back_inserter(buffers),
               [](const ReleasedBlock& b) { return b.size == 1024; });
  ASSERT_EQ(1u, buffers.size());
  EXPECT_TRUE(AllZero(buffers[0]));
  EXPECT_FALSE(Contains(blocks, "secret", 6));
  EXPECT_EQ(9u, s.Length());  // "secret-42"
}

}  // namespace
}  // namespace qel
